#include "testsupport.h"

#include <QBuffer>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>

#include "devserver/standinserver.h"
#include "widgets/chatbubble.h"

using StandIn::Fault;
using StandIn::StandInServer;

namespace {

ChatMessage makeMessage(const QString &content, const QString &type = QStringLiteral("text"),
                        const QString &sender = QStringLiteral("visitor"), const QString &uuid = {})
{
    ChatMessage m;
    m.content = content;
    m.msgType = type;
    m.senderName = sender;
    m.msgUuid = uuid;
    m.createdAt = QDateTime(QDate(2024, 5, 1), QTime(9, 7, 30));
    return m;
}

// Form decoding as a web server does it: '+' is a space, then percent escapes.
QString formValue(const QByteArray &encoded)
{
    QByteArray bytes = encoded;
    bytes.replace('+', ' ');
    return QString::fromUtf8(QByteArray::fromPercentEncoding(bytes));
}

} // namespace

class ChatBubbleTest : public QObject
{
    Q_OBJECT

private:
    StandInServer *m_server = nullptr;

    QString fileUrl(const QString &name) const
    {
        return QStringLiteral("http://127.0.0.1:%1/uploads/%2").arg(m_server->port()).arg(name);
    }

    void putFile(const QString &name, const QByteArray &bytes)
    {
        QFile file(QDir(m_server->uploadDir()).filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    ChatBubble *visitorBubble(const QString &text)
    {
        auto *bubble = new ChatBubble(makeMessage(text), false);
        bubble->setTranslateBaseUrl(m_server->restBaseUrl());
        bubble->setMemberId(3);
        return bubble;
    }

private slots:
    void initTestCase();
    void init();

    void avatarLetter_data();
    void avatarLetter();
    void layoutBySide();
    void contentIsPlainText_data();
    void contentIsPlainText();
    void hugeTextStaysResponsive();
    void recallVisibility();
    void recallAndImageSignals();
    void translateVisibility_data();
    void translateVisibility();

    void translateRequest();
    void translateDefaultsToServiceAddress();
    void translation_data();
    void translation();
    void failedThenRetried();

    void image_data();
    void image();
    void emptyImageUrlIssuesNoRequest();
};

void ChatBubbleTest::initTestCase()
{
    m_server = new StandInServer(this);
    QVERIFY(m_server->listen());
    QImage image(480, 300, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(image.save(&buffer, "PNG"));
    putFile(QStringLiteral("wide.png"), png);
    putFile(QStringLiteral("junk.png"), QByteArrayLiteral("this is not an image at all"));
}

void ChatBubbleTest::init()
{
    m_server->clearFaults();
    m_server->clearRequests();
}

void ChatBubbleTest::avatarLetter_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QString>("letter");
    QTest::newRow("empty") << QString() << QStringLiteral("?");
    QTest::newRow("lower case") << QStringLiteral("mike") << QStringLiteral("M");
    QTest::newRow("chinese") << QStringLiteral("张三") << QStringLiteral("张");
    QTest::newRow("markup") << QStringLiteral("<b>") << QStringLiteral("<");
    QTest::newRow("outside basic plane") << QStringLiteral("😀 smile") << QStringLiteral("😀");
}

void ChatBubbleTest::avatarLetter()
{
    QFETCH(QString, sender);
    QFETCH(QString, letter);
    ChatBubble bubble(makeMessage(QStringLiteral("hi"), QStringLiteral("text"), sender), false);
    QCOMPARE(bubble.avatarLabel()->text(), letter);
    QCOMPARE(bubble.avatarLabel()->textFormat(), Qt::PlainText);
}

void ChatBubbleTest::layoutBySide()
{
    ChatBubble own(makeMessage(QStringLiteral("mine"), QStringLiteral("text"), QStringLiteral("me"), QStringLiteral("u1")), true);
    own.resize(700, own.sizeHint().height());
    own.show();
    QVERIFY(QTest::qWaitForWindowExposed(&own));
    QVERIFY(own.avatarLabel()->isHidden());
    QCOMPARE(own.timeLabel()->text(), QStringLiteral("09:07"));
    // Own messages hug the right edge, visitor messages the left.
    const QWidget *ownColumn = own.contentLabel()->parentWidget();
    QVERIFY(ownColumn->geometry().right() >= own.width() - 2);
    QVERIFY(ownColumn->x() > 100);

    ChatBubble visitor(makeMessage(QStringLiteral("theirs")), false);
    visitor.resize(700, visitor.sizeHint().height());
    visitor.show();
    QVERIFY(QTest::qWaitForWindowExposed(&visitor));
    QCOMPARE(visitor.avatarLabel()->x(), 0);
    QVERIFY(visitor.contentLabel()->parentWidget()->geometry().right() < 400);
    QVERIFY(visitor.translationLabel()->isHidden());
    QVERIFY(visitor.imageButton()->isHidden());
}

void ChatBubbleTest::contentIsPlainText_data()
{
    QTest::addColumn<QString>("content");
    QTest::newRow("bold") << QStringLiteral("<b>x</b>");
    QTest::newRow("image tag") << QStringLiteral("<img src=\"http://127.0.0.1:1/track.png\">");
    QTest::newRow("entity") << QStringLiteral("&lt;script&gt;");
    QTest::newRow("link") << QStringLiteral("<a href='http://evil'>click</a>");
}

void ChatBubbleTest::contentIsPlainText()
{
    QFETCH(QString, content);
    ChatBubble bubble(makeMessage(content), false);
    QCOMPARE(bubble.contentLabel()->textFormat(), Qt::PlainText);
    QCOMPARE(bubble.contentLabel()->text(), content);
    QCOMPARE(bubble.translationLabel()->textFormat(), Qt::PlainText);
}

void ChatBubbleTest::hugeTextStaysResponsive()
{
    QString huge;
    while (huge.size() < 100000)
        huge += QStringLiteral("word ");
    huge.truncate(100000);
    ChatBubble bubble(makeMessage(huge), false);
    const QString shown = bubble.contentLabel()->text();
    QVERIFY(shown.size() < 10000);
    QVERIFY(huge.startsWith(shown.left(4000)));
    QVERIFY(shown.contains(QStringLiteral("消息过长")));
    bubble.resize(600, 100);
    bubble.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bubble));
    QVERIFY(bubble.sizeHint().height() > 100);
    // Translation still works on the whole text.
    QVERIFY(bubble.translateButton()->isVisibleTo(&bubble));

