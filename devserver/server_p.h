#pragma once

#include "devserver/server.h"

#include <QAbstractHttpServer>
#include <QHash>
#include <QMap>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebSocket>

#include <functional>
#include <optional>

class QHttpServerRequest;
class QTcpSocket;

namespace DevServer {

// One HTTP answer, written on the socket as it stands (or the socket is cut).
struct HttpReply
{
    int status = 200;
    QByteArray contentType = QByteArrayLiteral("application/json; charset=utf-8");
    QByteArray body;
    QByteArray location; // sent as "Location" when not empty
    bool drop = false;
};

void writeHttpReply(QTcpSocket *socket, const HttpReply &reply);
// Answers GET /hostile/<name> on the socket itself; false for an unknown name.
bool serveHostilePicture(const QString &path, QTcpSocket *socket);

struct ReplyRule
{
    enum Kind { InjectedFault, RawReply, Delay };
    Kind kind = InjectedFault;
    QString pathContains;
    Fault fault = Fault::Http500;
    int httpStatus = 200;
    QByteArray body;
    int delayMs = 0;
    int remaining = 1;
};

struct SessionRecord
{
    QJsonObject fields; // as sent to the clients
    QList<QJsonObject> messages; // oldest first
    bool archived = false; // a past reception: in the records, not among the channel's sessions
};

struct Connection
{
    QWebSocket *socket = nullptr;
    int agentId = 0; // 0 until the socket authenticated
    QString channel; // set by "join"; pushes about sessions need it
    int joinedSession = 0;
};

inline QString demoChannelCode()
{
    return QStringLiteral("demo-channel");
}

// Qt's HTTP server parses the requests; every one of them comes through here.
class HttpFrontend : public QAbstractHttpServer
{
    Q_OBJECT

public:
    using Handler = std::function<void(const QHttpServerRequest &, QTcpSocket *)>;
    explicit HttpFrontend(Handler handler) : m_handler(std::move(handler)) { }

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    Handler m_handler;
};

class Server::Private
{
public:
    explicit Private(Server *q);
    ~Private();

    Server *q;
    std::unique_ptr<HttpFrontend> http;
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 0;

    QList<AgentAccount> accounts;
    QSet<QString> issuedTokens; // by this run, so that they can all be revoked
    QSet<QString> revokedTokens; // signed out or revoked: refused though well signed
    int tokenSerial = 0;

    QMap<int, SessionRecord> sessions;
    int nextSessionId = 1;
    int nextMessageId = 1;

    QList<ReplyRule> rules;
    QList<RecordedRequest> recorded;
    QStringList frames;

    QList<Connection> connections;
    int closeFramesReceived = 0;
    bool refuseAuth = false;
    QString refuseAuthMsg;

    FaultPlan plan;
    FaultCounters counters;
    QTimer *dropTimer = nullptr;
    quint64 framesSent = 0;
    quint64 apiReplies = 0;
    QTimer *trafficTimer = nullptr;
    QList<int> trafficSessions;
    QHash<int, int> trafficSerial; // per session: the last number written
    QString trafficPrefix;
    int trafficNext = 0;
    int trafficWritten = 0;

    QTemporaryDir uploads;
    QString uploadPath; // where uploads go: beside the state file, else `uploads`
    QString statePath;
    QTimer *saveTimer = nullptr;
    quint64 chatFrames = 0;
    QHash<QString, QByteArray> demoImages; // file name -> PNG bytes

    // ---- model helpers (server.cpp)
    void changed(); // the state file is written a moment later
    QJsonObject stateJson() const;
    void loadState(const QJsonObject &state);
    QString hostString() const;
    QString baseUrl() const; // "http://127.0.0.1:PORT"
    AgentAccount *account(int agentId);
    QString issueToken(int agentId);
    int agentForToken(const QString &token) const;
    static QByteArray sign(const QByteArray &signingInput);
    bool isLinked(int agentId) const; // has an authenticated socket
    bool isOnline(int agentId) const; // marked online or linked
    void setOnline(int agentId, bool online);
    // Tells the other agents when `agentId` is no longer as online as it was.
    void announcePresence(int agentId, bool wasOnline);
    bool visibleTo(const SessionRecord &s, int agentId) const;
    // Hands a session from `giver` to `target`; the refusal's text when it may not.
    QString transfer(int sessionId, int giver, int target);
    QJsonObject sessionJson(int sessionId) const;
    int addSessionRecord(const QJsonObject &fields);
    QJsonObject storeMessage(int sessionId, QJsonObject message, bool live);
    bool hasAgentMessage(const SessionRecord &s) const;

    // ---- HTTP (httproutes.cpp)
    void handleHttp(const QHttpServerRequest &request, QTcpSocket *socket);
    HttpReply route(const RecordedRequest &r, const QHostAddress &peer);
    HttpReply routeApi(const RecordedRequest &r, const QString &route);
    HttpReply routeControl(const RecordedRequest &r, const QHostAddress &peer);
    HttpReply faultReply(const ReplyRule &rule, const RecordedRequest &r, const QHostAddress &peer);
    HttpReply serveFile(const QString &path);
    HttpReply upload(const RecordedRequest &r);
    HttpReply translate(const RecordedRequest &r);
    HttpReply messagePage(const RecordedRequest &r, bool allowBeforeTime);
    static void writeReply(QTcpSocket *socket, const HttpReply &reply)
    {
        writeHttpReply(socket, reply);
    }

    // ---- WebSocket (realtime.cpp)
    void acceptWebSockets();
    void onFrame(QWebSocket *socket, const QString &text);
    void onSocketGone(QWebSocket *socket);
    // The socket stops speaking for its agent (gone, or authenticated anew).
    void unlink(QWebSocket *socket);
    Connection *connection(QWebSocket *socket);
    void send(QWebSocket *socket, const QJsonObject &frame);
    void sendJunk(QWebSocket *socket);
    // Delays or fails this API reply when the fault plan says so.
    void applyRestFault(const RecordedRequest &r, std::optional<ReplyRule> *answer, int *delayMs);
    void writeTraffic();
    // Stores an agent's chat and confirms it, as the fault plan lets it.
    void acceptChat(QWebSocket *socket, int agentId, int sessionId, const QString &content,
                    const QString &msgType);
    // Sends to every authenticated agent socket that `accept` lets through.
    void pushToAgents(const QJsonObject &frame,
                      const std::function<bool(const Connection &)> &accept = {});
    // Sends to the authenticated sockets that joined the channel and may see the session.
    void pushToSessionViewers(int sessionId, const QJsonObject &frame,
                              QWebSocket *except = nullptr);

    // ---- demo content (demodata.cpp)
    void makeDemoImages();
    void seedDemo();
    void seedArchive(int count);
};

// Replies in the service's envelope.
QByteArray envelope(const QJsonValue &data, int code = 200,
                    const QString &msg = QStringLiteral("操作成功"));
HttpReply ok(const QJsonValue &data = QJsonObject());
HttpReply refuse(int code, const QString &msg);
HttpReply httpError(int status, int code, const QString &msg);

// Lenient reading of times as the service stores them: epoch seconds as a
// number or digit string, or ISO 8601 text; 0 when neither.
qint64 epochOf(const QJsonValue &value);
// Phrase-table translation into Chinese; empty when unknown.
QString translateToChinese(const QString &text);
bool containsChinese(const QString &text);

} // namespace DevServer
