#include "testsupport.h"

#include "app/applicationstyle.h"

#include <QMessageBox>
#include <QPushButton>

class TestApplicationStyle : public QObject
{
    Q_OBJECT

private slots:
    // What an agent sees in a real box once the style is applied (twice changes nothing).
    void messageBox()
    {
        applyApplicationStyle();
        applyApplicationStyle();
        QMessageBox box(QMessageBox::Question, QStringLiteral("退出登录"), QStringLiteral("确定？"),
                        QMessageBox::Yes | QMessageBox::No | QMessageBox::Ok | QMessageBox::Close);
        box.show();
        QStringList captions;
        for (auto button : {QMessageBox::Yes, QMessageBox::No, QMessageBox::Ok, QMessageBox::Close})
            captions << box.button(button)->text();
        QCOMPARE(captions, QStringList({"确定", "取消", "确定", "关闭"}));
        // The client's own look: the box background of its style sheet.
        QCOMPARE(box.grab().toImage().pixelColor(2, 2), QColor(0xfa, 0xf8, 0xfd));
    }
};

ORVANTIS_TEST_MAIN(TestApplicationStyle)
#include "tst_applicationstyle.moc"
