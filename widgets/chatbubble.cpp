#include "chatbubble.h"

#include <QApplication>
#include <QClipboard>
#include <QDebug>
#include <QHBoxLayout>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPixmap>
#include <QPushButton>
#include <QStyle>
#include <QUrl>
#include <QVBoxLayout>

#include "net/serviceconfig.h"
#include "widgets/breakabletext.h"
#include "widgets/displaytext.h"

namespace {

constexpr int kMaxBubbleWidth = 520;
constexpr QSize kThumbnailBox(240, 200);
// A word-wrapped label lays its whole text out again on every size query;
// beyond this length that takes long enough to freeze the conversation.
constexpr int kMaxShownLength = 5000;

// One style sheet for the whole bubble, selecting its parts by object name:
// styling each child separately costs a sheet parse and polish per child,
// which made a bubble the dearest part of an incoming message.
const char kBubbleStyle[]
    = "QLabel#avatarLabel { background-color: qlineargradient(x1:0, y1:0, x2:1, y2:1, stop:0 "
      "#7ea6ff, stop:1 #5b7cf2); color: white; border-radius: 18px; font-size: 14px; "
      "font-weight: bold; }"
      "QLabel#contentLabel { background-color: rgba(255, 255, 255, 0.92); border: 1px solid "
      "rgba(255, 255, 255, 0.95); border-radius: 14px; padding: 9px 13px; font-size: 14px; "
      "color: #2f3441; }"
      "QLabel#contentLabel[fromSelf=\"true\"] { background-color: qlineargradient(x1:0, y1:0, "
      "x2:1, y2:1, stop:0 #5b8cff, stop:1 #3d6df2); border: none; color: white; }"
      "QLabel#translationLabel { background-color: rgba(235, 240, 255, 0.9); border: 1px solid "
      "rgba(160, 185, 255, 0.65); border-radius: 12px; padding: 8px 12px; font-size: 13px; "
      "color: #3a5bd0; }"
      "QPushButton#imageButton { border: none; background: transparent; padding: 0; }"
      "QLabel#timeLabel { color: #98a0b2; font-size: 11px; }"
      "QPushButton#recallButton { color: #98a0b2; font-size: 11px; border: none; background: "
      "transparent; }"
      "QPushButton#recallButton:hover { color: #ef4757; }"
      "QPushButton#translateButton { color: #5b7cf2; font-size: 11px; border: none; background: "
      "transparent; }"
      "QPushButton#translateButton:hover { color: #3d6df2; text-decoration: underline; }"
      "QLabel#deliveryLabel { color: #98a0b2; font-size: 11px; }"
      "QLabel#deliveryLabel[failed=\"true\"] { color: #ef4757; }"
      "QPushButton#retryButton, QPushButton#discardButton { color: #3d6df2; font-size: 11px; "
      "border: none; background: transparent; }"
      "QPushButton#retryButton:hover, QPushButton#discardButton:hover { text-decoration: "
      "underline; }";

// What the content label shows of a message: all of it up to a sane length.
QString displayedText(const QString &content)
{
    if (content.size() <= kMaxShownLength)
        return content;
    int cut = kMaxShownLength;
    if (content.at(cut - 1).isHighSurrogate())
        --cut;
    return content.left(cut)
        + QStringLiteral("\n……（消息过长，仅显示前 %1 个字符，右键“复制消息”可复制全文）").arg(cut);
}

// A word-wrapped label guesses a narrow width for itself (a short message
// wrapped at about a fifth of the room). A bubble's text takes the width it
// needs on one line, up to the maximum, and wraps only beyond it.
void setWrappedText(QLabel *label, const QString &text)
{
    label->setText(breakableText(text));
    label->ensurePolished();
    label->setWordWrap(false);
    const int natural = label->sizeHint().width();
    label->setWordWrap(true);
    label->setMinimumWidth(qMin(natural, kMaxBubbleWidth));
}

QString sizePolicyText(const QSizePolicy &policy)
{
    return QStringLiteral("%1/%2")
        .arg(int(policy.horizontalPolicy()))
        .arg(int(policy.verticalPolicy()));
}

} // namespace

