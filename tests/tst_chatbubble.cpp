#include "testsupport.h"

#include <QAccessible>
#include <QImage>
#include <QLabel>
#include <QPushButton>

#include "devserver/standinserver.h"
#include "widgets/chatbubble.h"

#include <memory>

using StandIn::Fault;

namespace {

ChatMessage makeMessage(const QString &content, const QString &type = "text",
                        const QString &sender = "visitor")
{
    ChatMessage m;
    m.content = content;
    m.msgType = type;
    m.senderName = sender;
    m.createdAt = QDateTime(QDate(2024, 5, 1), QTime(9, 7, 30));
    return m;
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

    QString fileUrl(const QString &name) const
    {
        return QStringLiteral("http://127.0.0.1:%1/uploads/%2").arg(m_server.port()).arg(name);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.listen());
        QImage image(480, 300, QImage::Format_RGB32);
        image.fill(Qt::blue);
        QVERIFY(image.save(QDir(m_server.uploadDir()).filePath("wide.png"), "PNG"));
        QFile junk(QDir(m_server.uploadDir()).filePath("junk.png"));
        QVERIFY(junk.open(QIODevice::WriteOnly) && junk.write("not an image") > 0);
    }

    void init()
    {
        m_server.clearFaults();
        m_server.clearRequests();
    }

    void shown_data()
    {
        QTest::addColumn<ChatMessage>("message");
        QTest::addColumn<bool>("fromSelf");
        QTest::addColumn<QString>("texts"); // avatar|content|time as read
        QTest::addColumn<bool>("translatable");
        const QString markup = "<img src=\"http://127.0.0.1:1/t.png\"><b>x</b>";
        const QString limit(5000, 'a');
        QTest::newRow("visitor") << makeMessage("hi", "text", "mike") << false << "M|hi|09:07"
                                 << true;
        QTest::newRow("markup") << makeMessage(markup, "text", "<b>") << false
                                << "<|" + markup + "|09:07" << true;
        QTest::newRow("empty") << makeMessage("", "text", "") << false << "?||09:07" << false;
        QTest::newRow("file, wide letter")
            << makeMessage("a.pdf", "file", "😀 s") << false << "😀|a.pdf|09:07" << false;
        QTest::newRow("own") << makeMessage("hi", "text", "me") << true << "M|hi|09:07" << false;
        QTest::newRow("at the limit")
            << makeMessage(limit, "text", "张") << false << "张|" + limit + "|09:07" << true;
    }

    void shown()
    {
        QFETCH(ChatMessage, message);
        QFETCH(bool, fromSelf);
        QFETCH(QString, texts);
        QFETCH(bool, translatable);
        ChatBubble bubble(message, fromSelf);
        const QStringList read = {::read(bubble.avatarLabel()), ::read(bubble.contentLabel()),
                                  ::read(bubble.timeLabel())};
        QCOMPARE(read.join('|'), texts);
        QCOMPARE(bubble.avatarLabel()->isVisibleTo(&bubble), !fromSelf);
        QCOMPARE(bubble.translateButton()->isVisibleTo(&bubble), translatable);
        QVERIFY(bubble.imageButton()->isHidden());
    }

    void hugeTextIsCut()
    {
        // The character at the cut lies outside the basic plane: never half of it.
        const QString huge = QString(4999, 'a') + QStringLiteral("😀") + QString(100000, 'b');
        const QString shown = ChatBubble(makeMessage(huge), false).contentLabel()->text();
        QCOMPARE(shown.left(5000), huge.left(4999) + '\n');
        QVERIFY(shown.contains(QStringLiteral("仅显示前 4999 个字符")));
    }

    void recall()
    {
        ChatBubble own(makeMessage("sent"), true);
        QSignalSpy recall(&own, &ChatBubble::recallClicked);
        QVERIFY(!own.recallButton()->isVisibleTo(&own)); // not confirmed yet
        own.setMsgUuid("abc");
        own.recallButton()->click();
        QCOMPARE(recall, QList<QVariantList>({{"abc"}}));
        own.setMsgUuid(QString());
        QVERIFY(!own.recallButton()->isVisibleTo(&own));
        ChatBubble visitor(makeMessage("x"), false); // a visitor's message never offers recall
        visitor.setMsgUuid("other");
        QVERIFY(!visitor.recallButton()->isVisibleTo(&visitor));
    }

