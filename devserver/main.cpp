#include "devserver/server.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <functional>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Live traffic for the demo, at a human pace: visitors write in Chinese and
// English (now and then several lines in a row, or a picture), new ones
// arrive, some leave and come back a little later, and the colleague "lili"
// hands a session back now and then.
constexpr int demoAgent = 12;
constexpr int colleague = 13;

int pick(int bound)
{
    return QRandomGenerator::global()->bounded(bound);
}

// Every `minMs` to `maxMs`, at random, until the server goes.
void every(DevServer::Server *server, int minMs, int maxMs, std::function<void()> act)
{
    QTimer::singleShot(minMs + pick(maxMs - minMs), server, [=] {
        act();
        every(server, minMs, maxMs, act);
    });
}

// Online sessions of the channel that `agentId` owns (0: shared by all).
QList<int> onlineSessions(const DevServer::Server *server, int agentId)
{
    QList<int> ids;
    for (int id = 1; id < 5000; ++id) {
        const QJsonObject s = server->session(id);
        if (s.value(QStringLiteral("status")).toString() == QLatin1String("online")
            && s.value(QStringLiteral("agent_id")).toInt() == agentId)
            ids.append(id);
    }
    return ids;
}

void startSimulation(DevServer::Server *server)
{
    static const char *const lines[]
        = {"Hello, is anyone there?", "How much is shipping?",        "Thank you",
           "你好，请问还在吗？",      "这个什么时候能到？",           "Where is my package?",
           "能再便宜一点吗？",        "Do you have a discount code?", "有没有优惠券？",
           "Can I change the size?",  "尺码偏大还是偏小？",           "OK, I'll wait"};
    static const char *const names[]
        = {"Lena Fischer", "陈小雨", "Tom Baker", "林语", "Yuki Tanaka", "高峰", "Marta Silva"};
    const QString images = server->restBaseUrl().chopped(4) + QStringLiteral("/images/demo-%1.png");

    // A visitor of a shared or own session writes one to three lines, or a picture.
    every(server, 6000, 14000, [server, images] {
        QList<int> ids = onlineSessions(server, 0) + onlineSessions(server, demoAgent);
        if (ids.isEmpty())
            return;
        const int id = ids.at(pick(int(ids.size())));
        if (pick(6) == 0) {
            server->visitorSays(id, images.arg(1 + pick(4)), QStringLiteral("image"));
            return;
        }
        const int count = 1 + pick(3);
        for (int i = 0; i < count; ++i) {
            QTimer::singleShot(i * (1200 + pick(1300)), server, [server, id] {
                server->visitorSays(id, QString::fromUtf8(lines[pick(int(std::size(lines)))]));
            });
        }
    });

    // A new visitor arrives and greets after a moment.
    every(server, 40000, 70000, [server] {
        const int id
            = server->visitorOpensSession(QString::fromUtf8(names[pick(int(std::size(names)))]));
        QTimer::singleShot(3000, server, [server, id] {
            server->visitorSays(id, QStringLiteral("你好，在吗？"));
        });
    });

    // A visitor leaves and comes back a little later, as the same visitor.
    every(server, 50000, 90000, [server] {
        const QList<int> ids = onlineSessions(server, 0);
        if (ids.isEmpty())
            return;
        const QJsonObject s = server->session(ids.at(pick(int(ids.size()))));
        const int id = s.value(QStringLiteral("id")).toInt();
        server->visitorLeaves(id);
        QTimer::singleShot(20000 + pick(20000), server, [server, s] {
            const int back
                = server->visitorOpensSession(s.value(QStringLiteral("visitor_name")).toString(),
                                              s.value(QStringLiteral("visitor_id")).toString());
            server->visitorSays(back, QStringLiteral("我又回来了，刚才网络断了"));
        });
    });

    // The colleague hands a session back to the demo agent now and then.
    every(server, 30000, 60000, [server] {
        const QList<int> ids = onlineSessions(server, colleague);
        if (!ids.isEmpty() && pick(2) == 0)
            server->handOver(ids.at(pick(int(ids.size()))), demoAgent);
    });
}

// SIGTERM and SIGINT end the event loop, so that the state is written once
// more on the way out; the handler only writes a byte to a socket pair.
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[0], &byte, 1);
}

