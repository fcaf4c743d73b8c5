#include "server_p.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QUuid>

namespace DevServer {

namespace {

QJsonObject errorFrame(const QString &msg)
{
    return {{QStringLiteral("type"), QStringLiteral("error")}, {QStringLiteral("msg"), msg}};
}

// "session_id" as the clients send it: a JSON number; anything else gives 0.
int sessionIdOf(const QJsonObject &frame)
{
    const QJsonValue v = frame.value(QStringLiteral("session_id"));
    if (!v.isDouble())
        return 0;
    const double n = v.toDouble();
    return (n >= 1 && n <= 2147483647.0 && n == qint64(n)) ? int(n) : 0;
}

} // namespace

void Server::Private::acceptWebSockets()
{
    while (http->hasPendingWebSocketConnections()) {
        QWebSocket *socket = http->nextPendingWebSocketConnection().release();
        if (!socket)
            continue;
        socket->setParent(q);
        if (socket->requestUrl().path() != QLatin1String("/wss")) {
            QObject::connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
                          QStringLiteral("unknown path"));
            continue;
        }
        Connection c;
        c.socket = socket;
        connections.append(c);
        QObject::connect(socket, &QWebSocket::textMessageReceived, q,
                         [this, socket](const QString &text) { onFrame(socket, text); });
        QObject::connect(socket, &QWebSocket::binaryMessageReceived, q,
                         [this, socket](const QByteArray &) {
                             send(socket, errorFrame(QStringLiteral("不支持二进制消息")));
                         });
        QObject::connect(socket, &QWebSocket::disconnected, q,
                         [this, socket] { onSocketGone(socket); });
        // A client that signs off properly sends a close frame first.
        QObject::connect(socket, &QWebSocket::aboutToClose, q, [this, socket] {
            if (!socket->property("closedHere").toBool())
                ++closeFramesReceived;
        });
        emit q->socketConnected();
    }
}

Connection *Server::Private::connection(QWebSocket *socket)
{
    for (Connection &c : connections) {
        if (c.socket == socket)
            return &c;
    }
    return nullptr;
}

void Server::Private::onSocketGone(QWebSocket *socket)
{
    if (!connection(socket))
        return;
    unlink(socket);
    connections.removeIf([socket](const Connection &other) { return other.socket == socket; });
    socket->deleteLater();
    emit q->socketDisconnected();
}

void Server::Private::unlink(QWebSocket *socket)
{
    Connection *c = connection(socket);
    if (!c || !c->agentId)
        return;
    const int agentId = c->agentId;
    const bool wasOnline = isOnline(agentId);
    Connection fresh;
    fresh.socket = socket;
    *c = fresh;
    // The agent goes offline with its last authenticated link.
    if (!isLinked(agentId)) {
        if (AgentAccount *a = account(agentId))
            a->online = false;
    }
    announcePresence(agentId, wasOnline);
}

void Server::Private::send(QWebSocket *socket, const QJsonObject &frame)
{
    const QString text = QString::fromUtf8(QJsonDocument(frame).toJson(QJsonDocument::Compact));
    ++framesSent;
    if (plan.junkEveryNthFrame > 0 && framesSent % plan.junkEveryNthFrame == 0)
        sendJunk(socket);
    socket->sendTextMessage(text);
    if (plan.doubleEveryNthFrame > 0 && framesSent % plan.doubleEveryNthFrame == 0) {
        socket->sendTextMessage(text);
        ++counters.framesDoubled;
    }
}

void Server::Private::sendJunk(QWebSocket *socket)
{
    switch (counters.junkFrames++ % 4) {
    case 0:
        socket->sendTextMessage(QStringLiteral("{\"type\":\"chat\",\"session_id\":1,\x01garbage"));
        break;
    case 1:
        socket->sendBinaryMessage(QByteArray::fromHex("00ff7b2274797065223a2263686174227d"));
        break;
    case 2: {
        // Valid JSON, far larger than any frame of the protocol.
        QString text = QStringLiteral("{\"type\":\"noise\",\"pad\":\"");
        text += QString(qMax(0, plan.oversizedBytes), QLatin1Char('x'));
        text += QStringLiteral("\"}");
        socket->sendTextMessage(text);
        break;
    }
    default:
        // Shapes a careless reader could take for a message.
        socket->sendTextMessage(QStringLiteral(
            "[{\"type\":\"chat\"},{\"type\":\"chat\",\"session_id\":\"12\",\"content\":\"x\"}]"));
        break;
    }
}

