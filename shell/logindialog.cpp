#include "shell/logindialog.h"
#include "ui_logindialog.h"

#include "net/apiclient.h"
#include "net/serviceconfig.h"
#include "shell/credentialstore.h"
#include "shell/glasswindow.h"

#include <QDebug>
#include <QDesktopServices>
#include <QIcon>
#include <QJsonObject>
#include <QUrl>

LoginDialog::LoginDialog(ApiClient *api) : QDialog(nullptr), ui(new Ui::LoginDialog), api(api)
{
    ui->setupUi(this);
    // Return is handled by the line edits alone (account: next field,
    // password: sign in); a default button would turn a Return in the account
    // field into a sign-in and answer one in the password field twice.
    ui->loginBtn->setDefault(false);
    resize(620, 520);
    setWindowIcon(QIcon(QStringLiteral(":/img/favicon.png")));

    applyGlassFrameless(this, false);
    new TitleBarWidget(this, tr("Quvela 商户客服系统"));
    QMargins margins = ui->mainLayout->contentsMargins();
    margins.setTop(margins.top() + TitleBarWidget::barHeight);
    ui->mainLayout->setContentsMargins(margins);

    connect(ui->loginBtn, &QPushButton::clicked, this, &LoginDialog::onLoginClicked);

    websiteButton = new QPushButton(tr("访问官网"), ui->websiteHost);
    websiteButton->setObjectName(QStringLiteral("websiteButton"));
    websiteButton->setCursor(Qt::PointingHandCursor);
    websiteButton->setFixedSize(90, 24);
    websiteButton->setAutoDefault(false);
    websiteButton->setStyleSheet(QStringLiteral(
        "QPushButton { background: transparent; color: #5b7cf2; border: none; font-size: 12px; } "
        "QPushButton:hover { color: #3d6df2; text-decoration: underline; }"));
    ui->websiteLayout->addWidget(websiteButton);
    connect(websiteButton, &QPushButton::clicked, this, [] {
        QDesktopServices::openUrl(QUrl(ServiceConfig::vendorWebsiteUrl(), QUrl::TolerantMode));
    });

    if (api)
        connect(api, &ApiClient::loginSuccess, this, &LoginDialog::onLoginSuccess);

    connect(ui->passwordEdit, &QLineEdit::returnPressed, this, &LoginDialog::onLoginClicked);
    connect(ui->emailEdit, &QLineEdit::returnPressed, this,
            [this] { ui->passwordEdit->setFocus(Qt::OtherFocusReason); });

    credentials = new CredentialStore(this);
    connect(credentials, &CredentialStore::loaded, this, &LoginDialog::onCredentialsLoaded);
    credentials->load();
}

void LoginDialog::onCredentialsLoaded(const QString &account, const QString &password)
{
    // The secret store may answer after the agent has started typing.
    if (account.isEmpty() || !ui->emailEdit->text().isEmpty())
        return;
    ui->emailEdit->setText(account);
    ui->passwordEdit->setText(password);
    ui->rememberCheck->setChecked(true);
}

QString LoginDialog::account() const
{
    return ui->emailEdit->text().trimmed();
}

void LoginDialog::setAccount(const QString &account)
{
    if (account.trimmed() == this->account())
        return;
    ui->emailEdit->setText(account);
    // A remembered password belongs to the remembered account only.
    ui->passwordEdit->clear();
    ui->passwordEdit->setFocus(Qt::OtherFocusReason);
}

void LoginDialog::showNotice(const QString &text)
{
    ui->errorLabel->setText(text);
}

LoginDialog::~LoginDialog()
{
    // A sign-in answered after the dialog is gone would sign in nobody.
    if (signIn)
        signIn->abandon();
    delete ui;
}

void LoginDialog::onLoginClicked()
{
    const QString account = ui->emailEdit->text().trimmed();
    const QString password = ui->passwordEdit->text();

    if (account.isEmpty()) {
        ui->errorLabel->setText(tr("请输入坐席账号"));
        ui->emailEdit->setFocus(Qt::OtherFocusReason);
        return;
    }
    if (password.isEmpty()) {
        ui->errorLabel->setText(tr("请输入密码"));
        ui->passwordEdit->setFocus(Qt::OtherFocusReason);
        return;
    }

    ui->errorLabel->clear();
    ui->loginBtn->setEnabled(false);
    ui->loginBtn->setText(tr("登录中..."));

    if (!api)
        return;
    // A sign-in still in flight (a second Return) is abandoned, not answered
    // twice. Requests of the main window are none of the dialog's business.
    if (signIn)
        signIn->abandon();
    QJsonObject body;
    body.insert(QStringLiteral("account"), account);
    body.insert(QStringLiteral("password"), password);
    qDebug() << "[Login] 登录请求:" << account;
    signIn = api->sendPostRequest(QStringLiteral("/agent/login"), body);
    // Only the failure of this sign-in reaches the error line; a 401 on it
    // comes as "认证失败".
    connect(signIn, &ApiRequest::failed, this, &LoginDialog::onApiError);
    // The profile comes with the client's sign-in signal right after this;
    // a sign-in started by anybody else is not the dialog's.
    connect(signIn, &ApiRequest::succeeded, this, [this] { ownSignInAnswered = true; });
}

void LoginDialog::onLoginSuccess(const QString &token, const QVariantMap &userInfo)
{
    if (!std::exchange(ownSignInAnswered, false))
        return;
    if (ui->rememberCheck->isChecked())
        credentials->remember(ui->emailEdit->text().trimmed(), ui->passwordEdit->text());
    else
        credentials->forget();

    emit loginSuccess(token, userInfo);
    accept();
}

void LoginDialog::onApiError(const QString &error)
{
    ui->errorLabel->setText(tr("网络错误：") + error);
    ui->loginBtn->setEnabled(true);
    ui->loginBtn->setText(tr("登 录"));
}

void LoginDialog::closeEvent(QCloseEvent *event)
{
    QDialog::closeEvent(event);
}
