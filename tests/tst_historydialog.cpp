// The reception records and chat detail dialogs opened from the real main
// window against the stand-in service: paging, late answers, what a row
// shows, history pages, failures, the keyboard, and a sign-in that ends while
// they are open.

#include "workspace_fixture.h"

#include "widgets/chatdetaildialog.h"
#include "widgets/historydialog.h"

using namespace Fixture;

namespace {

QString plain(const QWidget *w, const char *label)
{
    return QTextDocumentFragment::fromHtml(labelText(w, label)).toPlainText();
}

QMessageBox *errorBox()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
            return box->windowTitle() == "错误" ? box : nullptr;
    return nullptr;
}

struct Records : Workspace
{
    QPointer<HistoryDialog> dialog;

    bool openRecords()
    {
        if (!start())
            return false;
        w()->findChild<QPushButton *>("historyBtn")->click();
        dialog = w()->findChild<HistoryDialog *>();
        return dialog && QTest::qWaitForWindowActive(dialog) && idle();
    }
    template<typename T> T *child(const char *name) const { return dialog->findChild<T *>(name); }
    QTableWidget *table() const { return child<QTableWidget>("recordTable"); }
    ChatDetailDialog *detail() const { return dialog->findChild<ChatDetailDialog *>(); }
    // Page text|page buttons (p, n or -)|rows|the first row's first five cells.
    QString shown() const
    {
        QStringList cells;
        for (int c = 0; c < 5 && table()->rowCount(); ++c)
            cells << table()->item(0, c)->text();
        return plain(dialog, "pageInfoLabel")
            + (child<QPushButton>("prevBtn")->isEnabled() ? "|p" : "|-")
            + (child<QPushButton>("nextBtn")->isEnabled() ? "n|" : "-|")
            + QString::number(table()->rowCount()) + '|' + cells.join('|');
    }
    // Bubbles top to bottom, "me:" on the agent's side.
    QStringList bubbles() const
    {
        QStringList out;
        QLayout *column = detail()->findChild<QLayout *>("chatContentLayout");
        for (int i = 0; i < column->count(); ++i)
            if (auto *b = qobject_cast<ChatBubble *>(column->itemAt(i)->widget()))
                out << QString(b->recallButton()->isVisibleTo(b) ? "recall:" : "")
                        + (b->isFromSelf() ? "me:" : "") + b->contentLabel()->text();
        return out;
    }
};

} // namespace