    // Exactly at the limit nothing is cut.
    const QString limit(5000, QLatin1Char('a'));
    ChatBubble whole(makeMessage(limit), false);
    QCOMPARE(whole.contentLabel()->text(), limit);
}

void ChatBubbleTest::recallVisibility()
{
    ChatBubble pending(makeMessage(QStringLiteral("sent"), QStringLiteral("text"), QStringLiteral("me")), true);
    QVERIFY(!pending.recallButton()->isVisibleTo(&pending));
    QVERIFY(!pending.translateButton()->isVisibleTo(&pending));
    pending.setMsgUuid(QStringLiteral("abc"));
    QCOMPARE(pending.msgUuid(), QStringLiteral("abc"));
    QVERIFY(pending.recallButton()->isVisibleTo(&pending));
    QCOMPARE(pending.recallButton()->text(), QStringLiteral("撤回"));
    pending.setMsgUuid(QString());
    QVERIFY(!pending.recallButton()->isVisibleTo(&pending));

    // A visitor's message never offers recall, uuid or not.
    ChatBubble visitor(makeMessage(QStringLiteral("x"), QStringLiteral("text"), QStringLiteral("v"), QStringLiteral("u")), false);
    QVERIFY(!visitor.recallButton()->isVisibleTo(&visitor));
    visitor.setMsgUuid(QStringLiteral("other"));
    QVERIFY(!visitor.recallButton()->isVisibleTo(&visitor));
}

void ChatBubbleTest::recallAndImageSignals()
{
    ChatBubble own(makeMessage(QStringLiteral("x"), QStringLiteral("text"), QStringLiteral("me"), QStringLiteral("u1")), true);
    QSignalSpy recall(&own, &ChatBubble::recallClicked);
    own.setMsgUuid(QStringLiteral("u2"));
    own.recallButton()->click();
    QCOMPARE(recall.count(), 1);
    QCOMPARE(recall.first().first().toString(), QStringLiteral("u2"));

    ChatBubble image(makeMessage(fileUrl(QStringLiteral("wide.png")), QStringLiteral("image")), false);
    QSignalSpy clicked(&image, &ChatBubble::imageClicked);
    image.imageButton()->click();
    QCOMPARE(clicked.count(), 1);
    QCOMPARE(clicked.first().first().toString(), fileUrl(QStringLiteral("wide.png")));
}

void ChatBubbleTest::translateVisibility_data()
{
    QTest::addColumn<bool>("fromSelf");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("content");
    QTest::addColumn<bool>("translatable");
    QTest::newRow("visitor text") << false << QStringLiteral("text") << QStringLiteral("hello") << true;
    QTest::newRow("visitor empty text") << false << QStringLiteral("text") << QString() << false;
    QTest::newRow("own text") << true << QStringLiteral("text") << QStringLiteral("hello") << false;
    QTest::newRow("visitor image") << false << QStringLiteral("image") << QString() << false;
    QTest::newRow("other type") << false << QStringLiteral("file") << QStringLiteral("doc.pdf") << false;
    QTest::newRow("type case differs") << false << QStringLiteral("Text") << QStringLiteral("hello") << false;
}

