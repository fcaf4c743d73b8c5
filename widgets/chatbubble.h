#pragma once

#include <QWidget>

#include "net/chatrecords.h"
#include "widgets/imageloader.h"

class QLabel;
class QPushButton;
class QNetworkAccessManager;
class QNetworkReply;

// One message in a conversation column. Own messages sit on the right with a
// recall link, visitor messages on the left with a translate link. Fetches
// its translation itself, its picture through the shared ImageLoader. Message text is always plain
// text.
class ChatBubble : public QWidget
{
    Q_OBJECT

public:
    ChatBubble(const ChatMessage &msg, bool isFromSelf, QWidget *parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    QString msgUuid() const { return m_msgUuid; }
    QString localId() const { return m_localId; }
    // Assigned when the service confirms a sent message; shows or hides recall.
    void setMsgUuid(const QString &uuid);
    // An own message's way to the service: sending, stored (with its uuid and
    // the recall link) or failed (the reason, "重发" and "删除").
    void showDelivery(const ChatMessage &msg);
    ChatMessage::Delivery delivery() const { return m_delivery; }
    bool isFromSelf() const { return m_isFromSelf; }
    void setMemberId(int memberId) { m_memberId = memberId; }
    int memberId() const { return m_memberId; }
    // Base URL of the translation endpoint's service ("<rest base>/translate" is posted).
    void setTranslateBaseUrl(const QString &restBaseUrl) { m_restBaseUrl = restBaseUrl; }

    QPushButton *recallButton() const { return m_recallButton; }
    QPushButton *translateButton() const { return m_translateButton; }
    QPushButton *imageButton() const { return m_imageButton; }
    QLabel *contentLabel() const { return m_contentLabel; }
    QLabel *translationLabel() const { return m_translationLabel; }
    QLabel *avatarLabel() const { return m_avatarLabel; }
    QLabel *timeLabel() const { return m_timeLabel; }
    QLabel *deliveryLabel() const { return m_deliveryLabel; }
    QPushButton *retryButton() const { return m_retryButton; }
    QPushButton *discardButton() const { return m_discardButton; }

signals:
    void imageClicked(const QString &url);
    void recallClicked(const QString &msgUuid);
    void retryClicked(const QString &localId);
    void discardClicked(const QString &localId);

public slots:
    void doTranslate();

private slots:
    void showContextMenu(const QPoint &pos);
    void onTranslateFinished(QNetworkReply *reply);

private:
    void loadImage();
    void onImageLoaded(const QImage &image, ImageLoader::Failure failure);

    QString m_msgUuid;
    QString m_localId;
    ChatMessage::Delivery m_delivery = ChatMessage::Delivery::Stored;
    QLabel *m_deliveryLabel = nullptr;
    QPushButton *m_retryButton = nullptr;
    QPushButton *m_discardButton = nullptr;
    QLabel *m_avatarLabel = nullptr;
    QLabel *m_contentLabel = nullptr;
    QLabel *m_translationLabel = nullptr;
    QPushButton *m_imageButton = nullptr;
    QLabel *m_timeLabel = nullptr;
    QPushButton *m_recallButton = nullptr;
    QPushButton *m_translateButton = nullptr;
    bool m_isFromSelf = false;
    QString m_msgType;
    QString m_imageUrl;
    QString m_sourceText;
    bool m_translated = false;
    ImageLoader::Failure m_imageFailure = ImageLoader::Failure::None;
    QNetworkAccessManager *m_translateManager = nullptr;
    int m_memberId = 0;
    QString m_restBaseUrl;
};