    void translation_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("fault"); // -1: none, else a StandIn::Fault
        QTest::addColumn<QByteArray>("raw"); // a raw 200 reply instead, when not empty
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("label"); // empty: hidden; ending in '*': a prefix
        const auto row = [](const char *tag, const char *text, int fault, const char *raw,
                            const char *button, const char *label) {
            QTest::newRow(tag) << text << fault << QByteArray(raw) << button << label;
        };
        row("translated", "hello", -1, "", "已翻译", "你好");
        row("same text", "你好，在吗", -1, "", "已是中文", "你好，在吗");
        row("markup", "hello", -1, R"({"code":200,"data":{"translation":"<b>粗</b>"}})", "已翻译",
            "<b>粗</b>");
        row("empty", "hello", -1, R"({"code":200,"data":{"translation":""}})", "无翻译结果", "");
        row("refused", "hello", int(Fault::Refuse), "", "翻译失败", "翻译失败: 服务暂不可用");
        row("no msg", "hello", -1, R"({"code":500})", "翻译失败", "翻译失败: 未知错误");
        row("transport error", "hello", int(Fault::Http500), "", "翻译失败", "翻译失败: *");
        row("unparsable", "hello", int(Fault::NotJson), "", "翻译失败", "翻译失败: 响应解析失败");
    }

    void translation()
    {
        QFETCH(QString, text);
        QFETCH(int, fault);
        QFETCH(QByteArray, raw);
        QFETCH(QString, button);
        QFETCH(QString, label);
        if (fault >= 0)
            m_server.injectFault("/translate", Fault(fault), 5);
        if (!raw.isEmpty())
            m_server.setRawReply("/translate", 200, raw);
        ChatBubble bubble(makeMessage(text), false);
        bubble.setTranslateBaseUrl(m_server.restBaseUrl());
        bubble.doTranslate();
        QCOMPARE(bubble.translateButton()->text(), QStringLiteral("翻译中..."));
        QVERIFY(!bubble.translateButton()->isEnabled());
        QTRY_COMPARE(bubble.translateButton()->text(), button);
        QVERIFY(bubble.translateButton()->isEnabled());
        QCOMPARE(read(bubble.contentLabel()), text); // the message itself is never touched
        QCOMPARE(bubble.translationLabel()->isVisibleTo(&bubble), !label.isEmpty());
        const QString shown = read(bubble.translationLabel());
        QVERIFY2(label.endsWith('*') ? shown.startsWith(label.chopped(1)) : shown == label,
                 qPrintable(shown));
        // A finished translation is final; anything else may be asked again.
        m_server.clearFaults();
        m_server.clearRequests();
        bubble.doTranslate();
        QTest::qWait(50);
        const bool final = button.startsWith("已");
        QCOMPARE(m_server.requestsTo("/translate").size(), final ? 0 : 1);
        QTRY_COMPARE(bubble.translateButton()->text(), final ? button : "已翻译");
    }

    void encodedText()
    {
        // Sent as a form, every value fully percent-encoded, without a token.
        ChatBubble bubble(makeMessage("1+1 = 2 & more?"), false);
        bubble.setTranslateBaseUrl(m_server.restBaseUrl());
        bubble.setMemberId(3);
        bubble.translateButton()->click();
        QTRY_VERIFY(bubble.translateButton()->isEnabled());
        const StandIn::RecordedRequest sent = m_server.requestsTo("/translate").value(0);
        QCOMPARE(sent.path, QStringLiteral("/api/translate"));
        QCOMPARE(sent.body, "text=1%2B1%20%3D%202%20%26%20more%3F&target=zh-CN&user_id=3");
        QVERIFY(!sent.hasHeader("Authorization"));
    }

    void image_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("placeholder"); // empty: loads as a 240x150 thumbnail
        QTest::newRow("loads") << fileUrl("wide.png") << QString();
        QTest::newRow("not an image") << fileUrl("junk.png") << QStringLiteral("[图片]");
        QTest::newRow("404") << fileUrl("missing.png") << QStringLiteral("[图片加载失败]");
        QTest::newRow("no url") << QString() << QString();
    }

    void image()
    {
        QFETCH(QString, url);
        QFETCH(QString, placeholder);
        ChatBubble bubble(makeMessage(url, "image"), true);
        QSignalSpy clicked(&bubble, &ChatBubble::imageClicked);
        QVERIFY(bubble.contentLabel()->isHidden());
        if (!placeholder.isEmpty()) {
            QTRY_COMPARE(bubble.contentLabel()->text(), placeholder);
            QVERIFY(bubble.contentLabel()->isVisibleTo(&bubble));
            QVERIFY(bubble.imageButton()->isHidden());
        } else if (url.isEmpty()) {
            QTest::qWait(100);
            QVERIFY(m_server.requests().isEmpty() && bubble.imageButton()->icon().isNull());
        } else {
            QTRY_COMPARE(bubble.imageButton()->size(), QSize(240, 150));
            QCOMPARE(bubble.imageButton()->iconSize(), QSize(240, 150));
            bubble.imageButton()->click();
            QCOMPARE(clicked, QList<QVariantList>({{url}}));
        }
    }
};

ORVANTIS_TEST_MAIN(ChatBubbleTest)
#include "tst_chatbubble.moc"