ChatBubble::ChatBubble(const ChatMessage &msg, bool isFromSelf, QWidget *parent)
    : QWidget(parent)
    , m_msgUuid(msg.msgUuid)
    , m_localId(msg.localId)
    , m_isFromSelf(isFromSelf)
    , m_msgType(msg.msgType)
    , m_imageUrl(msg.content)
    , m_sourceText(msg.content)
{
    QNetworkProxyFactory::setUseSystemConfiguration(true);

    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 8, 0, 8);
    row->setSpacing(4);

    setStyleSheet(QString::fromLatin1(kBubbleStyle));

    m_avatarLabel = new QLabel(this);
    m_avatarLabel->setObjectName(QStringLiteral("avatarLabel"));
    m_avatarLabel->setFixedSize(36, 36);
    m_avatarLabel->setAlignment(Qt::AlignCenter);
    m_avatarLabel->setTextFormat(Qt::PlainText);

    auto *contentWidget = new QWidget(this);
    contentWidget->setObjectName(QStringLiteral("contentWidget"));
    contentWidget->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Minimum);
    auto *column = new QVBoxLayout(contentWidget);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    // Message text and translations come from visitors: always plain text.
    m_contentLabel = new QLabel(contentWidget);
    m_contentLabel->setObjectName(QStringLiteral("contentLabel"));
    m_contentLabel->setTextFormat(Qt::PlainText);
    m_contentLabel->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Minimum);
    m_contentLabel->setProperty("fromSelf", isFromSelf);
    column->addWidget(m_contentLabel);

    m_translationLabel = new QLabel(contentWidget);
    m_translationLabel->setObjectName(QStringLiteral("translationLabel"));
    m_translationLabel->setTextFormat(Qt::PlainText);
    m_translationLabel->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Minimum);
    m_translationLabel->setWordWrap(true);
    m_translationLabel->setMaximumWidth(kMaxBubbleWidth);
    m_translationLabel->hide();
    column->addWidget(m_translationLabel);

    m_imageButton = new QPushButton(contentWidget);
    m_imageButton->setObjectName(QStringLiteral("imageButton"));
    m_imageButton->setFlat(true);
    m_imageButton->setCursor(Qt::PointingHandCursor);
    m_imageButton->setToolTip(QStringLiteral("点击查看大图"));
    column->addWidget(m_imageButton, 0, isFromSelf ? Qt::AlignRight : Qt::AlignLeft);
    connect(m_imageButton, &QPushButton::clicked, this, [this] {
        if (m_imageFailure == ImageLoader::Failure::None)
            emit imageClicked(m_imageUrl);
        else if (m_imageFailure != ImageLoader::Failure::UnsupportedUrl)
            loadImage();
    });

    auto *metaRow = new QHBoxLayout;
    metaRow->setSpacing(4);
    metaRow->setContentsMargins(0, 0, 0, 0);
    m_timeLabel = new QLabel(contentWidget);
    m_timeLabel->setObjectName(QStringLiteral("timeLabel"));
    m_recallButton = new QPushButton(QStringLiteral("撤回"), contentWidget);
    m_recallButton->setObjectName(QStringLiteral("recallButton"));
    m_recallButton->setCursor(Qt::PointingHandCursor);
    connect(m_recallButton, &QPushButton::clicked, this, [this] { emit recallClicked(m_msgUuid); });
    m_translateButton = new QPushButton(QStringLiteral("翻译"), contentWidget);
    m_translateButton->setObjectName(QStringLiteral("translateButton"));
    m_translateButton->setCursor(Qt::PointingHandCursor);
    connect(m_translateButton, &QPushButton::clicked, this, &ChatBubble::doTranslate);
    // The reason comes from the service: plain text.
    m_deliveryLabel = new QLabel(contentWidget);
    m_deliveryLabel->setObjectName(QStringLiteral("deliveryLabel"));
    m_deliveryLabel->setTextFormat(Qt::PlainText);
    m_retryButton = new QPushButton(QStringLiteral("重发"), contentWidget);
    m_retryButton->setObjectName(QStringLiteral("retryButton"));
    m_retryButton->setCursor(Qt::PointingHandCursor);
    connect(m_retryButton, &QPushButton::clicked, this, [this] { emit retryClicked(m_localId); });
    m_discardButton = new QPushButton(QStringLiteral("删除"), contentWidget);
    m_discardButton->setObjectName(QStringLiteral("discardButton"));
    m_discardButton->setCursor(Qt::PointingHandCursor);
    connect(m_discardButton, &QPushButton::clicked, this,
            [this] { emit discardClicked(m_localId); });
    // The keyboard stays with the editor: a click here must not take it.
    for (QPushButton *button :
         {m_imageButton, m_recallButton, m_translateButton, m_retryButton, m_discardButton})
        button->setFocusPolicy(Qt::NoFocus);
    if (isFromSelf) {
        metaRow->addStretch();
        metaRow->addWidget(m_deliveryLabel);
        metaRow->addWidget(m_retryButton);
        metaRow->addWidget(m_discardButton);
        metaRow->addWidget(m_timeLabel);
        metaRow->addWidget(m_recallButton);
        m_translateButton->hide(); // not placed in an own message's row
    } else {
        for (QWidget *w :
             std::initializer_list<QWidget *> {m_deliveryLabel, m_retryButton, m_discardButton})
            w->hide(); // a visitor's message has no way of its own to the service
        metaRow->addWidget(m_timeLabel);
        metaRow->addWidget(m_translateButton);
        metaRow->addStretch();
    }
    column->addLayout(metaRow);

    qDebug() << "[ChatBubble] 创建气泡: isFromSelf=" << isFromSelf
             << "contentWidget sizePolicy H=" << sizePolicyText(contentWidget->sizePolicy());
    qDebug() << "[ChatBubble] contentLabel sizePolicy H="
             << sizePolicyText(m_contentLabel->sizePolicy())
             << "min=" << m_contentLabel->minimumSize() << "max=" << m_contentLabel->maximumSize();

    if (isFromSelf) {
        m_avatarLabel->hide();
        row->addStretch();
        row->addWidget(contentWidget);
        qDebug() << "[ChatBubble] isFromSelf=true, 布局: addStretch + contentWidget (应该在右边)";
    } else {
        row->addWidget(m_avatarLabel, 0, Qt::AlignTop);
        row->addWidget(contentWidget);
        row->addStretch();
        qDebug() << "[ChatBubble] isFromSelf=false, 布局: avatar + contentWidget + addStretch "
                    "(应该在左边)";
    }

    m_avatarLabel->setText(DisplayText::firstLetterUpper(msg.senderName));

    if (m_msgType != QLatin1String("image")) {
        m_imageButton->hide();
        m_contentLabel->setMaximumWidth(kMaxBubbleWidth);
        setWrappedText(m_contentLabel, displayedText(msg.content));
    } else {
        m_contentLabel->hide();
        loadImage();
    }

    m_timeLabel->setText(msg.createdAt.toString(QStringLiteral("HH:mm")));
    showDelivery(msg);
    m_translateButton->setVisible(!m_isFromSelf && m_msgType == QLatin1String("text")
                                  && !m_sourceText.isEmpty());

    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this, &ChatBubble::showContextMenu);
}

