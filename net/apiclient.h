#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QObject>
#include <QPointer>
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
class ApiClient;

// One REST request in flight. Whoever issued it can follow how it ends and
// abandon it, instead of guessing from the client-wide apiError which request
// failed. It belongs to the client and is deleted soon after it has ended.
class ApiRequest : public QObject
{
    Q_OBJECT

public:
    QString path() const { return m_path; }
    bool isPending() const { return m_reply != nullptr; }
    // The reply's "data" once it has succeeded (an object, or the agent
    // list's array); null before.
    QJsonValue data() const { return m_data; }
    // The typed result, parsed once by the client before `succeeded`; empty
    // for replies of another kind.
    // A message or history page's messages, oldest first.
    const QList<ChatMessage> &messages() const { return m_messages; }
    // A session list or reception records page.
    const QList<ChatSession> &sessions() const { return m_sessions; }
    // The size of the whole listing of a page, and whether more pages follow.
    int total() const { return m_total; }
    bool hasMore() const { return m_hasMore; }
    // The agent list's entries.
    const QList<Colleague> &colleagues() const { return m_colleagues; }
    // An uploaded picture's address.
    QString url() const { return m_url; }

    // Abandons the result: neither this object nor the client emits anything
    // for it afterwards. The request itself still goes to the service.
    void abandon();

signals:
    // The reply was accepted; its typed result is filled. Emitted first, then
    // the client's route signal for it (sessionsReceived, messagesReceived…),
    // unless this request or all requests were abandoned meanwhile.
    void succeeded();
    // Every failure: the text apiError carries, or "认证失败" for HTTP 401.
    void failed(const QString &error);

private:
    friend class ApiClient;
    ApiRequest(ApiClient *client, QNetworkReply *reply, const QString &path);

    ApiClient *m_client = nullptr;
    QNetworkReply *m_reply = nullptr;
    QString m_path;
    QJsonValue m_data;
    QList<ChatMessage> m_messages;
    QList<ChatSession> m_sessions;
    int m_total = 0;
    bool m_hasMore = false;
    QString m_url;
    QList<Colleague> m_colleagues;
};

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

    ApiRequest *sendGetRequest(const QString &path, const QMap<QString, QString> &params = {});
    ApiRequest *sendPostRequest(const QString &path, const QJsonObject &body);
    // Abandons every request in flight: none of them raises a signal afterwards.
    void abortAllRequests();

    // Chat operations.
    ApiRequest *getMessages(int sessionId, const QString &beforeTime);
    ApiRequest *getReceptionRecords(const QString &status, int page, const QString &keyword);
    ApiRequest *getHistory(int sessionId, int page);
    ApiRequest *markRead(int sessionId);
    ApiRequest *updateSessionRemark(int sessionId, const QString &remark);
    ApiRequest *uploadChatImage(const QByteArray &imageData, const QString &fileName);

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
    friend class ApiRequest;
    friend struct FuzzAccess; // the fuzz target tracks replies it made up itself
    QNetworkRequest jsonRequest(const QUrl &url) const;
    ApiRequest *get(const QString &path, const QMap<QString, QString> &params);
    ApiRequest *post(const QString &path, const QJsonObject &body);
    ApiRequest *track(QNetworkReply *reply, const QString &path);
    void release(ApiRequest *request);
    void handleReply(ApiRequest *request);
    bool dispatch(QNetworkReply *reply, ApiRequest *request, QString *error);

    QNetworkAccessManager *m_network = nullptr;
    QString m_baseUrl;
    QString m_token;
    QSettings m_settings;
    QSet<ApiRequest *> m_pendingReplies;
    QList<QPointer<QNetworkReply>> m_abandonedReplies; // unheard, still on their way
    quint64 m_generation = 0; // bumped by abortAllRequests
};
