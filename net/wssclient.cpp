#include "net/wssclient.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <algorithm>

namespace {

constexpr quint64 kMaxIncomingBytes = 2 * 1024 * 1024;

QString typeKey()
{
    return QStringLiteral("type");
}

// Incoming members are read strictly by JSON type: a session id sent as a
// digit string is not a session id.
int sessionIdOf(const QJsonObject &frame)
{
    return frame.value(QStringLiteral("session_id")).toInt(0);
}

QString stringOf(const QJsonObject &frame, const char *key)
{
    return frame.value(QLatin1String(key)).toString();
}

} // namespace

WssClient::WssClient(QObject *parent)
    : QObject(parent)
    , m_heartbeatTimer(new QTimer(this))
    , m_reconnectTimer(new QTimer(this))
    , m_connectTimer(new QTimer(this))
{
    m_heartbeatTimer->setSingleShot(false);
    m_reconnectTimer->setSingleShot(true);
    m_connectTimer->setSingleShot(true);
    m_connectTimer->setInterval(15000);
    connect(m_heartbeatTimer, &QTimer::timeout, this, &WssClient::onHeartbeatTimeout);
    connect(m_reconnectTimer, &QTimer::timeout, this, &WssClient::onReconnectTimeout);
    // An upgrade that is never answered would leave the link "connecting"
    // for good: such an attempt is given up and the schedule goes on.
    connect(m_connectTimer, &QTimer::timeout, this, [this] {
        qDebug() << "[WSS] 连接超时，放弃本次连接";
        dropLink();
    });
    // The socket is made by the first connection attempt: building one
    // loads the TLS backend, which the login dialog has no use for.
}

WssClient::~WssClient()
{
    m_manualClose = true;
    m_heartbeatTimer->stop();
    m_reconnectTimer->stop();
    m_connectTimer->stop();
    // The close below may report a disconnect synchronously; nobody should
    // hear from a client that is going away.
    if (m_socket)
        disconnect(m_socket, nullptr, this, nullptr);
    closeSocket();
}

// Every connection attempt gets a socket of its own: a new link starts
// unauthenticated, and its close code and reason are its own, never those
// of an earlier link.
void WssClient::replaceSocket()
{
    if (m_socket) {
        disconnect(m_socket, nullptr, this, nullptr);
        m_socket->abort();
        m_socket->deleteLater();
    }
    m_authenticated = false;
    m_pongSeen = false;
    m_pingsSent = 0;
    m_pongsReceived = 0;
    m_heartbeatTimer->stop();
    m_socket = new QWebSocket(QString(), QWebSocketProtocol::Version13, this);
    // Far above any frame of the protocol (a long chat text is some hundred
    // kilobytes). Qt refuses a bigger frame or message without buffering it
    // and closes the link with 1009 (too much data); the reconnect then
    // follows the usual back-off, which a service repeating it cannot shorten.
    m_socket->setMaxAllowedIncomingFrameSize(kMaxIncomingBytes);
    m_socket->setMaxAllowedIncomingMessageSize(kMaxIncomingBytes);
    connect(m_socket, &QWebSocket::connected, this, &WssClient::onConnected);
    connect(m_socket, &QWebSocket::disconnected, this, &WssClient::onDisconnected);
    connect(m_socket, &QWebSocket::textMessageReceived, this, &WssClient::onTextMessageReceived);
    connect(m_socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            &WssClient::onError);
}

void WssClient::setUrl(const QString &url)
{
    m_url = url;
}

void WssClient::setHeartbeatIntervalSec(int seconds)
{
    m_heartbeatIntervalSec = seconds;
    m_heartbeatIntervalMs = seconds * 1000;
}

void WssClient::setHeartbeatIntervalMs(int ms)
{
    m_heartbeatIntervalMs = ms;
}

void WssClient::setConnectTimeoutMs(int ms)
{
    m_connectTimer->setInterval(ms);
}

void WssClient::setReconnectBaseDelayMs(int ms)
{
    m_reconnectBaseDelayMs = ms;
}

void WssClient::setReconnectMaxDelayMs(int ms)
{
    m_reconnectMaxDelayMs = ms;
}

void WssClient::setStableLinkMs(int ms)
{
    m_stableLinkMs = ms;
}

