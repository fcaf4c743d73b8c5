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
    for (const auto &element : elements)
        sessions.append(ChatSession::fromMap(element.toObject().toVariantMap()));
    return sessions;
}

QList<ChatMessage> messagesFrom(const QJsonArray &elements)
{
    QList<ChatMessage> messages;
    messages.reserve(elements.size());
    for (const auto &element : elements)
        messages.append(ChatMessage::fromMap(element.toObject().toVariantMap()));
    return messages;
}

int sessionIdOfRequest(const QNetworkReply *reply)
{
    const QUrlQuery query(reply->request().url());
    return query.queryItemValue(QStringLiteral("session_id"), QUrl::FullyDecoded).toInt();
}

} // namespace

ApiRequest::ApiRequest(ApiClient *client, QNetworkReply *reply, const QString &path)
    : QObject(client), m_client(client), m_reply(reply), m_path(path)
{ }

void ApiRequest::abandon()
{
    QNetworkReply *reply = std::exchange(m_reply, nullptr);
    if (!reply)
        return;
    m_client->m_pendingReplies.remove(this);
    disconnect(reply, nullptr, m_client, nullptr);
    // The request still reaches the service (a sign-out must); only its
    // answer goes unheard.
    connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    m_client->m_abandonedReplies.removeIf([](const auto &gone) { return gone.isNull(); });
    m_client->m_abandonedReplies.append(reply);
    deleteLater();
}

ApiClient::ApiClient(QObject *parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this))
    , m_settings(QStringLiteral("orvantis"), QStringLiteral("config"))
{
    registerChatRecordTypes();
    // A redirect to another host would carry the agent's bearer token there;
    // such a redirect ends the request with an error instead.
    m_network->setRedirectPolicy(QNetworkRequest::SameOriginRedirectPolicy);
}