class TestHistoryDialog : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::removePostedEvents(qApp, QEvent::Quit);
    }

    // Per row: sessions, the raw records answer (list and total) when set, and
    // what the pager and the first row show opened and after PageDown (empty:
    // the same); Alt+Left is back on the first page.
    void records_data()
    {
        QTest::addColumn<int>("sessions");
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("next");
        const QString none = "第 1 页 / 共 1 页（共 0 条）|--|0|";
        const QString huge = "页 / 共 107374183 页（共 2147483647 条）|";
        const QString one = "第 1 页 / 共 1 页（共 1 条）|--|1|";
        const QList<std::tuple<const char *, int, QByteArray, QString, QString>> rows {
            {"none", 0, "", none, ""},
            {"one full page", 20, "",
             "第 1 页 / 共 1 页（共 20 条）|--|20|v19||离线|0|2026-05-01 08:19", ""},
            {"two pages", 21, "",
             "第 1 页 / 共 2 页（共 21 条）|-n|20|v20||离线|0|2026-05-01 08:20",
             "第 2 页 / 共 2 页（共 21 条）|p-|1|v0||离线|0|2026-05-01 08:00"},
            {"largest total", 0, R"("list":[],"total":2147483647)", "第 1 " + huge + "-n|0|",
             "第 2 " + huge + "pn|0|"},
            {"negative total", 0, R"("total":-5)", none, ""},
            // What a row shows of records of every shape.
            {"markup, an epoch", 0,
             R"("total":1,"list":[{"visitor_name":"<b>x</b>","last_msg":"<i>y</i>","status":"online","message_count":3,"last_time":1740819900}])",
             one + "<b>x</b>|<i>y</i>|在线|3|"
                 + QDateTime::fromSecsSinceEpoch(1740819900).toString("yyyy-MM-dd HH:mm"),
             ""},
            {"long message, ISO time, count as text", 0,
             R"("total":1,"list":[{"visitor_name":"Anna","last_msg":"12345678901234567890123456789😀b","status":"closed","message_count":"12","last_time":"2025-03-01T09:05:00"}])",
             one + "Anna|12345678901234567890123456789...|已结束|12|2025-03-01 09:05", ""},
            {"odd status, creation time", 0,
             R"("total":1,"list":[{"visitor_id":123456789012,"status":"Online","last_time":"","created_at":"2025-03-01T09:05:00"}])",
             one + "6789012||离线|0|2025-03-01 09:05", ""},
            {"time beyond any date", 0,
             R"("total":1,"list":[{"visitor_name":42,"last_time":"99999999999999999"}])",
             one + "42||离线|0|-", ""}};
        for (const auto &[name, sessions, list, first, next] : rows)
            QTest::newRow(name) << sessions << list << first << next;
    }
    void records()
    {
        QFETCH(int, sessions);
        QFETCH(QByteArray, list);
        QFETCH(QString, first);
        QFETCH(QString, next);
        Records ws;
        for (int i = 0; i < sessions; ++i)
            ws.add(QString("v%1").arg(i), false, 0, i);
        if (!list.isEmpty())
            ws.server.setRawReply("/chat/records", 200, R"({"code":200,"data":{)" + list + "}}", 3);
        QVERIFY(ws.openRecords());
        QCOMPARE(ws.shown(), first);
        QTest::keyClick(ws.table(), Qt::Key_PageDown);
        QVERIFY(ws.idle());
        QCOMPARE(ws.shown(), next.isEmpty() ? first : next);
        QTest::keyClick(ws.table(), Qt::Key_Left, Qt::AltModifier);
        QVERIFY(ws.idle());
        QCOMPARE(ws.shown(), first);
    }

    void detailPages_data()
    {
        QTest::addColumn<int>("messages");
        QTest::newRow("no messages") << 0;
        QTest::newRow("one full page") << 50;
        QTest::newRow("three pages") << 120;
    }
    void detailPages()
    {
        QFETCH(int, messages);
        Records ws;
        const int id = ws.add("talk");
        const int other = ws.add("other");
        ws.server.addMessage(other, {{"content", "elsewhere"}});
        const QStringList types {"agent", "admin", "visitor", "Agent", ""};
        QStringList expected;
        for (int i = 1; i <= messages; ++i) {
            ws.server.addMessage(id,
                                 {{"content", QString("m%1").arg(i)}, {"from_type", types[i % 5]}});
            expected << (i % 5 < 2 ? "me:m" : "m") + QString::number(i);
        }
        QVERIFY(ws.openRecords());
        ws.table()->selectRow(1);
        QTest::keyClick(ws.table(), Qt::Key_Return);
        QTRY_VERIFY(ws.detail() && ws.detail()->isVisible());
        QVERIFY(ws.idle());
        // Older pages: PageUp at the top, then Alt+Up.
        auto *area = ws.detail()->findChild<QScrollArea *>("chatScrollArea");
        for (int page = 2; (page - 1) * 50 < messages; ++page) {
            QCOMPARE(ws.bubbles(), expected.mid(messages - (page - 1) * 50));
            QTest::keySequence(area,
                               page == 2 ? QKeySequence(Qt::Key_PageUp)
                                         : QKeySequence(Qt::ALT | Qt::Key_Up));
            QVERIFY(ws.idle());
        }
        // Answers the dialog did not ask for show nothing.
        ws.w()->api()->getHistory(other, 1);
        ws.w()->api()->getHistory(id, 1);
        QVERIFY(ws.idle());
        QCOMPARE(ws.bubbles(), expected);
        auto *more = ws.detail()->findChild<QPushButton *>("loadMoreBtn");
        QCOMPARE(more->text() + (more->isEnabled() ? "+" : "-"), "没有更多了-");
        QCOMPARE(plain(ws.detail(), "pageInfoLabel"), QString("共 %1 条消息").arg(messages));
        // Escape closes the detail, then the records.
        QTest::keyClick(area, Qt::Key_Escape);
        QTRY_VERIFY(!ws.detail());
        QTest::keyClick(ws.table(), Qt::Key_Escape);
        QTRY_VERIFY(!ws.dialog);
    }

    // Late answers to an older search are dropped; only the dialog's own
    // failures are reported.
    void lateAnswersAndFailures()
    {
        Records ws;
        for (const char *name : {"alice", "albert", "bob", "carl"})
            ws.add(name, false, 0, int(qstrlen(name)));
        QVERIFY(ws.openRecords());
        QCOMPARE(labelText(ws.dialog, "titleBarCaption"), "接待记录");
        // The older search is answered last.
        ws.server.delayReplies("/chat/records", 400);
        ws.child<QLineEdit>("searchEdit")->setText("bo");
        ws.child<QLineEdit>("searchEdit")->setText("al");
        // Both answers are in, the one nobody waits for any more too.
        QTRY_VERIFY(ws.w()->api()->findChildren<QNetworkReply *>().isEmpty());
        QCOMPARE(ws.shown().section('|', 2, 3), "2|albert");
        const int id = ws.add("talk");
        ws.server.addMessage(id, {{"content", "hello"}});
        // Someone else's failure is not this dialog's business.
        ws.w()->api()->sendGetRequest("/no/such/route");
        QVERIFY(ws.idle());
        QVERIFY(!errorBox());
        ws.server.injectFault("/chat/records", DevServer::Fault::Refuse);
        ws.child<QPushButton>("refreshBtn")->click();
        QTRY_VERIFY(errorBox());
        QCOMPARE(errorBox()->text(), "服务暂不可用");
        errorBox()->button(QMessageBox::Ok)->click();
        // A failed first history page is asked for again by "加载更多".
        ws.server.injectFault("/chat/history", DevServer::Fault::Refuse);
        ws.dialog->onViewDetail(id);
        QTRY_VERIFY(errorBox() && errorBox()->parent() == ws.detail());
        errorBox()->close();
        ws.detail()->findChild<QPushButton *>("loadMoreBtn")->click();
        QVERIFY(ws.idle());
        QCOMPARE(ws.bubbles(), QStringList {"hello"});
    }

    void signInEndsWhileOpen_data()
    {
        QTest::addColumn<bool>("expired");
        QTest::newRow("signed out") << false;
        QTest::newRow("expired") << true;
    }
    void signInEndsWhileOpen()
    {
        QFETCH(bool, expired);
        Records ws;
        Answerer answers; // the login dialog that follows is cancelled
        QVERIFY(ws.openRecords());
        ws.dialog->onViewDetail(ws.add("talk"));
        QTRY_VERIFY(ws.detail() && ws.detail()->isVisible());
        if (expired)
            ws.server.revokeTokens();
        expired ? ws.child<QPushButton>("refreshBtn")->click() : ws.w()->performLogout();
        QTRY_VERIFY(!ws.dialog);
        QVERIFY(ws.idle());
        QVERIFY(!errorBox());
    }
};

ORVANTIS_TEST_MAIN(TestHistoryDialog)
#include "tst_historydialog.moc"
