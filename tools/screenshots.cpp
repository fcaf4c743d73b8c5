// Renders every window of the client into PNG files for the README: the
// login dialog, the main window with a conversation and a translation, a
// toast, the transfer dialog, the records dialog and the detail dialog.
// Runs against an in-process stand-in service; scripts/screenshots.sh runs
// it on a private desktop. Usage: orvantis-screenshots <folder>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <cstdio>

#include "app/applicationstyle.h"
#include "benchsupport.h"
#include "devserver/server.h"
#include "net/apiclient.h"
#include "shell/glasswindow.h"
#include "shell/logindialog.h"
#include "testaccess.h"
#include "widgets/chatbubble.h"
#include "widgets/chatdetaildialog.h"
#include "widgets/historydialog.h"
#include "widgets/toast.h"

namespace {

QString folder;
int failures = 0;

void save(QWidget *widget, const QString &name)
{
    Bench::drainEvents();
    const QString path = QDir(folder).filePath(name + QStringLiteral(".png"));
    const bool saved = widget && widget->grab().save(path);
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(path));
    failures += !saved;
}

template<typename T> T *topLevel()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *found = qobject_cast<T *>(w); found && found->isVisible())
            return found;
    return nullptr;
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    Bench::isolateEnvironment(home);
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: orvantis-screenshots <folder>\n");
        return 2;
    }
    folder = QString::fromLocal8Bit(argv[1]);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    QDir().mkpath(folder);
    applyApplicationStyle();
    // The pictures show the glass as a compositing desktop does.
    overrideDesktopComposites(true);

    DevServer::Server server;
    if (!Bench::prepareService(server))
        return 1;
    server.seedDemoChannel();
    server.seedReceptionArchive(400);
    server.setAgentOnline(13, true);

    {
        ApiClient api;
        LoginDialog login(&api);
        login.show();
        Bench::waitFor([&] { return login.isVisible(); }, 5000);
        save(&login, QStringLiteral("login"));
    }

    orvantis window;
    if (!Bench::waitSignedIn(window))
        return 1;
    window.show();
    // A conversation with an English visitor message, translated.
    const QList<ChatSession> sessions = window.sessionList();
    int english = sessions.value(0).id;
    for (const ChatSession &s : sessions) {
        if (s.online && s.lastMessage.contains(QStringLiteral("shipping"))) {
            english = s.id;
            break;
        }
    }
    OrvantisTestAccess::select(&window, english);
    Bench::waitFor([&] { return !window.bubbles().isEmpty(); }, 5000);
    Bench::waitFor([] { return false; }, 300); // scrolled to the newest
    for (ChatBubble *bubble : window.bubbles()) {
        if (bubble->translateButton() && bubble->translateButton()->isVisibleTo(bubble)) {
            bubble->translateButton()->click();
            Bench::waitFor([&] { return bubble->translationLabel()->isVisibleTo(bubble); }, 5000);
            break;
        }
    }
    Bench::waitFor([&] { return window.api()->pendingRequestCount() == 0; }, 5000);
    save(&window, QStringLiteral("main-window"));

    // A visitor of another session writes: a toast in the corner.
    server.visitorSays(sessions.value(1).id == english ? sessions.value(2).id
                                                       : sessions.value(1).id,
                       QStringLiteral("请问今天能发货吗？"));
    Bench::waitFor([] { return !activeToasts().isEmpty(); }, 5000);
    Bench::waitFor([] { return false; }, 600); // let it slide in
    save(activeToasts().value(0), QStringLiteral("toast"));
    dismissAllToasts();

    // The transfer dialog runs modally once the colleagues are known: it is
    // taken and closed from a timer.
    bool transferShown = false;
    QTimer poll;
    poll.callOnTimeout([&] {
        auto *dialog = topLevel<QDialog>();
        if (!dialog || dialog->windowTitle() != QStringLiteral("转接会话"))
            return;
        Bench::waitFor([] { return false; }, 300);
        save(dialog, QStringLiteral("transfer-dialog"));
        transferShown = true;
        poll.stop();
        dialog->reject();
    });
    poll.start(50);
    OrvantisTestAccess::transfer(&window);
    Bench::waitFor([&] { return transferShown; }, 5000);

    window.findChild<QPushButton *>(QStringLiteral("historyBtn"))->click();
    auto *records = window.findChild<HistoryDialog *>();
    Bench::waitFor([&] { return records && records->findChild<QTableWidget *>()->rowCount(); },
                   5000);
    save(records, QStringLiteral("records-dialog"));
    records->findChild<QTableWidget *>()->selectRow(0);
    QMetaObject::invokeMethod(records, "onTableDoubleClicked", Q_ARG(int, 0), Q_ARG(int, 0));
    auto *detail = records ? records->findChild<ChatDetailDialog *>() : nullptr;
    Bench::waitFor([&] { return detail && detail->findChildren<ChatBubble *>().size(); }, 5000);
    Bench::waitFor([] { return false; }, 300);
    save(detail, QStringLiteral("detail-dialog"));
    return failures ? 1 : 0;
}
