#include "server_p.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMessageAuthenticationCode>
#include <QSaveFile>
#include <QTimer>
#include <QUuid>

#include <algorithm>

namespace DevServer {

namespace {

QByteArray base64Url(const QByteArray &bytes)
{
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

} // namespace

// ---------------------------------------------------------------- requests

QByteArray RecordedRequest::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return {};
}

bool RecordedRequest::hasHeader(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QJsonObject RecordedRequest::jsonBody() const
{
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    return doc.isObject() ? doc.object() : QJsonObject();
}

// ---------------------------------------------------------------- helpers

qint64 epochOf(const QJsonValue &value)
{
    if (value.isDouble())
        return qint64(value.toDouble());
    if (value.isString()) {
        const QString text = value.toString().trimmed();
        bool isNumber = false;
        const qint64 n = text.toLongLong(&isNumber);
        if (isNumber)
            return n;
        const QDateTime dt = QDateTime::fromString(text, Qt::ISODate);
        if (dt.isValid())
            return dt.toSecsSinceEpoch();
    }
    return 0;
}

// ---------------------------------------------------------------- Private

Server::Private::Private(Server *owner)
    : q(owner)
    , http(new HttpFrontend([this](const QHttpServerRequest &request, QTcpSocket *socket) {
        handleHttp(request, socket);
    }))
{
    // Nobody is online before signing in.
    const auto add
        = [this](int id, const char *account, const char *password, const QString &name) {
              AgentAccount a;
              a.id = id;
              a.account = QString::fromLatin1(account);
              a.password = QString::fromLatin1(password);
              a.name = name;
              a.memberId = 3;
              accounts.append(a);
          };
    add(12, "demo", "demo123", QStringLiteral("演示坐席"));
    add(13, "lili", "lili123", QStringLiteral("李丽"));
    add(14, "noname", "noname123", QString());
    add(15, "wang", "wang123", QStringLiteral("王强"));

    uploadPath = uploads.isValid() ? uploads.path() : QString();
    makeDemoImages();
    QObject::connect(http.get(), &QAbstractHttpServer::newWebSocketConnection, q,
                     [this] { acceptWebSockets(); });
}

Server::Private::~Private()
{
    // The sockets outlive this object as children of the server; they must
    // not call back into it while they die.
    const auto open = connections;
    connections.clear();
    for (const Connection &c : open) {
        c.socket->disconnect();
        c.socket->abort();
        delete c.socket;
    }
}

QString Server::Private::hostString() const
{
    if (address == QHostAddress(QHostAddress::LocalHost) || address.isNull())
        return QStringLiteral("127.0.0.1");
    return address.toString();
}

QString Server::Private::baseUrl() const
{
    return QStringLiteral("http://%1:%2").arg(hostString()).arg(port);
}

AgentAccount *Server::Private::account(int agentId)
{
    for (AgentAccount &a : accounts) {
        if (a.id == agentId)
            return &a;
    }
    return nullptr;
}

QString Server::Private::issueToken(int agentId)
{
    const AgentAccount *a = account(agentId);
    const QJsonObject header {{QStringLiteral("alg"), QStringLiteral("HS256")},
                              {QStringLiteral("typ"), QStringLiteral("JWT")}};
    QJsonObject payload {{QStringLiteral("uid"), agentId},
                         {QStringLiteral("name"), a ? a->name : QString()},
                         {QStringLiteral("member_id"), a ? a->memberId : 0},
                         {QStringLiteral("role"), a ? a->role : QStringLiteral("agent")},
                         {QStringLiteral("iat"), QDateTime::currentSecsSinceEpoch()},
                         {QStringLiteral("jti"), ++tokenSerial}};
    const QByteArray signingInput = base64Url(QJsonDocument(header).toJson(QJsonDocument::Compact))
        + '.' + base64Url(QJsonDocument(payload).toJson(QJsonDocument::Compact));
    const QString token = QString::fromLatin1(signingInput + '.' + sign(signingInput));
    issuedTokens.insert(token);
    return token;
}

// Tokens are checked by their signature, not looked up: a restarted stand-in
// still accepts the tokens it issued before, as a real service would.
QByteArray Server::Private::sign(const QByteArray &signingInput)
{
    return base64Url(QMessageAuthenticationCode::hash(
        signingInput, QByteArrayLiteral("stand-in secret"), QCryptographicHash::Sha256));
}

int Server::Private::agentForToken(const QString &token) const
{
    const QList<QByteArray> parts = token.toLatin1().split('.');
    if (parts.size() != 3 || revokedTokens.contains(token)
        || sign(parts[0] + '.' + parts[1]) != parts[2])
        return 0;
    const QJsonObject payload
        = QJsonDocument::fromJson(QByteArray::fromBase64(parts[1],
                                                         QByteArray::Base64UrlEncoding
                                                             | QByteArray::OmitTrailingEquals))
              .object();
    const int agentId = payload.value(QStringLiteral("uid")).toInt();
    return std::any_of(accounts.cbegin(), accounts.cend(),
                       [agentId](const AgentAccount &a) { return a.id == agentId; })
        ? agentId
        : 0;
}

bool Server::Private::isLinked(int agentId) const
{
    return agentId
        && std::any_of(connections.cbegin(), connections.cend(),
                       [agentId](const Connection &c) { return c.agentId == agentId; });
}

bool Server::Private::isOnline(int agentId) const
{
    const bool marked
        = std::any_of(accounts.cbegin(), accounts.cend(),
                      [agentId](const AgentAccount &a) { return a.id == agentId && a.online; });
    return marked || isLinked(agentId);
}

void Server::Private::setOnline(int agentId, bool online)
{
    AgentAccount *a = account(agentId);
    if (!a)
        return;
    const bool wasOnline = isOnline(agentId);
    a->online = online;
    announcePresence(agentId, wasOnline);
}

void Server::Private::announcePresence(int agentId, bool wasOnline)
{
    const AgentAccount *a = account(agentId);
    const bool online = isOnline(agentId);
    if (!a || online == wasOnline)
        return;
    const QJsonObject frame {
        {QStringLiteral("type"),
         online ? QStringLiteral("agent_online") : QStringLiteral("agent_offline")},
        {QStringLiteral("agent_id"), agentId},
        {QStringLiteral("name"), a->name}};
    pushToAgents(frame, [agentId](const Connection &c) { return c.agentId != agentId; });
}

bool Server::Private::visibleTo(const SessionRecord &s, int agentId) const
{
    const int owner = s.fields.value(QStringLiteral("agent_id")).toInt();
    return owner == 0 || owner == agentId;
}

QString Server::Private::transfer(int sessionId, int giver, int target)
{
    const auto it = sessions.find(sessionId);
    const AgentAccount *from = account(giver);
    const AgentAccount *to = account(target);
    if (it == sessions.end() || !visibleTo(*it, giver))
        return QStringLiteral("会话不存在");
    if (!to || !from || to->memberId != from->memberId)
        return QStringLiteral("目标坐席不存在");
    if (target == giver)
        return QStringLiteral("不能转接给自己");
    if (!isOnline(target))
        return QStringLiteral("目标坐席不在线");
    it->fields.insert(QStringLiteral("agent_id"), target);
    changed();
    const auto transferred = [sessionId](const char *action) {
        return QJsonObject {{QStringLiteral("type"), QStringLiteral("session_transferred")},
                            {QStringLiteral("session_id"), sessionId},
                            {QStringLiteral("action"), QLatin1String(action)}};
    };
    // Every link of the giver loses the session; the receiver's links gain it.
    for (Connection &c : connections) {
        if (c.agentId == giver && c.joinedSession == sessionId)
            c.joinedSession = 0;
    }
    pushToAgents(transferred("removed"),
                 [giver](const Connection &c) { return c.agentId == giver; });
    pushToAgents(transferred("assigned"),
                 [target](const Connection &c) { return c.agentId == target; });
    return {};
}

QString Server::handOver(int sessionId, int toAgentId)
{
    const int owner = d->sessionJson(sessionId).value(QStringLiteral("agent_id")).toInt();
    return owner ? d->transfer(sessionId, owner, toAgentId) : QStringLiteral("会话未分配坐席");
}

QJsonObject Server::Private::sessionJson(int sessionId) const
{
    const auto it = sessions.constFind(sessionId);
    return it == sessions.constEnd() ? QJsonObject() : it->fields;
}

int Server::Private::addSessionRecord(const QJsonObject &given)
{
    int id = given.value(QStringLiteral("id")).toInt();
    if (id < 1 || sessions.contains(id))
        id = nextSessionId;
    nextSessionId = qMax(nextSessionId, id + 1);

    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QJsonObject f {{QStringLiteral("id"), id},
                   {QStringLiteral("channel_id"), 1},
                   {QStringLiteral("channel_code"), demoChannelCode()},
                   {QStringLiteral("member_uid"), 3},
                   {QStringLiteral("agent_id"), 0},
                   {QStringLiteral("visitor_name"), QString()},
                   {QStringLiteral("visitor_id"), QString()},
                   {QStringLiteral("status"), QStringLiteral("online")},
                   {QStringLiteral("ip_address"), QString()},
                   {QStringLiteral("remark"), QString()},
                   {QStringLiteral("last_msg"), QString()},
                   {QStringLiteral("last_time"), now},
                   {QStringLiteral("unread_count"), 0},
                   {QStringLiteral("message_count"), 0}};
    if (!given.contains(QStringLiteral("create_time")))
        f.insert(QStringLiteral("created_at"),
                 QDateTime::fromSecsSinceEpoch(now).toString(Qt::ISODate));
    for (auto it = given.begin(); it != given.end(); ++it)
        f.insert(it.key(), it.value());
    f.insert(QStringLiteral("id"), id);

    SessionRecord record;
    record.fields = f;
    sessions.insert(id, record);
    changed();
    return id;
}

bool Server::Private::hasAgentMessage(const SessionRecord &s) const
{
    for (const QJsonObject &m : s.messages) {
        const QString type = m.value(QStringLiteral("from_type")).toString();
        if (type == QLatin1String("agent") || type == QLatin1String("admin"))
            return true;
    }
    return false;
}

// Stores a message with every field the service sends filled in. Live traffic
// (`live`) moves the session's preview, time and unread count; fixtures only
// fill an empty preview and leave the session's time as the test set it.
QJsonObject Server::Private::storeMessage(int sessionId, QJsonObject m, bool live)
{
    auto it = sessions.find(sessionId);
    if (it == sessions.end())
        return {};
    const QJsonObject defaults {
        {QStringLiteral("id"), nextMessageId},
        {QStringLiteral("msg_uuid"), QUuid::createUuid().toString(QUuid::WithoutBraces)},
        {QStringLiteral("session_id"), sessionId},
        {QStringLiteral("from_id"), 0},
        {QStringLiteral("from_name"), QString()},
        {QStringLiteral("from_type"), QStringLiteral("visitor")},
        {QStringLiteral("content"), QString()},
        {QStringLiteral("msg_type"), QStringLiteral("text")},
        {QStringLiteral("create_time"), QDateTime::currentSecsSinceEpoch()},
        {QStringLiteral("is_deleted"), 0}};
    for (auto d = defaults.begin(); d != defaults.end(); ++d) {
        if (!m.contains(d.key()))
            m.insert(d.key(), d.value());
    }
    m.insert(QStringLiteral("session_id"), sessionId);
    nextMessageId = qMax(nextMessageId, m.value(QStringLiteral("id")).toInt()) + 1;

    it->messages.append(m);
    QJsonObject &f = it->fields;
    f.insert(QStringLiteral("message_count"), it->messages.size());
    const QString type = m.value(QStringLiteral("from_type")).toString();
    const bool fromAgentSide = type == QLatin1String("agent") || type == QLatin1String("admin");
    if (live) {
        f.insert(QStringLiteral("last_msg"), m.value(QStringLiteral("content")));
        f.insert(QStringLiteral("last_time"), m.value(QStringLiteral("create_time")));
    } else if (f.value(QStringLiteral("last_msg")).toString().isEmpty()) {
        f.insert(QStringLiteral("last_msg"), m.value(QStringLiteral("content")));
    }
    if (live && !fromAgentSide)
        f.insert(QStringLiteral("unread_count"),
                 f.value(QStringLiteral("unread_count")).toInt() + 1);
    changed();
    return m;
}

// ---------------------------------------------------------------- Server

Server::Server(QObject *parent) : QObject(parent), d(new Private(this)) { }

Server::~Server()
{
    if (!d->statePath.isEmpty())
        saveState();
}

bool Server::listen(const QHostAddress &address, quint16 port)
{
    d->address = address;
    d->port = d->http->listen(address, port);
    return d->port != 0;
}

quint16 Server::port() const
{
    return d->port;
}

QString Server::restBaseUrl() const
{
    return d->baseUrl() + QStringLiteral("/api");
}

QString Server::wssUrl() const
{
    return QStringLiteral("ws://%1:%2/wss").arg(d->hostString()).arg(d->port);
}

QList<AgentAccount> Server::accounts() const
{
    return d->accounts;
}

void Server::addAccount(const AgentAccount &account)
{
    if (AgentAccount *existing = d->account(account.id))
        *existing = account;
    else
        d->accounts.append(account);
}

void Server::setAgentOnline(int agentId, bool online)
{
    d->setOnline(agentId, online);
}

QString Server::issueToken(int agentId) const
{
    return d->issueToken(agentId);
}

void Server::revokeTokens()
{
    d->revokedTokens.unite(std::exchange(d->issuedTokens, {}));
    d->changed();
}

QString Server::channelCode() const
{
    return demoChannelCode();
}

void Server::clearChannel()
{
    d->sessions.clear();
    d->changed();
}

void Server::seedDemoChannel()
{
    d->seedDemo();
}

void Server::seedReceptionArchive(int count)
{
    d->seedArchive(count);
}

int Server::addSession(const QJsonObject &fields)
{
    return d->addSessionRecord(fields);
}

int Server::addMessage(int sessionId, const QJsonObject &fields)
{
    return d->storeMessage(sessionId, fields, false).value(QStringLiteral("id")).toInt();
}

QJsonObject Server::session(int sessionId) const
{
    return d->sessionJson(sessionId);
}

QJsonArray Server::messages(int sessionId) const
{
    QJsonArray out;
    const auto it = d->sessions.constFind(sessionId);
    if (it != d->sessions.constEnd()) {
        for (const QJsonObject &m : it->messages)
            out.append(m);
    }
    return out;
}

int Server::sessionCount() const
{
    return d->sessions.size();
}

int Server::visitorOpensSession(const QString &visitorName, const QString &visitorId,
                                const QString &ip)
{
    int id = 0;
    if (!visitorId.isEmpty()) {
        for (auto it = d->sessions.begin(); it != d->sessions.end(); ++it) {
            if (it->fields.value(QStringLiteral("visitor_id")).toString() == visitorId) {
                id = it.key();
                break;
            }
        }
    }
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (id) {
        // A known visitor comes back: the same session is online again.
        d->sessions[id].archived = false;
        QJsonObject &f = d->sessions[id].fields;
        f.insert(QStringLiteral("status"), QStringLiteral("online"));
        if (!ip.isEmpty())
            f.insert(QStringLiteral("ip_address"), ip);
        d->changed();
    } else {
        id = d->addSessionRecord({{QStringLiteral("visitor_name"), visitorName},
                                  {QStringLiteral("visitor_id"), visitorId},
                                  {QStringLiteral("ip_address"), ip},
                                  {QStringLiteral("status"), QStringLiteral("online")},
                                  {QStringLiteral("last_time"), now}});
    }
    QJsonObject frame = d->sessionJson(id);
    frame.insert(QStringLiteral("type"), QStringLiteral("new_session"));
    frame.insert(QStringLiteral("session_id"), id);
    d->pushToSessionViewers(id, frame);
    return id;
}

QJsonObject Server::visitorSays(int sessionId, const QString &content, const QString &msgType)
{
    const QJsonObject session = d->sessionJson(sessionId);
    if (session.isEmpty())
        return {};
    QString name = session.value(QStringLiteral("visitor_name")).toString();
    if (name.isEmpty())
        name = QStringLiteral("访客");
    const QJsonObject stored
        = d->storeMessage(sessionId,
                          {{QStringLiteral("from_type"), QStringLiteral("visitor")},
                           {QStringLiteral("from_name"), name},
                           {QStringLiteral("content"), content},
                           {QStringLiteral("msg_type"), msgType}},
                          true);
    QJsonObject frame = stored;
    frame.insert(QStringLiteral("type"), QStringLiteral("chat"));
    d->pushToSessionViewers(sessionId, frame);
    return stored;
}

void Server::visitorLeaves(int sessionId)
{
    auto it = d->sessions.find(sessionId);
    if (it == d->sessions.end())
        return;
    it->fields.insert(QStringLiteral("status"), QStringLiteral("offline"));
    d->changed();
    d->pushToSessionViewers(sessionId,
                            {{QStringLiteral("type"), QStringLiteral("session_offline")},
                             {QStringLiteral("session_id"), sessionId}});
}

bool Server::recallMessage(int sessionId, const QString &msgUuid)
{
    auto it = d->sessions.find(sessionId);
    if (it == d->sessions.end() || msgUuid.isEmpty())
        return false;
    // The newest of that uuid, as a client withdraws its own.
    for (qsizetype i = it->messages.size() - 1; i >= 0; --i) {
        QJsonObject &m = it->messages[i];
        if (m.value(QStringLiteral("msg_uuid")).toString() != msgUuid)
            continue;
        m.insert(QStringLiteral("is_deleted"), 1);
        d->changed();
        d->pushToSessionViewers(sessionId,
                                {{QStringLiteral("type"), QStringLiteral("recall")},
                                 {QStringLiteral("msg_uuid"), msgUuid},
                                 {QStringLiteral("session_id"), sessionId}});
        return true;
    }
    return false;
}

namespace {

ReplyRule replyRule(ReplyRule::Kind kind, const QString &pathContains, int times)
{
    ReplyRule rule;
    rule.kind = kind;
    rule.pathContains = pathContains;
    rule.remaining = times;
    return rule;
}

} // namespace

void Server::injectFault(const QString &pathContains, Fault fault, int times)
{
    ReplyRule rule = replyRule(ReplyRule::InjectedFault, pathContains, times);
    rule.fault = fault;
    d->rules.append(rule);
}

void Server::setRawReply(const QString &pathContains, int httpStatus, const QByteArray &body,
                         int times)
{
    ReplyRule rule = replyRule(ReplyRule::RawReply, pathContains, times);
    rule.httpStatus = httpStatus;
    rule.body = body;
    d->rules.append(rule);
}

void Server::delayReplies(const QString &pathContains, int ms, int times)
{
    ReplyRule rule = replyRule(ReplyRule::Delay, pathContains, times);
    rule.delayMs = ms;
    d->rules.append(rule);
}

void Server::clearFaults()
{
    d->rules.clear();
    d->refuseAuth = false;
}

QList<RecordedRequest> Server::requests() const
{
    return d->recorded;
}

QList<RecordedRequest> Server::requestsTo(const QString &pathContains) const
{
    QList<RecordedRequest> out;
    for (const RecordedRequest &r : d->recorded) {
        if (r.path.contains(pathContains))
            out.append(r);
    }
    return out;
}

void Server::clearRequests()
{
    d->recorded.clear();
}

QStringList Server::receivedFrames() const
{
    return d->frames;
}

void Server::clearReceivedFrames()
{
    d->frames.clear();
}

int Server::connectionCount() const
{
    return d->connections.size();
}

int Server::closeFramesReceived() const
{
    return d->closeFramesReceived;
}

int Server::authenticatedCount() const
{
    int n = 0;
    for (const Connection &c : d->connections) {
        if (c.agentId)
            ++n;
    }
    return n;
}

void Server::pushFrame(const QJsonObject &frame)
{
    d->pushToAgents(frame);
}

void Server::pushFrameTwice(const QJsonObject &frame)
{
    d->pushToAgents(frame);
    d->pushToAgents(frame);
}

void Server::pushText(const QString &text)
{
    for (const Connection &c : d->connections)
        c.socket->sendTextMessage(text);
}

void Server::pushBinary(const QByteArray &data)
{
    for (const Connection &c : d->connections)
        c.socket->sendBinaryMessage(data);
}

void Server::dropConnections()
{
    const auto open = d->connections;
    for (const Connection &c : open) {
        c.socket->setProperty("closedHere", true);
        c.socket->abort();
    }
}

void Server::closeConnections(QWebSocketProtocol::CloseCode code, const QString &reason)
{
    const auto open = d->connections;
    for (const Connection &c : open) {
        c.socket->setProperty("closedHere", true);
        c.socket->close(code, reason);
    }
}

void Server::startVisitorTraffic(const QList<int> &sessionIds, int perSecond, const QString &prefix)
{
    d->trafficSessions = sessionIds;
    d->trafficPrefix = prefix;
    d->trafficNext = 0;
    if (!d->trafficTimer) {
        d->trafficTimer = new QTimer(this);
        d->trafficTimer->setTimerType(Qt::PreciseTimer);
        connect(d->trafficTimer, &QTimer::timeout, this, [this] { d->writeTraffic(); });
    }
    if (sessionIds.isEmpty() || perSecond <= 0)
        d->trafficTimer->stop();
    else
        d->trafficTimer->start(qMax(1, 1000 / perSecond));
}

void Server::stopVisitorTraffic()
{
    if (d->trafficTimer)
        d->trafficTimer->stop();
}

int Server::visitorTrafficWritten() const
{
    return d->trafficWritten;
}

void Server::Private::writeTraffic()
{
    if (trafficSessions.isEmpty())
        return;
    const int id = trafficSessions.at(trafficNext++ % trafficSessions.size());
    const int n = ++trafficSerial[id];
    if (!q->visitorSays(id, QStringLiteral("%1 %2 #%3").arg(trafficPrefix).arg(id).arg(n))
             .isEmpty())
        ++trafficWritten;
}

void Server::setFaultPlan(const FaultPlan &plan)
{
    d->plan = plan;
    if (!d->dropTimer) {
        d->dropTimer = new QTimer(this);
        connect(d->dropTimer, &QTimer::timeout, this, [this] {
            d->counters.linksDropped += int(d->connections.size());
            dropConnections();
        });
    }
    if (plan.dropLinksEverySec > 0)
        d->dropTimer->start(plan.dropLinksEverySec * 1000);
    else
        d->dropTimer->stop();
}

FaultPlan Server::faultPlan() const
{
    return d->plan;
}

FaultCounters Server::faultCounters() const
{
    return d->counters;
}

void Server::refuseNextAuth(const QString &msg)
{
    d->refuseAuth = true;
    d->refuseAuthMsg = msg;
}

QString Server::uploadDir() const
{
    return d->uploadPath;
}

// ---------------------------------------------------------------- state file

void Server::Private::changed()
{
    if (saveTimer && !saveTimer->isActive())
        saveTimer->start();
}

QJsonObject Server::Private::stateJson() const
{
    QJsonArray records;
    for (auto it = sessions.cbegin(); it != sessions.cend(); ++it) {
        QJsonArray messages;
        for (const QJsonObject &m : it->messages)
            messages.append(m);
        records.append(QJsonObject {{QStringLiteral("fields"), it->fields},
                                    {QStringLiteral("messages"), messages},
                                    {QStringLiteral("archived"), it->archived}});
    }
    QJsonArray revoked;
    for (const QString &token : revokedTokens)
        revoked.append(token);
    QJsonArray online;
    for (const AgentAccount &a : accounts) {
        if (a.online)
            online.append(a.id);
    }
    return {{QStringLiteral("base_url"), baseUrl()},
            {QStringLiteral("next_session_id"), nextSessionId},
            {QStringLiteral("next_message_id"), nextMessageId},
            {QStringLiteral("token_serial"), tokenSerial},
            {QStringLiteral("revoked_tokens"), revoked},
            {QStringLiteral("online_agents"), online},
            {QStringLiteral("sessions"), records}};
}

void Server::Private::loadState(const QJsonObject &state)
{
    sessions.clear();
    for (const QJsonValue &v : state.value(QStringLiteral("sessions")).toArray()) {
        const QJsonObject o = v.toObject();
        SessionRecord record;
        record.fields = o.value(QStringLiteral("fields")).toObject();
        record.archived = o.value(QStringLiteral("archived")).toBool();
        for (const QJsonValue &m : o.value(QStringLiteral("messages")).toArray())
            record.messages.append(m.toObject());
        const int id = record.fields.value(QStringLiteral("id")).toInt();
        if (id > 0)
            sessions.insert(id, record);
    }
    const int lastSession = sessions.isEmpty() ? 0 : sessions.lastKey();
    nextSessionId = qMax(lastSession + 1, state.value(QStringLiteral("next_session_id")).toInt());
    nextMessageId = qMax(1, state.value(QStringLiteral("next_message_id")).toInt());
    tokenSerial = state.value(QStringLiteral("token_serial")).toInt();
    for (const QJsonValue &token : state.value(QStringLiteral("revoked_tokens")).toArray())
        revokedTokens.insert(token.toString());
    for (const QJsonValue &id : state.value(QStringLiteral("online_agents")).toArray()) {
        if (AgentAccount *a = account(id.toInt()))
            a->online = true;
    }
}

bool Server::useStateFile(const QString &path, QString *error)
{
    d->statePath.clear();
    QFile file(path);
    bool loaded = false;
    if (file.exists()) {
        QByteArray bytes;
        QJsonParseError parseError;
        QJsonDocument doc;
        if (file.open(QIODevice::ReadOnly)) {
            bytes = file.readAll();
            doc = QJsonDocument::fromJson(bytes, &parseError);
        }
        if (!doc.isObject()) {
            if (error)
                *error = file.isOpen() ? parseError.errorString() : file.errorString();
            return false;
        }
        // Pictures were stored with the address of the previous run.
        const QByteArray oldBase
            = doc.object().value(QStringLiteral("base_url")).toString().toUtf8();
        if (!oldBase.isEmpty() && oldBase != d->baseUrl().toUtf8())
            doc = QJsonDocument::fromJson(bytes.replace(oldBase, d->baseUrl().toUtf8()));
        d->loadState(doc.object());
        loaded = true;
    }
    d->statePath = path;
    const QString uploads = path + QStringLiteral(".uploads");
    if (QDir().mkpath(uploads))
        d->uploadPath = uploads;
    if (!d->saveTimer) {
        d->saveTimer = new QTimer(this);
        d->saveTimer->setSingleShot(true);
        d->saveTimer->setInterval(300);
        connect(d->saveTimer, &QTimer::timeout, this, [this] { saveState(); });
    }
    return loaded;
}

bool Server::saveState()
{
    if (d->statePath.isEmpty())
        return false;
    if (d->saveTimer)
        d->saveTimer->stop();
    // QSaveFile writes a temporary file beside the target and renames it over.
    QSaveFile file(d->statePath);
    QDir().mkpath(QFileInfo(d->statePath).absolutePath());
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(d->stateJson()).toJson(QJsonDocument::Compact));
    return file.commit();
}

} // namespace DevServer
