#include "testsupport.h"

#include <QAccessible>
#include <QClipboard>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QPushButton>

#include "devserver/server.h"
#include "widgets/chatbubble.h"

namespace {

ChatMessage makeMessage(const QString &content, const QString &type = "text",
                        const QString &sender = "visitor")
{
    return ChatMessage::fromMap({{"content", content},
                                 {"msg_type", type},
                                 {"sender_name", sender},
                                 {"create_time", "2024-05-01T09:07:30"}});
}

// What a screen reader reads of a label: markup shown as it came stays markup.
// Zero-width spaces only mark where a line may break.
QString read(QLabel *label)
{
    return QAccessible::queryAccessibleInterface(label)->text(QAccessible::Name).remove(u'\u200b');
}

} // namespace

class TestChatBubble : public QObject
{
    Q_OBJECT

    DevServer::Server m_server;

private slots:
    void initTestCase() { QVERIFY(m_server.listen()); }
    void init() { ImageLoader::instance()->setLimits({}); }

    // What a bubble shows, as read: avatar, content, time, translation link ("-": hidden).
    void shown_data()
    {
        QTest::addColumn<ChatMessage>("message");
        QTest::addColumn<bool>("self");
        QTest::addColumn<QStringList>("shown");
        const QString markup = "<img src=\"http://127.0.0.1:1/t.png\"><b>x</b>";
        const QString limit(5000, 'a');
        const auto row
            = [](const char *name, const ChatMessage &message, bool self,
                 const QStringList &shown) { QTest::newRow(name) << message << self << shown; };
        row("markup", makeMessage(markup, "text", "<b>"), false, {"<", markup, "09:07", "T"});
        row("empty", makeMessage("", "text", ""), false, {"?", "", "09:07", "-"});
        row("file", makeMessage("a.pdf", "file", "😀 s"), false, {"😀", "a.pdf", "09:07", "-"});
        row("own", makeMessage("hi", "text", "mike"), true, {"-", "hi", "09:07", "-"});
        row("at the limit", makeMessage(limit, "text", "张"), false, {"张", limit, "09:07", "T"});
        // Cut before a character outside the basic plane, never through it.
        row("over the limit", makeMessage(limit.chopped(1) + "😀b", "text", "v"), false,
            {"V",
             limit.chopped(1) + "\n……（消息过长，仅显示前 4999 个字符，右键“复制消息”可复制全文）",
             "09:07", "T"});
    }
    void shown()
    {
        QFETCH(ChatMessage, message);
        QFETCH(bool, self);
        ChatBubble bubble(message, self);
        QStringList seen;
        for (QLabel *label : {bubble.avatarLabel(), bubble.contentLabel(), bubble.timeLabel()})
            seen << (label->isVisibleTo(&bubble) ? read(label) : "-");
        seen << (bubble.translateButton()->isVisibleTo(&bubble) ? "T" : "-");
        QTEST(seen, "shown");
        QVERIFY(!bubble.recallButton()->isVisibleTo(&bubble)); // not before confirmation
    }

