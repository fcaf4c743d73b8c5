#include "devserver/standinserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTimer>

#include <cstdio>

namespace {

// Live traffic for the demo: now and then a visitor writes or arrives.
void startSimulation(StandIn::StandInServer *server)
{
    static const char *const lines[]
        = {"Hello, is anyone there?", "How much is shipping?",       "Thank you",
           "你好，请问还在吗？",      "这个什么时候能到？",          "Where is my package?",
           "能再便宜一点吗？",        "Do you have a discount code?"};
    static const char *const names[]
        = {"Lena Fischer", "陈小雨", "Tom Baker", "林语", "Yuki Tanaka", "高峰"};

    auto *messages = new QTimer(server);
    QObject::connect(messages, &QTimer::timeout, server, [server] {
        QList<int> online;
        for (int id = 1; id < 5000 && online.size() < 64; ++id) {
            const QJsonObject s = server->session(id);
            if (s.value(QStringLiteral("status")).toString() == QLatin1String("online"))
                online.append(id);
        }
        if (online.isEmpty())
            return;
        const int id = online.at(QRandomGenerator::global()->bounded(int(online.size())));
        server->visitorSays(
            id,
            QString::fromUtf8(lines[QRandomGenerator::global()->bounded(int(std::size(lines)))]));
    });
    messages->start(20000);

    auto *visitors = new QTimer(server);
    QObject::connect(visitors, &QTimer::timeout, server, [server] {
        const QString name
            = QString::fromUtf8(names[QRandomGenerator::global()->bounded(int(std::size(names)))]);
        const int id = server->visitorOpensSession(name);
        QTimer::singleShot(4000, server, [server, id] {
            server->visitorSays(id, QStringLiteral("Hello, is anyone there?"));
        });
    });
    visitors->start(60000);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("standin-server"));

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
    parser.addOptions({portOption, hostOption, quietOption, simulateOption, noSimulateOption});
    parser.process(app);

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    const QHostAddress host(parser.value(hostOption));
    if (!portOk || port > 65535) {
        std::fprintf(stderr, "standin-server: invalid port\n");
        return 2;
    }
    // Never reachable from another machine.
    if (host.isNull() || !host.isLoopback()) {
        std::fprintf(stderr, "standin-server: only loopback addresses are allowed\n");
        return 2;
    }

    StandIn::StandInServer server;
    if (!server.listen(host, quint16(port))) {
        std::fprintf(stderr, "standin-server: cannot listen on %s port %u\n",
                     qPrintable(host.toString()), port);
        return 1;
    }
    if (!parser.isSet(quietOption)) {
        QObject::connect(&server, &StandIn::StandInServer::requestRecorded, &server,
                         [](const StandIn::RecordedRequest &r) {
                             std::fprintf(stderr, "%s %s\n", r.method.constData(),
                                          qPrintable(r.path));
                         });
        // What the clients send over the realtime link, one frame a line.
        QObject::connect(&server, &StandIn::StandInServer::frameReceived, &server,
                         [](const QString &text) {
                             std::fprintf(stderr, "WS %s\n", qPrintable(text.simplified()));
                         });
    }
    server.seedDemoChannel();
    server.seedReceptionArchive();
    // A colleague at work, so that a session can be handed over in the demo.
    server.setAgentOnline(13, true);
    if (!parser.isSet(noSimulateOption))
        startSimulation(&server);

    std::printf("standin-server listening on %s port %u\n", qPrintable(host.toString()),
                unsigned(server.port()));
    std::fflush(stdout);
    return app.exec();
}
