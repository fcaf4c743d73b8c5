#include "server_p.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHttpServerRequest>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>
#include <QUuid>

#include <algorithm>
#include <optional>

namespace DevServer {

namespace {

constexpr int maxPageSize = 200;
constexpr qsizetype maxUploadBytes = 10 * 1024 * 1024;

QByteArray methodName(QHttpServerRequest::Method method)
{
    switch (method) {
    case QHttpServerRequest::Method::Get:
        return "GET";
    case QHttpServerRequest::Method::Put:
        return "PUT";
    case QHttpServerRequest::Method::Delete:
        return "DELETE";
    case QHttpServerRequest::Method::Post:
        return "POST";
    case QHttpServerRequest::Method::Head:
        return "HEAD";
    case QHttpServerRequest::Method::Options:
        return "OPTIONS";
    case QHttpServerRequest::Method::Patch:
        return "PATCH";
    case QHttpServerRequest::Method::Connect:
        return "CONNECT";
    case QHttpServerRequest::Method::Trace:
        return "TRACE";
    default:
        return "UNKNOWN";
    }
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Payload Too Large";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

// A strictly positive whole JSON number; strings and fractions do not count.
std::optional<int> positiveInt(const QJsonObject &o, const QString &key)
{
    const QJsonValue v = o.value(key);
    if (!v.isDouble())
        return std::nullopt;
    const double n = v.toDouble();
    if (n < 1 || n > 2147483647.0 || n != qint64(n))
        return std::nullopt;
    return int(n);
}

// Query parameter as a positive integer: `fallback` when absent, nothing when malformed.
std::optional<int> queryInt(const QUrlQuery &query, const QString &key, int fallback)
{
    if (!query.hasQueryItem(key))
        return fallback > 0 ? std::optional<int>(fallback) : std::nullopt;
    bool isNumber = false;
    const int n = query.queryItemValue(key, QUrl::FullyDecoded).trimmed().toInt(&isNumber);
    if (!isNumber || n < 1)
        return std::nullopt;
    return n;
}

bool lastTimeNewer(const SessionRecord *a, const SessionRecord *b)
{
    const qint64 ta = epochOf(a->fields.value(QStringLiteral("last_time")));
    const qint64 tb = epochOf(b->fields.value(QStringLiteral("last_time")));
    if (ta != tb)
        return ta > tb;
    return a->fields.value(QStringLiteral("id")).toInt()
        > b->fields.value(QStringLiteral("id")).toInt();
}

QJsonObject pageObject(const QJsonArray &list, int total, bool hasMore, int page, int limit)
{
    return {{QStringLiteral("list"), list},
            {QStringLiteral("total"), total},
            {QStringLiteral("has_more"), hasMore},
            {QStringLiteral("page"), page},
            {QStringLiteral("limit"), limit}};
}

QByteArray contentTypeFor(const QString &fileName)
{
    const QString ext = fileName.section(QLatin1Char('.'), -1).toLower();
    if (ext == QLatin1String("png"))
        return "image/png";
    if (ext == QLatin1String("jpg") || ext == QLatin1String("jpeg"))
        return "image/jpeg";
    if (ext == QLatin1String("gif"))
        return "image/gif";
    if (ext == QLatin1String("webp"))
        return "image/webp";
    if (ext == QLatin1String("bmp"))
        return "image/bmp";
    return "application/octet-stream";
}

// The value of a parameter such as boundary=... or name="..." in a header value.
QByteArray headerParam(const QByteArray &value, const QByteArray &name)
{
    const QList<QByteArray> parts = value.split(';');
    for (QByteArray part : parts) {
        part = part.trimmed();
        const qsizetype eq = part.indexOf('=');
        if (eq < 0 || part.left(eq).trimmed().toLower() != name)
            continue;
        QByteArray v = part.mid(eq + 1).trimmed();
        if (v.size() >= 2 && v.startsWith('"') && v.endsWith('"'))
            v = v.mid(1, v.size() - 2);
        return v;
    }
    return {};
}

struct FormPart
{
    QByteArray disposition;
    QByteArray contentType;
    QByteArray data;
};

QList<FormPart> multipartParts(const QByteArray &body, const QByteArray &boundary)
{
    QList<FormPart> parts;
    const QByteArray delimiter = "--" + boundary;
    qsizetype pos = body.indexOf(delimiter);
    while (pos >= 0) {
        pos += delimiter.size();
        if (body.mid(pos, 2) == "--")
            break; // closing delimiter
        const qsizetype headersStart = body.indexOf("\r\n", pos);
        if (headersStart < 0)
            break;
        const qsizetype headersEnd = body.indexOf("\r\n\r\n", headersStart);
        if (headersEnd < 0)
            break;
        const qsizetype next = body.indexOf("\r\n" + delimiter, headersEnd + 4);
        if (next < 0)
            break;
        FormPart part;
        const QList<QByteArray> lines
            = body.mid(headersStart + 2, headersEnd - headersStart - 2).split('\n');
        for (const QByteArray &raw : lines) {
            const QByteArray line = raw.trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon < 0)
                continue;
            const QByteArray key = line.left(colon).trimmed().toLower();
            if (key == "content-disposition")
                part.disposition = line.mid(colon + 1).trimmed();
            else if (key == "content-type")
                part.contentType = line.mid(colon + 1).trimmed();
        }
        part.data = body.mid(headersEnd + 4, next - headersEnd - 4);
        parts.append(part);
        pos = next + 2;
    }
    return parts;
}

} // namespace

QByteArray envelope(const QJsonValue &data, int code, const QString &msg)
{
    QJsonObject root {{QStringLiteral("code"), code}, {QStringLiteral("msg"), msg}};
    if (!data.isUndefined())
        root.insert(QStringLiteral("data"), data);
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

HttpReply ok(const QJsonValue &data)
{
    HttpReply r;
    r.body = envelope(data);
    return r;
}

HttpReply refuse(int code, const QString &msg)
{
    HttpReply r;
    r.body = envelope(QJsonValue::Null, code, msg);
    return r;
}

HttpReply httpError(int status, int code, const QString &msg)
{
    HttpReply r;
    r.status = status;
    r.body = envelope(QJsonValue::Null, code, msg);
    return r;
}

namespace {

bool isWebSocketUpgrade(const QHttpServerRequest &request)
{
    return request.value(QByteArrayLiteral("upgrade"))
               .compare(QByteArrayLiteral("websocket"), Qt::CaseInsensitive)
        == 0;
}

} // namespace

bool HttpFrontend::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    // Qt hands an upgrade request to its WebSocket server once it counts as
    // handled; nothing may be written on the socket before that.
    if (isWebSocketUpgrade(request))
        return true;
    m_handler(request, socket);
    return true;
}

void HttpFrontend::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    // Every plain request is handled above; this only answers should Qt ask anyway.
    if (!isWebSocketUpgrade(request))
        writeHttpReply(socket, httpError(404, 404, QStringLiteral("接口不存在")));
}