QSize ChatBubble::sizeHint() const
{
    return QWidget::sizeHint();
}

QSize ChatBubble::minimumSizeHint() const
{
    return QWidget::minimumSizeHint();
}

void ChatBubble::setMsgUuid(const QString &uuid)
{
    m_msgUuid = uuid;
    m_recallButton->setVisible(m_isFromSelf && !m_msgUuid.isEmpty());
}

void ChatBubble::showDelivery(const ChatMessage &msg)
{
    m_delivery = msg.delivery;
    setMsgUuid(msg.msgUuid);
    if (!m_isFromSelf)
        return;
    const bool failed = m_delivery == ChatMessage::Delivery::Failed;
    if (m_delivery == ChatMessage::Delivery::Sending)
        m_deliveryLabel->setText(QStringLiteral("发送中…"));
    else if (failed)
        m_deliveryLabel->setText(QStringLiteral("发送失败: %1").arg(msg.failReason));
    m_deliveryLabel->setVisible(m_delivery != ChatMessage::Delivery::Stored);
    if (m_deliveryLabel->property("failed").toBool() != failed) {
        m_deliveryLabel->setProperty("failed", failed);
        m_deliveryLabel->style()->polish(m_deliveryLabel);
    }
    m_retryButton->setVisible(failed);
    m_discardButton->setVisible(failed);
}

void ChatBubble::loadImage()
{
    m_imageFailure = ImageLoader::Failure::None;
    m_imageButton->setIcon(QIcon());
    m_imageButton->setText(QStringLiteral("[图片加载中…]"));
    m_imageButton->setFixedSize(m_imageButton->sizeHint());
    const qreal ratio = qApp->devicePixelRatio();
    ImageLoader::instance()->load(QUrl(m_imageUrl), (QSizeF(kThumbnailBox) * ratio).toSize(), this,
                                  [this](const QImage &image, ImageLoader::Failure failure) {
                                      onImageLoaded(image, failure);
                                  });
}

