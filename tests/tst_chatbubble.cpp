#include "testsupport.h"

#include <QAccessible>
#include <QLabel>
#include <QPushButton>

#include "devserver/standinserver.h"
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
QString read(QLabel *label)
{
    return QAccessible::queryAccessibleInterface(label)->text(QAccessible::Name);
}

} // namespace

class ChatBubbleTest : public QObject
{
    Q_OBJECT

    StandIn::StandInServer m_server;

private slots:
    void initTestCase() { QVERIFY(m_server.listen()); }

    void shown()
    {
        const QString markup = "<img src=\"http://127.0.0.1:1/t.png\"><b>x</b>";
        const QString limit(5000, 'a');
        // Content, type, sender, own, then avatar|content|time|translate link, as read.
        const QList<std::tuple<QString, QString, QString, bool, QString>> rows {
            {markup, "text", "<b>", false, "<|" + markup + "|09:07|T"},
            {"", "text", "", false, "?||09:07|-"},
            {"a.pdf", "file", "😀 s", false, "😀|a.pdf|09:07|-"},
            {"hi", "text", "mike", true, "-|hi|09:07|-"},
            {limit, "text", "张", false, "张|" + limit + "|09:07|T"},
            // Cut before a character outside the basic plane, never through it.
            {limit.chopped(1) + "😀b", "text", "v", false,
             "V|" + limit.chopped(1)
                 + "\n……（消息过长，仅显示前 4999 个字符，右键“复制消息”可复制全文）|09:07|T"}};
        for (const auto &[content, type, sender, self, texts] : rows) {
            ChatBubble bubble(makeMessage(content, type, sender), self);
            QStringList shown;
            for (QLabel *label : {bubble.avatarLabel(), bubble.contentLabel(), bubble.timeLabel()})
                shown << (label->isVisibleTo(&bubble) ? read(label) : "-");
            shown << (bubble.translateButton()->isVisibleTo(&bubble) ? "T" : "-");
            QCOMPARE(shown.join('|'), texts);
            QVERIFY(!bubble.recallButton()->isVisibleTo(&bubble)); // not before confirmation
        }
    }

    void translation()
    {
        // Text, a raw 200 reply when not empty, the button, the label (empty: hidden).
        const QList<std::tuple<QString, QByteArray, QString, QString>> rows {
            {"hello", "", "已翻译", "你好"},
            // Sent as a form, fully percent-encoded: the text comes back unchanged.
            {"你好 1+1=2&x?", "", "已是中文", "你好 1+1=2&x?"},
            {"hello", R"({"code":200,"data":{"translation":""}})", "无翻译结果", ""},
            {"hello", R"({"code":500,"msg":"忙"})", "翻译失败", "翻译失败: 忙"},
            {"hello", "{", "翻译失败", "翻译失败: 响应解析失败"}};
        for (const auto &[text, reply, button, label] : rows) {
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
    }

    void image()
    {
        const QString base = m_server.restBaseUrl().section('/', 0, 2) + "/images/";
        ChatBubble bubble(makeMessage(base + "demo-3.png", "image"), true); // 480 x 300
        ChatBubble missing(makeMessage(base + "missing.png", "image"), true);
        QSignalSpy clicked(&bubble, &ChatBubble::imageClicked);
        QVERIFY(bubble.contentLabel()->isHidden());
        QTRY_COMPARE(bubble.imageButton()->size(), QSize(240, 150)); // scaled to fit
        bubble.imageButton()->click();
        QCOMPARE(clicked, QList<QVariantList>({{base + "demo-3.png"}}));
        QTRY_COMPARE(missing.contentLabel()->text(), QStringLiteral("[图片加载失败]"));
        QVERIFY(missing.contentLabel()->isVisibleTo(&missing) && missing.imageButton()->isHidden());
    }

    // A short text takes its own width on one line, a long one wraps at the
    // bubble's maximum, in a bubble as wide as a conversation column.
    void wrapping()
    {
        for (const auto &[text, oneLine] :
             {std::pair(QString("Wonderful afternoon"), true),
              std::pair(QString("many words in a row ").repeated(12), false)}) {
            ChatBubble bubble(makeMessage(text), false);
            bubble.show();
            bubble.resize(900, bubble.heightForWidth(900));
            QTRY_COMPARE(bubble.width(), 900);
            QLabel *label = bubble.contentLabel();
            const QFontMetrics metrics = label->fontMetrics();
            const QRect room = label->contentsRect();
            QCOMPARE(room.height() < 2 * metrics.lineSpacing(), oneLine);
            if (oneLine) // about as wide as the text
                QVERIFY(qAbs(room.width() - metrics.horizontalAdvance(text)) <= 12);
            else
                QCOMPARE(label->width(), 520);
        }
    }
};

ORVANTIS_TEST_MAIN(ChatBubbleTest)
#include "tst_chatbubble.moc"
