// The shipped program as an agent starts it: the real executable against the
// real stand-in executable, on a private desktop with a window manager and a
// tray host (with-desktop.sh), driven by keystrokes. Every wait is bounded and
// everything started is killed by its process id.

#include "testsupport.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>

namespace {

constexpr int Patience = 15000;

QString xdotool(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral("xdotool"), args);
    if (!p.waitForFinished(10000))
        p.kill();
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

// The first visible window whose title contains `title`.
QString waitForWindow(const QString &title)
{
    QString id;
    (void)QTest::qWaitFor(
        [&] {
            id = xdotool({"search", "--onlyvisible", "--name", title}).section('\n', 0, 0);
            return !id.isEmpty();
        },
        Patience);
    return id;
}

// A screenshot of the whole display, with enough variety of colour that it
// is neither black nor blank.
bool screenLooksAlive(const QString &path)
{
    QProcess::execute(QStringLiteral("import"), {"-window", "root", path});
    const QImage image(path);
    if (image.isNull())
        return false;
    double sum = 0, squares = 0;
    int n = 0;
    for (int y = 0; y < image.height(); y += 7) {
        for (int x = 0; x < image.width(); x += 7) {
            const double v = qGray(image.pixel(x, y));
            sum += v;
            squares += v * v;
            ++n;
        }
    }
    const double mean = sum / n;
    return squares / n - mean * mean > 200.0;
}

class StandInProcess
{
public:
    QProcess process;
    QStringList log; // requests and frames received, one a line
    quint16 port = 0;

    bool start(quint16 wanted)
    {
        process.setProgram(QStringLiteral(STANDIN_EXECUTABLE));
        process.setArguments({"--no-simulate", "--port", QString::number(wanted)});
        QObject::connect(&process, &QProcess::readyReadStandardError, &process, [this] {
            log += QString::fromUtf8(process.readAllStandardError()).split('\n');
        });
        process.start();
        QString out;
        (void)QTest::qWaitFor(
            [&] {
                out += QString::fromUtf8(process.readAllStandardOutput());
                return out.contains('\n') || process.state() == QProcess::NotRunning;
            },
            Patience);
        port = out.section(QStringLiteral("port "), 1).trimmed().toUShort();
        return port != 0;
    }
    ~StandInProcess() { stop(); }
    void stop()
    {
        process.kill();
        process.waitForFinished(5000);
    }
    int count(const QString &part) const { return log.filter(part).size(); }
    QJsonObject control(const QString &route, const QJsonObject &body)
    {
        QNetworkAccessManager nam;
        QNetworkRequest request(
            QUrl(QStringLiteral("http://127.0.0.1:%1/control/%2").arg(port).arg(route)));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        QNetworkReply *reply = nam.post(request, QJsonDocument(body).toJson());
        (void)QTest::qWaitFor([reply] { return reply->isFinished(); }, Patience);
        reply->deleteLater();
        return QJsonDocument::fromJson(reply->readAll()).object().value("data").toObject();
    }
};

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

    QTemporaryDir scratch;
    QProcess client;
    QStringList clientLog;

    // What the conversation column shows, replayed from the client's log.
    QStringList shownBubbles() const
    {
        QStringList shown;
        for (const QString &line : clientLog) {
            if (line.contains("[UI] 清空聊天区"))
                shown.clear();
            else if (line.contains("appendChatBubble"))
                shown << line.section("content=", 1).trimmed();
        }
        return shown;
    }
    void startClient(quint16 port)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"HOME", "TMPDIR", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                                 "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"})
            env.insert(name, scratch.filePath(name));
        env.insert("ORVANTIS_API_URL", QStringLiteral("http://127.0.0.1:%1/api").arg(port));
        env.insert("ORVANTIS_WSS_URL", QStringLiteral("ws://127.0.0.1:%1/wss").arg(port));
        env.insert("QT_LOGGING_RULES", "default.debug=true");
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"); // no keyring
        client.setProcessEnvironment(env);
        client.setProcessChannelMode(QProcess::MergedChannels);
        connect(&client, &QProcess::readyRead, this,
                [this] { clientLog += QString::fromUtf8(client.readAll()).split('\n'); });
        client.start(QStringLiteral(ORVANTIS_EXECUTABLE), {});
    }
    static void keys(const QString &text) { xdotool({"type", "--delay", "40", text}); }
    static void key(const char *combo) { xdotool({"key", combo}); }

