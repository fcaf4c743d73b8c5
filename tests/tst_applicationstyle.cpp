#include "testsupport.h"

#include "app/applicationstyle.h"

#include <QMessageBox>
#include <QPushButton>

namespace {
// The language-change events applyApplicationStyle() causes: one per
// translator it installs.
int languageChangesOfApplyingStyle()
{
    struct Counter : QObject
    {
        int count = 0;
        bool eventFilter(QObject *watched, QEvent *event) override
        {
            count += watched == qApp && event->type() == QEvent::LanguageChange;
            return false;
        }
    } counter;
    qApp->installEventFilter(&counter);
    applyApplicationStyle();
    QCoreApplication::processEvents();
    qApp->removeEventFilter(&counter);
    return counter.count;
}
} // namespace

class TestApplicationStyle : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(languageChangesOfApplyingStyle() >= 1); }
    void secondCallInstallsNoTranslator();
    void translatorTable_data();
    void translatorTable();
    void messageBoxCaptions_data();
    void messageBoxCaptions();
};

void TestApplicationStyle::secondCallInstallsNoTranslator()
{
    QCOMPARE(languageChangesOfApplyingStyle(), 0);
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "&No"), QStringLiteral("取消"));
}

void TestApplicationStyle::translatorTable_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QString>("expected"); // null: Qt keeps its own text

    QTest::newRow("&Yes") << QByteArray("&Yes") << QStringLiteral("确定");
    QTest::newRow("&No") << QByteArray("&No") << QStringLiteral("取消");
    QTest::newRow("OK") << QByteArray("OK") << QStringLiteral("确定");
    QTest::newRow("&Cancel") << QByteArray("&Cancel") << QStringLiteral("取消");
    QTest::newRow("Discard") << QByteArray("Discard") << QStringLiteral("放弃");
    QTest::newRow("Show Details...") << QByteArray("Show Details...") << QStringLiteral("显示详细信息...");
    // Exact byte match only.
    QTest::newRow("lower case") << QByteArray("&yes") << QString();
    QTest::newRow("without ampersand") << QByteArray("Yes") << QString();
    QTest::newRow("trailing space") << QByteArray("&No ") << QString();
    QTest::newRow("no source") << QByteArray() << QString();
}

void TestApplicationStyle::translatorTable()
{
    QFETCH(QByteArray, source);
    QFETCH(QString, expected);

    StandardButtonTranslator translator;
    // The context does not matter; a missing source text is no crash.
    for (const char *context : {"QPlatformTheme", "QDialogButtonBox", static_cast<const char *>(nullptr)}) {
        const QString result = translator.translate(context, source.isNull() ? nullptr : source.constData());
        QCOMPARE(result, expected);
        QCOMPARE(result.isNull(), expected.isNull());
    }
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
}

void TestApplicationStyle::messageBoxCaptions()
{
    QFETCH(int, buttons);
    QFETCH(int, button);
    QFETCH(QString, caption);

    QMessageBox box(QMessageBox::Question, QStringLiteral("退出登录"),
                    QStringLiteral("确定要退出当前登录吗？"), QMessageBox::StandardButtons(buttons));
    QAbstractButton *found = box.button(QMessageBox::StandardButton(button));
    QVERIFY(found);
    QCOMPARE(found->text(), caption);
}

ORVANTIS_TEST_MAIN(TestApplicationStyle)
#include "tst_applicationstyle.moc"