void ChatBubble::onImageLoaded(const QImage &image, ImageLoader::Failure failure)
{
    m_imageFailure = failure;
    if (failure != ImageLoader::Failure::None) {
        // Says why, and offers another try where one can help.
        QString text = QLatin1Char('[') + ImageLoader::failureText(failure) + QLatin1Char(']');
        if (failure != ImageLoader::Failure::UnsupportedUrl)
            text += QStringLiteral(" 点击重试");
        m_imageButton->setText(text);
        m_imageButton->setToolTip(QString());
        m_imageButton->setFixedSize(m_imageButton->sizeHint());
        return;
    }
    m_imageButton->setToolTip(QStringLiteral("点击查看大图"));
    QPixmap thumbnail = QPixmap::fromImage(image);
    thumbnail.setDevicePixelRatio(qApp->devicePixelRatio());
    const QSize shown = thumbnail.deviceIndependentSize().toSize();
    m_imageButton->setText(QString());
    m_imageButton->setIcon(QIcon(thumbnail));
    m_imageButton->setIconSize(shown);
    m_imageButton->setFixedSize(shown);
}

void ChatBubble::showContextMenu(const QPoint &pos)
{
    if (m_msgType != QLatin1String("text") || m_contentLabel->text().isEmpty())
        return;
    // The bubble can be removed while its menu is open (a recall, a new
    // history page, a sign-out): the menu is owned by nobody that can go
    // away, runs no nested loop, and closes with its bubble.
    auto *menu = new QMenu;
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction *copyAction = menu->addAction(QStringLiteral("复制消息"));
    // The label may show a shortened text; the whole message is what is copied.
    const QString text = m_sourceText;
    connect(copyAction, &QAction::triggered, menu, [text] {
        QApplication::clipboard()->setText(text);
        qDebug() << "[ChatBubble] 已复制消息: " << text.left(30);
    });
    connect(this, &QObject::destroyed, menu, &QWidget::close);
    menu->popup(mapToGlobal(pos));
}

void ChatBubble::doTranslate()
{
    if (m_translated || m_sourceText.isEmpty())
        return;
    m_translateButton->setText(QStringLiteral("翻译中..."));
    m_translateButton->setEnabled(false);

    if (!m_translateManager)
        m_translateManager = new QNetworkAccessManager(this);
    const QString base = m_restBaseUrl.isEmpty() ? ServiceConfig::restBaseUrl() : m_restBaseUrl;
    QNetworkRequest request(QUrl(base + QStringLiteral("/translate")));
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QStringLiteral("application/x-www-form-urlencoded"));
    // Every value fully percent-encoded, "+" included: a form decoder reads a
    // bare "+" as a space.
    const QByteArray body = "text=" + QUrl::toPercentEncoding(m_sourceText)
        + "&target=zh-CN&user_id=" + QByteArray::number(m_memberId);
    qDebug() << "[ChatBubble] 翻译请求: text=" << m_sourceText.left(50);
    QNetworkReply *reply = m_translateManager->post(request, body);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onTranslateFinished(reply); });
}

void ChatBubble::onTranslateFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    m_translateButton->setEnabled(true);

    const auto fail = [this](const QString &detail) {
        m_translateButton->setText(QStringLiteral("翻译失败"));
        setWrappedText(m_translationLabel, QStringLiteral("翻译失败: ") + detail);
        m_translationLabel->show();
    };

    if (reply->error() != QNetworkReply::NoError) {
        fail(reply->errorString());
        return;
    }
    const QByteArray data = reply->readAll();
    qDebug() << "[ChatBubble] 翻译API响应:" << data.left(500);
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(data, &parseError);
    if (parseError.error != QJsonParseError::NoError || doc.isNull()) {
        fail(QStringLiteral("响应解析失败"));
        return;
    }
    const QJsonObject root = doc.object();
    if (root.value(QStringLiteral("code")).toInt(0) == 200) {
        const QString translation = root.value(QStringLiteral("data"))
                                        .toObject()
                                        .value(QStringLiteral("translation"))
                                        .toString();
        if (translation.isEmpty()) {
            m_translateButton->setText(QStringLiteral("无翻译结果"));
            return;
        }
        m_translateButton->setText(translation == m_sourceText ? QStringLiteral("已是中文")
                                                               : QStringLiteral("已翻译"));
        m_translated = true;
        setWrappedText(m_translationLabel, translation);
        m_translationLabel->show();
        qDebug() << "[ChatBubble] 翻译结果:" << translation;
        return;
    }
    const QString msg = root.value(QStringLiteral("msg")).toString();
    fail(msg.isEmpty() ? QStringLiteral("未知错误") : msg);
}
