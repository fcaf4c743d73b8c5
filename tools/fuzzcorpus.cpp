// Writes the seed corpora of the fuzz targets from what the stand-in service
// really sends: its REST replies (status line, route and body, as fuzz_rest
// reads them), its realtime frames, and the session and message objects both
// carry. Usage: orvantis-fuzz-corpus <fuzz/corpus folder>

#include "devserver/server.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QHttpMultiPart>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebSocket>

#include <cstdio>

namespace {

class CorpusWriter
{
public:
    explicit CorpusWriter(const QString &root) : m_root(root) { }

    // Identical contents are written once.
    void write(const QString &target, const QString &name, const QByteArray &contents)
    {
        if (!m_seen[target].contains(contents)) {
            m_seen[target].insert(contents);
            QDir().mkpath(m_root + '/' + target);
            QFile file(m_root + '/' + target + '/' + name);
            if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size()) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
                std::exit(1);
            }
            ++m_count[target];
        }
    }
    int count(const QString &target) const { return m_count.value(target); }

private:
    QString m_root;
    QMap<QString, QSet<QByteArray>> m_seen;
    QMap<QString, int> m_count;
};

bool waitFor(const std::function<bool()> &done, int ms = 5000)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    poll.start(5);
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    if (!done())
        loop.exec();
    return done();
}

QByteArray compact(const QJsonValue &value)
{
    return value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                           : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
}

// One agent's realtime link, keeping every frame it is sent.
struct Link
{
    QWebSocket socket;
    QStringList frames;

