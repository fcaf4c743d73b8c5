// A working day, compressed: visitors write 100 messages a second across
// 500 sessions while the agent, looking at the real main window (offscreen),
// opens a different session every 3 seconds. After the first minute, when
// what is kept of the day should have filled, memory must stay flat.
// The stand-in service writes from a process of its own.
//
//   bench_workday [seconds] [runs]      (default 600 s, 1 run)
//
// A run shorter than two minutes takes its first half as the warm-up.

#include <QApplication>
#include <QJsonArray>

#include "benchsupport.h"

namespace {

using namespace Bench;

constexpr int Sessions = 500;
constexpr int PerSecond = 100;
constexpr int OpenEveryMs = 3000;

QJsonObject seed(DevServer::Server &server)
{
    QJsonArray ids;
    const QDateTime base = QDateTime::currentDateTime().addDays(-1);
    for (int i = 0; i < Sessions; ++i) {
        ids.append(server.addSession(
            {{"visitor_name", QStringLiteral("访客%1").arg(i + 1)},
             {"visitor_id", QStringLiteral("day-%1").arg(i + 1)},
             {"ip_address", QStringLiteral("10.1.%1.%2").arg(i / 250).arg(i % 250)},
             {"last_time", base.addSecs(i * 30).toSecsSinceEpoch()}}));
    }
    return {{"ids", ids}};
}

// "start" begins the visitors' traffic, "stop" ends it.
void handle(DevServer::Server &server, const QJsonObject &command,
            const DevServerProcess::Answer &answer)
{
    if (command.value("op") == QLatin1String("start")) {
        QList<int> ids;
        for (const QJsonValue &id : command.value("ids").toArray())
            ids.append(id.toInt());
        server.startVisitorTraffic(ids, PerSecond, QStringLiteral("day"));
    } else {
        server.stopVisitorTraffic();
    }
    answer({{"written", server.visitorTrafficWritten()}});
}

int once(int argc, char *argv[], int seconds, QJsonObject &out)
{
    DevServerProcess service;
    if (!service.start(seed, handle))
        return 2;
    QApplication app(argc, argv);
    styleAsClient();
    orvantis window;
    if (!waitSignedIn(window))
        return 2;
    window.show();
    window.activateWindow();
    if (!listAll(window, Sessions))
        return 2;
    runEventsFor(500);

    const int warmUpSec = std::min(60, seconds / 2);
    const double rssStart = rssMiB();
    double rssWarm = 0;
    double rssPeak = rssStart;
    int opened = 0;
    // The agent's next session: a stride prime to their count, so that every
    // session comes up once before any comes again.
    const QJsonArray ids = service.seeded.value("ids").toArray();
    QTimer agent;
    agent.callOnTimeout(
        [&] { OrvantisTestAccess::select(&window, ids.at(opened++ * 7 % ids.size()).toInt()); });
    StallMeter stalls;
    int ticks = 0;
    QElapsedTimer clock;
    stalls.onTick = [&] {
        if (++ticks % 250)
            return;
        rssPeak = std::max(rssPeak, rssMiB());
        if (!rssWarm && clock.elapsed() >= warmUpSec * 1000)
            rssWarm = rssMiB();
    };

    service.call({{"op", "start"}, {"ids", ids}});
    clock.start();
    stalls.start();
    agent.start(OpenEveryMs);
    runEventsFor(seconds * 1000);
    agent.stop();
    const int written = service.call({{"op", "stop"}}).value("written").toInt();
    runEventsFor(2000);
    stalls.stop();

    const double rssEnd = rssMiB();
    out["rssWarm"] = rssWarm;
    out["rssEnd"] = rssEnd;
    out["growthAfterWarmUp"] = rssEnd - rssWarm;
    out["rssGrowth"] = rssEnd - rssStart;
    out["rssPeak"] = rssPeak;
    out["stallMs"] = stalls.longestMs();
    out["opened"] = opened;
    out["written"] = written;
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const int seconds = argument(argc, argv, 1, 600);
    const QList<Figure> figures {
        {"growthAfterWarmUp", "RSS growth after the warm-up, MiB", Figure::AtMost, 20},
        {"rssWarm", "RSS at the end of the warm-up, MiB"},
        {"rssEnd", "RSS at the end, MiB"},
        {"rssPeak", "RSS peak, MiB"},
        {"rssGrowth", "RSS growth over the whole day, MiB"},
        {"stallMs", "longest event-loop stall, ms"},
        {"opened", "sessions opened by the agent"},
        {"written", "messages written by visitors"},
    };
    const QByteArray title
        = QStringLiteral("working day: %1 messages a second across %2 sessions for %3 s, a "
                         "different session opened every %4 s; warm-up %5 s (offscreen)")
              .arg(PerSecond)
              .arg(Sessions)
              .arg(seconds)
              .arg(OpenEveryMs / 1000)
              .arg(std::min(60, seconds / 2))
              .toUtf8();
    return repeat(title.constData(), argument(argc, argv, 2, 1), figures,
                  [&](QJsonObject &out) { return once(argc, argv, seconds, out); });
}
