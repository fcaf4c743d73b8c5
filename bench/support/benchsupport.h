#pragma once

// Small helpers shared by the benchmarks.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/applicationstyle.h"
#include "devserver/server.h"
#include "net/apiclient.h"
#include "net/wssclient.h"
#include "testaccess.h"
#include "workspace/orvantis.h"

namespace Bench {

inline bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Runs the event loop (a real one: deferred deletions happen) until
// `condition` holds or `timeoutMs` have passed; checks every 5 ms.
inline bool runUntil(const std::function<bool()> &condition, int timeoutMs)
{
    bool met = condition();
    if (met)
        return true;
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    QTimer poll;
    poll.callOnTimeout([&] {
        met = condition();
        if (met || clock.elapsed() > timeoutMs)
            loop.quit();
    });
    poll.start(5);
    loop.exec();
    return met;
}

inline void runEventsFor(int ms)
{
    runUntil([] { return false; }, ms);
}

inline void drainEvents()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

inline double median(QList<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const int n = int(samples.size());
    return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2.0;
}

// Settings, temporary files and the platform stay inside `home`; call
// before the application object exists.
inline void isolateEnvironment(const QTemporaryDir &home)
{
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("TMPDIR", home.path().toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", home.path().toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES")) // set it to trace a run
        qputenv("QT_LOGGING_RULES", "default.debug=false;qt.multimedia*=false");
    QStandardPaths::setTestModeEnabled(true);
}

// An empty channel on `server`, and a stored token of agent 12 for the
// window about to be built.
inline bool prepareService(DevServer::Server &server)
{
    if (!server.listen()) {
        std::fprintf(stderr, "stand-in service did not start\n");
        return false;
    }
    server.clearChannel();
    qputenv("ORVANTIS_API_URL", server.restBaseUrl().toUtf8());
    qputenv("ORVANTIS_WSS_URL", server.wssUrl().toUtf8());
    QSettings(QStringLiteral("orvantis"), QStringLiteral("config"))
        .setValue(QStringLiteral("token"), server.issueToken(12));
    return true;
}

// Waits until the window is signed in with its link authenticated.
inline bool waitSignedIn(orvantis &window)
{
    if (!waitFor([&] { return window.isLoggedIn() && window.wss()->isAuthenticated(); }, 10000)) {
        std::fprintf(stderr, "the main window did not sign in\n");
        return false;
    }
    window.resize(1100, 700);
    drainEvents();
    return true;
}

// Scrolls the list down, as the agent would, until `count` sessions are listed.
inline bool listAll(orvantis &window, int count)
{
    QScrollBar *bar = OrvantisTestAccess::listArea(&window)->verticalScrollBar();
    const bool listed = waitFor(
        [&] {
            if (!window.api()->pendingRequestCount())
                bar->setValue(bar->maximum());
            return window.sessionList().size() >= count;
        },
        60000);
    bar->setValue(0);
    if (!listed)
        std::fprintf(stderr, "only %d of %d sessions listed\n", int(window.sessionList().size()),
                     count);
    return listed;
}

// Opens `id` as a click on its row would and waits for its history.
inline bool enterSession(orvantis &window, int id)
{
    OrvantisTestAccess::select(&window, id);
    const bool open = waitFor(
        [&] { return window.currentSession() == id && !window.api()->pendingRequestCount(); },
        10000);
    if (!open)
        std::fprintf(stderr, "session %d did not open\n", id);
    return open;
}

// Signed in, on screen and in front, with session `id` open.
inline bool openInFront(orvantis &window, int id)
{
    if (!waitSignedIn(window))
        return false;
    window.show();
    window.activateWindow();
    return enterSession(window, id);
}

// ---- what this process holds

// Resident set, MiB.
inline double rssMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

inline int openFiles()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::NoDotAndDotDot)
                   .size());
}

inline int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task"))
                   .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                   .size());
}

// Milliseconds on the system's monotonic clock, the same in every process.
inline double monotonicMs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) * 1000.0 + double(now.tv_nsec) / 1.0e6;
}

// A 2 ms timer on the GUI thread: any gap between two ticks beyond the
// interval is time the event loop could not run. onTick lets a benchmark
// watch for what it waits on at the same resolution.
class StallMeter : public QObject
{
public:
    std::function<void()> onTick;

    StallMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.callOnTimeout(this, [this] {
            const double gap = double(m_clock.nsecsElapsed()) / 1.0e6;
            m_clock.restart();
            m_longest = std::max(m_longest, gap - m_timer.interval());
            if (onTick)
                onTick();
        });
    }
    void start()
    {
        m_longest = 0;
        m_clock.start();
        m_timer.start(2);
    }
    void stop() { m_timer.stop(); }
    double longestMs() const { return m_longest; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    double m_longest = 0;
};

// ---- the stand-in service in a process of its own, so that the memory,
// files, threads and stalls measured are the client's alone. The benchmark
// seeds it and then drives it with commands (one JSON object a line); a
// handler answers each, at once or when it is done.
class DevServerProcess
{
public:
    using Answer = std::function<void(const QJsonObject &)>;
    using Seed = std::function<QJsonObject(DevServer::Server &)>;
    using Handler = std::function<void(DevServer::Server &, const QJsonObject &, const Answer &)>;

    QJsonObject seeded; // what the seed returned

    DevServerProcess() = default;
    DevServerProcess(const DevServerProcess &) = delete;
    DevServerProcess &operator=(const DevServerProcess &) = delete;
    ~DevServerProcess()
    {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        close(m_commands);
        close(m_answers);
    }

    // Forks before any Qt thread exists: call before the application object.
    // The client is pointed at the service with a token of agent 12.
    bool start(const Seed &seed, const Handler &handler)
    {
        int commands[2], answers[2];
        if (pipe(commands) != 0 || pipe(answers) != 0)
            return false;
        std::fflush(nullptr);
        m_pid = fork();
        if (m_pid == 0) {
            close(commands[1]);
            close(answers[0]);
            serve(commands[0], answers[1], seed, handler);
        }
        close(commands[0]);
        close(answers[1]);
        m_commands = commands[1];
        m_answers = answers[0];
        if (m_pid < 0)
            return false;
        const QJsonObject hello = nextAnswer();
        if (hello.isEmpty()) {
            std::fprintf(stderr, "stand-in service did not start\n");
            return false;
        }
        fcntl(m_answers, F_SETFL, O_NONBLOCK);
        qputenv("ORVANTIS_API_URL", hello.value(QStringLiteral("rest")).toString().toUtf8());
        qputenv("ORVANTIS_WSS_URL", hello.value(QStringLiteral("wss")).toString().toUtf8());
        QSettings(QStringLiteral("orvantis"), QStringLiteral("config"))
            .setValue(QStringLiteral("token"), hello.value(QStringLiteral("token")).toString());
        seeded = hello.value(QStringLiteral("seeded")).toObject();
        return true;
    }

    // Sends `command` and runs the event loop until its answer (empty on
    // timeout).
    QJsonObject call(const QJsonObject &command, int timeoutMs = 60000)
    {
        writeLine(m_commands, command);
        QJsonObject answer;
        runUntil([&] { return !(answer = nextAnswer()).isEmpty(); }, timeoutMs);
        return answer;
    }

private:
    static void writeLine(int fd, const QJsonObject &object)
    {
        const QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
        for (qsizetype done = 0; done < line.size();) {
            const ssize_t n = write(fd, line.constData() + done, size_t(line.size() - done));
            if (n <= 0)
                return;
            done += n;
        }
    }

    // Reads what has come (all of a line, while the pipe still blocks).
    QJsonObject nextAnswer()
    {
        char chunk[4096];
        while (!m_buffer.contains('\n')) {
            const ssize_t n = read(m_answers, chunk, sizeof chunk);
            if (n <= 0)
                return {};
            m_buffer.append(chunk, n);
        }
        const qsizetype end = m_buffer.indexOf('\n');
        const QByteArray line = m_buffer.left(end);
        m_buffer.remove(0, end + 1);
        return QJsonDocument::fromJson(line).object();
    }