void Server::Private::pushToAgents(const QJsonObject &frame,
                                   const std::function<bool(const Connection &)> &accept)
{
    const auto open = connections;
    for (const Connection &c : open) {
        if (c.agentId && (!accept || accept(c)))
            send(c.socket, frame);
    }
}

void Server::Private::pushToSessionViewers(int sessionId, const QJsonObject &frame,
                                           QWebSocket *except)
{
    const auto it = sessions.constFind(sessionId);
    if (it == sessions.constEnd())
        return;
    const SessionRecord record = *it;
    pushToAgents(frame, [this, &record, except](const Connection &c) {
        return c.socket != except && c.channel == demoChannelCode() && visibleTo(record, c.agentId);
    });
}

void Server::Private::acceptChat(QWebSocket *socket, int agentId, int sessionId,
                                 const QString &content, const QString &msgType)
{
    ++chatFrames;
    if (plan.refuseChatEveryNth > 0 && chatFrames % plan.refuseChatEveryNth == 0) {
        ++counters.chatsRefused;
        send(socket, errorFrame(QStringLiteral("消息发送失败，请重试")));
        return;
    }
    const AgentAccount *a = account(agentId);
    const QJsonObject stored = storeMessage(sessionId,
                                            {{QStringLiteral("from_id"), agentId},
                                             {QStringLiteral("from_name"), a ? a->name : QString()},
                                             {QStringLiteral("from_type"), QStringLiteral("agent")},
                                             {QStringLiteral("content"), content},
                                             {QStringLiteral("msg_type"), msgType}},
                                            true);
    // Other links (colleagues, the same agent elsewhere) see the answer too.
    QJsonObject push = stored;
    push.insert(QStringLiteral("type"), QStringLiteral("chat"));
    pushToSessionViewers(sessionId, push, socket);
    if (plan.dropAfterChatEveryNth > 0 && chatFrames % plan.dropAfterChatEveryNth == 0) {
        // Stored, but the sender never hears of it.
        ++counters.chatsUnconfirmed;
        socket->setProperty("closedHere", true);
        socket->abort();
        return;
    }
    const QJsonObject confirmation {
        {QStringLiteral("type"), QStringLiteral("chat_sent")},
        {QStringLiteral("msg_uuid"), stored.value(QStringLiteral("msg_uuid"))},
        {QStringLiteral("session_id"), sessionId},
        {QStringLiteral("msg_id"), stored.value(QStringLiteral("id"))},
        {QStringLiteral("create_time"), stored.value(QStringLiteral("create_time"))}};
    if (plan.chatConfirmDelayMs <= 0) {
        send(socket, confirmation);
        return;
    }
    QPointer<QWebSocket> guarded(socket);
    QTimer::singleShot(plan.chatConfirmDelayMs, q, [this, guarded, confirmation] {
        if (guarded && connection(guarded))
            send(guarded, confirmation);
    });
}

