// The agent's reply library: its file, imports, "/" search, variables, and
// the keys through the popup in the real window.

#include "workspace_fixture.h"

#include "widgets/quickreplybar.h"
#include "widgets/replycompleter.h"
#include "widgets/replylibrary.h"
#include "widgets/replylibrarydialog.h"

#include <sys/stat.h>

using namespace Fixture;

namespace {

int modeOf(const QString &path)
{
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 0777) : -1;
}

const QList<Reply> sample {{"问候", "hi", "您好，请问有什么可以帮您？"},
                           {"Shipping time", "ship", "Orders ship within 48 hours."},
                           {"退款说明", "tk", "退款将在 3 个工作日内原路返回"},
                           {"Hi there", "", "Hello!"},
                           {"物流查询", "wl", "请提供订单号，我为您查询物流"},
                           {"发货", "shipping", "我们会尽快为您发货"}};

// Typed as an input method hands over text: keyClicks takes Latin-1 only.
void type(QWidget *widget, const QString &text)
{
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

// JSON written with single quotes, which are not in these texts.
QByteArray j(const char *text)
{
    return QByteArray(text).replace('\'', '"');
}

QByteArray longEntry(int length)
{
    return QJsonDocument(QJsonObject {{"text", QString("x").repeated(length)}}).toJson();
}

QStringList titles(const QList<Reply> &replies)
{
    QStringList out;
    for (const Reply &r : replies)
        out << r.title;
    return out;
}

} // namespace

