#pragma once

#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QSettings>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

#include "net/chatrecords.h"

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QUrl;

// The only HTTP client of the program. Every request goes through the two
// builders, every reply through one dispatcher that raises at most one signal.
// Failures are reported as apiError (HTTP 401 as authExpired), never thrown.
class ApiClient : public QObject
{
    Q_OBJECT

public:
    explicit ApiClient(QObject *parent = nullptr);
    ~ApiClient() override;

    void setBaseUrl(const QString &url);
    QString baseUrl() const { return m_baseUrl; }

    QString token() const { return m_token; }
    // Loads the token of the last sign-in from the settings store.
    QString restoreToken();
    void clearToken();
    // The profile carried in the token's payload; no signature or expiry check.
    QVariantMap userInfoFromToken() const;

    void sendGetRequest(const QString &path, const QMap<QString, QString> &params = {});
    void sendPostRequest(const QString &path, const QJsonObject &body);
    // Abandons every request in flight: none of them raises a signal afterwards.
    void abortAllRequests();

    // Chat operations.
    void getMessages(int sessionId, const QString &beforeTime);
    void getReceptionRecords(const QString &status, int page, const QString &keyword);
    void getHistory(int sessionId, int page);
    void markRead(int sessionId);
    void updateSessionRemark(int sessionId, const QString &remark);
    void uploadChatImage(const QByteArray &imageData, const QString &fileName);

    int pendingRequestCount() const { return m_pendingReplies.size(); }

signals:
    void loginSuccess(const QString &token, const QVariantMap &userInfo);
    void authExpired();
    void logoutSuccess();
    void apiError(const QString &error);
    void userInfoReceived(const QVariantMap &userInfo);
    void channelInfoReceived(const QVariantMap &channelInfo);
    void sessionsReceived(const QList<ChatSession> &sessions, int total, bool hasMore);
    void messagesReceived(int sessionId, const QList<ChatMessage> &messages, int total,
                          bool hasMore);
    void messageSent(int msgId, int sessionId);
    void receptionRecordsReceived(const QList<ChatSession> &sessions, int total, bool hasMore);
    void sessionInfoReceived(const ChatSession &session);
    void agentListReceived(const QVariantList &agents);
    void remarkUpdated(int sessionId);
    void sessionClosed(int sessionId);
    void sessionDeleted(int sessionId);
    void historyReceived(int sessionId, const QList<ChatMessage> &messages, int total,
                         bool hasMore);
    void imageUploaded(const QString &url);

private:
    QNetworkRequest jsonRequest(const QUrl &url) const;
    QNetworkReply *get(const QString &path, const QMap<QString, QString> &params);
    QNetworkReply *post(const QString &path, const QJsonObject &body);
    void track(QNetworkReply *reply);
    void handleReply(QNetworkReply *reply);

    QNetworkAccessManager *m_network = nullptr;
    QString m_baseUrl;
    QString m_token;
    QSettings m_settings;
    QSet<QNetworkReply *> m_pendingReplies;
    int m_pendingRemarkSessionId = 0;
};
