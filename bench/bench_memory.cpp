// Memory of the real main window at work, offscreen against the in-process
// stand-in service: 1,000 sessions listed (paged in as the agent scrolls),
// one conversation of 50 messages open, 10 of them pictures the service
// serves. Then every listed session is opened and left, one after another,
// twice over; what the first pass leaves behind is the cache of what was
// seen, anything the second pass adds is kept for nothing.
//
// The service runs in a child process of its own, so that what is measured
// is the client alone. Goals: <= 100 MiB with the conversation open, <= 10 MiB growth after the
// first pass.

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QIcon>
#include <QJsonObject>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <cstdio>
#include <malloc.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/applicationstyle.h"
#include "benchsupport.h"
#include "devserver/server.h"
#include "net/apiclient.h"
#include "testaccess.h"
#include "widgets/chatbubble.h"

namespace {

using namespace Bench;

constexpr int SessionCount = 1000;
constexpr int OpenMessages = 50;
constexpr int OpenImages = 10;
constexpr int OtherMessages = 6;

struct Rss
{
    double rss = 0;
    double hwm = 0;
};

// Resident and peak resident set of this process, MiB.
Rss readRss()
{
    QFile status(QStringLiteral("/proc/self/status"));
    Rss r;
    if (!status.open(QIODevice::ReadOnly))
        return r;
    for (const QByteArray &line : status.readAll().split('\n')) {
        const auto value = [&line] { return line.mid(6).trimmed().split(' ').value(0).toDouble(); };
        if (line.startsWith("VmRSS:"))
            r.rss = value() / 1024.0;
        else if (line.startsWith("VmHWM:"))
            r.hwm = value() / 1024.0;
    }
    return r;
}

void report(const char *what, const Rss &r)
{
    std::printf("%-52s | %8.1f | %8.1f\n", what, r.rss, r.hwm);
    std::fflush(stdout);
}

// The channel: session `openId` has the long conversation with pictures;
// every other has a few lines, every tenth of them a picture as well.
int seedChannel(DevServer::Server &server)
{
    const QString images = server.restBaseUrl().chopped(4) + QStringLiteral("/images/demo-%1.png");
    const QDateTime base(QDate(2026, 5, 1), QTime(8, 0));
    int openId = 0;
    for (int i = 0; i < SessionCount; ++i) {
        const int id = server.addSession(
            {{"visitor_name", QStringLiteral("访客%1").arg(i)},
             {"visitor_id", QStringLiteral("v%1").arg(100000 + i)},
             {"status", i % 5 ? "offline" : "online"},
             {"ip_address", QStringLiteral("10.0.%1.%2").arg(i / 250).arg(i % 250)},
             {"last_msg", QStringLiteral("您好，我想咨询一下订单 %1 的物流情况").arg(i)},
             {"last_time", base.addSecs(i * 60).toString(Qt::ISODate)},
             {"unread_count", i % 7 ? 0 : 2}});
        const bool open = i == 0;
        if (open)
            openId = id;
        const int count = open ? OpenMessages : OtherMessages;
        for (int m = 0; m < count; ++m) {
            const bool image
                = open ? m % (OpenMessages / OpenImages) == 0 : (i % 10 == 0 && m == 2);
            QJsonObject message {
                {"from_type", m % 2 ? "agent" : "visitor"},
                {"create_time", base.addSecs(i * 60 + m).toString(Qt::ISODate)},
                {"msg_type", image ? "image" : "text"},
                {"content",
                 image ? images.arg(1 + m % 4)
                       : QStringLiteral("第 %1 条：请问订单 %2 什么时候发货？谢谢").arg(m).arg(i)}};
            server.addMessage(id, message);
        }
    }
    return openId;
}

struct Service
{
    pid_t pid = -1;
    int openId = 0;
};

// Forks the stand-in service, seeded, before this process starts any Qt
// thread; the child answers until it is killed or this process ends. Its
// addresses and a token of agent 12 come back through a pipe.
bool startService(Service &service)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    service.pid = fork();
    if (service.pid == 0) {
        close(fds[0]);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int argc = 1;
        char name[] = "devserver";
        char *argv[] = {name, nullptr};
        QCoreApplication app(argc, argv);
        DevServer::Server server;
        if (!server.listen())
            _exit(1);
        server.clearChannel();
        const int openId = seedChannel(server);
        const QByteArray answer = server.restBaseUrl().toUtf8() + '\n' + server.wssUrl().toUtf8()
            + '\n' + server.issueToken(12).toUtf8() + '\n' + QByteArray::number(openId) + '\n';
        if (write(fds[1], answer.constData(), size_t(answer.size())) != answer.size())
            _exit(1);
        close(fds[1]);
        // Requests are recorded for tests; here they would only pile up.
        QObject::connect(&server, &DevServer::Server::requestRecorded, &server,
                         [&server] { server.clearRequests(); });
        QObject::connect(&server, &DevServer::Server::frameReceived, &server,
                         [&server] { server.clearReceivedFrames(); });
        app.exec();
        _exit(0);
    }
    close(fds[1]);
    if (service.pid < 0)
        return false;
    QByteArray answer;
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        answer.append(buffer, n);
    close(fds[0]);
    const QList<QByteArray> lines = answer.split('\n');
    if (lines.size() < 4) {
        std::fprintf(stderr, "stand-in service did not start\n");
        return false;
    }
    qputenv("ORVANTIS_API_URL", lines[0]);
    qputenv("ORVANTIS_WSS_URL", lines[1]);
    QSettings(QStringLiteral("orvantis"), QStringLiteral("config"))
        .setValue(QStringLiteral("token"), QString::fromUtf8(lines[2]));
    service.openId = lines[3].toInt();
    return true;
}

