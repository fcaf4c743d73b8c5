#include "testsupport.h"

#include "app/applicationstyle.h"

#include <QMessageBox>
#include <QPushButton>

class TestApplicationStyle : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        applyApplicationStyle();
        applyApplicationStyle(); // a second call changes nothing below
    }

    void translator_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QString>("expected"); // null: Qt keeps its own text
        for (const auto &[source, expected] : {std::pair("&Yes", "确定"),
                                               {"&No", "取消"},
                                               {"OK", "确定"},
                                               {"Discard", "放弃"},
                                               {"Show Details...", "显示详细信息..."}})
            QTest::newRow(source) << QByteArray(source) << QString::fromUtf8(expected);
        // Exact byte match only.
        for (const char *source :
             {"&yes", "Yes", "&No ", "&Nope", static_cast<const char *>(nullptr)})
            QTest::addRow("unknown %s", source) << QByteArray(source) << QString();
    }

    void translator()
    {
        QFETCH(QByteArray, source);
        QFETCH(QString, expected);
        StandardButtonTranslator translator;
        for (const char *context : {"QPlatformTheme", static_cast<const char *>(nullptr)}) {
            const QString result
                = translator.translate(context, source.isNull() ? nullptr : source.constData());
            QCOMPARE(result, expected);
            QCOMPARE(result.isNull(), expected.isNull());
        }
    }

    // What an agent sees in a real box once the style is applied.
    void messageBox()
    {
        QMessageBox box(QMessageBox::Question, QStringLiteral("退出登录"), QStringLiteral("确定？"),
                        QMessageBox::Yes | QMessageBox::No | QMessageBox::Ok | QMessageBox::Close);
        box.show();
        QTRY_VERIFY(box.isVisible());
        QStringList captions;
        for (auto button : {QMessageBox::Yes, QMessageBox::No, QMessageBox::Ok, QMessageBox::Close})
            captions << box.button(button)->text();
        QCOMPARE(captions, QStringList({"确定", "取消", "确定", "关闭"}));
        // The client's own look: its font and the box background of its style sheet.
        QCOMPARE(box.button(QMessageBox::Ok)->font().family(),
                 QStringLiteral("Microsoft YaHei UI"));
        QCOMPARE(box.grab().toImage().pixelColor(2, 2), QColor(0xfa, 0xf8, 0xfd));
    }
};

ORVANTIS_TEST_MAIN(TestApplicationStyle)
#include "tst_applicationstyle.moc"