// Answers are written by hand rather than through QHttpServerResponder: a
// responder refers to the request object, which does not outlive this call,
// and delayed answers are written long after it.
void writeHttpReply(QTcpSocket *socket, const HttpReply &reply)
{
    if (!socket)
        return;
    if (reply.drop) {
        // A bare close before any answer is silently retried by
        // QNetworkAccessManager; a cut in the middle of an answer is not.
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
                      "1000\r\n\r\n{\"code\":");
        socket->flush();
        QTimer::singleShot(0, socket, [socket] { socket->abort(); });
        return;
    }
    QByteArray out = "HTTP/1.1 " + QByteArray::number(reply.status) + ' '
        + reasonPhrase(reply.status) + "\r\nContent-Type: " + reply.contentType
        + "\r\nContent-Length: " + QByteArray::number(reply.body.size())
        + (reply.location.isEmpty() ? QByteArray() : "\r\nLocation: " + reply.location)
        + "\r\nConnection: keep-alive\r\n\r\n" + reply.body;
    socket->write(out);
}

void Server::Private::handleHttp(const QHttpServerRequest &request, QTcpSocket *socket)
{
    RecordedRequest r;
    r.method = methodName(request.method());
    const QUrl url = request.url();
    r.path = url.path(QUrl::FullyDecoded);
    r.rawQuery = url.query(QUrl::FullyEncoded);
    r.query = QUrlQuery(r.rawQuery);
    r.headers = request.headers();
    r.body = request.body();
    recorded.append(r);
    emit q->requestRecorded(r);
    if (r.path.startsWith(QLatin1String("/hostile/")) && serveHostilePicture(r.path, socket))
        return;

    // The first matching answer rule and the first matching delay each take
    // one request.
    std::optional<ReplyRule> answer;
    int delayMs = 0;
    for (qsizetype i = 0; i < rules.size(); ++i) {
        ReplyRule &rule = rules[i];
        if (!r.path.contains(rule.pathContains))
            continue;
        const bool isDelay = rule.kind == ReplyRule::Delay;
        if (isDelay ? delayMs > 0 : answer.has_value())
            continue;
        if (isDelay)
            delayMs = rule.delayMs;
        else
            answer = rule;
        if (--rule.remaining <= 0)
            rules.removeAt(i--);
    }

    applyRestFault(r, &answer, &delayMs);
    const HttpReply reply = answer ? faultReply(*answer, r, request.remoteAddress())
                                   : route(r, request.remoteAddress());
    // Remarks, reading, deletion, sign-outs: whatever a POST changed is kept.
    if (r.method == "POST")
        changed();
    if (delayMs > 0) {
        QPointer<QTcpSocket> guarded(socket);
        QTimer::singleShot(delayMs, q, [guarded, reply] {
            if (guarded)
                writeReply(guarded, reply);
        });
    } else {
        writeReply(socket, reply);
    }
}

