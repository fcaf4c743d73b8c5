// Alerts: desktop notifications through a recorder standing in for the
// desktop's notification service on a private bus, waiting times on the
// rows, reminders and quiet mode.

#include "workspace_fixture.h"

#include "workspace/messagerules.h"

#include <QDBusConnection>
#include <QDBusMessage>

using namespace Fixture;

namespace {

const char *const notifications = "org.freedesktop.Notifications";
const char *const notificationsPath = "/org/freedesktop/Notifications";

} // namespace

// What the desktop's notification service was asked, one line per call:
// "notify <replaces> <summary>|<body>" and "close <id>".
class NotificationRecorder : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QStringList calls;
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "recorder");

    bool start()
    {
        return bus.registerObject(notificationsPath, this, QDBusConnection::ExportAllSlots)
            && bus.registerService(notifications);
    }
    void invoke(uint id)
    {
        QDBusMessage signal
            = QDBusMessage::createSignal(notificationsPath, notifications, "ActionInvoked");
        signal << id << QString("default");
        bus.send(signal);
    }

public slots:
    uint Notify(const QString &, uint replaces, const QString &, const QString &summary,
                const QString &body, const QStringList &actions, const QVariantMap &, int)
    {
        calls << QString("notify %1 %2|%3").arg(replaces).arg(summary, body);
        return replaces ? replaces : (actions.contains("default") ? ++m_next : 0);
    }
    void CloseNotification(uint id) { calls << QString("close %1").arg(id); }
    QStringList GetCapabilities() { return {"body", "actions"}; }

private:
    uint m_next = 0;
};

class TestAlerts : public QObject
{
    Q_OBJECT

    static QLabel *waitLabel(const Workspace &ws, int id)
    {
        return ws.row(id) ? ws.row(id)->findChild<QLabel *>("waitLabel") : nullptr;
    }

private slots:
    void waitingSince_data()
    {
        QTest::addColumn<QStringList>("senders"); // oldest first; "v" visitor, "a" agent
        QTest::addColumn<int>("since"); // index of the message waited on since, or -1
        QTest::newRow("nothing") << QStringList() << -1;
        QTest::newRow("answered") << QStringList {"v", "a"} << -1;
        QTest::newRow("one unanswered") << QStringList {"a", "v"} << 1;
        QTest::newRow("several after an answer") << QStringList {"v", "a", "v", "v"} << 2;
        QTest::newRow("never answered") << QStringList {"v", "v"} << 0;
    }
    void waitingSince()
    {
        QFETCH(QStringList, senders);
        QFETCH(int, since);
        const QDateTime start(QDate(2026, 5, 1), QTime(8, 0));
        QList<ChatMessage> messages;
        for (const QString &sender : senders) {
            ChatMessage msg;
            msg.senderType = sender == "a" ? "agent" : "visitor";
            msg.createdAt = start.addSecs(60 * messages.size());
            messages << msg;
        }
        QCOMPARE(visitorWaitingSince(messages, start.addDays(1)),
                 since < 0 ? QDateTime() : start.addSecs(60 * since));
        QCOMPARE(SessionListItem::waitedText(3661), "1:01:01");
        QCOMPARE(SessionListItem::waitedText(-5), "0:00");
    }

    // Away from the window, each session has one notification, replaced as
    // more arrive and withdrawn once read; its action opens the session.
    void notificationsPerSession()
    {
        NotificationRecorder recorder;
        QVERIFY(recorder.start());
        Workspace ws;
        const int a = ws.add("<b>a</b>"), b = ws.add("b");
        QVERIFY(ws.start());
        ws.w()->hide();
        ws.server.visitorSays(a, "one");
        QTRY_COMPARE(recorder.calls, QStringList {"notify 0 <b>a</b> 发来新消息|one"});
        ws.server.visitorSays(a, "<i>two</i> & more");
        ws.server.visitorSays(b, "hello");
        QTRY_COMPARE(recorder.calls.size(), 3);
        QCOMPARE(recorder.calls.mid(1),
                 (QStringList {
                     "notify 1 <b>a</b> 发来新消息（2 条未读）|&lt;i&gt;two&lt;/i&gt; &amp; more",
                     "notify 0 b 发来新消息|hello"}));

        recorder.invoke(1);
        QTRY_COMPARE(ws.w()->currentSession(), a);
        QVERIFY(ws.w()->isVisible());
        QTRY_VERIFY(recorder.calls.contains("close 1"));
        // Opened while its message waits to be shown: nothing pops up for it.
        ws.w()->hide();
        emit ws.w()->wss()->chatMessage(
            {{"session_id", b}, {"from_type", "visitor"}, {"content", "late"}});
        Access::select(ws.w(), b);
        ws.server.visitorSays(a, "after");
        QTRY_VERIFY(recorder.calls.last().startsWith("notify 0 <b>a</b>"));
        // The end of the sign-in takes the others away.
        ws.server.revokeTokens();
        ws.w()->api()->sendGetRequest("/agent/channel"); // meets a 401
        QTRY_VERIFY(recorder.calls.contains("close 3"));
    }

