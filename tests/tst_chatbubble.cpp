#include "testsupport.h"

#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>

#include "devserver/standinserver.h"
#include "widgets/chatbubble.h"

#include <memory>

using StandIn::Fault;

namespace {

ChatMessage makeMessage(const QString &content, const QString &type = QStringLiteral("text"),
                        const QString &sender = QStringLiteral("visitor"))
{
    ChatMessage m;
    m.content = content;
    m.msgType = type;
    m.senderName = sender;
    m.createdAt = QDateTime(QDate(2024, 5, 1), QTime(9, 7, 30));
    return m;
}

} // namespace

class ChatBubbleTest : public QObject
{
    Q_OBJECT

private:
    StandIn::StandInServer m_server;

    QString fileUrl(const QString &name) const
    {
        return QStringLiteral("http://127.0.0.1:%1/uploads/%2").arg(m_server.port()).arg(name);
    }

    std::unique_ptr<ChatBubble> visitorBubble(const QString &text)
    {
        auto bubble = std::make_unique<ChatBubble>(makeMessage(text), false);
        bubble->setTranslateBaseUrl(m_server.restBaseUrl());
        bubble->setMemberId(3);
        return bubble;
    }

private slots:
    void initTestCase();
    void init()
    {
        m_server.clearFaults();
        m_server.clearRequests();
    }

    void avatarLetter_data();
    void avatarLetter();
    void markupShownLiterally();
    void hugeTextIsCut();
    void recall();
    void translateVisibility_data();
    void translateVisibility();
    void translateRequest();
    void translation_data();
    void translation();
    void image_data();
    void image();
    void emptyImageUrlIssuesNoRequest();
};

void ChatBubbleTest::initTestCase()
{
    QVERIFY(m_server.listen());
    QImage image(480, 300, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QVERIFY(image.save(QDir(m_server.uploadDir()).filePath(QStringLiteral("wide.png")), "PNG"));
    QFile junk(QDir(m_server.uploadDir()).filePath(QStringLiteral("junk.png")));
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write("this is not an image at all");
}

void ChatBubbleTest::avatarLetter_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QString>("letter");
    QTest::newRow("empty") << QString() << QStringLiteral("?");
    QTest::newRow("lower case") << QStringLiteral("mike") << QStringLiteral("M");
    QTest::newRow("chinese") << QStringLiteral("张三") << QStringLiteral("张");
    QTest::newRow("outside basic plane") << QStringLiteral("😀 smile") << QStringLiteral("😀");
}

void ChatBubbleTest::avatarLetter()
{
    QFETCH(QString, sender);
    QFETCH(QString, letter);
    ChatBubble bubble(makeMessage(QStringLiteral("hi"), QStringLiteral("text"), sender), false);
    QCOMPARE(bubble.avatarLabel()->text(), letter);
}

void ChatBubbleTest::markupShownLiterally()
{
    const QString markup = QStringLiteral("<img src=\"http://127.0.0.1:1/track.png\"><b>x</b>");
    ChatBubble bubble(makeMessage(markup, QStringLiteral("text"), QStringLiteral("<b>")), false);
    QCOMPARE(bubble.contentLabel()->text(), markup);
    for (QLabel *label : {bubble.contentLabel(), bubble.translationLabel(), bubble.avatarLabel()})
        QCOMPARE(label->textFormat(), Qt::PlainText);
    QCOMPARE(bubble.avatarLabel()->text(), QStringLiteral("<"));
}

void ChatBubbleTest::hugeTextIsCut()
{
    const QString huge = QStringLiteral("word ").repeated(20000); // 100,000 characters
    ChatBubble bubble(makeMessage(huge), false);
    const QString shown = bubble.contentLabel()->text();
    QVERIFY(shown.size() < 10000);
    QVERIFY(huge.startsWith(shown.left(4000)));
    QVERIFY(shown.contains(QStringLiteral("消息过长")));
    QVERIFY(bubble.translateButton()->isVisibleTo(&bubble)); // the whole text is translatable

    // Exactly at the limit nothing is cut.
    const QString limit(5000, QLatin1Char('a'));
    QCOMPARE(ChatBubble(makeMessage(limit), false).contentLabel()->text(), limit);
}