void Server::Private::applyRestFault(const RecordedRequest &r, std::optional<ReplyRule> *answer,
                                     int *delayMs)
{
    if (plan.restFaultEveryNth <= 0 || !r.path.startsWith(QLatin1String("/api/")))
        return;
    if (++apiReplies % plan.restFaultEveryNth != 0)
        return;
    if ((apiReplies / plan.restFaultEveryNth) % 2 == 1) {
        *delayMs = qMax(*delayMs, plan.restDelayMs);
        ++counters.repliesDelayed;
        return;
    }
    static const Fault kinds[] = {Fault::Http500, Fault::Refuse, Fault::DropConnection};
    ReplyRule rule;
    rule.fault = kinds[counters.repliesFailed++ % 3];
    *answer = rule;
}

HttpReply Server::Private::faultReply(const ReplyRule &rule, const RecordedRequest &r,
                                      const QHostAddress &peer)
{
    HttpReply reply;
    if (rule.kind == ReplyRule::RawReply) {
        reply.status = rule.httpStatus;
        reply.body = rule.body;
        // A redirect names its target in the body given to setRawReply.
        if (reply.status >= 300 && reply.status < 400)
            reply.location = rule.body;
        if (QJsonDocument::fromJson(rule.body).isNull())
            reply.contentType = "text/plain; charset=utf-8";
        return reply;
    }
    switch (rule.fault) {
    case Fault::Http401:
        return httpError(401, 401, QStringLiteral("登录已过期，请重新登录"));
    case Fault::Http500:
        return httpError(500, 500, QStringLiteral("服务器内部错误"));
    case Fault::NotJson:
        reply.contentType = "text/html; charset=utf-8";
        reply.body = "<html><body><h1>502 Bad Gateway</h1></body></html>";
        return reply;
    case Fault::CodeAsString: {
        // The normal answer, with its code turned into text.
        reply = route(r, peer);
        QJsonObject root = QJsonDocument::fromJson(reply.body).object();
        if (root.isEmpty())
            root = {{QStringLiteral("msg"), QStringLiteral("操作成功")},
                    {QStringLiteral("data"), QJsonObject()}};
        root.insert(QStringLiteral("code"),
                    QString::number(root.value(QStringLiteral("code")).toInt(200)));
        reply.status = 200;
        reply.contentType = "application/json; charset=utf-8";
        reply.body = QJsonDocument(root).toJson(QJsonDocument::Compact);
        return reply;
    }
    case Fault::ArrayBody:
        reply.body = "[" + envelope(QJsonObject()) + "]";
        return reply;
    case Fault::Refuse:
        return refuse(500, QStringLiteral("服务暂不可用"));
    case Fault::DropConnection:
        reply.drop = true;
        return reply;
    }
    return reply;
}

HttpReply Server::Private::route(const RecordedRequest &r, const QHostAddress &peer)
{
    const QString &path = r.path;
    if (path.startsWith(QLatin1String("/uploads/")) || path.startsWith(QLatin1String("/images/"))) {
        if (r.method != "GET" && r.method != "HEAD")
            return httpError(405, 405, QStringLiteral("不支持的请求方法"));
        return serveFile(path);
    }
    if (path.startsWith(QLatin1String("/control/")))
        return routeControl(r, peer);
    if (!path.startsWith(QLatin1String("/api/")))
        return httpError(404, 404, QStringLiteral("接口不存在"));
    return routeApi(r, path.mid(4));
}