void stopService(const Service &service)
{
    if (service.pid <= 0)
        return;
    kill(service.pid, SIGKILL);
    waitpid(service.pid, nullptr, 0);
}

int imagesShown(const orvantis &window)
{
    int n = 0;
    for (ChatBubble *bubble : window.bubbles())
        n += bubble && !bubble->imageButton()->icon().isNull();
    return n;
}

// Opens `id` as a click on its row would, and waits for its history (and,
// when asked, its pictures).
bool openSession(orvantis &window, int id, int pictures = 0)
{
    OrvantisTestAccess::select(&window, id);
    return waitFor(
        [&] {
            return window.currentSession() == id && !window.api()->pendingRequestCount()
                && imagesShown(window) >= pictures;
        },
        10000);
}

// Bubbles and replies are released by deferred deletion.
void settle()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        drainEvents();
    }
}

} // namespace

int run(int argc, char *argv[], int openId);

int main(int argc, char *argv[])
{
    QTemporaryDir configHome;
    isolateEnvironment(configHome);
    Service service;
    if (!startService(service))
        return 1;
    const int openId = service.openId;
    const int status = run(argc, argv, openId);
    stopService(service);
    return status;
}

int run(int argc, char *argv[], int openId)
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Quvela客服系统"));
    QCoreApplication::setOrganizationName(QStringLiteral("Quvela客服系统"));
    applyApplicationStyle();
    initResources();

    std::printf("memory of the main window, MiB (offscreen; %d sessions, one conversation of %d "
                "messages with %d pictures)\n",
                SessionCount, OpenMessages, OpenImages);
    std::printf("%-52s | %8s | %8s\n", "", "VmRSS", "VmHWM");
    std::printf("-----------------------------------------------------+----------+---------\n");
    report("application styled, no window yet", readRss());

    orvantis window;
    if (!waitSignedIn(window))
        return 1;
    window.show();
    settle();
    report("signed in, first page listed", readRss());

    // Scrolled down until the whole channel is listed, as the agent would.
    QScrollBar *bar = OrvantisTestAccess::listArea(&window)->verticalScrollBar();
    const bool listed = waitFor(
        [&] {
            if (!window.api()->pendingRequestCount())
                bar->setValue(bar->maximum());
            return window.sessionList().size() >= SessionCount;
        },
        60000);
    if (!listed) {
        std::fprintf(stderr, "only %d sessions were listed\n", int(window.sessionList().size()));
        return 1;
    }
    bar->setValue(0);
    settle();
    report("1000 sessions listed", readRss());

    if (!openSession(window, openId, OpenImages)) {
        std::fprintf(stderr, "the conversation did not load with its pictures\n");
        return 1;
    }
    settle();
    const Rss open = readRss();
    report("conversation of 50 open, 10 pictures shown", open);

    // Every session opened and left in list order, then the long
    // conversation again, so that each pass ends where the first began.
    const QList<int> order = window.visibleSessionOrder();
    QList<Rss> afterPass;
    for (int pass = 1; pass <= 2; ++pass) {
        QElapsedTimer timer;
        timer.start();
        for (int id : order) {
            if (id == openId)
                continue;
            if (!openSession(window, id)) {
                std::fprintf(stderr, "session %d did not open\n", id);
                return 1;
            }
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        if (!openSession(window, openId, OpenImages)) {
            std::fprintf(stderr, "the conversation did not load again\n");
            return 1;
        }
        settle();
        afterPass.append(readRss());
        const QByteArray what = QStringLiteral("after opening all %1 (pass %2, %3 s)")
                                    .arg(order.size())
                                    .arg(pass)
                                    .arg(timer.elapsed() / 1000.0, 0, 'f', 1)
                                    .toUtf8();
        report(what.constData(), afterPass.last());
    }
    malloc_trim(0);
    report("the same, free heap returned to the system", readRss());

    std::printf("\nconversation open: %.1f MiB (goal <= 100)\n", open.rss);
    std::printf("growth over pass 1: %+.1f MiB, over pass 2: %+.1f MiB (goal after the first "
                "pass <= 10)\n",
                afterPass[0].rss - open.rss, afterPass[1].rss - afterPass[0].rss);
    return 0;
}
