#pragma once

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QVariantMap>

class QTimer;
class QWebSocket;

// The agent's realtime link: authenticates on every connection, keeps a
// heartbeat once authenticated and reconnects with a doubling delay after an
// unexpected disconnect. Each incoming JSON frame becomes one typed signal.
class WssClient : public QObject
{
    Q_OBJECT

public:
    explicit WssClient(QObject *parent = nullptr);
    ~WssClient() override;

    void setUrl(const QString &url);
    QString url() const { return m_url; }
    void setHeartbeatIntervalSec(int seconds);
    // Finer than the service ever needs; lets tests watch several beats quickly.
    void setHeartbeatIntervalMs(int ms);
    // How long an upgrade may stay unanswered (15 s).
    void setConnectTimeoutMs(int ms);
    void setReconnectBaseDelayMs(int ms);
    void setReconnectMaxDelayMs(int ms);
    // How long a link must stay authenticated before the next drop starts the
    // delays again from the base (60 s).
    void setStableLinkMs(int ms);
    int reconnectDelayMs() const { return m_reconnectDelayMs; }

    void connectToServer(const QString &token, const QString &role);
    void disconnectFromServer();
    // Gives up the current link as if it had dropped; a new one follows.
    void restartLink();
    bool isConnected() const;
    bool isAuthenticated() const { return m_authenticated; }

    void sendAuth(const QString &token, const QString &role);
    void sendChat(int sessionId, const QString &content, const QString &msgType);
    void sendRecall(const QString &msgUuid, int sessionId);
    void sendTransfer(int sessionId, int targetAgentId);
    void sendPing();
    // Pings sent and pongs received on the current link. The service answers
    // frames in order, so once pongsReceived() reaches the count after a ping,
    // every frame sent before that ping has had its answer.
    quint64 pingsSent() const { return m_pingsSent; }
    quint64 pongsReceived() const { return m_pongsReceived; }
    // Any frame, serialised compactly; dropped unless the socket is connected.
    void sendFrame(const QJsonObject &frame);

signals:
    void connected();
    void disconnected(ushort code, const QString &reason);
    void authOk();
    void authFailed(const QString &reason);
    void channelJoined(const QString &channel);
    void sessionJoined(int sessionId);
    void newSession(const QVariantMap &sessionData);
    void sessionOffline(int sessionId);
    void chatMessage(const QVariantMap &messageData);
    void chatSent(const QString &msgUuid, int sessionId);
    void recallReceived(const QString &msgUuid, int sessionId);
    void sessionTransferred(const QVariantMap &data);
    void agentOnline(const QVariantMap &data);
    void agentOffline(const QVariantMap &data);
    void pong();
    void connectionError(const QString &error);
    // The service's "error" frame alone (a refused frame), after connectionError.
    void serviceError(const QString &message);

private slots:
    void onConnected();
    void onDisconnected();
    void onTextMessageReceived(const QString &message);
    void onError(QAbstractSocket::SocketError error);
    void onHeartbeatTimeout();
    void onReconnectTimeout();

private:
    friend struct FuzzAccess; // the fuzz target feeds frames to the handler directly
    void openSocket();
    void closeSocket();
    void replaceSocket();
    void dropLink();
    void linkLost(ushort code, const QString &reason);

    QWebSocket *m_socket = nullptr;
    QTimer *m_heartbeatTimer = nullptr;
    QTimer *m_reconnectTimer = nullptr;
    QTimer *m_connectTimer = nullptr;
    QElapsedTimer m_lastFrame; // since the service last sent anything
    QElapsedTimer m_authenticatedFor; // since "auth_ok" on the current link
    QString m_url;
    QString m_token;
    QString m_role;
    int m_heartbeatIntervalSec = 30;
    int m_heartbeatIntervalMs = 30000;
    int m_reconnectBaseDelayMs = 3000;
    int m_reconnectMaxDelayMs = 30000;
    int m_reconnectDelayMs = 0;
    int m_stableLinkMs = 60000;
    bool m_authenticated = false;
    bool m_manualClose = false;
    bool m_pongSeen = false; // the service answers pings on this link
    quint64 m_pingsSent = 0;
    quint64 m_pongsReceived = 0;
    quint64 m_openAttempt = 0; // tells a stale handshake failure from the current attempt
};
