#include "net/apiclient.h"

#include <QDebug>
#include <QHttpMultiPart>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <QUrlQuery>

#include <utility>

namespace {

const QString kTokenKey = QStringLiteral("token");
// The session a remark update was issued for travels with its own reply, so
// overlapping updates each report their own session.
const char kRemarkSessionProperty[] = "orvantisRemarkSessionId";

QUrl requestUrl(const QString &baseUrl, const QString &path)
{
    return QUrl(baseUrl + path, QUrl::TolerantMode);
}

// Query values are percent-encoded completely: a plain "+" would otherwise
// reach the service as a space, and "&", "=" or "#" would split the value.
QString encodedQuery(const QMap<QString, QString> &params)
{
    QStringList pairs;
    pairs.reserve(params.size());
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        pairs << QString::fromLatin1(QUrl::toPercentEncoding(it.key()) + '='
                                     + QUrl::toPercentEncoding(it.value()));
    }
    return pairs.join(QLatin1Char('&'));
}

struct PagedList
{
    QJsonArray elements;
    int total = 0;
    bool hasMore = false;
};

PagedList readPagedList(const QJsonObject &data)
{
    PagedList page;
    page.elements = data.value(QStringLiteral("list")).toArray();
    // Strict JSON types on purpose: a "total" of "12" or a "has_more" of 1
    // are not what the service promises and must not page on forever.
    page.total = data.value(QStringLiteral("total")).toInt(0);
    page.hasMore = data.value(QStringLiteral("has_more")).toBool(false);
    return page;
}

QList<ChatSession> sessionsFrom(const QJsonArray &elements)
{
    QList<ChatSession> sessions;
    sessions.reserve(elements.size());
    for (const QJsonValue &element : elements)
        sessions.append(ChatSession::fromMap(element.toObject().toVariantMap()));
    return sessions;
}

QList<ChatMessage> messagesFrom(const QJsonArray &elements)
{
    QList<ChatMessage> messages;
    messages.reserve(elements.size());
    for (const QJsonValue &element : elements)
        messages.append(ChatMessage::fromMap(element.toObject().toVariantMap()));
    return messages;
}

int sessionIdOfRequest(const QNetworkReply *reply)
{
    const QUrlQuery query(reply->request().url());
    return query.queryItemValue(QStringLiteral("session_id"), QUrl::FullyDecoded).toInt();
}

} // namespace

ApiClient::ApiClient(QObject *parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this))
    , m_settings(QStringLiteral("orvantis"), QStringLiteral("config"))
{
    registerChatRecordTypes();
}

ApiClient::~ApiClient()
{
    // Replies die with the network manager; none may reach handleReply on a
    // half-destroyed client.
    const QSet<QNetworkReply *> replies = std::exchange(m_pendingReplies, {});
    for (QNetworkReply *reply : replies) {
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
    }
}

void ApiClient::setBaseUrl(const QString &url)
{
    m_baseUrl = url;
}

QString ApiClient::restoreToken()
{
    m_token = m_settings.value(kTokenKey).toString();
    return m_token;
}

void ApiClient::clearToken()
{
    m_token.clear();
    m_settings.remove(kTokenKey);
    m_settings.sync();
}

QVariantMap ApiClient::userInfoFromToken() const
{
    QVariantMap info;
    if (m_token.isEmpty())
        return info;
    const QStringList parts = m_token.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (parts.size() < 2)
        return info;

    QByteArray payload = parts.at(1).toUtf8();
    payload.replace('-', '+').replace('_', '/');
    while (payload.size() % 4 != 0)
        payload.append('=');
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromBase64(payload));
    if (!doc.isObject())
        return info;

    const QJsonObject claims = doc.object();
    info.insert(QStringLiteral("id"), claims.value(QStringLiteral("uid")).toInt());
    info.insert(QStringLiteral("name"), claims.value(QStringLiteral("name")).toString());
    info.insert(QStringLiteral("role"), claims.value(QStringLiteral("role")).toString());
    info.insert(QStringLiteral("member_id"), claims.value(QStringLiteral("member_id")).toInt());
    return info;
}

QNetworkRequest ApiClient::jsonRequest(const QUrl &url) const
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (!m_token.isEmpty())
        request.setRawHeader(QByteArrayLiteral("Authorization"), "Bearer " + m_token.toUtf8());
    return request;
}

