// Measures a visitor's "chat" frame through the real main window, end to end:
// parse, repeat test, cache, bubble in the open session or unread count
// elsewhere, list rebuild, and the layout and paint it leaves for the event
// loop. Then a burst of 500 messages in one second over 200 sessions: the
// longest stall of the event loop, and whether every message counted once.
// Runs offscreen; frames are handed to the realtime client's frame handler,
// so that no socket time is counted.

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <functional>

#include "benchsupport.h"
#include "devserver/server.h"
#include "net/apiclient.h"
#include "net/wssclient.h"
#include "testaccess.h"

namespace {

using namespace Bench;

constexpr int Runs = 40;

QList<ChatSession> makeSessions(int count)
{
    QList<ChatSession> list;
    const QDateTime base(QDate(2026, 5, 1), QTime(8, 0));
    for (int i = 0; i < count; ++i) {
        list.append(ChatSession::fromMap(
            {{"id", i + 1},
             {"visitor_name", QStringLiteral("访客%1").arg(i)},
             {"status", i % 5 ? "offline" : "online"},
             {"last_msg", QStringLiteral("您好，我想咨询一下订单 %1 的物流情况").arg(i)},
             {"last_time", base.addSecs(i * 60).toString(Qt::ISODate)}}));
    }
    return list;
}

QString chatFrame(int sessionId, int serial)
{
    const QJsonObject frame {
        {"type", "chat"},
        {"session_id", sessionId},
        {"msg_uuid", QStringLiteral("bench-%1").arg(serial)},
        {"from_type", "visitor"},
        {"content", QStringLiteral("第 %1 条：请问什么时候发货？").arg(serial)},
        {"create_time", 1780000000 + serial}};
    return QString::fromUtf8(QJsonDocument(frame).toJson(QJsonDocument::Compact));
}

// The realtime client's frame handler, as the socket would call it.
void deliver(WssClient *client, const QString &text)
{
    QMetaObject::invokeMethod(client, "onTextMessageReceived", Qt::DirectConnection,
                              Q_ARG(QString, text));
}

// With `paint`, the layout and paint it leaves for the event loop count too.
double timeFrame(WssClient *client, const QString &text, bool paint)
{
    QElapsedTimer timer;
    timer.start();
    deliver(client, text);
    if (paint)
        QCoreApplication::sendPostedEvents();
    return double(timer.nsecsElapsed()) / 1.0e6;
}

int unreadTotal(const orvantis &window)
{
    int total = 0;
    for (const ChatSession &s : window.sessionList())
        total += s.unreadCount;
    return total;
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir configHome;
    isolateEnvironment(configHome);
    QApplication app(argc, argv);
    DevServer::Server server;
    if (!prepareService(server))
        return 1;
    orvantis window;
    if (!waitSignedIn(window))
        return 1;
    WssClient *client = window.wss();

    std::printf("one visitor message end to end, median of %d runs, milliseconds (offscreen)\n",
                Runs);
    std::printf("%8s | %12s | %12s | %12s | %12s\n", "sessions", "open", "open+paint", "other",
                "other+paint");
    std::printf("---------+--------------+--------------+--------------+--------------\n");
    int serial = 0;
    for (int size : {100, 1000, 5000}) {
        OrvantisTestAccess::clearSessions(&window);
        emit window.api()->sessionsReceived(makeSessions(size), size, false);
        OrvantisTestAccess::select(&window, 1);
        waitFor([&] { return window.api()->pendingRequestCount() == 0; }, 5000);
        drainEvents();
        QList<double> samples[4]; // open, open+paint, other, other+paint
        for (int run = 0; run < 2 * Runs; ++run) {
            const bool paint = run % 2;
            samples[paint].append(timeFrame(client, chatFrame(1, ++serial), paint));
            drainEvents();
            samples[2 + paint].append(
                timeFrame(client, chatFrame(2 + run % (size - 1), ++serial), paint));
            drainEvents();
        }
        std::printf("%8d | %12.3f | %12.3f | %12.3f | %12.3f\n", size, median(samples[0]),
                    median(samples[1]), median(samples[2]), median(samples[3]));
        std::fflush(stdout);
    }

    // The burst: 500 messages within one second, spread over 200 sessions of
    // a list of 1,000, none of them open.
    OrvantisTestAccess::clearSessions(&window);
    emit window.api()->sessionsReceived(makeSessions(1000), 1000, false);
    drainEvents();
    const int before = unreadTotal(window);
    constexpr int burst = 500;
    int sent = 0;
    qint64 longestStall = 0;
    QElapsedTimer sinceTick;
    QTimer ticker; // a stall shows as a late tick
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { longestStall = std::max(longestStall, sinceTick.restart()); });
    QTimer feeder;
    feeder.setTimerType(Qt::PreciseTimer);
    QElapsedTimer wall;
    // On schedule: whatever is due by now is delivered, as a socket that
    // has read several frames at once would.
    QObject::connect(&feeder, &QTimer::timeout, [&] {
        const int due = std::min<qint64>(burst, wall.elapsed() * burst / 1000 + 1);
        for (; sent < due; ++sent)
            deliver(client, chatFrame(1 + (sent * 7) % 200, ++serial));
        if (sent == burst)
            feeder.stop();
    });
    wall.start();
    sinceTick.start();
    ticker.start(5);
    feeder.start(2);
    waitFor([&] { return sent == burst; }, 20000);
    drainEvents();
    ticker.stop();
    const int counted = unreadTotal(window) - before;
    std::printf("\nburst of %d messages over 200 of 1000 sessions in %lld ms: longest stall "
                "%lld ms (5 ms ticks), unread counted %d\n",
                burst, wall.elapsed(), longestStall, counted);
    return counted == burst ? 0 : 2;
}