HttpReply Server::Private::routeApi(const RecordedRequest &r, const QString &route)
{
    const bool isGet = r.method == "GET";
    const bool isPost = r.method == "POST";
    const auto wrongMethod = [] { return httpError(405, 405, QStringLiteral("不支持的请求方法")); };
    const auto badBody = [] { return refuse(400, QStringLiteral("请求格式错误")); };
    const auto noSession = [] { return refuse(404, QStringLiteral("会话不存在")); };
    const auto badSessionId = [] { return refuse(400, QStringLiteral("会话ID无效")); };
    const auto badPaging = [] { return refuse(400, QStringLiteral("分页参数无效")); };

    // Routes open without a token.
    if (route == QLatin1String("/translate"))
        return isPost ? translate(r) : wrongMethod();
    if (route == QLatin1String("/upload/chat-image"))
        return isPost ? upload(r) : wrongMethod();
    if (route == QLatin1String("/agent/login")) {
        if (!isPost)
            return wrongMethod();
        const QJsonDocument doc = QJsonDocument::fromJson(r.body);
        if (!doc.isObject())
            return badBody();
        const QJsonObject body = doc.object();
        const QJsonValue accountValue = body.value(QStringLiteral("account"));
        const QJsonValue passwordValue = body.value(QStringLiteral("password"));
        if (!accountValue.isString() || !passwordValue.isString()
            || accountValue.toString().trimmed().isEmpty() || passwordValue.toString().isEmpty())
            return refuse(400, QStringLiteral("请输入账号和密码"));
        for (const AgentAccount &a : std::as_const(accounts)) {
            if (a.account == accountValue.toString().trimmed()
                && a.password == passwordValue.toString()) {
                const QString token = issueToken(a.id);
                return ok(QJsonObject {{QStringLiteral("token"), token},
                                       {QStringLiteral("agent_id"), a.id},
                                       {QStringLiteral("name"), a.name},
                                       {QStringLiteral("member_id"), a.memberId}});
            }
        }
        return refuse(400, QStringLiteral("账号或密码错误"));
    }

    // Everything else needs "Authorization: Bearer <token>" with a token issued here.
    const QByteArray authorization = r.header("Authorization");
    const QString token
        = authorization.startsWith("Bearer ") ? QString::fromUtf8(authorization.mid(7)) : QString();
    const int agentId = token.isEmpty() ? 0 : agentForToken(token);
    if (!agentId)
        return httpError(401, 401, QStringLiteral("未登录或登录已过期"));
    AgentAccount *me = account(agentId);

    if (route == QLatin1String("/auth/logout")) {
        if (!isPost)
            return wrongMethod();
        revokedTokens.insert(token);
        setOnline(agentId, false);
        return ok();
    }
    if (route == QLatin1String("/agent/online")) {
        if (!isPost)
            return wrongMethod();
        setOnline(agentId, true);
        return ok(
            QJsonObject {{QStringLiteral("agent_id"), agentId}, {QStringLiteral("online"), 1}});
    }
    if (route == QLatin1String("/agent/channel")) {
        if (!isGet)
            return wrongMethod();
        return ok(QJsonObject {{QStringLiteral("id"), 1},
                               {QStringLiteral("channel_code"), demoChannelCode()},
                               {QStringLiteral("channel_name"), QStringLiteral("Quvela 官网咨询")},
                               {QStringLiteral("member_id"), me ? me->memberId : 3},
                               {QStringLiteral("status"), 1},
                               {QStringLiteral("welcome_msg"),
                                QStringLiteral("您好，欢迎咨询 Quvela，请问有什么可以帮您？")}});
    }
    if (route == QLatin1String("/agent/list")) {
        if (!isGet)
            return wrongMethod();
        QJsonArray list;
        for (const AgentAccount &a : std::as_const(accounts)) {
            if (me && a.memberId != me->memberId)
                continue;
            list.append(QJsonObject {{QStringLiteral("id"), a.id},
                                     {QStringLiteral("name"), a.name},
                                     {QStringLiteral("online"), isOnline(a.id) ? 1 : 0},
                                     {QStringLiteral("account"), a.account}});
        }
        return ok(list);
    }
    if (route == QLatin1String("/chat/channel-sessions")
        || route == QLatin1String("/chat/records")) {
        if (!isGet)
            return wrongMethod();
        const bool records = route == QLatin1String("/chat/records");
        const auto page = queryInt(r.query, QStringLiteral("page"), 1);
        const auto limit = queryInt(r.query, QStringLiteral("limit"), records ? 20 : 50);
        if (!page || !limit)
            return badPaging();
        QString status;
        QString keyword;
        if (records) {
            status = r.query.queryItemValue(QStringLiteral("status"), QUrl::FullyDecoded).trimmed();
            if (status == QLatin1String("all"))
                status.clear();
            if (!status.isEmpty() && status != QLatin1String("online")
                && status != QLatin1String("closed") && status != QLatin1String("unreception")
                && status != QLatin1String("offline"))
                return refuse(400, QStringLiteral("无效的状态筛选"));
            keyword
                = r.query.queryItemValue(QStringLiteral("keyword"), QUrl::FullyDecoded).trimmed();
        }
        QList<const SessionRecord *> matching;
        for (const SessionRecord &s : std::as_const(sessions)) {
            if (!visibleTo(s, agentId) || (s.archived && !records))
                continue;
            const QString st = s.fields.value(QStringLiteral("status")).toString();
            if (status == QLatin1String("unreception") ? hasAgentMessage(s)
                                                       : (!status.isEmpty() && st != status))
                continue;
            if (!keyword.isEmpty()
                && !s.fields.value(QStringLiteral("visitor_name"))
                        .toString()
                        .contains(keyword, Qt::CaseInsensitive)
                && !s.fields.value(QStringLiteral("visitor_id"))
                        .toVariant()
                        .toString()
                        .contains(keyword, Qt::CaseInsensitive))
                continue;
            matching.append(&s);
        }
        std::sort(matching.begin(), matching.end(), lastTimeNewer);
        const qint64 from = qint64(*page - 1) * qMin(*limit, maxPageSize);
        const int size = qMin(*limit, maxPageSize);
        QJsonArray list;
        for (qint64 i = from; i < matching.size() && i < from + size; ++i)
            list.append(matching.at(i)->fields);
        return ok(pageObject(list, matching.size(), from + size < matching.size(), *page, size));
    }
    if (route == QLatin1String("/chat/session-info")) {
        if (!isGet)
            return wrongMethod();
        const auto id = queryInt(r.query, QStringLiteral("session_id"), 0);
        if (!id)
            return badSessionId();
        const QJsonObject s = sessionJson(*id);
        return s.isEmpty() ? noSession() : ok(s);
    }
    if (route == QLatin1String("/chat/messages") || route == QLatin1String("/chat/history")) {
        if (!isGet)
            return wrongMethod();
        return messagePage(r, route == QLatin1String("/chat/messages"));
    }

    // The remaining routes take a JSON body naming a session.
    if (route != QLatin1String("/chat/mark-read") && route != QLatin1String("/chat/update-session")
        && route != QLatin1String("/chat/delete-session"))
        return httpError(404, 404, QStringLiteral("接口不存在"));
    if (!isPost)
        return wrongMethod();
    const QJsonDocument doc = QJsonDocument::fromJson(r.body);
    if (!doc.isObject())
        return badBody();
    const QJsonObject body = doc.object();
    const auto id = positiveInt(body, QStringLiteral("session_id"));
    if (!id)
        return badSessionId();
    auto it = sessions.find(*id);
    if (it == sessions.end())
        return noSession();

    if (route == QLatin1String("/chat/mark-read")) {
        it->fields.insert(QStringLiteral("unread_count"), 0);
        return ok(QJsonObject {{QStringLiteral("session_id"), *id}});
    }
    if (route == QLatin1String("/chat/update-session")) {
        const QJsonValue remark = body.value(QStringLiteral("remark"));
        if (!remark.isString())
            return refuse(400, QStringLiteral("备注格式错误"));
        if (remark.toString().size() > 200)
            return refuse(400, QStringLiteral("备注不能超过200个字符"));
        it->fields.insert(QStringLiteral("remark"), remark.toString());
        return ok(QJsonObject {{QStringLiteral("session_id"), *id},
                               {QStringLiteral("remark"), remark.toString()}});
    }
    // Only a session nobody can still be talking in, and that holds nothing, may go.
    if (it->fields.value(QStringLiteral("status")).toString() == QLatin1String("online")
        || !it->messages.isEmpty()
        || !it->fields.value(QStringLiteral("last_msg")).toString().isEmpty())
        return refuse(400, QStringLiteral("只能删除没有消息的离线会话"));
    sessions.erase(it);
    return ok(QJsonObject {{QStringLiteral("session_id"), *id}});
}

