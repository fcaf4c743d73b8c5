// Paste of a screenshot: a 3840 x 2400 picture on the clipboard (flat panels,
// lines of "text" and a noisy photo in a corner, so that it encodes to a few
// megabytes like a real one), Ctrl+V in the message editor of the real main
// window (offscreen) with a session open. The event loop must keep running
// while the picture is read, encoded and uploaded to the stand-in service,
// which runs in a process of its own.
//
//   bench_paste [runs]      (default 5)

#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QRandomGenerator>
#include <QTextEdit>

#include "benchsupport.h"
#include "widgets/chatbubble.h"

namespace {

using namespace Bench;

QImage screenshot()
{
    QImage image(3840, 2400, QImage::Format_RGB32);
    image.fill(QColor(0xf4, 0xf5, 0xf7));
    QPainter painter(&image);
    painter.fillRect(0, 0, 560, 2400, QColor(0x2b, 0x31, 0x3c));
    QRandomGenerator random(4711);
    for (int y = 120; y < 2300; y += 36) {
        for (int x = 640; x < 3700;) {
            const int word = 40 + int(random.bounded(160));
            painter.fillRect(x, y, word, 18, QColor(0x33, 0x33, 0x33));
            x += word + 16;
        }
    }
    painter.end();
    // The photo: a tenth of the picture, pure noise.
    for (int y = 1500; y < 2400; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 2800; x < 3840; ++x)
            line[x] = 0xff000000 | (random.generate() & 0xffffff);
    }
    return image;
}

int once(int argc, char *argv[], QJsonObject &out)
{
    DevServerProcess service;
    const auto seed = [](DevServer::Server &server) {
        return QJsonObject {{"id", server.addSession({{"visitor_name", "访客"}})}};
    };
    if (!service.start(seed, [](auto &, auto &, auto &) {}))
        return 2;
    QApplication app(argc, argv);
    styleAsClient();
    orvantis window;
    if (!openInFront(window, service.seeded.value("id").toInt()))
        return 2;
    const QImage image = screenshot();
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    out["pngMiB"] = png.size() / 1048576.0;
    QGuiApplication::clipboard()->setImage(image);
    runEventsFor(500);

    auto *editor = window.findChild<QTextEdit *>("messageEdit");
    auto *status = window.findChild<QLabel *>("statusLabel");
    const int bubblesBefore = int(window.bubbles().size());
    // Watched at the stall meter's pace: when the upload goes out (the status
    // says so) and when it is done (the picture's own bubble appears).
    double uploadStarts = -1;
    double uploaded = -1;
    QElapsedTimer clock;
    StallMeter stalls;
    stalls.onTick = [&] {
        if (uploadStarts < 0 && status->text() == QStringLiteral("图片上传中..."))
            uploadStarts = clock.nsecsElapsed() / 1.0e6;
        if (uploaded < 0 && window.bubbles().size() > bubblesBefore)
            uploaded = clock.nsecsElapsed() / 1.0e6;
    };
    editor->setFocus();
    stalls.start();
    clock.start();
    QKeyEvent press(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier, QStringLiteral("\x16"));
    QCoreApplication::sendEvent(editor, &press);
    out["keyMs"] = clock.nsecsElapsed() / 1.0e6;
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_V, Qt::ControlModifier);
    QCoreApplication::sendEvent(editor, &release);
    runUntil([&] { return uploaded >= 0; }, 60000);
    const double stallUntilUploaded = stalls.longestMs();
    const bool confirmed = runUntil(
        [&] {
            return window.bubbles().size() > bubblesBefore
                && !window.bubbles().last()->msgUuid().isEmpty();
        },
        10000);
    stalls.stop();

    out["stallMs"] = stallUntilUploaded;
    out["uploadStartsMs"] = uploadStarts;
    out["uploadedMs"] = uploaded;
    out["confirmedMs"] = confirmed ? clock.nsecsElapsed() / 1.0e6 : -1;
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const QList<Figure> figures {
        {"stallMs", "longest stall until the upload is done, ms", Figure::AtMost, 50},
        {"keyMs", "Ctrl+V handled, ms"},
        {"uploadStartsMs", "until the upload starts, ms (-1: never)"},
        {"uploadedMs", "until uploaded (own bubble shown), ms (-1: never)"},
        {"confirmedMs", "until confirmed by the service, ms (-1: never)"},
        {"pngMiB", "the picture as PNG, MiB"},
    };
    return repeat("paste: a 3840 x 2400 screenshot, Ctrl+V in the message editor (offscreen)",
                  argument(argc, argv, 1, 5), figures,
                  [&](QJsonObject &out) { return once(argc, argv, out); });
}