void quitOnSignals(QCoreApplication *app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [app] {
        char byte = 0;
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[1], &byte, 1);
        app->quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("devserver"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Local stand-in for the live-chat service."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Port to listen on (0 = any free port)."),
                                        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption hostOption(QStringLiteral("host"),
                                        QStringLiteral("Loopback address to listen on."),
                                        QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption quietOption(QStringLiteral("quiet"),
                                         QStringLiteral("No diagnostics."));
    const QCommandLineOption simulateOption(QStringLiteral("simulate"),
                                            QStringLiteral("Simulated visitors (default)."));
    const QCommandLineOption noSimulateOption(QStringLiteral("no-simulate"),
                                              QStringLiteral("No simulated visitors."));
    const auto number = [](const char *name, const char *help) {
        return QCommandLineOption(QString::fromLatin1(name), QString::fromLatin1(help),
                                  QStringLiteral("N"), QStringLiteral("0"));
    };
    const QCommandLineOption dropOption
        = number("drop-every", "Abort every WebSocket link every N seconds.");
    const QCommandLineOption doubleOption
        = number("double-every", "Send every Nth WebSocket frame twice.");
    const QCommandLineOption junkOption
        = number("junk-every", "Send junk (garbage, binary, oversized) before every Nth frame.");
    const QCommandLineOption restOption
        = number("rest-fault-every", "Delay or fail every Nth REST reply, in turn.");
    const QCommandLineOption refuseChatOption
        = number("chat-refuse-every", "Refuse every Nth chat with an error frame, unstored.");
    const QCommandLineOption confirmDelayOption
        = number("chat-confirm-delay", "Send each chat's confirmation N ms after storing it.");
    const QCommandLineOption dropChatOption = number(
        "chat-drop-every", "Store every Nth chat, then cut its link before confirming it.");
    const QCommandLineOption stateOption(
        QStringLiteral("state"),
        QStringLiteral("Keep the channel in FILE across restarts (loaded when present, the demo "
                       "content seeded otherwise)."),
        QStringLiteral("FILE"));
    const QCommandLineOption trafficOption = number(
        "traffic", "Visitors of the online shared sessions write N messages a second in all.");
    parser.addOptions({portOption, hostOption, quietOption, simulateOption, noSimulateOption,
                       dropOption, doubleOption, junkOption, restOption, refuseChatOption,
                       confirmDelayOption, dropChatOption, stateOption, trafficOption});
    parser.process(app);

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    const QHostAddress host(parser.value(hostOption));
    if (!portOk || port > 65535) {
        std::fprintf(stderr, "devserver: invalid port\n");
        return 2;
    }
    // Never reachable from another machine.
    if (host.isNull() || !host.isLoopback()) {
        std::fprintf(stderr, "devserver: only loopback addresses are allowed\n");
        return 2;
    }

    DevServer::Server server;
    if (!server.listen(host, quint16(port))) {
        std::fprintf(stderr, "devserver: cannot listen on %s port %u\n",
                     qPrintable(host.toString()), port);
        return 1;
    }
    if (!parser.isSet(quietOption)) {
        QObject::connect(&server, &DevServer::Server::requestRecorded, &server,
                         [](const DevServer::RecordedRequest &r) {
                             std::fprintf(stderr, "%s %s\n", r.method.constData(),
                                          qPrintable(r.path));
                         });
        // What the clients send over the realtime link, one frame a line.
        QObject::connect(&server, &DevServer::Server::frameReceived, &server,
                         [](const QString &text) {
                             std::fprintf(stderr, "WS %s\n", qPrintable(text.simplified()));
                         });
    }
    bool restored = false;
    if (parser.isSet(stateOption)) {
        QString error;
        restored = server.useStateFile(parser.value(stateOption), &error);
        if (!error.isEmpty()) {
            std::fprintf(stderr, "devserver: cannot read the state file %s: %s\n",
                         qPrintable(parser.value(stateOption)), qPrintable(error));
            return 1;
        }
    }
    if (!restored) {
        server.seedDemoChannel();
        server.seedReceptionArchive();
    }
    // A colleague at work, so that a session can be handed over in the demo.
    server.setAgentOnline(13, true);
    if (!parser.isSet(noSimulateOption))
        startSimulation(&server);
    DevServer::FaultPlan plan;
    plan.dropLinksEverySec = parser.value(dropOption).toInt();
    plan.doubleEveryNthFrame = parser.value(doubleOption).toInt();
    plan.junkEveryNthFrame = parser.value(junkOption).toInt();
    plan.restFaultEveryNth = parser.value(restOption).toInt();
    plan.refuseChatEveryNth = parser.value(refuseChatOption).toInt();
    plan.chatConfirmDelayMs = parser.value(confirmDelayOption).toInt();
    plan.dropAfterChatEveryNth = parser.value(dropChatOption).toInt();
    server.setFaultPlan(plan);
    quitOnSignals(&app);
    if (const int rate = parser.value(trafficOption).toInt(); rate > 0)
        server.startVisitorTraffic(onlineSessions(&server, 0), rate);

    std::printf("devserver listening on %s port %u%s\n", qPrintable(host.toString()),
                unsigned(server.port()), restored ? " (state restored)" : "");
    std::fflush(stdout);
    return app.exec();
}