    [[noreturn]] static void serve(int commands, int answers, const Seed &seed,
                                   const Handler &handler)
    {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int argc = 1;
        char name[] = "devserver";
        char *argv[] = {name, nullptr};
        QCoreApplication app(argc, argv);
        DevServer::Server server;
        if (!server.listen())
            _exit(1);
        server.clearChannel();
        // Requests and frames are recorded for tests; here they would only pile up.
        QObject::connect(&server, &DevServer::Server::requestRecorded, &server,
                         [&server] { server.clearRequests(); });
        QObject::connect(&server, &DevServer::Server::frameReceived, &server,
                         [&server] { server.clearReceivedFrames(); });
        const Answer answer = [answers](const QJsonObject &object) { writeLine(answers, object); };
        answer({{"rest", server.restBaseUrl()},
                {"wss", server.wssUrl()},
                {"token", server.issueToken(12)},
                {"seeded", seed(server)}});
        QSocketNotifier notifier(commands, QSocketNotifier::Read);
        QByteArray buffer;
        QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
            char chunk[4096];
            const ssize_t n = read(commands, chunk, sizeof chunk);
            if (n <= 0) {
                QCoreApplication::quit();
                return;
            }
            buffer.append(chunk, n);
            for (qsizetype end; (end = buffer.indexOf('\n')) >= 0; buffer.remove(0, end + 1))
                handler(server, QJsonDocument::fromJson(buffer.left(end)).object(), answer);
        });
        app.exec();
        _exit(0);
    }

    pid_t m_pid = -1;
    int m_commands = -1;
    int m_answers = -1;
    QByteArray m_buffer;
};

// ---- runs in processes of their own, and the table of their medians

struct Figure
{
    enum Kind { Info, AtMost, AtLeast };
    const char *key;
    const char *label;
    Kind kind = Info;
    double target = 0;
};

inline int argument(int argc, char *argv[], int index, int fallback)
{
    return argc > index ? std::max(1, std::atoi(argv[index])) : fallback;
}

// The client's identity and style, as its main() sets them; after the
// application object exists.
inline void styleAsClient()
{
    QCoreApplication::setApplicationName(QStringLiteral("Quvela客服系统"));
    QCoreApplication::setOrganizationName(QStringLiteral("Quvela客服系统"));
    applyApplicationStyle();
    initResources();
}

// Runs `once` `runs` times, each in a fresh process (its own settings,
// service and baselines), and prints each figure's median over the runs and
// whether it meets its target. Targets never fail the program; a run that
// breaks (non-zero) does.
inline int repeat(const char *title, int runs, const QList<Figure> &figures,
                  const std::function<int(QJsonObject &)> &once)
{
    std::printf("%s; median of %d run%s\n", title, runs, runs == 1 ? "" : "s");
    std::fflush(stdout);
    QList<QJsonObject> results;
    for (int run = 1; run <= runs; ++run) {
        int fds[2];
        if (pipe(fds) != 0)
            return 2;
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            QJsonObject out;
            int status = 2;
            {
                QTemporaryDir home;
                isolateEnvironment(home);
                status = once(out);
            }
            const QByteArray json = QJsonDocument(out).toJson(QJsonDocument::Compact);
            if (write(fds[1], json.constData(), size_t(json.size())) != json.size())
                status = 2;
            std::fflush(nullptr);
            _exit(status);
        }
        close(fds[1]);
        QByteArray json;
        char chunk[4096];
        for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;)
            json.append(chunk, n);
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        if (pid < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "run %d failed\n", run);
            continue;
        }
        results.append(QJsonDocument::fromJson(json).object());
        std::fprintf(stderr, "run %d of %d done\n", run, runs);
    }

    std::printf("%-60s | %9s | %-34s | %-9s | %s\n", "figure", "median", "runs", "target", "met");
    std::printf("%s\n", QByteArray(60 + 9 + 34 + 9 + 16, '-').constData());
    for (const Figure &f : figures) {
        QList<double> samples;
        QByteArray each;
        for (const QJsonObject &r : std::as_const(results)) {
            if (!r.contains(QLatin1String(f.key)))
                continue;
            samples.append(r.value(QLatin1String(f.key)).toDouble());
            each += QByteArray::number(samples.last(), 'f', 1) + ' ';
        }
        const double m = samples.isEmpty() ? 0 : median(samples);
        const char *bound = f.kind == Figure::AtMost ? "<=" : ">=";
        const QByteArray target = f.kind == Figure::Info
            ? QByteArray()
            : bound + QByteArray(" ") + QByteArray::number(f.target);
        const char *met = samples.isEmpty() || f.kind == Figure::Info    ? ""
            : (f.kind == Figure::AtMost ? m <= f.target : m >= f.target) ? "yes"
                                                                         : "NO";
        std::printf("%-60s | %9s | %-34s | %-9s | %s\n", f.label,
                    samples.isEmpty() ? "-" : QByteArray::number(m, 'f', 1).constData(),
                    each.trimmed().constData(), target.constData(), met);
    }
    std::fflush(stdout);
    return results.size() == runs ? 0 : 1;
}

} // namespace Bench