// One page of a session's messages counted from the newest: page 1 is the
// newest `limit`, page 2 the ones before; each page is oldest first.
HttpReply Server::Private::messagePage(const RecordedRequest &r, bool allowBeforeTime)
{
    const auto id = queryInt(r.query, QStringLiteral("session_id"), 0);
    if (!id)
        return refuse(400, QStringLiteral("会话ID无效"));
    const auto page = queryInt(r.query, QStringLiteral("page"), 1);
    const auto limit = queryInt(r.query, QStringLiteral("limit"), 50);
    if (!page || !limit)
        return refuse(400, QStringLiteral("分页参数无效"));
    const auto it = sessions.constFind(*id);
    if (it == sessions.constEnd())
        return refuse(404, QStringLiteral("会话不存在"));

    qint64 before = 0;
    const QString beforeText
        = r.query.queryItemValue(QStringLiteral("before_time"), QUrl::FullyDecoded).trimmed();
    if (allowBeforeTime && !beforeText.isEmpty()) {
        before = epochOf(beforeText);
        if (before <= 0)
            return refuse(400, QStringLiteral("时间参数无效"));
    }
    QList<QJsonObject> matching;
    for (const QJsonObject &m : it->messages) {
        if (before > 0 && epochOf(m.value(QStringLiteral("create_time"))) >= before)
            continue;
        matching.append(m);
    }
    const int size = qMin(*limit, maxPageSize);
    const qint64 total = matching.size();
    const qint64 end = total - qint64(*page - 1) * size;
    const qint64 start = qMax<qint64>(0, end - size);
    QJsonArray list;
    for (qint64 i = start; i < end; ++i)
        list.append(matching.at(i));
    QJsonObject data = pageObject(list, int(total), qint64(*page) * size < total, *page, size);
    data.insert(QStringLiteral("session_id"), *id);
    return ok(data);
}

