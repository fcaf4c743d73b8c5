#include "workspace/orvantis.h"

#include "net/apiclient.h"
#include "net/wssclient.h"
#include "ui_orvantis.h"

#include <QJsonObject>

// Link and authentication problems only ever surface here, as status texts;
// reconnecting is the realtime client's own business. Texts that carry what
// the service sent go into statusLabel, which shows plain text only.

void orvantis::onWssConnected()
{
    ui->statusLabel->setText(QStringLiteral("WSS 已连接"));
    updateSendButtonState();
}

void orvantis::onWssDisconnected(ushort code, const QString &reason)
{
    Q_UNUSED(code);
    ui->onlineStatusLabel->setText(
        QStringLiteral("<span style='font-size:13px;color:#8b93a5;'>● 离线</span>"));
    ui->statusLabel->setText(QStringLiteral("WSS 断开: %1").arg(reason));
    updateSendButtonState();
}

void orvantis::onAuthOk()
{
    ui->onlineStatusLabel->setText(
        QStringLiteral("<span style='font-size:13px;color:#22c55e;'>● 在线</span>"));
    // Every authentication is a fresh link: subscribe to the channel and
    // re-join the open conversation on it.
    if (!channelCode.isEmpty()) {
        QJsonObject frame;
        frame.insert(QStringLiteral("type"), QStringLiteral("join"));
        frame.insert(QStringLiteral("channel"), channelCode);
        wssClient->sendFrame(frame);
    }
    joinedSessionId = -1;
    sendJoinSession(currentSessionId);
    updateSendButtonState();
}

void orvantis::onAuthFailed(const QString &reason)
{
    ui->statusLabel->setText(QStringLiteral("认证失败: %1").arg(reason));
    updateSendButtonState();
}

void orvantis::onChannelJoined(const QString &channel)
{
    Q_UNUSED(channel);
    if (sessions.isEmpty())
        ui->statusLabel->setText(QStringLiteral("已订阅频道，等待客户接入..."));
    else
        ui->statusLabel->setText(QStringLiteral("已订阅频道，共 %1 个会话").arg(sessions.size()));
}

void orvantis::onChatMessage(const QVariantMap &messageData)
{
    Q_UNUSED(messageData);
}

void orvantis::onChatSent(const QString &msgUuid, int sessionId)
{
    Q_UNUSED(msgUuid);
    Q_UNUSED(sessionId);
}

void orvantis::onConnectionError(const QString &error)
{
    ui->statusLabel->setText(QStringLiteral("WSS 错误: %1").arg(error));
}

void orvantis::onApiError(const QString &error)
{
    ui->statusLabel->setText(QStringLiteral("错误: %1").arg(error));
}

void orvantis::notifyMessage(const QString &title, const QString &body, int sessionId)
{
    Q_UNUSED(title);
    Q_UNUSED(body);
    Q_UNUSED(sessionId);
}

bool orvantis::isInForeground() const
{
    return isVisible() && !isMinimized() && isActiveWindow();
}