QNetworkReply *ApiClient::get(const QString &path, const QMap<QString, QString> &params)
{
    QUrl url = requestUrl(m_baseUrl, path);
    if (!params.isEmpty())
        url.setQuery(encodedQuery(params), QUrl::StrictMode);
    QNetworkReply *reply = m_network->get(jsonRequest(url));
    track(reply);
    return reply;
}

QNetworkReply *ApiClient::post(const QString &path, const QJsonObject &body)
{
    const QUrl url = requestUrl(m_baseUrl, path);
    QNetworkReply *reply
        = m_network->post(jsonRequest(url), QJsonDocument(body).toJson(QJsonDocument::Indented));
    track(reply);
    return reply;
}

void ApiClient::sendGetRequest(const QString &path, const QMap<QString, QString> &params)
{
    get(path, params);
}

void ApiClient::sendPostRequest(const QString &path, const QJsonObject &body)
{
    post(path, body);
}

void ApiClient::abortAllRequests()
{
    const QSet<QNetworkReply *> replies = std::exchange(m_pendingReplies, {});
    for (QNetworkReply *reply : replies) {
        // Cut the reply off first: abort() finishes it synchronously.
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        reply->deleteLater();
    }
    m_network->clearConnectionCache();
}

void ApiClient::getMessages(int sessionId, const QString &beforeTime)
{
    QMap<QString, QString> params;
    params.insert(QStringLiteral("session_id"), QString::number(sessionId));
    params.insert(QStringLiteral("page"), QStringLiteral("1"));
    params.insert(QStringLiteral("limit"), QStringLiteral("50"));
    if (!beforeTime.isEmpty())
        params.insert(QStringLiteral("before_time"), beforeTime);
    get(QStringLiteral("/chat/messages"), params);
}

void ApiClient::getReceptionRecords(const QString &status, int page, const QString &keyword)
{
    QMap<QString, QString> params;
    params.insert(QStringLiteral("status"), status);
    params.insert(QStringLiteral("page"), QString::number(page));
    params.insert(QStringLiteral("limit"), QStringLiteral("20"));
    if (!keyword.isEmpty())
        params.insert(QStringLiteral("keyword"), keyword);
    get(QStringLiteral("/chat/records"), params);
}

void ApiClient::getHistory(int sessionId, int page)
{
    QMap<QString, QString> params;
    params.insert(QStringLiteral("session_id"), QString::number(sessionId));
    params.insert(QStringLiteral("page"), QString::number(page));
    params.insert(QStringLiteral("limit"), QStringLiteral("50"));
    get(QStringLiteral("/chat/history"), params);
}

void ApiClient::markRead(int sessionId)
{
    post(QStringLiteral("/chat/mark-read"),
         QJsonObject {{QStringLiteral("session_id"), sessionId}});
}

void ApiClient::updateSessionRemark(int sessionId, const QString &remark)
{
    m_pendingRemarkSessionId = sessionId;
    QNetworkReply *reply = post(QStringLiteral("/chat/update-session"),
                                QJsonObject {{QStringLiteral("session_id"), sessionId},
                                             {QStringLiteral("remark"), remark}});
    reply->setProperty(kRemarkSessionProperty, sessionId);
}

void ApiClient::uploadChatImage(const QByteArray &imageData, const QString &fileName)
{
    auto *multiPart = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    QHttpPart part;
    part.setRawHeader(QByteArrayLiteral("Content-Type"), QByteArrayLiteral("image/png"));
    part.setRawHeader(
        QByteArrayLiteral("Content-Disposition"),
        QStringLiteral("form-data; name=\"file\"; filename=\"%1\"").arg(fileName).toUtf8());
    part.setBody(imageData);
    multiPart->append(part);

    // The upload endpoint takes no token: the request carries no header of ours.
    QNetworkRequest request(requestUrl(m_baseUrl, QStringLiteral("/upload/chat-image")));
    QNetworkReply *reply = m_network->post(request, multiPart);
    multiPart->setParent(reply);
    track(reply);
}

void ApiClient::track(QNetworkReply *reply)
{
    m_pendingReplies.insert(reply);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { handleReply(reply); });
}