class TestReplyLibrary : public QObject
{
    Q_OBJECT

private slots:
    // First use brings the strip's five phrases and writes them privately;
    // what is saved comes back in its order, per agent.
    void storage()
    {
        const QString path = ReplyLibrary::filePath(7);
        QVERIFY(!QFile::exists(path));
        QCOMPARE(titles(ReplyLibrary::load(7)),
                 QStringList({"您好，请问有什么可以帮您？", "请稍等，我为您查询",
                              "感谢您的耐心等待", "还有其他问题吗？", "祝您生活愉快！"}));
        QCOMPARE(modeOf(path), 0600);
        QCOMPARE(modeOf(QFileInfo(path).path()), 0700);
        QList<Reply> reordered = sample;
        reordered.swapItemsAt(0, 5);
        QVERIFY(ReplyLibrary::save(7, reordered));
        QCOMPARE(ReplyLibrary::load(7), reordered);
        QCOMPARE(ReplyLibrary::load(8), ReplyLibrary::defaults());
        // A damaged file is left for the agent; the defaults serve meanwhile.
        QFile damaged(path);
        QVERIFY(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate) && damaged.write("{"));
        damaged.close();
        QCOMPARE(ReplyLibrary::load(7), ReplyLibrary::defaults());
        QCOMPARE(QFileInfo(path).size(), 1);
    }

    void import_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("added");
        const auto lib = [](const QByteArray &entries) {
            return j("{'format':'orvantis-replies','replies':[") + entries + "]}";
        };
        QByteArray many = j("{'replies':[");
        for (int i = 0; i <= ReplyLibrary::maxReplies; ++i)
            many += QByteArray(i ? "," : "") + j("{'text':'t") + QByteArray::number(i) + j("'}");
        const QString invalid = "导入失败：不是有效的快捷回复文件";
        const auto row = [](const char *name, const QByteArray &file, const QString &message,
                            const QStringList &added = {}) {
            QTest::newRow(name) << file << message << added;
        };
        row("not JSON", "title,text\n问候,您好", invalid);
        row("array at the top", j("[{'text':'a'}]"), invalid);
        row("another format", j("{'format':'x','replies':[]}"), invalid);
        row("entry not an object", lib(j("{'text':'a'},'b'")), invalid);
        row("text a number", lib(j("{'title':'a','text':5}")), invalid);
        row("missing text", lib(j("{'text':'a'},{'title':'b'}")), invalid);
        row("blank text", lib(j("{'text':'a'},{'text':'  '}")), "导入失败：第 2 条回复没有内容");
        row("text too long", lib(longEntry(ReplyLibrary::maxTextLength + 1)),
            "导入失败：第 1 条回复内容超过 2000 字");
        row("too many replies", many + "]}", "导入失败：回复超过 5000 条");
        row("over 2 MiB", lib(longEntry(3 << 20)), "导入失败：文件超过 2 MiB");
        row("title from text, repeats skipped",
            lib(j("{'text':'  第一行\\n第二行 "
                  "'},{'title':'问候','shortcut':'hi','text':'您好，请问有什么可以帮您？'}")),
            "已导入 1 条回复，跳过 1 条重复", {"第一行 第二行"});
    }

    // Through the dialog: a refused file changes nothing and says why.
    void import()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, message);
        QFETCH(QStringList, added);
        QTemporaryFile out;
        QVERIFY(out.open() && out.write(file) == file.size() && out.flush());
        QWidget owner;
        auto *dialog = new ReplyLibraryDialog(sample, &owner);
        dialog->importFile(out.fileName());
        QCOMPARE(labelText(dialog, "messageLabel"), message);
        QCOMPARE(titles(dialog->replies()), titles(sample) + added);
    }

    // An export reads back whole; a path that cannot be written says so.
    void exportFile()
    {
        QTemporaryDir dir;
        QWidget owner;
        auto *dialog = new ReplyLibraryDialog(sample, &owner);
        dialog->exportFile(dir.filePath("missing/replies.json"));
        QCOMPARE(labelText(dialog, "messageLabel"), QString("导出失败：无法写入文件"));
        dialog->exportFile(dir.filePath("replies.json"));
        QCOMPARE(labelText(dialog, "messageLabel"), QString("已导出 6 条回复"));
        auto *empty = new ReplyLibraryDialog({}, &owner);
        empty->importFile(dir.filePath("replies.json"));
        QCOMPARE(titles(empty->replies()), titles(sample));
    }

    void matching_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("empty query lists all in order") << " " << titles(sample);
        QTest::newRow("Chinese in texts, library order")
            << "为您" << QStringList({"物流查询", "发货"});
        QTest::newRow("Latin ignores case") << "SHIP" << QStringList({"Shipping time", "发货"});
        QTest::newRow("exact shortcut, title prefix, title or shortcut contains")
            << "hi" << QStringList({"问候", "Hi there", "Shipping time", "发货"});
        QTest::newRow("shortcut prefix before title contains")
            << "t" << QStringList({"退款说明", "Shipping time", "Hi there"});
        QTest::newRow("text only") << "48 HOURS" << QStringList({"Shipping time"});
        QTest::newRow("no match") << "zzz" << QStringList();
    }

    void matching()
    {
        QFETCH(QString, query);
        QFETCH(QStringList, expected);
        QStringList found;
        for (int i : matchReplies(sample, query, 50))
            found << sample.at(i).title;
        QCOMPARE(found, expected);
        QCOMPARE(matchReplies(sample, query, 1).size(), qMin<int>(expected.size(), 1));
    }

    void variables_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("visitor");
        QTest::addColumn<QString>("filled");
        const char *const rows[][4]
            = {{"visitor", "{访客}您好", "张三", "张三您好"},
               {"agent", "我是{客服}", "张三", "我是小王"},
               {"date and time", "{日期} {时间}", "", "2026-05-01 08:05"},
               {"unknown and unclosed kept", "{订单号} {访客", "张三", "{订单号} {访客"},
               {"no visitor keeps it", "{访客}", "", "{访客}"},
               {"a value is not read again", "{访客}{客服}", "{客服}", "{客服}小王"},
               {"brace before a variable", "{{访客}}", "<b>张</b>", "{<b>张</b>}"}};
        for (const auto &row : rows)
            QTest::newRow(row[0]) << QString(row[1]) << QString(row[2]) << QString(row[3]);
    }

    void variables()
    {
        QFETCH(QString, text);
        QFETCH(QString, visitor);
        const QDateTime now(QDate(2026, 5, 1), QTime(8, 5));
        QTEST(fillReplyVariables(text, replyVariables(visitor, "小王", now)), "filled");
    }

    // The agent's library in the strip and the "/" popup of the real window.
    void keysInWindow()
    {
        Workspace ws;
        const int a = ws.add("李雷", true, 0, 0);
        QVERIFY(ReplyLibrary::save(
            12, sample + QList<Reply>({{"称呼", "", "{访客}，{客服}为您服务"}})));
        QVERIFY(ws.start() && ws.open(a));
        auto *edit = ws.w()->findChild<QTextEdit *>("messageEdit");
        QWidget *popup = edit->findChild<ReplyCompleter *>()->popup();
        edit->setFocus();
        const int chats = ws.frames("\"chat\"");
        // The strip: the library's first titles, read on a worker at sign-in.
        auto *strip = ws.w()->findChild<QuickReplyBar *>();
        QTRY_VERIFY(strip->findChild<QPushButton *>("quickReply2"));
        QCOMPARE(strip->findChild<QPushButton *>("quickReply2")->text(), "Shipping time");

        type(edit, "？");
        QTest::keyClick(edit, Qt::Key_Home);
        type(edit, "/s");
        QTRY_VERIFY(popup->isVisible());
        QTest::keyClick(edit, Qt::Key_Down);
        QTest::keyClick(edit, Qt::Key_Return); // the second best: "发货" by its shortcut
        QCOMPARE(edit->toPlainText(), "我们会尽快为您发货？");
        QVERIFY(!popup->isVisible());

        edit->clear();
        type(edit, "/称");
        QTRY_VERIFY(popup->isVisible());
        QTest::keyClick(edit, Qt::Key_Tab);
        QCOMPARE(edit->toPlainText(), "李雷，演示坐席为您服务");

        edit->clear();
        type(edit, "/退款");
        QTRY_VERIFY(popup->isVisible());
        QTest::keyClick(edit, Qt::Key_Escape);
        QVERIFY(!popup->isVisible());
        type(edit, "x"); // stays shut while the "/" is there
        QCOMPARE(edit->toPlainText(), "/退款x");
        QVERIFY(!popup->isVisible());
        QCOMPARE(ws.frames("\"chat\""), chats);

        // Alt+2 puts the second reply's text without sending.
        QTest::keyClick(edit, Qt::Key_2, Qt::AltModifier);
        QTRY_COMPARE(edit->toPlainText(), "Orders ship within 48 hours.");
        QCOMPARE(ws.frames("\"chat\""), chats);

        // Managing: an edit saved reaches the strip and the file; a sign-out
        // closes the dialog unanswered.
        QTest::keyClick(edit, Qt::Key_R, Qt::ControlModifier | Qt::ShiftModifier);
        QTRY_VERIFY(ws.w()->findChild<ReplyLibraryDialog *>()); // a shortcut clicks late
        QPointer<ReplyLibraryDialog> dialog = ws.w()->findChild<ReplyLibraryDialog *>();
        QVERIFY(dialog->isVisible());
        dialog->findChild<QPushButton *>("downBtn")->click();
        dialog->accept();
        QTRY_VERIFY(!dialog);
        QCOMPARE(strip->findChild<QPushButton *>("quickReply2")->text(), "问候");
        QCOMPARE(titles(ReplyLibrary::load(12)).mid(0, 2), QStringList({"Shipping time", "问候"}));
        strip->manageButton()->click();
        QPointer<ReplyLibraryDialog> again = ws.w()->findChild<ReplyLibraryDialog *>();
        QVERIFY(again && again->isVisible());
        ws.w()->performLogout();
        QTRY_VERIFY(!again);
    }
};

ORVANTIS_TEST_MAIN(TestReplyLibrary)
#include "tst_replylibrary.moc"