void Server::Private::onFrame(QWebSocket *socket, const QString &text)
{
    frames.append(text);
    emit q->frameReceived(text);
    Connection *c = connection(socket);
    if (!c)
        return;

    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
    if (!doc.isObject()) {
        send(socket, errorFrame(QStringLiteral("消息格式错误")));
        return;
    }
    const QJsonObject frame = doc.object();
    const QString type = frame.value(QStringLiteral("type")).toString();

    if (type == QLatin1String("auth")) {
        const QString token = frame.value(QStringLiteral("token")).toString();
        const QString role = frame.value(QStringLiteral("role")).toString();
        const int agentId = agentForToken(token);
        QString failure;
        if (refuseAuth) {
            refuseAuth = false;
            failure = refuseAuthMsg;
        } else if (!agentId) {
            failure = QStringLiteral("token无效");
        } else if (role != QLatin1String("agent")) {
            failure = QStringLiteral("角色无效");
        }
        // A failed or different sign-in starts over: no agent, no channel, no session.
        if (!failure.isEmpty() || agentId != c->agentId)
            unlink(socket);
        if (!failure.isEmpty()) {
            send(socket,
                 {{QStringLiteral("type"), QStringLiteral("auth_fail")},
                  {QStringLiteral("msg"), failure}});
            return;
        }
        const bool wasOnline = isOnline(agentId);
        c->agentId = agentId;
        const AgentAccount *a = account(agentId);
        send(socket,
             {{QStringLiteral("type"), QStringLiteral("auth_ok")},
              {QStringLiteral("agent_id"), agentId},
              {QStringLiteral("name"), a ? a->name : QString()}});
        announcePresence(agentId, wasOnline);
        return;
    }
    // Until it authenticates a link is answered nothing else.
    if (!c->agentId) {
        send(socket, errorFrame(QStringLiteral("未认证")));
        return;
    }
    const int agentId = c->agentId;
    if (type.isEmpty()) {
        send(socket, errorFrame(QStringLiteral("缺少消息类型")));
        return;
    }
    if (type == QLatin1String("ping")) {
        send(socket, {{QStringLiteral("type"), QStringLiteral("pong")}});
        return;
    }

    if (type == QLatin1String("join")) {
        const QString channel = frame.value(QStringLiteral("channel")).toString();
        if (channel != demoChannelCode()) {
            send(socket, errorFrame(QStringLiteral("频道不存在")));
            return;
        }
        c->channel = channel;
        send(socket,
             {{QStringLiteral("type"), QStringLiteral("joined")},
              {QStringLiteral("channel"), channel}});
        return;
    }

    const int sessionId = sessionIdOf(frame);
    const auto it = sessions.find(sessionId);
    const bool known = it != sessions.end();
    // A colleague's session is as good as unknown.
    const bool visible = known && visibleTo(*it, agentId);

    if (type == QLatin1String("join_session")) {
        if (!visible) {
            send(socket, errorFrame(QStringLiteral("会话不存在")));
            return;
        }
        c->joinedSession = sessionId;
        send(socket,
             {{QStringLiteral("type"), QStringLiteral("session_joined")},
              {QStringLiteral("session_id"), sessionId}});
        return;
    }
    if (type == QLatin1String("chat")) {
        const QJsonValue content = frame.value(QStringLiteral("content"));
        QString msgType = frame.value(QStringLiteral("msg_type")).toString();
        if (msgType.isEmpty())
            msgType = QStringLiteral("text");
        if (!visible) {
            send(socket, errorFrame(QStringLiteral("会话不存在")));
            return;
        }
        if (!content.isString() || content.toString().trimmed().isEmpty()) {
            send(socket, errorFrame(QStringLiteral("消息内容不能为空")));
            return;
        }
        if (msgType != QLatin1String("text") && msgType != QLatin1String("image")) {
            send(socket, errorFrame(QStringLiteral("不支持的消息类型")));
            return;
        }
        acceptChat(socket, agentId, sessionId, content.toString(), msgType);
        return;
    }
    if (type == QLatin1String("recall")) {
        const QString uuid = frame.value(QStringLiteral("msg_uuid")).toString();
        QJsonObject *message = nullptr;
        if (known && !uuid.isEmpty()) {
            for (QJsonObject &m : it->messages) {
                if (m.value(QStringLiteral("msg_uuid")).toString() == uuid)
                    message = &m;
            }
        }
        if (!message) {
            send(socket, errorFrame(QStringLiteral("消息不存在")));
            return;
        }
        const QString from = message->value(QStringLiteral("from_type")).toString();
        if ((from != QLatin1String("agent") && from != QLatin1String("admin"))
            || message->value(QStringLiteral("from_id")).toInt() != agentId) {
            send(socket, errorFrame(QStringLiteral("只能撤回自己的消息")));
            return;
        }
        message->insert(QStringLiteral("is_deleted"), 1);
        changed();
        pushToSessionViewers(sessionId,
                             {{QStringLiteral("type"), QStringLiteral("recall")},
                              {QStringLiteral("msg_uuid"), uuid},
                              {QStringLiteral("session_id"), sessionId}},
                             socket);
        return;
    }
    if (type == QLatin1String("transfer")) {
        const QJsonValue target = frame.value(QStringLiteral("target_agent_id"));
        const QString failure
            = transfer(sessionId, agentId, target.isDouble() ? target.toInt() : 0);
        if (!failure.isEmpty())
            send(socket, errorFrame(failure));
        return;
    }
    send(socket, errorFrame(QStringLiteral("未知的消息类型: %1").arg(type)));
}

} // namespace DevServer