HttpReply Server::Private::serveFile(const QString &path)
{
    static const QRegularExpression safeName(QStringLiteral("^[A-Za-z0-9_-]+\\.[A-Za-z0-9]+$"));
    const QString name = path.section(QLatin1Char('/'), 2);
    HttpReply reply;
    if (safeName.match(name).hasMatch()) {
        if (path.startsWith(QLatin1String("/images/")) && demoImages.contains(name)) {
            reply.contentType = "image/png";
            reply.body = demoImages.value(name);
            return reply;
        }
        if (path.startsWith(QLatin1String("/uploads/")) && !uploadPath.isEmpty()) {
            QFile file(QDir(uploadPath).filePath(name));
            if (file.open(QIODevice::ReadOnly)) {
                reply.contentType = contentTypeFor(name);
                reply.body = file.readAll();
                return reply;
            }
        }
    }
    reply.status = 404;
    reply.contentType = "text/plain; charset=utf-8";
    reply.body = "not found";
    return reply;
}

HttpReply Server::Private::upload(const RecordedRequest &r)
{
    const QByteArray contentType = r.header("Content-Type");
    const QByteArray boundary = headerParam(contentType, "boundary");
    if (!contentType.toLower().startsWith("multipart/form-data") || boundary.isEmpty())
        return refuse(400, QStringLiteral("请使用 multipart/form-data 上传"));
    if (r.body.size() > maxUploadBytes + 4096)
        return refuse(413, QStringLiteral("图片不能超过10MB"));
    for (const FormPart &part : multipartParts(r.body, boundary)) {
        if (headerParam(part.disposition, "name") != "file")
            continue;
        if (part.data.isEmpty())
            return refuse(400, QStringLiteral("上传文件为空"));
        if (part.data.size() > maxUploadBytes)
            return refuse(413, QStringLiteral("图片不能超过10MB"));
        // The client's file name only lends its extension, and only a plain one.
        QString ext = QString::fromUtf8(headerParam(part.disposition, "filename"))
                          .section(QLatin1Char('.'), -1)
                          .toLower();
        static const QRegularExpression plainExt(QStringLiteral("^(png|jpg|jpeg|gif|webp|bmp)$"));
        if (!plainExt.match(ext).hasMatch())
            ext = QStringLiteral("png");
        const QString name = QUuid::createUuid().toString(QUuid::Id128) + QLatin1Char('.') + ext;
        QFile file(QDir(uploadPath).filePath(name));
        if (uploadPath.isEmpty() || !file.open(QIODevice::WriteOnly)
            || file.write(part.data) != part.data.size())
            return refuse(500, QStringLiteral("图片保存失败"));
        return ok(
            QJsonObject {{QStringLiteral("url"), baseUrl() + QStringLiteral("/uploads/") + name}});
    }
    return refuse(400, QStringLiteral("缺少上传文件"));
}

