#pragma once

#include <QObject>
#include <QString>

// The remembered sign-in. The account lives in the settings file; the
// password lives in the desktop's secret store where one answers, with only a
// marker left in the file. Without a secret store the password stays in the
// file, as it always has. Answers may come later than the call: the secret
// store is reached over D-Bus.
class CredentialStore : public QObject
{
    Q_OBJECT

public:
    explicit CredentialStore(QObject *parent = nullptr);

    // Answers with loaded(). A password still found in plain text is moved
    // into the secret store, and out of the file, once the store has it.
    void load();
    void remember(const QString &account, const QString &password);
    void forget();

signals:
    // An empty account means nothing is remembered.
    void loaded(const QString &account, const QString &password);
};