void ChatBubbleTest::recall()
{
    ChatBubble own(makeMessage(QStringLiteral("sent"), QStringLiteral("text"), QStringLiteral("me")), true);
    QSignalSpy recall(&own, &ChatBubble::recallClicked);
    QVERIFY(!own.recallButton()->isVisibleTo(&own)); // not confirmed yet
    own.setMsgUuid(QStringLiteral("abc"));
    QVERIFY(own.recallButton()->isVisibleTo(&own));
    own.recallButton()->click();
    QCOMPARE(recall.count(), 1);
    QCOMPARE(recall.first().first().toString(), QStringLiteral("abc"));
    own.setMsgUuid(QString());
    QVERIFY(!own.recallButton()->isVisibleTo(&own));

    // A visitor's message never offers recall.
    ChatBubble visitor(makeMessage(QStringLiteral("x")), false);
    visitor.setMsgUuid(QStringLiteral("other"));
    QVERIFY(!visitor.recallButton()->isVisibleTo(&visitor));
}

void ChatBubbleTest::translateVisibility_data()
{
    QTest::addColumn<bool>("fromSelf");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("content");
    QTest::addColumn<bool>("translatable");
    QTest::newRow("visitor text") << false << "text" << "hello" << true;
    QTest::newRow("visitor empty text") << false << "text" << "" << false;
    QTest::newRow("own text") << true << "text" << "hello" << false;
    QTest::newRow("other type") << false << "file" << "doc.pdf" << false; // shown as text
}

void ChatBubbleTest::translateVisibility()
{
    QFETCH(bool, fromSelf);
    QFETCH(QString, type);
    QFETCH(QString, content);
    QFETCH(bool, translatable);
    ChatBubble bubble(makeMessage(content, type), fromSelf);
    QCOMPARE(bubble.translateButton()->isVisibleTo(&bubble), translatable);
    QCOMPARE(bubble.contentLabel()->text(), content);
}

void ChatBubbleTest::translateRequest()
{
    auto bubble = visitorBubble(QStringLiteral("1+1 = 2 & more?"));
    bubble->doTranslate();
    QCOMPARE(bubble->translateButton()->text(), QStringLiteral("翻译中..."));
    QVERIFY(!bubble->translateButton()->isEnabled());
    QTRY_VERIFY(bubble->translateButton()->isEnabled());

    const auto sent = m_server.requestsTo(QStringLiteral("/translate"));
    QCOMPARE(sent.size(), 1);
    const StandIn::RecordedRequest &r = sent.first();
    QCOMPARE(r.method, QByteArray("POST"));
    QCOMPARE(r.path, QStringLiteral("/api/translate"));
    QVERIFY(r.header("Content-Type").startsWith("application/x-www-form-urlencoded"));
    QVERIFY(!r.hasHeader("Authorization"));
    // Fully percent-encoded, so "+" and "&" in the text survive.
    QCOMPARE(r.body, QByteArray("text=1%2B1%20%3D%202%20%26%20more%3F&target=zh-CN&user_id=3"));
}

void ChatBubbleTest::translation_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("fault"); // -1: none, else a StandIn::Fault
    QTest::addColumn<QByteArray>("raw"); // a raw 200 reply instead, when not empty
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("label"); // empty: label stays hidden; ends in '*': prefix
    QTest::addColumn<bool>("translated");

    QTest::newRow("translated") << "hello" << -1 << QByteArray() << "已翻译" << "你好" << true;
    QTest::newRow("same text") << "你好，在吗" << -1 << QByteArray() << "已是中文" << "你好，在吗" << true;
    QTest::newRow("empty result") << "hello" << -1 << QByteArray(R"({"code":200,"msg":"ok","data":{"translation":""}})")
                                  << "无翻译结果" << "" << false;
    QTest::newRow("refused") << "hello" << int(Fault::Refuse) << QByteArray() << "翻译失败"
                             << "翻译失败: 服务暂不可用" << false;
    QTest::newRow("transport error") << "hello" << int(Fault::Http500) << QByteArray() << "翻译失败"
                                     << "翻译失败: *" << false;
    QTest::newRow("dropped") << "hello" << int(Fault::DropConnection) << QByteArray() << "翻译失败"
                             << "翻译失败: *" << false;
    QTest::newRow("unparsable") << "hello" << int(Fault::NotJson) << QByteArray() << "翻译失败"
                                << "翻译失败: 响应解析失败" << false;
    QTest::newRow("translation is markup") << "hello" << -1
                                           << QByteArray(R"({"code":200,"data":{"translation":"<b>粗</b>"}})")
                                           << "已翻译" << "<b>粗</b>" << true;
}

