// Pictures: a visitor sends 1,000 pictures into the open conversation of the
// real main window (offscreen), 200 a second, each at an address of its own
// that the stand-in service serves from a process of its own. What the
// window holds while it fetches and shows them: open files, threads and
// memory, and the longest stall of its event loop.
//
//   bench_pictures [runs]      (default 3)

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QPushButton>

#include "benchsupport.h"
#include "widgets/chatbubble.h"

namespace {

using namespace Bench;

constexpr int Pictures = 1000;
constexpr int PerSecond = 200;

// One open session, and the pictures as files of the service's uploads:
// gradients of a colour each, a few kilobytes as PNG.
QJsonObject seed(DevServer::Server &server)
{
    const int id = server.addSession({{"visitor_name", QStringLiteral("发图的访客")}});
    const QString base = server.restBaseUrl().chopped(4) + QStringLiteral("/uploads/");
    QImage image(480, 320, QImage::Format_RGB32);
    for (int i = 0; i < Pictures; ++i) {
        QLinearGradient gradient(0, 0, image.width(), image.height());
        gradient.setColorAt(0, QColor::fromHsv(i * 37 % 360, 160, 250));
        gradient.setColorAt(1, QColor::fromHsv(i * 53 % 360, 220, 120));
        QPainter(&image).fillRect(image.rect(), gradient);
        image.save(QStringLiteral("%1/picture-%2.png").arg(server.uploadDir()).arg(i), "PNG");
    }
    return {{"id", id}, {"base", base}};
}

// Sends the pictures, paced; answered once all are written.
void handle(DevServer::Server &server, const QJsonObject &command,
            const DevServerProcess::Answer &answer)
{
    const int id = command.value("id").toInt();
    const QString base = command.value("base").toString();
    auto *timer = new QTimer(&server);
    auto sent = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [=, &server] {
        server.visitorSays(id, QStringLiteral("%1picture-%2.png").arg(base).arg(*sent),
                           QStringLiteral("image"));
        if (++*sent == Pictures) {
            timer->stop();
            timer->deleteLater();
            answer({{"sent", *sent}});
        }
    });
    timer->start(1000 / PerSecond);
}

int picturesShown(const orvantis &window)
{
    int n = 0;
    for (ChatBubble *bubble : window.bubbles())
        n += bubble && !bubble->imageButton()->icon().isNull();
    return n;
}

int once(int argc, char *argv[], QJsonObject &out)
{
    DevServerProcess service;
    if (!service.start(seed, handle))
        return 2;
    QApplication app(argc, argv);
    styleAsClient();
    orvantis window;
    if (!openInFront(window, service.seeded.value("id").toInt()))
        return 2;
    runEventsFor(500);

    const int filesStart = openFiles();
    const int threadsStart = threadCount();
    const double rssStart = rssMiB();
    int filesPeak = filesStart;
    int threadsPeak = threadsStart;
    double rssPeak = rssStart;
    int ticks = 0;
    StallMeter stalls;
    stalls.onTick = [&] {
        if (++ticks % 10)
            return;
        filesPeak = std::max(filesPeak, openFiles());
        threadsPeak = std::max(threadsPeak, threadCount());
        rssPeak = std::max(rssPeak, rssMiB());
    };
    stalls.start();
    QElapsedTimer clock;
    clock.start();
    service.call(service.seeded, 60000);
    // Done when every picture is shown, or when none has come for 10 s.
    int shown = 0;
    QElapsedTimer sinceProgress;
    sinceProgress.start();
    runUntil(
        [&] {
            if (const int now = picturesShown(window); now != shown) {
                shown = now;
                sinceProgress.restart();
            }
            return shown >= Pictures || sinceProgress.elapsed() > 10000;
        },
        300000);
    out["allShownSec"] = shown >= Pictures ? clock.elapsed() / 1000.0 : -1;
    runEventsFor(1000);
    stalls.stop();

    out["filesAbove"] = filesPeak - filesStart;
    out["threadsAbove"] = threadsPeak - threadsStart;
    out["rssGrowth"] = rssMiB() - rssStart;
    out["rssPeakGrowth"] = rssPeak - rssStart;
    out["stallMs"] = stalls.longestMs();
    out["shown"] = picturesShown(window);
    out["bubbles"] = int(window.bubbles().size());
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const QList<Figure> figures {
        {"filesAbove", "open files, peak above the start", Figure::AtMost, 20},
        {"threadsAbove", "threads, peak above the start", Figure::AtMost, 20},
        {"rssGrowth", "RSS growth, MiB", Figure::AtMost, 100},
        {"rssPeakGrowth", "RSS growth at its peak, MiB"},
        {"stallMs", "longest event-loop stall, ms", Figure::AtMost, 50},
        {"shown", "pictures shown"},
        {"bubbles", "bubbles in the conversation"},
        {"allShownSec", "until every picture shown, s (-1: never)"},
    };
    return repeat("pictures: 1,000 picture messages, 200 a second, into the open conversation "
                  "(offscreen)",
                  argument(argc, argv, 1, 3), figures,
                  [&](QJsonObject &out) { return once(argc, argv, out); });
}
