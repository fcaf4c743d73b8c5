#include "testsupport.h"

#include "app/applicationstyle.h"

#include <QMessageBox>
#include <QPushButton>

// Counts the language-change events a newly installed translator causes.
class LanguageChangeCounter : public QObject
{
public:
    int count = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == qApp && event->type() == QEvent::LanguageChange)
            ++count;
        return false;
    }
};

class TestApplicationStyle : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void translatorTable_data();
    void translatorTable();
    void translatorIgnoresContext();
    void messageBoxCaptions_data();
    void messageBoxCaptions();
    void messageBoxButtonsWearTheSheet();
    void secondCallInstallsNoTranslator();
};

void TestApplicationStyle::initTestCase()
{
    LanguageChangeCounter counter;
    qApp->installEventFilter(&counter);
    applyApplicationStyle();
    QCoreApplication::processEvents();
    qApp->removeEventFilter(&counter);
    QVERIFY2(counter.count >= 1, "the first call must install the button translator");
    QCOMPARE(QApplication::font().family(), QStringLiteral("Microsoft YaHei UI"));
    QCOMPARE(QApplication::font().pointSize(), 9);
}

void TestApplicationStyle::translatorTable_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QString>("expected"); // null: Qt keeps its own text

    const struct
    {
        const char *source;
        const char *translation;
    } table[] = {
        {"&OK", "确定"},
        {"&Yes", "确定"},
        {"&No", "取消"},
        {"&Cancel", "取消"},
        {"&Close", "关闭"},
        {"Close", "关闭"},
        {"&Save", "保存"},
        {"&Open", "打开"},
        {"&Apply", "应用"},
        {"&Reset", "重置"},
        {"&Help", "帮助"},
        {"&Retry", "重试"},
        {"&Abort", "中止"},
        {"&Ignore", "忽略"},
        {"Discard", "放弃"},
        {"Show Details...", "显示详细信息..."},
        {"Hide Details...", "隐藏详细信息..."},
    };
    for (const auto &row : table)
        QTest::newRow(row.source) << QByteArray(row.source) << QString::fromUtf8(row.translation);

    // The same captions without mnemonic, as Qt 6 asks for most of them.
    const struct
    {
        const char *source;
        const char *translation;
    } plain[] = {
        {"OK", "确定"},    {"Cancel", "取消"}, {"Save", "保存"}, {"Open", "打开"},
        {"Apply", "应用"}, {"Reset", "重置"},  {"Help", "帮助"}, {"Retry", "重试"},
        {"Abort", "中止"}, {"Ignore", "忽略"},
    };
    for (const auto &row : plain) {
        QTest::newRow(qPrintable(QStringLiteral("plain ") + QLatin1String(row.source)))
            << QByteArray(row.source) << QString::fromUtf8(row.translation);
    }

    // Exact byte match only.
    QTest::newRow("lower case") << QByteArray("&yes") << QString();
    QTest::newRow("without ampersand") << QByteArray("Yes") << QString();
    QTest::newRow("Ok spelled differently") << QByteArray("Ok") << QString();
    QTest::newRow("trailing space") << QByteArray("&No ") << QString();
    QTest::newRow("ampersand on Discard") << QByteArray("&Discard") << QString();
    QTest::newRow("unknown") << QByteArray("Yes to &All") << QString();
    QTest::newRow("empty") << QByteArray("") << QString();
}

void TestApplicationStyle::translatorTable()
{
    QFETCH(QByteArray, source);
    QFETCH(QString, expected);

    StandardButtonTranslator translator;
    const QString result = translator.translate("QPlatformTheme", source.constData());
    QCOMPARE(result, expected);
    QCOMPARE(result.isNull(), expected.isNull());
}

void TestApplicationStyle::translatorIgnoresContext()
{
    StandardButtonTranslator translator;
    QCOMPARE(translator.translate(nullptr, "&Cancel"), QStringLiteral("取消"));
    QCOMPARE(translator.translate("QDialogButtonBox", "&Cancel", "disambiguation", 3),
             QStringLiteral("取消"));
    QVERIFY(translator.translate("QPlatformTheme", nullptr).isNull());
    QVERIFY(translator.translate(nullptr, nullptr, nullptr, -1).isNull());
    // Through the application, as Qt's own dialogs ask for it.
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "&Retry"), QStringLiteral("重试"));
    QCOMPARE(QCoreApplication::translate("SomethingElse", "Not a button"),
             QStringLiteral("Not a button"));
}

void TestApplicationStyle::messageBoxCaptions_data()
{
    QTest::addColumn<int>("buttons");
    QTest::addColumn<int>("button");
    QTest::addColumn<QString>("caption");

    const int yesNo = int(QMessageBox::Yes | QMessageBox::No);
    QTest::newRow("yes") << yesNo << int(QMessageBox::Yes) << QStringLiteral("确定");
    QTest::newRow("no") << yesNo << int(QMessageBox::No) << QStringLiteral("取消");
    QTest::newRow("ok") << int(QMessageBox::Ok) << int(QMessageBox::Ok) << QStringLiteral("确定");
    QTest::newRow("cancel") << int(QMessageBox::Ok | QMessageBox::Cancel)
                            << int(QMessageBox::Cancel) << QStringLiteral("取消");
    QTest::newRow("retry") << int(QMessageBox::Retry | QMessageBox::Abort)
                           << int(QMessageBox::Retry) << QStringLiteral("重试");
    QTest::newRow("discard") << int(QMessageBox::Save | QMessageBox::Discard)
                             << int(QMessageBox::Discard) << QStringLiteral("放弃");
    QTest::newRow("save") << int(QMessageBox::Save | QMessageBox::Discard) << int(QMessageBox::Save)
                          << QStringLiteral("保存");
}

void TestApplicationStyle::messageBoxCaptions()
{
    QFETCH(int, buttons);
    QFETCH(int, button);
    QFETCH(QString, caption);

    QMessageBox box(QMessageBox::Question, QStringLiteral("退出登录"),
                    QStringLiteral("确定要退出当前登录吗？"),
                    QMessageBox::StandardButtons(buttons));
    QAbstractButton *found = box.button(QMessageBox::StandardButton(button));
    QVERIFY(found);
    QCOMPARE(found->text(), caption);
}

void TestApplicationStyle::messageBoxButtonsWearTheSheet()
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("提示"), QStringLiteral("x"),
                    QMessageBox::Ok);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    QAbstractButton *ok = box.button(QMessageBox::Ok);
    QVERIFY(ok);
    // min-width: 76px of the global sheet; without the sheet this caption
    // would give a far narrower button.
    QVERIFY2(ok->width() >= 76, qPrintable(QString::number(ok->width())));
    QCOMPARE(ok->palette().color(QPalette::ButtonText), QColor(0x3a, 0x41, 0x50));
}

void TestApplicationStyle::secondCallInstallsNoTranslator()
{
    LanguageChangeCounter counter;
    qApp->installEventFilter(&counter);
    applyApplicationStyle();
    QCoreApplication::processEvents();
    qApp->removeEventFilter(&counter);
    QCOMPARE(counter.count, 0);
    // Still exactly one set of captions in effect.
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "&No"), QStringLiteral("取消"));
}

ORVANTIS_TEST_MAIN(TestApplicationStyle)
#include "tst_applicationstyle.moc"
