// Measures the "/" reply search over a library of 2,000 replies: the
// matching alone, and the popup brought up to date as after a keystroke
// (matching, rows and placement), for several queries; and how long a
// library of 5,000 replies takes to read. Goal: a keystroke within one frame
// (16 ms). Runs offscreen; nothing touches the user's files.

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextEdit>
#include <cstdio>

#include "benchsupport.h"
#include "widgets/replycompleter.h"
#include "widgets/replylibrary.h"

namespace {

using namespace Bench;

constexpr int Runs = 200;

// Replies as a shop writes them: Chinese with some Latin words and order
// numbers, titles of a few words, shortcuts on half of them.
QList<Reply> makeLibrary(int count)
{
    const QStringList words {
        QStringLiteral("您好"),   QStringLiteral("订单"),     QStringLiteral("退款"),
        QStringLiteral("物流"),   QStringLiteral("发货"),     QStringLiteral("优惠券"),
        QStringLiteral("售后"),   QStringLiteral("尺码"),     QStringLiteral("请稍等"),
        QStringLiteral("查询"),   QStringLiteral("Shipping"), QStringLiteral("refund"),
        QStringLiteral("coupon"), QStringLiteral("size"),     QStringLiteral("VIP"),
        QStringLiteral("感谢"),   QStringLiteral("工作日"),   QStringLiteral("地址")};
    QRandomGenerator random(4711);
    const auto phrase = [&](int length) {
        QString out;
        for (int i = 0; i < length; ++i)
            out += words.at(random.bounded(words.size()))
                + (random.bounded(4) == 0 ? QStringLiteral("，") : QString());
        return out;
    };
    QList<Reply> replies;
    for (int i = 0; i < count; ++i) {
        const QString shortcut = i % 2 ? QString() : QStringLiteral("k%1").arg(i);
        replies.append({phrase(2 + random.bounded(3)) + QString::number(i), shortcut,
                        phrase(8 + random.bounded(30)) + QStringLiteral("，订单号 %1").arg(i * 7)});
    }
    return replies;
}

double msOf(const std::function<void()> &action)
{
    QElapsedTimer timer;
    timer.start();
    action();
    return double(timer.nsecsElapsed()) / 1.0e6;
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    isolateEnvironment(home);
    QApplication app(argc, argv);

    const QList<Reply> library = makeLibrary(2000);
    const QStringList queries {QString(),
                               QStringLiteral("k"),
                               QStringLiteral("k1000"),
                               QStringLiteral("退"),
                               QStringLiteral("退款"),
                               QStringLiteral("SHIPPING"),
                               QStringLiteral("请稍等查询"),
                               QStringLiteral("订单号 7777"),
                               QStringLiteral("没有这样的回复")};

    QTextEdit editor;
    editor.resize(600, 120);
    editor.show();
    ReplyCompleter completer(&editor);
    completer.setReplies(library);

    std::printf("%zu replies, %d runs per query, medians in ms (max in brackets)\n",
                size_t(library.size()), Runs);
    std::printf("%-22s %8s %18s %18s\n", "query", "matches", "matching", "popup refresh");
    for (const QString &query : queries) {
        QList<double> matching, refresh;
        int matches = 0;
        for (int run = 0; run < Runs; ++run) {
            matching << msOf([&] {
                matches = int(matchReplies(library, query, ReplyCompleter::maxRows).size());
            });
            // The last character typed, as a keystroke would insert it: the
            // editor then announces both the change and the cursor's move.
            const QString typed = QLatin1Char('/') + query;
            {
                const QSignalBlocker blocker(&editor);
                editor.setPlainText(typed.chopped(1));
                editor.moveCursor(QTextCursor::End);
            }
            refresh << msOf([&] { editor.insertPlainText(typed.right(1)); });
            if (!completer.isOpen() && matches > 0)
                std::fprintf(stderr, "the popup did not open for \"%s\"\n", qPrintable(query));
        }
        const auto max
            = [](const QList<double> &v) { return *std::max_element(v.begin(), v.end()); };
        std::printf("%-22s %8d %9.3f (%6.3f) %9.3f (%6.3f)\n",
                    qPrintable(QLatin1Char('"') + query + QLatin1Char('"')), matches,
                    median(matching), max(matching), median(refresh), max(refresh));
    }

    // Reading the largest library a file may hold.
    const QByteArray json = ReplyLibrary::toJson(makeLibrary(ReplyLibrary::maxReplies));
    QList<double> reads, parses;
    for (int run = 0; run < 20; ++run) {
        parses << msOf([&] { QJsonDocument::fromJson(json); });
        reads << msOf([&] { ReplyLibrary::fromJson(json, nullptr); });
    }
    std::printf("reading %d replies (%.0f KiB): median %.2f ms, of which %.2f ms JSON parsing\n",
                ReplyLibrary::maxReplies, json.size() / 1024.0, median(reads), median(parses));
    return 0;
}