void WssClient::connectToServer(const QString &token, const QString &role)
{
    m_token = token;
    m_role = role;
    m_manualClose = false;
    // An explicit connect replaces a pending automatic one.
    m_reconnectTimer->stop();
    openSocket();
}

void WssClient::disconnectFromServer()
{
    m_manualClose = true;
    m_heartbeatTimer->stop();
    m_reconnectTimer->stop();
    m_connectTimer->stop();
    closeSocket();
}

// The link is given up from this side (no answer to the upgrade, or silence
// where the service used to answer): the owner hears of it as of any drop.
void WssClient::dropLink()
{
    replaceSocket();
    linkLost(QWebSocketProtocol::CloseCodeAbnormalDisconnection, QString());
}

void WssClient::restartLink()
{
    if (!m_manualClose && m_socket && m_socket->state() != QAbstractSocket::UnconnectedState)
        dropLink();
}

void WssClient::closeSocket()
{
    // A close frame needs an open link; a handshake still under way is
    // simply abandoned.
    if (!m_socket)
        return;
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->close(QWebSocketProtocol::CloseCodeNormal, QString());
    else if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
}

bool WssClient::isConnected() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

void WssClient::sendAuth(const QString &token, const QString &role)
{
    m_token = token;
    m_role = role;
    sendFrame(QJsonObject {{typeKey(), QStringLiteral("auth")},
                           {QStringLiteral("token"), token},
                           {QStringLiteral("role"), role}});
}

void WssClient::sendChat(int sessionId, const QString &content, const QString &msgType)
{
    sendFrame(QJsonObject {{typeKey(), QStringLiteral("chat")},
                           {QStringLiteral("session_id"), sessionId},
                           {QStringLiteral("content"), content},
                           {QStringLiteral("msg_type"), msgType}});
}

void WssClient::sendRecall(const QString &msgUuid, int sessionId)
{
    sendFrame(QJsonObject {{typeKey(), QStringLiteral("recall")},
                           {QStringLiteral("msg_uuid"), msgUuid},
                           {QStringLiteral("session_id"), sessionId}});
}

void WssClient::sendTransfer(int sessionId, int targetAgentId)
{
    sendFrame(QJsonObject {{typeKey(), QStringLiteral("transfer")},
                           {QStringLiteral("session_id"), sessionId},
                           {QStringLiteral("target_agent_id"), targetAgentId}});
}

void WssClient::sendPing()
{
    if (isConnected())
        ++m_pingsSent;
    sendFrame(QJsonObject {{typeKey(), QStringLiteral("ping")}});
}

void WssClient::sendFrame(const QJsonObject &frame)
{
    if (!isConnected())
        return;
    // QJsonObject keeps its keys sorted, so compact output has them ascending.
    m_socket->sendTextMessage(
        QString::fromUtf8(QJsonDocument(frame).toJson(QJsonDocument::Compact)));
}

void WssClient::onConnected()
{
    m_connectTimer->stop();
    m_lastFrame.start();
    qDebug() << "[WSS] 已连接:" << m_url;
    emit connected();
    if (!m_token.isEmpty())
        sendAuth(m_token, m_role);
}

void WssClient::onDisconnected()
{
    if (m_socket->closeCode() == QWebSocketProtocol::CloseCodeTooMuchData)
        qDebug() << "[WSS] 收到超长消息，已丢弃:" << m_socket->closeReason();
    linkLost(static_cast<ushort>(m_socket->closeCode()), m_socket->closeReason());
}

void WssClient::linkLost(ushort code, const QString &reason)
{
    // A link that held for a while ends the outage: the next one is met with
    // the base delay, not with what a long-past outage had grown to.
    if (m_authenticatedFor.isValid() && m_authenticatedFor.elapsed() >= m_stableLinkMs)
        m_reconnectDelayMs = 0;
    m_authenticatedFor.invalidate();
    m_authenticated = false;
    m_heartbeatTimer->stop();
    m_connectTimer->stop();
    qDebug() << "[WSS] 连接断开:" << code << reason;
    emit disconnected(code, reason);

    if (m_manualClose)
        return;
    if (m_reconnectDelayMs == 0)
        m_reconnectDelayMs = m_reconnectBaseDelayMs;
    else
        m_reconnectDelayMs = std::min(m_reconnectDelayMs * 2, m_reconnectMaxDelayMs);
    qDebug() << "[WSS] 将在" << m_reconnectDelayMs << "毫秒后重连";
    m_reconnectTimer->start(m_reconnectDelayMs);
}