private slots:
    void init()
    {
        QFile::setPermissions(scratch.path(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        for (const char *name : {"HOME", "TMPDIR", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                                 "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"})
            QDir().mkpath(scratch.filePath(name));
        QFile::setPermissions(scratch.filePath("XDG_RUNTIME_DIR"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    void cleanup()
    {
        if (client.state() != QProcess::NotRunning) {
            client.kill();
            client.waitForFinished(5000);
        }
        if (QTest::currentTestFailed())
            qWarning().noquote() << clientLog.mid(qMax(0, int(clientLog.size()) - 60)).join('\n');
    }

    void agentAnswersVisitorsAcrossAnOutage()
    {
        auto standIn = std::make_unique<StandInProcess>();
        QVERIFY(standIn->start(0));
        const quint16 port = standIn->port;
        startClient(port);

        // Sign in through the login dialog.
        const QString login = waitForWindow("商户客服系统 - 登录");
        QVERIFY2(!login.isEmpty(), "no login dialog");
        QVERIFY(screenLooksAlive(scratch.filePath("login.png")));
        xdotool({"windowactivate", "--sync", login});
        keys("demo");
        key("Tab");
        keys("demo123");
        key("Return");
        QTRY_VERIFY_WITH_TIMEOUT(standIn->count(R"("type":"join")"), Patience);
        const QString main = waitForWindow("商户客服系统");
        QVERIFY(!main.isEmpty());

        // A visitor writes; the agent opens the session from the keyboard
        // (it is first in the list) and answers with Enter and a quick reply.
        const int session = standIn->control("new-visitor", {{"visitor_name", "E2E 访客"}})
                                .value("session_id")
                                .toInt();
        QVERIFY(session > 0);
        standIn->control("visitor-message", {{"session_id", session}, {"content", "hello e2e"}});
        QTRY_VERIFY_WITH_TIMEOUT(clientLog.filter("hello e2e").size(), Patience);
        xdotool({"windowactivate", "--sync", main});
        key("ctrl+Down");
        QTRY_VERIFY_WITH_TIMEOUT(shownBubbles().contains("hello e2e"), Patience);
        keys("reply one");
        key("Return");
        key("alt+1");
        QTest::qWait(500); // the button shows itself pressed before it answers
        key("Return");
        const QString chatTo = QStringLiteral(R"("session_id":%1)").arg(session);
        QTRY_VERIFY_WITH_TIMEOUT(standIn->log.filter(chatTo).filter("reply one").size() == 1,
                                 Patience);
        QTRY_VERIFY_WITH_TIMEOUT(
            standIn->log.filter(chatTo).filter("您好，请问有什么可以帮您？").size() == 1, Patience);
        QVERIFY(screenLooksAlive(scratch.filePath("workspace.png")));

        // The agent opens the next session, one the service had before the
        // visitor arrived. The service goes away and comes back on the same
        // port; meanwhile that session's visitor writes. It shows once.
        key("ctrl+Down");
        QTRY_VERIFY_WITH_TIMEOUT(standIn->log.filter(R"("type":"join_session")").size() == 2,
                                 Patience);
        const int seeded = standIn->log.filter(R"("type":"join_session")")
                               .last()
                               .section(R"("session_id":)", 1)
                               .section(QRegularExpression("[,}]"), 0, 0)
                               .toInt();
        QVERIFY(seeded > 0 && seeded < session);
        standIn.reset();
        QTRY_VERIFY_WITH_TIMEOUT(clientLog.filter("[WSS] 连接断开").size(), Patience);
        standIn = std::make_unique<StandInProcess>();
        QVERIFY(standIn->start(port));
        standIn->control("visitor-message", {{"session_id", seeded}, {"content", "while away"}});
        QTRY_VERIFY_WITH_TIMEOUT(standIn->count(R"("type":"join")"), 3 * Patience);
        QTRY_COMPARE_WITH_TIMEOUT(shownBubbles().count("while away"), 1, Patience);
        QTest::qWait(1500); // nothing shows it a second time
        QCOMPARE(shownBubbles().count("while away"), 1);

        // Quit from the tray icon's menu: the last entry.
        // The icon is the small window of the program inside the tray host.
        QString tray;
        for (const QString &id : xdotool({"search", "--classname", "orvantis"}).split('\n')) {
            const QString size = xdotool({"getwindowgeometry", id}).section("Geometry: ", 1);
            if (size.section('x', 0, 0).toInt() > 1 && size.section('x', 1).toInt() <= 64)
                tray = id;
        }
        QVERIFY(!tray.isEmpty());
        xdotool({"mousemove", "--window", tray, "8", "8", "click", "3"});
        QTest::qWait(500);
        key("Up");
        key("Return");
        QVERIFY(client.waitForFinished(Patience));
        QCOMPARE(client.exitStatus(), QProcess::NormalExit);
        QCOMPARE(client.exitCode(), 0);
        // No lock file, local socket or shared memory key left behind; the
        // generated chime stays for the next start.
        const QDir tmp(scratch.filePath("TMPDIR"));
        QCOMPARE(tmp.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).join(' '),
                 "orvantis_notify.wav");
    }
};

ORVANTIS_TEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
