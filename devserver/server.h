#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrlQuery>
#include <QWebSocketProtocol>
#include <memory>

// A stand-in for the live-chat service: real HTTP and WebSocket on loopback,
// speaking the service's protocol from an in-memory model of one merchant
// channel. The demo runs against it, the tests link it in-process and use the
// control API below to make visitors act and to make the service misbehave.
//
// Like the service, a socket is answered nothing but "auth" until it is
// authenticated (any other frame gets {"type":"error","msg":"未认证"}), and
// pushes about sessions ("chat", "recall", "new_session", "session_offline")
// reach only authenticated sockets that sent "join" for the channel and may
// see the session.
//
// Hostile pictures for the client's picture loading (GET): /hostile/endless.png
// (a body without end), huge.png (200 MB, declared and sent while read),
// trickle.png (a byte every half second), bomb.png (a small PNG declaring
// 30000 x 30000 pixels), malformed.png (a PNG signature, then junk) and
// to-file.png (a redirect to file:///etc/passwd).
//
// Scripts drive the executable over loopback-only routes (POST, JSON body):
//   /control/new-visitor {"visitor_name", "visitor_id"?, "ip_address"?}
//   /control/visitor-message {"session_id", "content", "msg_type"?}
//   /control/visitor-leaves {"session_id"}
//   /control/recall {"session_id", "msg_uuid"}: the message is withdrawn and
//     the recall pushed, as recallMessage() does.
//   /control/transfer {"session_id", "to_agent_id"}: the session's owner hands
//     it over as its own "transfer" frame would (refused for a session that
//     has no owner, and under the same rules as the frame).
namespace DevServer {

struct RecordedRequest
{
    QByteArray method; // "GET", "POST"
    QString path; // decoded path, e.g. "/api/agent/login"
    QString rawQuery; // query exactly as received (still encoded)
    QUrlQuery query; // the same, parsed
    QList<QPair<QByteArray, QByteArray>> headers; // as received, in order
    QByteArray body;

    QByteArray header(const QByteArray &name) const; // case-insensitive; empty when absent
    bool hasHeader(const QByteArray &name) const;
    QJsonObject jsonBody() const; // empty when the body is not a JSON object
};

// What the next matching REST request gets instead of the normal answer.
enum class Fault {
    Http401, // HTTP 401 with a JSON body
    Http500, // HTTP 500
    NotJson, // HTTP 200, body that is not JSON
    CodeAsString, // {"code": "200", "msg": ..., "data": {...}}
    ArrayBody, // HTTP 200, body is a JSON array
    Refuse, // HTTP 200, {"code": 500, "msg": "服务暂不可用"}
    DropConnection // the TCP connection is closed without an answer
};

// Misbehaviour for a fault soak, all off at 0. Counts run over every frame
// and every API reply of the server, whoever they are for.
struct FaultPlan
{
    int dropLinksEverySec = 0; // every N s each open WebSocket link is aborted
    int doubleEveryNthFrame = 0; // every Nth frame sent on a link goes out twice
    // Before every Nth frame one piece of junk, in turn: text that is not
    // JSON, a binary frame, an oversized frame of an unknown type, and JSON
    // that is no valid frame.
    int junkEveryNthFrame = 0;
    int oversizedBytes = 1024 * 1024;
    // Every Nth reply under /api/ is, in turn, delayed by restDelayMs or
    // failed (HTTP 500, a refusal, a cut connection, in turn).
    int restFaultEveryNth = 0;
    int restDelayMs = 1500;
    // Every Nth "chat" frame is answered {"type":"error"} and not stored.
    int refuseChatEveryNth = 0;
    // Every "chat_sent" leaves this many ms after the message was stored.
    int chatConfirmDelayMs = 0;
    // Every Nth chat is stored, then its link is cut before "chat_sent" goes.
    int dropAfterChatEveryNth = 0;
};

struct FaultCounters
{
    int linksDropped = 0;
    int framesDoubled = 0;
    int junkFrames = 0;
    int repliesDelayed = 0;
    int repliesFailed = 0;
    int chatsRefused = 0;
    int chatsUnconfirmed = 0; // stored, the link cut before the confirmation
};

struct AgentAccount
{
    int id = 0;
    QString account;
    QString password;
    QString name;
    int memberId = 0;
    QString role = QStringLiteral("agent");
    bool online = false;
};

class Server : public QObject
{
    Q_OBJECT

public:
    explicit Server(QObject *parent = nullptr);
    ~Server() override;