void ChatBubbleTest::translation()
{
    QFETCH(QString, text);
    QFETCH(int, fault);
    QFETCH(QByteArray, raw);
    QFETCH(QString, button);
    QFETCH(QString, label);
    QFETCH(bool, translated);

    if (fault >= 0)
        m_server.injectFault(QStringLiteral("/translate"), Fault(fault), 5);
    if (!raw.isEmpty())
        m_server.setRawReply(QStringLiteral("/translate"), 200, raw);

    auto bubble = visitorBubble(text);
    bubble->doTranslate();
    QTRY_COMPARE(bubble->translateButton()->text(), button);
    QVERIFY(bubble->translateButton()->isEnabled());
    QCOMPARE(bubble->contentLabel()->text(), text); // the message itself is never touched
    QCOMPARE(bubble->translationLabel()->isVisibleTo(bubble.get()), !label.isEmpty());
    const QString shown = bubble->translationLabel()->text();
    if (label.endsWith(QLatin1Char('*')))
        QVERIFY2(shown.startsWith(label.chopped(1)) && shown.size() >= label.size(), qPrintable(shown));
    else if (!label.isEmpty())
        QCOMPARE(shown, label);

    // A finished translation is final; anything else may be asked again, and
    // an earlier error stays until the new answer replaces it.
    m_server.clearFaults();
    m_server.clearRequests();
    bubble->doTranslate();
    if (translated) {
        QCOMPARE(bubble->translateButton()->text(), button);
        QTest::qWait(50);
        QCOMPARE(m_server.requestsTo(QStringLiteral("/translate")).size(), 0);
    } else {
        QCOMPARE(bubble->translateButton()->text(), QStringLiteral("翻译中..."));
        QCOMPARE(bubble->translationLabel()->text(), shown);
        QTRY_COMPARE(bubble->translateButton()->text(), QStringLiteral("已翻译"));
        QCOMPARE(bubble->translationLabel()->text(), QStringLiteral("你好"));
    }
}

void ChatBubbleTest::image_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("placeholder"); // empty: the image loads as a 240x150 thumbnail
    QTest::newRow("loads") << fileUrl(QStringLiteral("wide.png")) << QString();
    QTest::newRow("not an image") << fileUrl(QStringLiteral("junk.png")) << QStringLiteral("[图片]");
    QTest::newRow("404") << fileUrl(QStringLiteral("missing.png")) << QStringLiteral("[图片加载失败]");
    QTest::newRow("refused") << QStringLiteral("http://127.0.0.1:1/x.png") << QStringLiteral("[图片加载失败]");
}

void ChatBubbleTest::image()
{
    QFETCH(QString, url);
    QFETCH(QString, placeholder);
    ChatBubble bubble(makeMessage(url, QStringLiteral("image")), true);
    QSignalSpy clicked(&bubble, &ChatBubble::imageClicked);
    QVERIFY(bubble.contentLabel()->isHidden());
    if (placeholder.isEmpty()) {
        QTRY_COMPARE(bubble.imageButton()->iconSize(), QSize(240, 150));
        QCOMPARE(bubble.imageButton()->size(), QSize(240, 150));
        bubble.imageButton()->click();
        QCOMPARE(clicked.count(), 1);
        QCOMPARE(clicked.first().first().toString(), url);
    } else {
        QTRY_COMPARE(bubble.contentLabel()->text(), placeholder);
        QVERIFY(bubble.contentLabel()->isVisibleTo(&bubble));
        QVERIFY(bubble.imageButton()->isHidden());
    }
}

void ChatBubbleTest::emptyImageUrlIssuesNoRequest()
{
    ChatBubble bubble(makeMessage(QString(), QStringLiteral("image")), false);
    QTest::qWait(100);
    QVERIFY(m_server.requests().isEmpty());
    QVERIFY(bubble.imageButton()->isVisibleTo(&bubble));
    QVERIFY(bubble.imageButton()->icon().isNull());
}

ORVANTIS_TEST_MAIN(ChatBubbleTest)
#include "tst_chatbubble.moc"