HttpReply Server::Private::translate(const RecordedRequest &r)
{
    // Form encoding writes a space as '+'; a literal plus arrives as %2B.
    QByteArray form = r.body;
    form.replace('+', "%20");
    const QUrlQuery query(QString::fromUtf8(form));
    if (!query.hasQueryItem(QStringLiteral("text")))
        return refuse(400, QStringLiteral("缺少翻译文本"));
    const QString text = query.queryItemValue(QStringLiteral("text"), QUrl::FullyDecoded);
    const QString translation = containsChinese(text) ? text : translateToChinese(text);
    return ok(QJsonObject {{QStringLiteral("translation"), translation},
                           {QStringLiteral("source"), text},
                           {QStringLiteral("target"),
                            query.queryItemValue(QStringLiteral("target"), QUrl::FullyDecoded)}});
}

HttpReply Server::Private::routeControl(const RecordedRequest &r, const QHostAddress &peer)
{
    if (!peer.isLoopback())
        return httpError(403, 403, QStringLiteral("仅限本机访问"));
    if (r.method != "POST")
        return httpError(405, 405, QStringLiteral("不支持的请求方法"));
    const QJsonDocument doc = QJsonDocument::fromJson(r.body);
    if (!doc.isObject())
        return refuse(400, QStringLiteral("请求格式错误"));
    const QJsonObject body = doc.object();
    if (r.path == QLatin1String("/control/new-visitor")) {
        const int id = q->visitorOpensSession(
            body.value(QStringLiteral("visitor_name")).toString(),
            body.value(QStringLiteral("visitor_id")).toString(),
            body.value(QStringLiteral("ip_address")).toString(QStringLiteral("127.0.0.1")));
        return ok(QJsonObject {{QStringLiteral("session_id"), id}});
    }
    const auto id = positiveInt(body, QStringLiteral("session_id"));
    if (!id)
        return refuse(400, QStringLiteral("会话ID无效"));
    if (!sessions.contains(*id))
        return refuse(404, QStringLiteral("会话不存在"));
    if (r.path == QLatin1String("/control/visitor-message")) {
        const QJsonValue content = body.value(QStringLiteral("content"));
        if (!content.isString() || content.toString().isEmpty())
            return refuse(400, QStringLiteral("消息内容不能为空"));
        return ok(q->visitorSays(
            *id, content.toString(),
            body.value(QStringLiteral("msg_type")).toString(QStringLiteral("text"))));
    }
    if (r.path == QLatin1String("/control/visitor-leaves")) {
        q->visitorLeaves(*id);
        return ok(QJsonObject {{QStringLiteral("session_id"), *id}});
    }
    if (r.path == QLatin1String("/control/recall")) {
        if (!q->recallMessage(*id, body.value(QStringLiteral("msg_uuid")).toString()))
            return refuse(404, QStringLiteral("消息不存在"));
        return ok(QJsonObject {{QStringLiteral("session_id"), *id}});
    }
    if (r.path == QLatin1String("/control/transfer")) {
        const auto target = positiveInt(body, QStringLiteral("to_agent_id"));
        if (!target)
            return refuse(400, QStringLiteral("目标坐席无效"));
        // The owner hands it over; a session everybody sees has nobody to do so.
        const int owner = sessions.value(*id).fields.value(QStringLiteral("agent_id")).toInt();
        if (!owner)
            return refuse(400, QStringLiteral("会话未分配坐席"));
        const QString failure = transfer(*id, owner, *target);
        if (!failure.isEmpty())
            return refuse(400, failure);
        return ok(QJsonObject {{QStringLiteral("session_id"), *id},
                               {QStringLiteral("agent_id"), *target}});
    }
    return httpError(404, 404, QStringLiteral("接口不存在"));
}

} // namespace DevServer