    // A raw 200 reply when not empty, then the button and the label (empty: hidden).
    void translation_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("label");
        const auto row = [](const char *name, const QString &text, const QByteArray &reply,
                            const QString &button, const QString &label) {
            QTest::newRow(name) << text << reply << button << label;
        };
        row("translated", "hello", "", "已翻译", "你好");
        // Sent as a form, fully percent-encoded: the text comes back unchanged.
        row("already Chinese", "你好 1+1=2&x?", "", "已是中文", "你好 1+1=2&x?");
        row("empty translation", "hello", R"({"code":200,"data":{"translation":""}})", "无翻译结果",
            "");
        row("refused", "hello", R"({"code":500,"msg":"忙"})", "翻译失败", "翻译失败: 忙");
        row("no JSON", "hello", "{", "翻译失败", "翻译失败: 响应解析失败");
    }
    void translation()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, reply);
        QFETCH(QString, button);
        QFETCH(QString, label);
        if (!reply.isEmpty())
            m_server.setRawReply("/translate", 200, reply);
        ChatBubble bubble(makeMessage(text), false);
        bubble.setTranslateBaseUrl(m_server.restBaseUrl());
        bubble.translateButton()->click();
        QVERIFY(!bubble.translateButton()->isEnabled());
        QTRY_COMPARE(bubble.translateButton()->text(), button);
        QVERIFY(bubble.translateButton()->isEnabled());
        QCOMPARE(read(bubble.contentLabel()), text); // the message itself is never touched
        QCOMPARE(bubble.translationLabel()->isVisibleTo(&bubble), !label.isEmpty());
        QCOMPARE(read(bubble.translationLabel()), label);
        // A finished translation is final; anything else may be asked again.
        m_server.clearRequests();
        bubble.doTranslate();
        const bool final = button.startsWith("已");
        QTRY_COMPARE(bubble.translateButton()->text(), final ? button : "已翻译");
        QCOMPARE(m_server.requestsTo("/translate").size(), final ? 0 : 1);
    }

    // What a picture bubble shows once its picture has come or failed, and what
    // a click on it does then.
    void image_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("shown"); // a picture's size, or the placeholder
        const QString base = m_server.restBaseUrl().section('/', 0, 2);
        const QList<std::pair<const char *, QString>> rows {
            {"/images/demo-3.png", "240x150"}, // 480 x 300, scaled to fit
            {"/images/demo-4.png", "120x160"}, // never enlarged
            {"/images/missing.png", "[图片加载失败] 点击重试"},
            {"/hostile/endless.png", "[图片过大] 点击重试"},
            {"/hostile/huge.png", "[图片过大] 点击重试"},
            {"/hostile/bomb.png", "[图片过大] 点击重试"},
            {"/hostile/trickle.png", "[图片加载超时] 点击重试"},
            {"/hostile/malformed.png", "[图片无法显示] 点击重试"},
            {"/hostile/to-file.png", "[不支持的图片地址]"},
            {"file:///etc/passwd", "[不支持的图片地址]"},
            {"qrc:/icons/orvantis.png", "[不支持的图片地址]"},
            {"data:image/png;base64,iVBORw0KGgo=", "[不支持的图片地址]"}};
        for (const auto &[path, shown] : rows)
            QTest::newRow(path) << (path[0] == '/' ? base + path : path) << shown;
    }

    void image()
    {
        QFETCH(QString, url);
        QFETCH(QString, shown);
        ImageLoader::Limits limits;
        limits.stallMs = 2000;
        limits.totalMs = 3000; // a trickle keeps the stall off, never the total
        ImageLoader::instance()->setLimits(limits);
        m_server.clearRequests();
        ChatBubble bubble(makeMessage(url, "image"), true);
        QSignalSpy clicked(&bubble, &ChatBubble::imageClicked);
        QPushButton *button = bubble.imageButton();
        QVERIFY(bubble.contentLabel()->isHidden());
        QTRY_VERIFY_WITH_TIMEOUT(!button->text().startsWith("[图片加载中"), 10000);
        const QSize size = button->size();
        QCOMPARE(button->text().isEmpty() ? QString("%1x%2").arg(size.width()).arg(size.height())
                                          : button->text(),
                 shown);
        const int fetched = m_server.requestsTo(QUrl(url).path()).size();
        const bool picture = button->text().isEmpty(), retried = shown.endsWith("重试");
        button->click();
        // A picture opens; a failure is tried again where that can help.
        QCOMPARE(clicked.size(), int(picture));
        QTRY_COMPARE(m_server.requestsTo(QUrl(url).path()).size(), fetched + int(retried));
        QTRY_VERIFY_WITH_TIMEOUT(!button->text().startsWith("[图片加载中"), 10000);
        QCOMPARE(button->text(), picture ? QString() : shown);
    }

    // Pictures by the hundred, half of them gone while they load: every
    // bubble left shows its own, on a handful of file handles.
    void manyPictures()
    {
        const QString base = m_server.restBaseUrl().section('/', 0, 2) + "/images/demo-1.png?n=";
        const auto handles = [] { return QDir("/proc/self/fd").count(); };
        const qsizetype before = handles();
        std::vector<std::unique_ptr<ChatBubble>> bubbles;
        for (int i = 0; i < 700; ++i) {
            auto bubble = std::make_unique<ChatBubble>(
                makeMessage(base + QString::number(i), "image"), false);
            if (i % 2 == 0)
                bubbles.push_back(std::move(bubble));
        }
        QVERIFY(handles() < before + 30);
        for (const auto &bubble : bubbles)
            QTRY_COMPARE(bubble->imageButton()->size(), QSize(240, 165));
        QVERIFY(handles() < before + 30);
    }

    // A short text takes its own width on one line, a long one wraps at the
    // bubble's maximum, in a bubble as wide as a conversation column; an
    // unbroken word or link wraps too, cut nowhere, and is copied whole.
    void wrapping_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("oneLine");
        QTest::newRow("short") << "Wonderful afternoon" << true;
        QTest::newRow("many words") << QString("many words in a row ").repeated(12) << false;
        QTest::newRow("unbroken word") << QString(2000, 'w') << false;
        QTest::newRow("link") << "https://example.com/" + QString(100, 'p') << false;
    }
    void wrapping()
    {
        QFETCH(QString, text);
        QFETCH(bool, oneLine);
        ChatBubble bubble(makeMessage(text), false);
        bubble.show();
        bubble.resize(900, bubble.heightForWidth(900));
        QTRY_COMPARE(bubble.width(), 900);
        QLabel *label = bubble.contentLabel();
        const QFontMetrics metrics = label->fontMetrics();
        const QRect room = label->contentsRect();
        QCOMPARE(room.height() < 2 * metrics.lineSpacing(), oneLine);
        const QRect laidOut = metrics.boundingRect(room, Qt::TextWordWrap, label->text());
        QVERIFY(room.contains(laidOut));
        if (oneLine) // about as wide as the text
            QVERIFY(qAbs(room.width() - metrics.horizontalAdvance(text)) <= 12);
        else
            QCOMPARE(label->width(), 520);
        emit bubble.customContextMenuRequested({5, 5});
        QTRY_VERIFY(QApplication::activePopupWidget());
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        menu->actions().constFirst()->trigger();
        menu->close();
        QCOMPARE(QApplication::clipboard()->text(), text);
    }
};

ORVANTIS_TEST_MAIN(TestChatBubble)
#include "tst_chatbubble.moc"