void WssClient::onTextMessageReceived(const QString &message)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(message.toUtf8(), &parseError);
    if (!doc.isObject())
        return;
    m_lastFrame.start();
    const QJsonObject frame = doc.object();
    const QString type = frame.value(typeKey()).toString();

    if (type == QLatin1String("auth_ok")) {
        if (!m_authenticatedFor.isValid())
            m_authenticatedFor.start();
        m_authenticated = true;
        m_heartbeatTimer->start(m_heartbeatIntervalMs);
        sendPing();
        emit authOk();
    } else if (type == QLatin1String("auth_fail")) {
        m_authenticated = false;
        m_authenticatedFor.invalidate();
        emit authFailed(stringOf(frame, "msg"));
    } else if (type == QLatin1String("joined")) {
        emit channelJoined(stringOf(frame, "channel"));
    } else if (type == QLatin1String("session_joined")) {
        emit sessionJoined(sessionIdOf(frame));
    } else if (type == QLatin1String("new_session")) {
        emit newSession(frame.toVariantMap());
    } else if (type == QLatin1String("session_offline")) {
        emit sessionOffline(sessionIdOf(frame));
    } else if (type == QLatin1String("chat")) {
        emit chatMessage(frame.toVariantMap());
    } else if (type == QLatin1String("chat_sent")) {
        emit chatSent(stringOf(frame, "msg_uuid"), sessionIdOf(frame));
    } else if (type == QLatin1String("recall")) {
        emit recallReceived(stringOf(frame, "msg_uuid"), sessionIdOf(frame));
    } else if (type == QLatin1String("pong")) {
        m_pongSeen = true;
        // Never more than were asked for: a pong that comes twice must not
        // count for a ping still on its way.
        if (m_pongsReceived < m_pingsSent)
            ++m_pongsReceived;
        emit pong();
    } else if (type == QLatin1String("session_transferred")) {
        emit sessionTransferred(frame.toVariantMap());
    } else if (type == QLatin1String("agent_online")) {
        emit agentOnline(frame.toVariantMap());
    } else if (type == QLatin1String("agent_offline")) {
        emit agentOffline(frame.toVariantMap());
    } else if (type == QLatin1String("error")) {
        emit connectionError(stringOf(frame, "msg"));
        emit serviceError(stringOf(frame, "msg"));
    }
}

void WssClient::onError(QAbstractSocket::SocketError error)
{
    qDebug() << "[WSS] 错误:" << error << m_socket->errorString();
    emit connectionError(m_socket->errorString());

    // A refused handshake (an HTTP error answer) leaves the socket connecting
    // for as long as the server keeps the TCP connection, and no disconnect
    // would ever drive a reconnect. Give that attempt up once the error has
    // been delivered; our own close while connecting needs no help.
    if (m_socket->state() == QAbstractSocket::ConnectingState
        && error != QAbstractSocket::UnfinishedSocketOperationError) {
        const quint64 attempt = m_openAttempt;
        QTimer::singleShot(0, this, [this, attempt] {
            if (attempt == m_openAttempt && m_socket->state() == QAbstractSocket::ConnectingState)
                m_socket->abort();
        });
    }
}

void WssClient::onHeartbeatTimeout()
{
    // A service that answers pings has gone silent for two intervals: the
    // link is dead even if the socket has not noticed. One that never
    // answered pings is left alone.
    const qint64 silence = m_lastFrame.isValid() ? m_lastFrame.elapsed() : 0;
    if (m_authenticated && m_pongSeen && silence >= 2 * m_heartbeatIntervalMs * 9 / 10) {
        qDebug() << "[WSS] 心跳无响应，判定连接已断开:" << silence << "ms";
        dropLink();
        return;
    }
    if (isConnected())
        sendPing();
}

void WssClient::onReconnectTimeout()
{
    m_manualClose = false;
    qDebug() << "[WSS] 正在重连:" << m_url;
    openSocket();
}

void WssClient::openSocket()
{
    ++m_openAttempt;
    m_authenticatedFor.invalidate();
    replaceSocket();
    m_connectTimer->start();
    m_socket->open(QUrl(m_url));
}