    // Listens for HTTP and WebSocket on one port (0 picks a free one).
    bool listen(const QHostAddress &address = QHostAddress::LocalHost, quint16 port = 0);
    quint16 port() const;
    QString restBaseUrl() const; // "http://127.0.0.1:PORT/api"
    QString wssUrl() const; // "ws://127.0.0.1:PORT/wss"

    // ---- accounts and tokens
    // Built in, all of member 3: "demo"/"demo123" (id 12, name 演示坐席),
    // "lili"/"lili123" (id 13, 李丽), "noname"/"noname123" (id 14, empty name),
    // "wang"/"wang123" (id 15, 王强). All start offline (the executable marks
    // "lili" online). An agent is online while marked so or while one of its
    // sockets is authenticated; its last socket going away marks it offline.
    // "/api/agent/list" and transfers follow this; "agent_online" and
    // "agent_offline" go to the other agents' sockets when it changes.
    QList<AgentAccount> accounts() const;
    void addAccount(const AgentAccount &account);
    void setAgentOnline(int agentId, bool online); // as "POST /api/agent/online" or logout
    QString issueToken(int agentId) const; // a token the server accepts for that agent
    void revokeTokens(); // every token issued so far becomes unknown (401);
                         // sockets already authenticated stay so

    // ---- surviving a restart
    // Keeps the channel (sessions, messages, id counters, signed-out tokens,
    // uploads beside it) in `path`: loads it now when it exists, then writes
    // it shortly after every change and on destruction, each time whole into
    // a temporary file renamed over the old one. Returns whether a state was
    // loaded; false also when the file exists but cannot be read (`error`
    // then says why, and nothing is loaded or written over it).
    bool useStateFile(const QString &path, QString *error = nullptr);
    bool saveState(); // now; false when there is no state file or it cannot be written

    // ---- the channel model
    QString channelCode() const; // "demo-channel"
    void clearChannel(); // no sessions, no messages
    // Several pages of varied sessions (the default content of the executable):
    // 130 sessions, ids 1001..1130, 125 of them visible to "demo" (three pages of
    // 50); the rest belong to "lili". Call after listen(): image URLs carry the port.
    void seedDemoChannel();
    // Past receptions for the records dialog, ids 5001 on: listed by
    // "/chat/records" (with "/chat/history" and "/chat/session-info") but not
    // among the channel's sessions. Every status ("online", "closed",
    // "offline", "unreception" and the odd "transferred" and "Online"),
    // Chinese and Latin names, times as epoch seconds, digit strings, ISO text
    // or missing, and every 25th history hundreds of messages long, images
    // included. The same content on every run; call after listen().
    void seedReceptionArchive(int count = 400);
    // Adds a session with the given fields (keys as the service sends them:
    // "visitor_name", "visitor_id", "status", "ip_address", "remark",
    // "unread_count", "last_msg", "last_time", ...); returns its id.
    // Given keys win over the defaults (status "online", last_time now, ...).
    // A given "id" is used when free. "agent_id" (default 0 = every agent)
    // names the only agent who sees the session in lists and pushes.
    int addSession(const QJsonObject &fields = {});
    // Adds a stored message (keys as the service sends them); returns its id
    // (0 for an unknown session). Missing keys get defaults (fresh msg_uuid,
    // from_type "visitor", msg_type "text", create_time now, is_deleted 0).
    // Nothing is pushed; the session's message_count follows, an empty
    // last_msg is filled, last_time and unread_count stay as set.
    int addMessage(int sessionId, const QJsonObject &fields);
    QJsonObject session(int sessionId) const; // empty when unknown
    QJsonArray messages(int sessionId) const; // stored, oldest first
    int sessionCount() const;

