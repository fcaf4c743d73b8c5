// The reception records and chat detail dialogs opened from the real main
// window against the stand-in service: paging, answers out of order, history
// pages, failures, what a row shows, the keyboard, and a sign-in that ends
// while they are open.

#include "workspace_fixture.h"

#include "widgets/chatdetaildialog.h"
#include "widgets/historydialog.h"

using namespace Fixture;

namespace {

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
    QTableWidget *table() const { return dialog->findChild<QTableWidget *>("recordTable"); }
    ChatDetailDialog *detail() const { return dialog->findChild<ChatDetailDialog *>(); }
    // Page text, the page buttons (p, n or -) and the number of rows.
    QString pager() const
    {
        auto *next = dialog->findChild<QPushButton *>("nextBtn");
        return QTextDocumentFragment::fromHtml(labelText(dialog, "pageInfoLabel")).toPlainText()
            + (dialog->findChild<QPushButton *>("prevBtn")->isEnabled() ? "|p" : "|-")
            + (next->isEnabled() ? "n|" : "-|") + QString::number(table()->rowCount());
    }
    QStringList column(int c) const
    {
        QStringList out;
        for (int row = 0; row < table()->rowCount(); ++row)
            out << table()->item(row, c)->text();
        return out;
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
    static QMessageBox *errorBox()
    {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
                return box->windowTitle() == "错误" ? box : nullptr;
        return nullptr;
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

    void paging_data()
    {
        QTest::addColumn<int>("sessions");
        QTest::addColumn<QByteArray>("reply"); // raw answer to every records request when set
        QTest::addColumn<QStringList>("pagers"); // opened, after PageDown, after Alt+Left
        const auto one = [](const QString &p) { return QStringList {p, p, p}; };
        QTest::newRow("none") << 0 << QByteArray() << one("第 1 页 / 共 1 页（共 0 条）|--|0");
        QTest::newRow("twenty") << 20 << QByteArray() << one("第 1 页 / 共 1 页（共 20 条）|--|20");
        QTest::newRow("twenty-one") << 21 << QByteArray()
                                    << QStringList {"第 1 页 / 共 2 页（共 21 条）|-n|20",
                                                    "第 2 页 / 共 2 页（共 21 条）|p-|1",
                                                    "第 1 页 / 共 2 页（共 21 条）|-n|20"};
        const QByteArray huge = R"({"code":200,"data":{"list":[],"total":2147483647}})";
        QTest::newRow("huge total")
            << 0 << huge
            << QStringList {"第 1 页 / 共 107374183 页（共 2147483647 条）|-n|0",
                            "第 2 页 / 共 107374183 页（共 2147483647 条）|pn|0",
                            "第 1 页 / 共 107374183 页（共 2147483647 条）|-n|0"};
        QTest::newRow("negative total") << 0 << QByteArray(R"({"code":200,"data":{"total":-5}})")
                                        << one("第 1 页 / 共 1 页（共 0 条）|--|0");
    }

    void paging()
    {
        QFETCH(int, sessions);
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, pagers);
        Records ws;
        for (int i = 0; i < sessions; ++i)
            ws.add(QString("v%1").arg(i), false, 0, i);
        if (!reply.isEmpty())
            ws.server.setRawReply("/chat/records", 200, reply, 3);
        QVERIFY(ws.openRecords());
        QStringList seen {ws.pager()};
        for (const auto &keys :
             {QKeySequence(Qt::Key_PageDown), QKeySequence(Qt::ALT | Qt::Key_Left)}) {
            QTest::keySequence(ws.table(), keys);
            QVERIFY(ws.idle());
            seen << ws.pager();
        }
        QCOMPARE(seen, pagers);
    }

    void rows_data()
    {
        QTest::addColumn<QJsonObject>("record");
        QTest::addColumn<QString>("row"); // name|last message|status|count|time
        const qint64 epoch = QDateTime(QDate(2025, 3, 1), QTime(9, 5)).toSecsSinceEpoch();
        QTest::newRow("markup, epoch") << QJsonObject {{"visitor_name", "<b>x</b>"},
                                                       {"last_msg", "<i>y</i>"},
                                                       {"status", "online"},
                                                       {"message_count", 3},
                                                       {"last_time", epoch}}
                                       << "<b>x</b>|<i>y</i>|在线|3|2025-03-01 09:05";
        QTest::newRow("long message, ISO, count as text")
            << QJsonObject {{"visitor_name", "Anna"},
                            {"last_msg", QString(29, 'a') + "😀b"},
                            {"status", "closed"},
                            {"message_count", "12"},
                            {"last_time", "2025-03-01T09:05:00"}}
            << "Anna|" + QString(29, 'a') + "...|已结束|12|2025-03-01 09:05";
        QTest::newRow("odd status, creation time")
            << QJsonObject {{"visitor_id", 123456789012LL},
                            {"status", "Online"},
                            {"last_time", ""},
                            {"created_at", "2025-03-01T09:05:00"}}
            << "6789012||离线|0|2025-03-01 09:05";
        QTest::newRow("no time at all")
            << QJsonObject {{"visitor_name", 42}, {"last_time", "0"}} << "42||离线|0|-";
        QTest::newRow("beyond any date")
            << QJsonObject {{"last_time", "99999999999999999"}} << "访客||离线|0|-";
    }

    void rows()
    {
        QFETCH(QJsonObject, record);
        Records ws;
        const QJsonObject data {{"list", QJsonArray {record}}, {"total", 1}};
        ws.server.setRawReply("/chat/records", 200,
                              QJsonDocument(QJsonObject {{"code", 200}, {"data", data}}).toJson());
        QVERIFY(ws.openRecords());
        QStringList row;
        for (int c = 0; c < 5; ++c)
            row << ws.column(c).value(0);
        QTEST(row.join('|'), "row");
    }

    void searchAnswersOutOfOrder()
    {
        Records ws;
        for (const char *name : {"alice", "albert", "bob", "bobby", "carl"})
            ws.add(name, true, 0, int(qstrlen(name)));
        QVERIFY(ws.openRecords());
        auto *search = ws.dialog->findChild<QLineEdit *>("searchEdit");
        auto *filter = ws.dialog->findChild<QComboBox *>("statusCombo");
        // The older request is answered last each time.
        ws.server.delayReplies("/chat/records", 400);
        search->setText("b");
        search->setText("al");
        QTest::qWait(600);
        QCOMPARE(ws.column(0), (QStringList {"albert", "alice"}));
        ws.server.delayReplies("/chat/records", 400);
        filter->setCurrentIndex(2); // 已完成: none of them
        search->clear();
        QTest::qWait(600);
        QCOMPARE(ws.column(0), QStringList());
    }

    void detailPages_data()
    {
        QTest::addColumn<int>("messages");
        QTest::addColumn<int>("pages");
        QTest::newRow("empty") << 0 << 1;
        QTest::newRow("one full page") << 50 << 1;
        QTest::newRow("three pages") << 120 << 3;
    }

    void detailPages()
    {
        QFETCH(int, messages);
        QFETCH(int, pages);
        Records ws;
        const int id = ws.add("talk");
        const int other = ws.add("other");
        ws.server.addMessage(other, {{"content", "elsewhere"}});
        const QStringList types {"agent", "admin", "visitor", "Agent", ""};
        QStringList expected;
        for (int i = 1; i <= messages; ++i) {
            const QString type = types.at(i % 5);
            ws.server.addMessage(id, {{"content", QString("m%1").arg(i)}, {"from_type", type}});
            expected << (type.startsWith('a') ? "me:m" : "m") + QString::number(i);
        }
        QVERIFY(ws.openRecords());
        ws.table()->selectRow(1);
        QTest::keyClick(ws.table(), Qt::Key_Return);
        QTRY_VERIFY(ws.detail() && ws.detail()->isVisible());
        QVERIFY(ws.idle());
        auto *more = ws.detail()->findChild<QPushButton *>("loadMoreBtn");
        // Older pages: PageUp at the top, then Alt+Up.
        for (int page = 2; page <= pages; ++page) {
            QCOMPARE(ws.bubbles(), expected.mid(messages - (page - 1) * 50));
            QTest::keySequence(ws.detail()->findChild<QScrollArea *>("chatScrollArea"),
                               page == 2 ? QKeySequence(Qt::Key_PageUp)
                                         : QKeySequence(Qt::ALT | Qt::Key_Up));
            QVERIFY(ws.idle());
        }
        // Answers the dialog did not ask for show nothing.
        ws.w()->api()->getHistory(other, 1);
        ws.w()->api()->getHistory(id, 1);
        QVERIFY(ws.idle());
        QCOMPARE(ws.bubbles(), expected);
        QCOMPARE(more->text() + (more->isEnabled() ? "+" : "-"), "没有更多了-");
        QCOMPARE(
            QTextDocumentFragment::fromHtml(labelText(ws.detail(), "pageInfoLabel")).toPlainText(),
            QString("共 %1 条消息").arg(messages));
    }

    void errors()
    {
        Records ws;
        const int id = ws.add("talk");
        ws.server.addMessage(id, {{"content", "hello"}});
        QVERIFY(ws.openRecords());
        // Someone else's failure is not this dialog's business.
        ws.w()->api()->sendGetRequest("/no/such/route");
        QVERIFY(ws.idle());
        QTest::qWait(50);
        QVERIFY(!Records::errorBox());
        ws.server.injectFault("/chat/records", StandIn::Fault::Refuse);
        ws.dialog->findChild<QPushButton *>("refreshBtn")->click();
        QTRY_VERIFY(Records::errorBox());
        QCOMPARE(Records::errorBox()->text(), "服务暂不可用");
        Records::errorBox()->button(QMessageBox::Ok)->click();
        // A failed first history page is asked for again by "加载更多".
        ws.server.injectFault("/chat/history", StandIn::Fault::Refuse);
        ws.dialog->onViewDetail(id);
        QTRY_VERIFY(Records::errorBox() && Records::errorBox()->parent() == ws.detail());
        Records::errorBox()->close();
        ws.detail()->findChild<QPushButton *>("loadMoreBtn")->click();
        QVERIFY(ws.idle());
        QCOMPARE(ws.bubbles(), QStringList {"hello"});
        QCOMPARE(ws.requests("/chat/history", "page=1"), 2);
    }

    void keyboard()
    {
        Records ws;
        ws.add("one");
        QVERIFY(ws.openRecords());
        auto *search = ws.dialog->findChild<QLineEdit *>("searchEdit");
        search->setFocus();
        // Return: on to the results, then open; Escape: close, then close again.
        const QStringList expected {"table", "detail", "table", "closed"};
        QStringList seen;
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Return, Qt::Key_Escape, Qt::Key_Escape}) {
            QWidget *target = seen.isEmpty() ? search
                : seen.last() == "table"     ? ws.table()
                : seen.last() == "detail"    ? static_cast<QWidget *>(ws.detail())
                                             : ws.dialog.data();
            QTest::keyClick(target, key);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            seen << (!ws.dialog                                                    ? "closed"
                         : ws.detail()                                             ? "detail"
                         : ws.table()->hasFocus() && ws.table()->currentRow() == 0 ? "table"
                                                                                   : "elsewhere");
        }
        QCOMPARE(seen, expected);
    }

    void signInEndsWhileOpen()
    {
        for (const bool expired : {false, true}) {
            Records ws;
            const int id = ws.add("talk");
            Answerer answers; // the login dialog that follows is cancelled
            QVERIFY(ws.openRecords());
            ws.dialog->onViewDetail(id);
            QTRY_VERIFY(ws.detail() && ws.detail()->isVisible());
            if (expired) {
                ws.server.revokeTokens();
                ws.dialog->findChild<QPushButton *>("refreshBtn")->click();
            } else {
                ws.w()->performLogout();
            }
            QTRY_VERIFY(!ws.dialog);
            QTest::qWait(50);
            QVERIFY(!Records::errorBox());
            cleanup();
        }
    }
};

ORVANTIS_TEST_MAIN(TestHistoryDialog)
#include "tst_historydialog.moc"