void ChatBubbleTest::translateVisibility()
{
    QFETCH(bool, fromSelf);
    QFETCH(QString, type);
    QFETCH(QString, content);
    QFETCH(bool, translatable);
    ChatBubble bubble(makeMessage(content, type), fromSelf);
    QCOMPARE(bubble.translateButton()->isVisibleTo(&bubble), translatable);
    if (translatable)
        QCOMPARE(bubble.translateButton()->text(), QStringLiteral("翻译"));
    // Another type than text and image is still shown as text.
    if (type == QLatin1String("file"))
        QCOMPARE(bubble.contentLabel()->text(), content);
}

void ChatBubbleTest::translateRequest()
{
    std::unique_ptr<ChatBubble> bubble(visitorBubble(QStringLiteral("1+1 = 2 & more?")));
    bubble->doTranslate();
    QCOMPARE(bubble->translateButton()->text(), QStringLiteral("翻译中..."));
    QVERIFY(!bubble->translateButton()->isEnabled());
    QTRY_VERIFY(bubble->translateButton()->isEnabled());

    const QList<StandIn::RecordedRequest> sent = m_server->requestsTo(QStringLiteral("/translate"));
    QCOMPARE(sent.size(), 1);
    const StandIn::RecordedRequest &r = sent.first();
    QCOMPARE(r.method, QByteArray("POST"));
    QCOMPARE(r.path, QStringLiteral("/api/translate"));
    QVERIFY(r.header("Content-Type").startsWith("application/x-www-form-urlencoded"));
    QVERIFY(!r.hasHeader("Authorization"));
    const QList<QByteArray> items = r.body.split('&');
    QCOMPARE(items.size(), 3);
    QVERIFY(items.at(0).startsWith("text="));
    QCOMPARE(formValue(items.at(0).mid(5)), QStringLiteral("1+1 = 2 & more?")); // "+" survives
    QCOMPARE(items.at(1), QByteArray("target=zh-CN"));
    QCOMPARE(items.at(2), QByteArray("user_id=3"));
    // Fully percent-encoded: no raw reserved characters or spaces in the value.
    QVERIFY(!items.at(0).mid(5).contains(' '));
    QVERIFY(!items.at(0).mid(5).contains('+'));
}

void ChatBubbleTest::translateDefaultsToServiceAddress()
{
    // Without an explicit address the bubble asks the configured service.
    qputenv("ORVANTIS_API_URL", m_server->restBaseUrl().toUtf8());
    ChatBubble bubble(makeMessage(QStringLiteral("hello")), false);
    bubble.doTranslate();
    QTRY_COMPARE(bubble.translateButton()->text(), QStringLiteral("已翻译"));
    QCOMPARE(m_server->requestsTo(QStringLiteral("/translate")).size(), 1);
    qunsetenv("ORVANTIS_API_URL");
}

void ChatBubbleTest::translation_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("fault");        // -1: none, else a StandIn::Fault
    QTest::addColumn<QByteArray>("raw");   // a raw 200 reply instead, when not empty
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("label");    // empty: label stays hidden
    QTest::addColumn<bool>("translated");

    QTest::newRow("translated") << "hello" << -1 << QByteArray() << "已翻译" << "你好" << true;
    QTest::newRow("already chinese") << "你好，在吗" << -1 << QByteArray() << "已是中文" << "你好，在吗" << true;
    QTest::newRow("no result") << "qwertzuiop" << -1 << QByteArray() << "无翻译结果" << QString() << false;
    QTest::newRow("missing translation") << "hello" << -1 << QByteArray(R"({"code":200,"msg":"ok","data":{}})")
                                         << "无翻译结果" << QString() << false;
    QTest::newRow("refused") << "hello" << int(Fault::Refuse) << QByteArray() << "翻译失败"
                             << "翻译失败: 服务暂不可用" << false;
    QTest::newRow("refused without msg") << "hello" << -1 << QByteArray(R"({"code":403})") << "翻译失败"
                                         << "翻译失败: 未知错误" << false;
    QTest::newRow("code as text") << "hello" << -1 << QByteArray(R"({"code":"200","msg":"怪","data":{"translation":"x"}})")
                                  << "翻译失败" << "翻译失败: 怪" << false;
    QTest::newRow("not json") << "hello" << int(Fault::NotJson) << QByteArray() << "翻译失败"
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
        m_server->injectFault(QStringLiteral("/translate"), Fault(fault));
    if (!raw.isEmpty())
        m_server->setRawReply(QStringLiteral("/translate"), 200, raw);

    std::unique_ptr<ChatBubble> bubble(visitorBubble(text));
    bubble->doTranslate();
    QTRY_COMPARE(bubble->translateButton()->text(), button);
    QVERIFY(bubble->translateButton()->isEnabled());
    QCOMPARE(bubble->contentLabel()->text(), text); // the message itself is never touched
    QCOMPARE(bubble->translationLabel()->isVisibleTo(bubble.get()), !label.isEmpty());
    if (!label.isEmpty())
        QCOMPARE(bubble->translationLabel()->text(), label);

    // A finished translation is final; anything else may be asked again.
    m_server->clearFaults();
    m_server->clearRequests();
    bubble->doTranslate();
    if (translated) {
        QCOMPARE(bubble->translateButton()->text(), button);
        QTest::qWait(50);
        QCOMPARE(m_server->requestsTo(QStringLiteral("/translate")).size(), 0);
    } else {
        QCOMPARE(bubble->translateButton()->text(), QStringLiteral("翻译中..."));
        QTRY_VERIFY(bubble->translateButton()->isEnabled());
        QCOMPARE(m_server->requestsTo(QStringLiteral("/translate")).size(), 1);
    }
}