void ApiClient::handleReply(QNetworkReply *reply)
{
    m_pendingReplies.remove(reply);
    const QUrl url = reply->request().url();

    if (reply->error() != QNetworkReply::NoError) {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status == 401) {
            qDebug() << "[API] 401 认证过期:" << url.toString();
            reply->deleteLater();
            emit authExpired();
            return;
        }
        const QString error = reply->errorString();
        qDebug() << "[API] 请求失败:" << url.toString() << error;
        reply->deleteLater();
        emit apiError(error);
        return;
    }

    const QByteArray body = reply->readAll();
    reply->deleteLater();

    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
    if (doc.isNull()) {
        qDebug() << "[API] JSON解析失败:" << url.toString() << parseError.errorString();
        emit apiError(QStringLiteral("JSON解析失败"));
        return;
    }

    const QJsonObject root = doc.isObject() ? doc.object() : QJsonObject();
    const int code = root.value(QStringLiteral("code")).toInt(0);
    if (code != 200) {
        const QString msg = root.value(QStringLiteral("msg")).toString();
        emit apiError(msg.isEmpty() ? QStringLiteral("请求失败") : msg);
        return;
    }
    const QJsonObject data = root.value(QStringLiteral("data")).toObject();

    const QString path = url.path(QUrl::FullyDecoded);
    auto has = [&path](const char *fragment) {
        return path.contains(QLatin1String(fragment), Qt::CaseSensitive);
    };

    if (has("/upload/chat-image")) {
        emit imageUploaded(data.value(QStringLiteral("url")).toString());
    } else if (has("/agent/login")) {
        const QString newToken = data.value(QStringLiteral("token")).toString();
        QVariantMap userInfo;
        userInfo.insert(QStringLiteral("id"), data.value(QStringLiteral("agent_id")).toInt());
        userInfo.insert(QStringLiteral("name"), data.value(QStringLiteral("name")).toString());
        userInfo.insert(QStringLiteral("member_id"),
                        data.value(QStringLiteral("member_id")).toInt());
        m_token = newToken;
        m_settings.setValue(kTokenKey, newToken);
        m_settings.sync();
        emit loginSuccess(newToken, userInfo);
    } else if (has("/auth/logout")) {
        clearToken();
        emit logoutSuccess();
    } else if (has("/user/info")) {
        emit userInfoReceived(data.toVariantMap());
    } else if (has("/chat/channel-info") || has("/chat/my-channel") || has("/agent/channel")) {
        emit channelInfoReceived(data.toVariantMap());
    } else if (has("/agent/list")) {
        QVariantList agents;
        const QJsonArray elements = root.value(QStringLiteral("data")).toArray();
        agents.reserve(elements.size());
        for (const QJsonValue &element : elements)
            agents.append(element.toObject().toVariantMap());
        emit agentListReceived(agents);
    } else if (has("/chat/channel-sessions")) {
        const PagedList page = readPagedList(data);
        emit sessionsReceived(sessionsFrom(page.elements), page.total, page.hasMore);
    } else if (has("/chat/messages")) {
        const PagedList page = readPagedList(data);
        emit messagesReceived(sessionIdOfRequest(reply), messagesFrom(page.elements), page.total,
                              page.hasMore);
    } else if (has("/chat/send")) {
        emit messageSent(data.value(QStringLiteral("msg_id")).toVariant().toInt(),
                         data.value(QStringLiteral("session_id")).toVariant().toInt());
    } else if (has("/chat/records")) {
        const PagedList page = readPagedList(data);
        emit receptionRecordsReceived(sessionsFrom(page.elements), page.total, page.hasMore);
    } else if (has("/chat/session-info")) {
        emit sessionInfoReceived(ChatSession::fromMap(data.toVariantMap()));
    } else if (has("/chat/update-session")) {
        const QVariant own = reply->property(kRemarkSessionProperty);
        const int sessionId = own.isValid() ? own.toInt() : m_pendingRemarkSessionId;
        // Only the newest update is tracked in the member; an older reply
        // must not forget it.
        if (!own.isValid() || m_pendingRemarkSessionId == sessionId)
            m_pendingRemarkSessionId = 0;
        emit remarkUpdated(sessionId);
    } else if (has("/close-session")) {
        emit sessionClosed(data.value(QStringLiteral("session_id")).toVariant().toInt());
    } else if (has("/delete-session")) {
        const int sessionId = data.value(QStringLiteral("session_id")).toVariant().toInt();
        qDebug() << "[API] 会话删除成功: sessionId=" << sessionId;
        emit sessionDeleted(sessionId);
    } else if (has("/chat/mark-read")) {
        // Success needs no announcement.
    } else if (has("/chat/history")) {
        const PagedList page = readPagedList(data);
        emit historyReceived(sessionIdOfRequest(reply), messagesFrom(page.elements), page.total,
                             page.hasMore);
    }
}
