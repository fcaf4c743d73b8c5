#pragma once

#include <QDialog>
#include <QPointer>
#include <QVariantMap>

class ApiClient;
class ApiRequest;
class CredentialStore;
class QPushButton;

namespace Ui {
class LoginDialog;
}

// The modal sign-in window. Remembers the credentials when asked, shows the
// service's refusal or a network error under the button, and re-emits the
// token and profile on success before it accepts.
class LoginDialog : public QDialog
{
    Q_OBJECT

public:
    explicit LoginDialog(ApiClient *api);
    ~LoginDialog() override;

    Ui::LoginDialog *form() const { return ui; } // for tests

    QString account() const;
    void setAccount(const QString &account);
    // A line saying why the dialog is up (an expired sign-in, say).
    void showNotice(const QString &text);

signals:
    void loginSuccess(const QString &token, const QVariantMap &userInfo);

public slots:
    void onLoginClicked();
    void onLoginSuccess(const QString &token, const QVariantMap &userInfo);
    void onApiError(const QString &error);

private slots:
    void onCredentialsLoaded(const QString &account, const QString &password);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    Ui::LoginDialog *ui = nullptr;
    ApiClient *api = nullptr;
    CredentialStore *credentials = nullptr;
    QPushButton *websiteButton = nullptr;
    QPointer<ApiRequest> signIn; // the dialog's own sign-in in flight
    bool ownSignInAnswered = false;
};
