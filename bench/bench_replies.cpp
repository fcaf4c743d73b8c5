// Quick replies: the agent sends 20 replies in a row through the composer of
// the real main window (offscreen) into the open session, each as the text
// set in the editor and Enter, as fast as the window takes them. Measured
// from the first Enter: until the service has confirmed the last (its bubble
// carries the message's uuid), and until all 20 are stored at the stand-in
// service, which runs in a process of its own.
//
//   bench_replies [runs]      (default 5)

#include <QApplication>
#include <QJsonArray>
#include <QKeyEvent>
#include <QTextEdit>

#include "benchsupport.h"
#include "widgets/chatbubble.h"

namespace {

using namespace Bench;

constexpr int Replies = 20;

int agentMessages(const DevServer::Server &server, int id)
{
    int n = 0;
    for (const QJsonValue &m : server.messages(id))
        n += m.toObject().value("from_type") == QLatin1String("agent");
    return n;
}

// Answers, on the monotonic clock, when the session holds `count` messages
// of the agent (-1 when it has not after 30 s).
void handle(DevServer::Server &server, const QJsonObject &command,
            const DevServerProcess::Answer &answer)
{
    const int id = command.value("id").toInt();
    const int count = command.value("count").toInt();
    auto *timer = new QTimer(&server);
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, [=, &server] {
        const bool stored = agentMessages(server, id) >= count;
        if (stored || clock->elapsed() > 30000) {
            timer->stop();
            timer->deleteLater();
            answer({{"atMs", stored ? monotonicMs() : -1}});
        }
    });
    timer->start(1);
}

int confirmedReplies(const orvantis &window)
{
    int n = 0;
    for (ChatBubble *b : window.bubbles())
        n += b->isFromSelf() && !b->msgUuid().isEmpty();
    return n;
}

int once(int argc, char *argv[], QJsonObject &out)
{
    DevServerProcess service;
    const auto seed = [](DevServer::Server &server) {
        return QJsonObject {{"id", server.addSession({{"visitor_name", "访客"}})}};
    };
    if (!service.start(seed, handle))
        return 2;
    QApplication app(argc, argv);
    styleAsClient();
    orvantis window;
    const int id = service.seeded.value("id").toInt();
    if (!openInFront(window, id))
        return 2;
    runEventsFor(500);

    auto *editor = window.findChild<QTextEdit *>("messageEdit");
    editor->setFocus();
    double confirmedMs = -1;
    QElapsedTimer clock;
    StallMeter stalls;
    stalls.onTick = [&] {
        if (confirmedMs < 0 && confirmedReplies(window) >= Replies)
            confirmedMs = clock.nsecsElapsed() / 1.0e6;
    };
    stalls.start();
    const double firstEnter = monotonicMs();
    clock.start();
    for (int i = 0; i < Replies; ++i) {
        editor->setPlainText(QStringLiteral("您好，这是第 %1 条快捷回复，请稍等。").arg(i + 1));
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
        QCoreApplication::sendEvent(editor, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier);
        QCoreApplication::sendEvent(editor, &release);
    }
    out["enterMs"] = clock.nsecsElapsed() / 1.0e6;
    const double storedAt
        = service.call({{"id", id}, {"count", Replies}}).value("atMs").toDouble(-1);
    runUntil([&] { return confirmedMs >= 0; }, 30000);
    stalls.stop();

    out["confirmedMs"] = confirmedMs;
    out["storedMs"] = storedAt < 0 ? -1 : storedAt - firstEnter;
    out["stallMs"] = stalls.longestMs();
    out["confirmed"] = confirmedReplies(window);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const QList<Figure> figures {
        {"confirmedMs", "first Enter until the last confirmed, ms (-1: never)"},
        {"storedMs", "first Enter until all stored at the service, ms (-1: never)"},
        {"enterMs", "the 20 Enters themselves, ms"},
        {"stallMs", "longest event-loop stall, ms"},
        {"confirmed", "replies confirmed"},
    };
    return repeat("quick replies: 20 sent in a row through the composer (offscreen)",
                  argument(argc, argv, 1, 5), figures,
                  [&](QJsonObject &out) { return once(argc, argv, out); });
}