    // Quiet: no sound, no notification; unread counts and waiting times go
    // on, and the choice outlives a restart.
    void quietMode()
    {
        NotificationRecorder recorder;
        QVERIFY(recorder.start());
        Workspace ws;
        const int a = ws.add("a");
        QVERIFY(ws.start());
        ws.w()->hide();
        ws.w()->findChild<QPushButton *>("quietBtn")->click();
        const int sounds = ws.plays();
        ws.server.visitorSays(a, "anyone?");
        QTRY_COMPARE(ws.cell(a, 3), "1");
        QCOMPARE(ws.plays(), sounds);
        QVERIFY(recorder.calls.isEmpty());
        QVERIFY(waitLabel(ws, a)->text().startsWith("等待 0:0"));

        ws.window.reset();
        QVERIFY(ws.start());
        auto *quiet = ws.w()->findChild<QPushButton *>("quietBtn");
        QVERIFY(quiet->isChecked());
        QCOMPARE(quiet->text(), "免打扰中");
        quiet->click();
        ws.w()->hide();
        ws.server.visitorSays(a, "hello?");
        QTRY_COMPARE(recorder.calls.size(), 1);
        QCOMPARE(ws.plays(), sounds + 1);
    }

    // The row tells how long an online visitor has waited, in colour past the
    // thresholds, until an answer; a visitor nobody opens is reminded of.
    void waitingAndReminders()
    {
        NotificationRecorder recorder;
        QVERIFY(recorder.start());
        Workspace ws;
        QSettings().setValue("notify/wait_warn_seconds", 1);
        QSettings().setValue("notify/wait_alarm_seconds", 2);
        QSettings().setValue("notify/remind_seconds", 1);
        const int a = ws.add("a"), b = ws.add("b");
        QVERIFY(ws.start());
        QVERIFY(waitLabel(ws, a)->isHidden());
        ws.server.visitorSays(a, "hello?");
        ws.server.visitorSays(b, "hi");
        QTRY_VERIFY(waitLabel(ws, a)->isVisibleTo(ws.row(a)));
        const auto colour = [&](int id) {
            return waitLabel(ws, id)->palette().color(QPalette::WindowText).name();
        };
        QTRY_COMPARE(colour(a), "#d97706");
        QTRY_COMPARE(colour(a), "#e11d48");
        ws.w()->hide();
        QTRY_VERIFY(recorder.calls.filter("a 仍在等待回复|已等待 0:0").size() >= 1);
        QVERIFY(ws.plays() >= 3);

        // Answered: the wait is over, and so are the reminders.
        ws.w()->show();
        QVERIFY(ws.open(a));
        QTest::keyClicks(ws.w()->findChild<QTextEdit *>("messageEdit"), "here");
        QTest::keyClick(ws.w()->findChild<QTextEdit *>("messageEdit"), Qt::Key_Return);
        QTRY_VERIFY(waitLabel(ws, a)->isHidden());
        // Opened: no more reminders, though the visitor still waits.
        QVERIFY(ws.open(b));
        const int reminders = recorder.calls.filter("仍在等待回复").size(), sounds = ws.plays();
        // The tick that moves the waiting time on reminds: three seconds on,
        // a reminder would have come.
        const auto waited
            = [&] { return QTime::fromString(waitLabel(ws, b)->text().mid(3), "m:ss"); };
        const QTime opened = waited();
        QTRY_VERIFY(opened.isValid() && waited() >= opened.addSecs(3));
        QCOMPARE(recorder.calls.filter("仍在等待回复").size(), reminders);
        QCOMPARE(ws.plays(), sounds);
        QVERIFY(!waitLabel(ws, b)->isHidden());
        // Gone offline: nobody waits on screen.
        ws.server.visitorLeaves(b);
        QTRY_VERIFY(waitLabel(ws, b)->isHidden());
    }
};

ORVANTIS_TEST_MAIN(TestAlerts)
#include "tst_alerts.moc"
