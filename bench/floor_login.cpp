// The floor of the start-up benchmark: the least a Qt Widgets program needs
// to put a sign-in dialog on screen. Two line edits, a check box and a
// button, in the client's application font, and nothing else: no style
// sheet, no network, no settings.

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QFont>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);

    // The same font as the client, so that both pay for the same fallback.
    QFont font(QStringLiteral("Microsoft YaHei UI"), 9);
    font.setHintingPreference(QFont::PreferFullHinting);
    QApplication::setFont(font);

    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("商户客服系统 - 登录"));
    auto *layout = new QVBoxLayout(&dialog);
    auto *account = new QLineEdit(&dialog);
    account->setPlaceholderText(QStringLiteral("请输入坐席账号"));
    auto *password = new QLineEdit(&dialog);
    password->setPlaceholderText(QStringLiteral("请输入密码"));
    password->setEchoMode(QLineEdit::Password);
    layout->addWidget(account);
    layout->addWidget(password);
    layout->addWidget(new QCheckBox(QStringLiteral("记住密码"), &dialog));
    layout->addWidget(new QPushButton(QStringLiteral("登 录"), &dialog));
    dialog.resize(620, 520);
    return dialog.exec();
}
