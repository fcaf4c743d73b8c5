// A flood: 10,000 visitor messages within one second, spread over the open
// session and 200 others, into the real main window (offscreen) while
// another window has the focus, so that every one of them counts as unread.
// The stand-in service writes them from a process of its own; the last one
// goes to the open session.
//
//   bench_flood [runs]      (default 3)

#include <QApplication>
#include <QJsonArray>
#include <QLabel>
#include <QSet>

#include "benchsupport.h"
#include "widgets/chatbubble.h"

namespace {

using namespace Bench;

constexpr int Others = 200;
constexpr int Messages = 10000;
constexpr int FloodMs = 1000;

QJsonObject seed(DevServer::Server &server)
{
    QJsonArray ids;
    const QDateTime base = QDateTime::currentDateTime().addDays(-1);
    for (int i = 0; i <= Others; ++i) {
        ids.append(server.addSession({{"visitor_name", QStringLiteral("访客%1").arg(i + 1)},
                                      {"visitor_id", QStringLiteral("flood-%1").arg(i + 1)},
                                      {"last_time", base.addSecs(i).toSecsSinceEpoch()}}));
    }
    return {{"ids", ids}};
}

// The flood: message i goes to session i modulo the count, evenly paced over
// the second; answered with the last message's uuid once all are written.
void handle(DevServer::Server &server, const QJsonObject &command,
            const DevServerProcess::Answer &answer)
{
    const QJsonArray ids = command.value("ids").toArray();
    auto *timer = new QTimer(&server);
    auto clock = std::make_shared<QElapsedTimer>();
    auto sent = std::make_shared<int>(0);
    clock->start();
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, [=, &server] {
        const int due = std::min<int>(Messages, int(clock->elapsed() * Messages / FloodMs) + 1);
        QString uuid;
        for (; *sent < due; ++*sent) {
            const int id = ids.at(*sent % ids.size()).toInt();
            uuid = server.visitorSays(id, QStringLiteral("flood %1").arg(*sent))
                       .value(QStringLiteral("msg_uuid"))
                       .toString();
        }
        if (*sent == Messages) {
            timer->stop();
            timer->deleteLater();
            answer({{"lastUuid", uuid}, {"ms", double(clock->elapsed())}});
        }
    });
    timer->start(5);
}

int unreadSum(const orvantis &window)
{
    int sum = 0;
    for (const ChatSession &s : OrvantisTestAccess::map(&window))
        sum += s.unreadCount;
    return sum;
}

// Messages of the flood cached more than once. The cache is bounded: sessions
// beyond its reach are fetched again when opened, so missing ones are no fault.
int cacheMiscount(const orvantis &window)
{
    QSet<QString> seen;
    int cached = 0;
    for (const ChatSession &session : window.sessionList()) {
        for (const ChatMessage &m : window.store()->messages(session.id)) {
            if (m.content.startsWith(QLatin1String("flood "))) {
                ++cached;
                seen.insert(m.msgUuid);
            }
        }
    }
    return int(cached - seen.size());
}

int once(int argc, char *argv[], QJsonObject &out)
{
    DevServerProcess service;
    if (!service.start(seed, handle))
        return 2;
    const QJsonArray ids = service.seeded.value("ids").toArray();
    // The session the last message goes to is the open one.
    const int openIndex = (Messages - 1) % int(ids.size());
    const int openId = ids.at(openIndex).toInt();
    const int toOpen = Messages / int(ids.size()) + (openIndex < Messages % ids.size());

    QApplication app(argc, argv);
    styleAsClient();
    orvantis window;
    if (!waitSignedIn(window))
        return 2;
    window.show();
    if (!listAll(window, int(ids.size())) || !enterSession(window, openId))
        return 2;
    QWidget elsewhere;
    elsewhere.resize(200, 100);
    elsewhere.show();
    elsewhere.activateWindow();
    runEventsFor(500);

    const double rssStart = rssMiB();
    double rssPeak = rssStart;
    int ticks = 0;
    StallMeter stalls;
    stalls.onTick = [&] {
        if (++ticks % 25 == 0)
            rssPeak = std::max(rssPeak, rssMiB());
    };
    stalls.start();
    QElapsedTimer clock;
    clock.start();
    const QString lastUuid = service.call({{"ids", ids}}).value("lastUuid").toString();
    const bool counted = runUntil([&] { return unreadSum(window) >= Messages; }, 300000);
    out["allCountedSec"] = counted ? clock.elapsed() / 1000.0 : -1;
    runEventsFor(1000);
    stalls.stop();

    // The sessions start without history: every bubble is of the flood.
    QSet<QString> shown;
    for (ChatBubble *b : window.bubbles())
        shown.insert(b->msgUuid());
    const int bubbles = int(window.bubbles().size());
    out["stallMs"] = stalls.longestMs();
    out["rssGrowth"] = rssMiB() - rssStart;
    out["rssPeakGrowth"] = rssPeak - rssStart;
    out["unreadOff"] = std::abs(unreadSum(window) - Messages);
    out["cacheOff"] = cacheMiscount(window);
    out["bubblesOff"] = std::abs(bubbles - toOpen) + bubbles - int(shown.size());
    out["newestShown"] = int(!window.bubbles().isEmpty() && !lastUuid.isEmpty()
                             && window.bubbles().last()->msgUuid() == lastUuid);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const QList<Figure> figures {
        {"stallMs", "longest event-loop stall, ms", Figure::AtMost, 100},
        {"rssGrowth", "RSS growth, MiB", Figure::AtMost, 50},
        {"rssPeakGrowth", "RSS growth at its peak, MiB"},
        {"unreadOff", "unread counts: sum minus messages (abs)", Figure::AtMost, 0},
        {"cacheOff", "messages cached twice", Figure::AtMost, 0},
        {"bubblesOff", "open session: bubbles missing or twice", Figure::AtMost, 0},
        {"newestShown", "newest message is the last bubble (1 = yes)", Figure::AtLeast, 1},
        {"allCountedSec", "until every message counted, s (-1: never)"},
    };
    return repeat("flood: 10,000 visitor messages within 1 s into the open session and 200 others "
                  "(offscreen)",
                  argument(argc, argv, 1, 3), figures,
                  [&](QJsonObject &out) { return once(argc, argv, out); });
}