void ChatBubbleTest::failedThenRetried()
{
    std::unique_ptr<ChatBubble> bubble(visitorBubble(QStringLiteral("hello")));
    m_server->injectFault(QStringLiteral("/translate"), Fault::DropConnection);
    bubble->doTranslate();
    QTRY_COMPARE(bubble->translateButton()->text(), QStringLiteral("翻译失败"));
    const QString error = bubble->translationLabel()->text();
    QVERIFY(error.startsWith(QStringLiteral("翻译失败: ")));
    QVERIFY(error.size() > QStringLiteral("翻译失败: ").size());
    QVERIFY(bubble->translationLabel()->isVisibleTo(bubble.get()));

    // The old error stays while the new request runs, then the result replaces it.
    m_server->delayReplies(QStringLiteral("/translate"), 200);
    bubble->doTranslate();
    QCOMPARE(bubble->translationLabel()->text(), error);
    QTRY_COMPARE(bubble->translateButton()->text(), QStringLiteral("已翻译"));
    QCOMPARE(bubble->translationLabel()->text(), QStringLiteral("你好"));

    // An HTTP error status is a transport failure too.
    std::unique_ptr<ChatBubble> other(visitorBubble(QStringLiteral("hello")));
    m_server->injectFault(QStringLiteral("/translate"), Fault::Http500);
    other->doTranslate();
    QTRY_COMPARE(other->translateButton()->text(), QStringLiteral("翻译失败"));
    QVERIFY(other->translationLabel()->text().startsWith(QStringLiteral("翻译失败: ")));
}

void ChatBubbleTest::image_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QSize>("thumbnail"); // empty: a text placeholder instead
    QTest::addColumn<QString>("placeholder");
    QTest::newRow("loads") << fileUrl(QStringLiteral("wide.png")) << QSize(240, 150) << QString();
    QTest::newRow("not an image") << fileUrl(QStringLiteral("junk.png")) << QSize() << QStringLiteral("[图片]");
    QTest::newRow("404") << fileUrl(QStringLiteral("missing.png")) << QSize() << QStringLiteral("[图片加载失败]");
    QTest::newRow("refused") << QStringLiteral("http://127.0.0.1:1/x.png") << QSize() << QStringLiteral("[图片加载失败]");
    QTest::newRow("not a url") << QStringLiteral("::not a url::") << QSize() << QStringLiteral("[图片加载失败]");
}

void ChatBubbleTest::image()
{
    QFETCH(QString, url);
    QFETCH(QSize, thumbnail);
    QFETCH(QString, placeholder);
    ChatBubble bubble(makeMessage(url, QStringLiteral("image")), true);
    QVERIFY(bubble.contentLabel()->isHidden());
    QVERIFY(!bubble.translateButton()->isVisibleTo(&bubble));
    QCOMPARE(bubble.imageButton()->toolTip(), QStringLiteral("点击查看大图"));
    if (thumbnail.isValid()) {
        QTRY_COMPARE(bubble.imageButton()->iconSize(), thumbnail);
        QCOMPARE(bubble.imageButton()->size(), thumbnail);
        QVERIFY(bubble.imageButton()->isVisibleTo(&bubble));
        QVERIFY(bubble.contentLabel()->isHidden());
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
    QVERIFY(m_server->requests().isEmpty());
    QVERIFY(bubble.contentLabel()->isHidden());
    QVERIFY(bubble.imageButton()->isVisibleTo(&bubble));
    QVERIFY(bubble.imageButton()->icon().isNull());
}

ORVANTIS_TEST_MAIN(ChatBubbleTest)
#include "tst_chatbubble.moc"