ApiClient::~ApiClient()
{
    // Replies die with the network manager; none may reach handleReply on a
    // half-destroyed client.
    const QSet<ApiRequest *> requests = std::exchange(m_pendingReplies, {});
    for (ApiRequest *request : requests) {
        QNetworkReply *reply = std::exchange(request->m_reply, nullptr);
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

ApiRequest *ApiClient::get(const QString &path, const QMap<QString, QString> &params)
{
    QUrl url = requestUrl(m_baseUrl, path);
    if (!params.isEmpty())
        url.setQuery(encodedQuery(params), QUrl::StrictMode);
    return track(m_network->get(jsonRequest(url)), path);
}

ApiRequest *ApiClient::post(const QString &path, const QJsonObject &body)
{
    const QUrl url = requestUrl(m_baseUrl, path);
    return track(
        m_network->post(jsonRequest(url), QJsonDocument(body).toJson(QJsonDocument::Indented)),
        path);
}

ApiRequest *ApiClient::sendGetRequest(const QString &path, const QMap<QString, QString> &params)
{
    return get(path, params);
}

ApiRequest *ApiClient::sendPostRequest(const QString &path, const QJsonObject &body)
{
    return post(path, body);
}

void ApiClient::abortAllRequests()
{
    // A reply being dispatched right now is no longer in the set: the
    // generation tells it to stay quiet too.
    ++m_generation;
    const QSet<ApiRequest *> requests = std::exchange(m_pendingReplies, {});
    for (ApiRequest *request : requests)
        release(request);
    m_network->clearConnectionCache();
    // Abandoned replies still waiting lost their connection with the cache:
    // they would never finish, and never be released.
    for (const QPointer<QNetworkReply> &reply : std::exchange(m_abandonedReplies, {})) {
        if (reply && reply->isRunning())
            reply->abort();
    }
}

void ApiClient::release(ApiRequest *request)
{
    m_pendingReplies.remove(request);
    QNetworkReply *reply = std::exchange(request->m_reply, nullptr);
    if (reply) {
        // Cut the reply off first: abort() finishes it synchronously.
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        reply->deleteLater();
    }
    request->deleteLater();
}

ApiRequest *ApiClient::getMessages(int sessionId, const QString &beforeTime)
{
    QMap<QString, QString> params;
    params.insert(QStringLiteral("session_id"), QString::number(sessionId));
    params.insert(QStringLiteral("page"), QStringLiteral("1"));
    params.insert(QStringLiteral("limit"), QStringLiteral("50"));
    if (!beforeTime.isEmpty())
        params.insert(QStringLiteral("before_time"), beforeTime);
    return get(QStringLiteral("/chat/messages"), params);
}

ApiRequest *ApiClient::getReceptionRecords(const QString &status, int page, const QString &keyword)
{
    QMap<QString, QString> params;
    params.insert(QStringLiteral("status"), status);
    params.insert(QStringLiteral("page"), QString::number(page));
    params.insert(QStringLiteral("limit"), QStringLiteral("20"));
    if (!keyword.isEmpty())
        params.insert(QStringLiteral("keyword"), keyword);
    return get(QStringLiteral("/chat/records"), params);
}

ApiRequest *ApiClient::getHistory(int sessionId, int page)
{
    QMap<QString, QString> params;
    params.insert(QStringLiteral("session_id"), QString::number(sessionId));
    params.insert(QStringLiteral("page"), QString::number(page));
    params.insert(QStringLiteral("limit"), QStringLiteral("50"));
    return get(QStringLiteral("/chat/history"), params);
}

ApiRequest *ApiClient::markRead(int sessionId)
{
    return post(QStringLiteral("/chat/mark-read"),
                QJsonObject {{QStringLiteral("session_id"), sessionId}});
}

ApiRequest *ApiClient::updateSessionRemark(int sessionId, const QString &remark)
{
    ApiRequest *request = post(QStringLiteral("/chat/update-session"),
                               QJsonObject {{QStringLiteral("session_id"), sessionId},
                                            {QStringLiteral("remark"), remark}});
    request->setProperty(kRemarkSessionProperty, sessionId);
    return request;
}

namespace {

// The file name comes from the agent's disk or clipboard: no line break or
// other control character may end the header, and a quote or backslash may
// not end the quoted value. Escaped as browsers do.
QString dispositionFileName(const QString &fileName)
{
    QString safe;
    safe.reserve(fileName.size());
    for (const QChar c : fileName) {
        if (c == QLatin1Char('"'))
            safe += QLatin1String("%22");
        else if (c == QLatin1Char('\\'))
            safe += QLatin1String("%5C");
        else if (c.category() != QChar::Other_Control)
            safe += c;
    }
    return safe.isEmpty() ? QStringLiteral("image.png") : safe;
}

} // namespace

ApiRequest *ApiClient::uploadChatImage(const QByteArray &imageData, const QString &fileName)
{
    auto *multiPart = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    QHttpPart part;
    part.setRawHeader(QByteArrayLiteral("Content-Type"), QByteArrayLiteral("image/png"));
    part.setRawHeader(QByteArrayLiteral("Content-Disposition"),
                      QStringLiteral("form-data; name=\"file\"; filename=\"%1\"")
                          .arg(dispositionFileName(fileName))
                          .toUtf8());
    part.setBody(imageData);
    multiPart->append(part);

    // The upload endpoint takes no token: the request carries no header of ours.
    const QString path = QStringLiteral("/upload/chat-image");
    QNetworkReply *reply = m_network->post(QNetworkRequest(requestUrl(m_baseUrl, path)), multiPart);
    multiPart->setParent(reply);
    return track(reply, path);
}

ApiRequest *ApiClient::track(QNetworkReply *reply, const QString &path)
{
    auto *request = new ApiRequest(this, reply, path);
    m_pendingReplies.insert(request);
    connect(reply, &QNetworkReply::finished, this, [this, request] { handleReply(request); });
    return request;
}

void ApiClient::handleReply(ApiRequest *request)
{
    QNetworkReply *reply = std::exchange(request->m_reply, nullptr);
    m_pendingReplies.remove(request);
    reply->deleteLater();
    request->deleteLater();

    // The request's own listener hears first; if it abandons everything (a
    // sign-out, say), the client-wide signal is not raised either.
    const quint64 generation = m_generation;
    auto fail = [&](const QString &error, bool expired) {
        emit request->failed(error);
        if (generation != m_generation)
            return;
        if (expired)
            emit authExpired();
        else
            emit apiError(error);
    };

    QString error;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() != QNetworkReply::NoError && status == 401) {
        qDebug() << "[API] 401 认证过期:" << reply->request().url().toString();
        fail(QStringLiteral("认证失败"), true);
        return;
    }
    if (!dispatch(reply, request, &error)) {
        fail(error, false);
        return;
    }
}

bool ApiClient::dispatch(QNetworkReply *reply, ApiRequest *request, QString *error)
{
    const QUrl url = reply->request().url();
    if (reply->error() != QNetworkReply::NoError) {
        *error = reply->errorString();
        qDebug() << "[API] 请求失败:" << url.toString() << *error;
        return false;
    }

    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(reply->readAll(), &parseError);
    if (doc.isNull()) {
        qDebug() << "[API] JSON解析失败:" << url.toString() << parseError.errorString();
        *error = QStringLiteral("JSON解析失败");
        return false;
    }

    const QJsonObject root = doc.isObject() ? doc.object() : QJsonObject();
    const int code = root.value(QStringLiteral("code")).toInt(0);
    if (code != 200) {
        const QString msg = root.value(QStringLiteral("msg")).toString();
        *error = msg.isEmpty() ? QStringLiteral("请求失败") : msg;
        return false;
    }
    const QJsonObject data = root.value(QStringLiteral("data")).toObject();

    const quint64 generation = m_generation;
    const QString path = url.path(QUrl::FullyDecoded);
    auto has = [&path](const char *fragment) {
        return path.contains(QLatin1String(fragment), Qt::CaseSensitive);
    };
    request->m_data = root.value(QStringLiteral("data"));
    const bool listing = has("/chat/channel-sessions") || has("/chat/records");
    const bool messagePage = has("/chat/messages") || has("/chat/history");
    if (listing || messagePage) {
        const PagedList page = readPagedList(data);
        request->m_total = page.total;
        request->m_hasMore = page.hasMore;
        if (listing)
            request->m_sessions = sessionsFrom(page.elements);
        else
            request->m_messages = messagesFrom(page.elements);
    } else if (has("/upload/chat-image")) {
        request->m_url = data.value(QStringLiteral("url")).toString();
    } else if (has("/agent/list")) {
        for (const QJsonValue &element : root.value(QStringLiteral("data")).toArray())
            request->m_colleagues.append(Colleague::fromMap(element.toObject().toVariantMap()));
    }
    emit request->succeeded();
    if (generation != m_generation)
        return true;

    if (has("/upload/chat-image")) {
        emit imageUploaded(request->m_url);
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
        for (const auto &element : elements)
            agents.append(element.toObject().toVariantMap());
        emit agentListReceived(agents);
    } else if (has("/chat/channel-sessions")) {
        emit sessionsReceived(request->m_sessions, request->m_total, request->m_hasMore);
    } else if (has("/chat/messages")) {
        emit messagesReceived(sessionIdOfRequest(reply), request->m_messages, request->m_total,
                              request->m_hasMore);
    } else if (has("/chat/send")) {
        emit messageSent(data.value(QStringLiteral("msg_id")).toVariant().toInt(),
                         data.value(QStringLiteral("session_id")).toVariant().toInt());
    } else if (has("/chat/records")) {
        emit receptionRecordsReceived(request->m_sessions, request->m_total, request->m_hasMore);
    } else if (has("/chat/session-info")) {
        emit sessionInfoReceived(ChatSession::fromMap(data.toVariantMap()));
    } else if (has("/chat/update-session")) {
        // The session the remark was sent for, whatever is open now.
        const int sessionId = request->property(kRemarkSessionProperty).toInt();
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
        emit historyReceived(sessionIdOfRequest(reply), request->m_messages, request->m_total,
                             request->m_hasMore);
    }
    return true;
}