    // ---- simulated visitors (each also pushes the matching frame to the
    // authenticated agent sockets that joined the channel and may see the
    // session; with none connected the change is only stored)
    // A new online session, pushed as "new_session"; a visitor id that is
    // already known reopens that session (online again) and returns its id.
    int visitorOpensSession(const QString &visitorName, const QString &visitorId = {},
                            const QString &ip = QStringLiteral("127.0.0.1"));
    // Stores the visitor's message (create_time = now in epoch seconds, so two
    // equal texts in the same second look alike to a client), moves last_msg,
    // last_time and unread_count, pushes it as "chat"; returns the stored
    // message (without "type"), or an empty object for an unknown session.
    QJsonObject visitorSays(int sessionId, const QString &content,
                            const QString &msgType = QStringLiteral("text"));
    // Status "offline", pushed as "session_offline".
    void visitorLeaves(int sessionId);
    // The message is withdrawn by whoever wrote it (the visitor, or a
    // colleague on another client): marked deleted and pushed as "recall" to
    // the agents who may see the session. False for an unknown message.
    bool recallMessage(int sessionId, const QString &msgUuid);
    // The session's owner hands it to another online agent, as its own
    // "transfer" frame would; returns the refusal, or an empty text.
    QString handOver(int sessionId, int toAgentId);

    // Steady traffic: the visitors of `sessionIds` write in turn, `perSecond`
    // messages a second in all, each "<prefix> <session id> #<n>" with n
    // counting from 1 per session, so that every message can be traced.
    void startVisitorTraffic(const QList<int> &sessionIds, int perSecond,
                             const QString &prefix = QStringLiteral("soak"));
    void stopVisitorTraffic();
    int visitorTrafficWritten() const;

    // ---- a standing fault plan (replaces the previous one; a default plan
    // ends every fault) and what it has done so far
    void setFaultPlan(const FaultPlan &plan);
    FaultPlan faultPlan() const;
    FaultCounters faultCounters() const;

    // ---- fault injection for REST: the next `times` requests whose path
    // contains `pathContains` get the fault / the raw reply / the delay.
    // Rules are applied before the token check, in the order they were set; a
    // delay combines with a fault or with the normal answer. CodeAsString is
    // the normal answer with its code as text. DropConnection cuts the link in
    // the middle of an answer (a bare close would be retried silently by
    // QNetworkAccessManager). clearFaults also cancels refuseNextAuth.
    void injectFault(const QString &pathContains, Fault fault, int times = 1);
    // A 3xx status takes `body` as its "Location" as well.
    void setRawReply(const QString &pathContains, int httpStatus, const QByteArray &body,
                     int times = 1);
    void delayReplies(const QString &pathContains, int ms, int times = 1);
    void clearFaults();

    // ---- what the clients sent
    QList<RecordedRequest> requests() const;
    QList<RecordedRequest> requestsTo(const QString &pathContains) const;
    void clearRequests();
    QStringList receivedFrames() const; // every WebSocket text frame received, in order
    // (requests() holds every HTTP request except the WebSocket upgrades)
    void clearReceivedFrames();

    // ---- WebSocket control
    int connectionCount() const; // sockets currently open on "/wss"
    int closeFramesReceived() const; // links the client closed with a close frame
    int authenticatedCount() const; // of those, authenticated as agents
    // Any frame, to every authenticated agent socket: whether a socket joined
    // the channel or may see a session named in the frame does not matter.
    void pushFrame(const QJsonObject &frame);
    void pushFrameTwice(const QJsonObject &frame); // the same frame sent twice
    void pushText(const QString &text); // raw text frame to every open socket, authenticated or not
    void pushBinary(const QByteArray &data);
    void dropConnections(); // abort the TCP connections abruptly
    void closeConnections(QWebSocketProtocol::CloseCode code, const QString &reason);
    // The next "auth" frame is answered "auth_fail" with `msg`; the link stays open.
    void refuseNextAuth(const QString &msg = QStringLiteral("token无效"));

    QString uploadDir() const; // where uploaded images are stored

signals:
    void requestRecorded(const DevServer::RecordedRequest &request);
    void frameReceived(const QString &text);
    void socketConnected();
    void socketDisconnected();

private:
    class Private;
    std::unique_ptr<Private> d;
};

} // namespace DevServer