    explicit Link(const QString &url)
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived,
                         [this](const QString &text) { frames << text; });
        socket.open(QUrl(url));
        if (!waitFor([this] { return socket.state() == QAbstractSocket::ConnectedState; }))
            std::fprintf(stderr, "realtime link did not open\n");
    }
    // Sends a frame and waits until `answers` more frames came in.
    void send(const QJsonObject &frame, int answers = 1)
    {
        const qsizetype before = frames.size();
        socket.sendTextMessage(QString::fromUtf8(compact(frame)));
        waitFor([&] { return frames.size() >= before + answers; }, 2000);
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    qputenv("HOME", home.path().toLocal8Bit());
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    CorpusWriter out(QString::fromLocal8Bit(argv[1]));

    DevServer::Server server;
    if (!server.listen())
        return 1;
    server.seedDemoChannel();
    server.seedReceptionArchive(60);
    const QString base = server.restBaseUrl();

    QNetworkAccessManager network;
    QString token;
    // Keeps the reply as fuzz_rest reads it, "<status> <route>\n<body>",
    // unless it has no name; returns its data.
    auto call = [&](const QString &name, const QByteArray &method, const QString &route,
                    const QJsonObject &body = {}) {
        QNetworkRequest request(QUrl(base + route));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        if (!token.isEmpty())
            request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
        QNetworkReply *reply = method == "GET"
            ? network.get(request)
            : network.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
        waitFor([reply] { return reply->isFinished(); });
        const QByteArray received = reply->readAll();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        reply->deleteLater();
        if (!name.isEmpty())
            out.write(QStringLiteral("rest"), name,
                      QByteArray::number(status) + ' ' + route.toUtf8() + '\n' + received);
        return QJsonDocument::fromJson(received).object().value(QStringLiteral("data"));
    };

    // ---- REST: every route the stand-in serves, answered and refused.
    call("login-refused", "POST", "/agent/login", {{"account", "demo"}, {"password", "wrong"}});
    call("login-empty", "POST", "/agent/login", {});
    token = call("login", "POST", "/agent/login", {{"account", "demo"}, {"password", "demo123"}})
                .toObject()
                .value(QStringLiteral("token"))
                .toString();
    call("online", "POST", "/agent/online");
    call("channel", "GET", "/agent/channel");
    call("agent-list", "GET", "/agent/list");
    const QJsonValue sessions
        = call("channel-sessions", "GET", "/chat/channel-sessions?limit=4&page=1");
    call("channel-sessions-last", "GET", "/chat/channel-sessions?limit=4&page=32");
    call("channel-sessions-bad-page", "GET", "/chat/channel-sessions?limit=4&page=0");
    const QJsonValue records = call("records", "GET", "/chat/records?limit=6&page=1&status=");
    call("records-closed", "GET", "/chat/records?keyword=Tom&limit=3&page=1&status=closed");
    call("records-bad-status", "GET", "/chat/records?limit=3&page=1&status=nonsense");
    const QJsonValue info = call("session-info", "GET", "/chat/session-info?session_id=1001");
    call("session-info-archive", "GET", "/chat/session-info?session_id=5003");
    call("session-info-unknown", "GET", "/chat/session-info?session_id=999");
    const QJsonValue messages
        = call("messages", "GET", "/chat/messages?limit=4&page=1&session_id=1001");
    call("messages-unknown", "GET", "/chat/messages?limit=50&page=1&session_id=999");
    const QJsonValue history
        = call("history", "GET", "/chat/history?limit=4&page=2&session_id=5025");
    call("history-archive", "GET", "/chat/history?limit=3&page=1&session_id=5002");
    call("mark-read", "POST", "/chat/mark-read", {{"session_id", 1001}});
    call("remark", "POST", "/chat/update-session?session_id=1001",
         {{"session_id", 1001}, {"remark", QStringLiteral("老客户 <b>VIP</b>")}});
    call("remark-too-long", "POST", "/chat/update-session",
         {{"session_id", 1001}, {"remark", QString(201, QLatin1Char('x'))}});
    call("delete-refused", "POST", "/chat/delete-session", {{"session_id", 1001}});
    const int empty = server.addSession({{"status", "offline"}, {"last_msg", ""}});
    call("delete", "POST", "/chat/delete-session", {{"session_id", empty}});
    call("unknown-route", "GET", "/chat/send");

    {
        auto *multiPart = new QHttpMultiPart(QHttpMultiPart::FormDataType);
        QHttpPart part;
        part.setRawHeader("Content-Type", "image/png");
        part.setRawHeader("Content-Disposition", "form-data; name=\"file\"; filename=\"a.png\"");
        part.setBody(QByteArray::fromBase64("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQV"
                                            "R42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg=="));
        multiPart->append(part);
        QNetworkReply *reply
            = network.post(QNetworkRequest(QUrl(base + "/upload/chat-image")), multiPart);
        multiPart->setParent(reply);
        waitFor([reply] { return reply->isFinished(); });
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        out.write("rest", "upload",
                  QByteArray::number(status) + " /upload/chat-image\n" + reply->readAll());
        reply->deleteLater();
    }

    // The service misbehaving, as the stand-in can be told to.
    const QList<QPair<DevServer::Fault, const char *>> faults {
        {DevServer::Fault::Http401, "fault-401"},
        {DevServer::Fault::Http500, "fault-500"},
        {DevServer::Fault::NotJson, "fault-not-json"},
        {DevServer::Fault::CodeAsString, "fault-code-as-string"},
        {DevServer::Fault::ArrayBody, "fault-array-body"},
        {DevServer::Fault::Refuse, "fault-refuse"}};
    for (const auto &[fault, name] : faults) {
        server.injectFault(QStringLiteral("/chat/messages"), fault);
        call(name, "GET", "/chat/messages?limit=2&page=1&session_id=1001");
    }

    // ---- realtime: every frame type the stand-in pushes. The colleague hears
    // of the agent coming online with its first link and leaving with its last.
    server.setAgentOnline(12, false);
    Link colleague(server.wssUrl());
    colleague.send({{"type", "auth"}, {"token", server.issueToken(13)}, {"role", "agent"}});
    Link watcher(server.wssUrl());
    watcher.send({{"type", "ping"}}); // not yet authenticated
    server.refuseNextAuth();
    watcher.send({{"type", "auth"}, {"token", token}, {"role", "agent"}});
    watcher.send({{"type", "auth"}, {"token", "nonsense"}, {"role", "agent"}});
    watcher.send({{"type", "auth"}, {"token", token}, {"role", "agent"}});
    watcher.send({{"type", "join"}, {"channel", server.channelCode()}});
    watcher.send({{"type", "join_session"}, {"session_id", 1001}});
    Link agent(server.wssUrl());
    agent.send({{"type", "auth"}, {"token", token}, {"role", "agent"}});
    agent.send({{"type", "join"}, {"channel", server.channelCode()}});
    agent.send({{"type", "join"}, {"channel", "elsewhere"}});
    agent.send({{"type", "join_session"}, {"session_id", 1001}});
    agent.send({{"type", "join_session"}, {"session_id", 999}});
    agent.send({{"type", "ping"}});
    agent.send({{"type", "chat"}, {"session_id", 1001}, {"content", "您好"}, {"msg_type", "text"}});
    agent.send({{"type", "chat"}, {"session_id", 1001}, {"content", " "}, {"msg_type", "text"}});
    const QJsonObject sent
        = QJsonDocument::fromJson(agent.frames.value(agent.frames.size() - 2).toUtf8()).object();
    agent.send({{"type", "recall"},
                {"session_id", 1001},
                {"msg_uuid", sent.value(QStringLiteral("msg_uuid"))}},
               0);
    agent.send({{"type", "nonsense"}});
    agent.send({{"type", "transfer"}, {"session_id", 1001}, {"target_agent_id", 99}});
    const int opened = server.visitorOpensSession(QStringLiteral("Tom Baker"));
    server.visitorSays(opened, QStringLiteral("Where is my package? \"quoted\" \\ 包裹"));
    server.visitorSays(opened, server.restBaseUrl().chopped(4) + "/images/demo-1.png",
                       QStringLiteral("image"));
    const int own = server.addSession({{"agent_id", 12}, {"visitor_name", "林语"}});
    server.handOver(own, 13);
    server.handOver(own, 12);
    server.visitorLeaves(opened);
    waitFor([&] { return false; }, 300);
    agent.socket.close();
    watcher.socket.close();
    waitFor([&] { return false; }, 300);

    // Each link's whole conversation, one frame per line, as a sequence.
    out.write("realtime", "sequence-colleague", colleague.frames.join('\n').toUtf8());
    out.write("realtime", "sequence-watcher", watcher.frames.join('\n').toUtf8());
    int n = 0;
    for (const Link *link : {&colleague, &watcher, &agent}) {
        for (const QString &frame : link->frames) {
            const QString type = QJsonDocument::fromJson(frame.toUtf8())
                                     .object()
                                     .value(QStringLiteral("type"))
                                     .toString();
            out.write("realtime", QStringLiteral("%1-%2").arg(type).arg(++n, 2, 10, QChar('0')),
                      frame.toUtf8());
        }
    }

    // ---- records: the objects sessions and messages are built from.
    n = 0;
    auto records_ = [&](const QJsonValue &data, const QString &kind) {
        for (const QJsonValue &element : data.toObject().value(QStringLiteral("list")).toArray())
            out.write("records", QStringLiteral("%1-%2").arg(kind).arg(++n, 2, 10, QChar('0')),
                      compact(element));
    };
    records_(sessions, QStringLiteral("session"));
    records_(records, QStringLiteral("session"));
    records_(messages, QStringLiteral("message"));
    records_(history, QStringLiteral("message"));
    out.write("records", "session-info", compact(info));
    // The archive's sessions show every status and way of sending a time.
    for (int id = 5001; id <= 5008; ++id) {
        out.write("records", QStringLiteral("archive-%1").arg(id),
                  compact(call(QString(), "GET",
                               QStringLiteral("/chat/session-info?session_id=%1").arg(id))));
    }
    out.write("records", "message-list", compact(history.toObject().value("list")));
    for (const QString &frame : watcher.frames) {
        const QJsonObject object = QJsonDocument::fromJson(frame.toUtf8()).object();
        const QString type = object.value(QStringLiteral("type")).toString();
        if (type == QLatin1String("new_session") || type == QLatin1String("chat"))
            out.write("records", QStringLiteral("frame-%1-%2").arg(type).arg(++n), compact(object));
    }

    std::printf("rest %d, realtime %d, records %d\n", out.count("rest"), out.count("realtime"),
                out.count("records"));
    return 0;
}
