#include "shell/credentialstore.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSettings>

#ifdef ORVANTIS_HAVE_KEYCHAIN
#include <qt6keychain/keychain.h>
#endif

#include <functional>

namespace {

const QString accountKey = QStringLiteral("remembered_email");
const QString passwordKey = QStringLiteral("remembered_password");
// Set while the password of the remembered account is in the secret store.
const QString inSecretStoreKey = QStringLiteral("remembered_password_in_keychain");
const QString secretService = QStringLiteral("orvantis");

QSettings credentialSettings()
{
    return QSettings(QStringLiteral("orvantis"), QStringLiteral("config"));
}

// The store's answers go to the application, not to whoever asked: a dialog
// that closes right after signing in must not lose the write.
void writeSecret(const QString &account, const QString &password,
                 const std::function<void(bool)> &done)
{
#ifdef ORVANTIS_HAVE_KEYCHAIN
    auto *job = new QKeychain::WritePasswordJob(secretService);
    job->setAutoDelete(true);
    job->setKey(account);
    job->setTextData(password);
    QObject::connect(job, &QKeychain::Job::finished, QCoreApplication::instance(),
                     [done](QKeychain::Job *job) {
                         if (job->error() != QKeychain::NoError)
                             qDebug() << "[Login] 无法写入密钥环:" << job->errorString();
                         done(job->error() == QKeychain::NoError);
                     });
    job->start();
#else
    Q_UNUSED(account)
    Q_UNUSED(password)
    done(false);
#endif
}

void readSecret(const QString &account, QObject *context,
                const std::function<void(const QString &)> &done)
{
#ifdef ORVANTIS_HAVE_KEYCHAIN
    auto *job = new QKeychain::ReadPasswordJob(secretService);
    job->setAutoDelete(true);
    job->setKey(account);
    QObject::connect(job, &QKeychain::Job::finished, context, [done](QKeychain::Job *job) {
        auto *read = static_cast<QKeychain::ReadPasswordJob *>(job);
        done(read->error() == QKeychain::NoError ? read->textData() : QString());
    });
    job->start();
#else
    Q_UNUSED(account)
    Q_UNUSED(context)
    done(QString());
#endif
}

void deleteSecret(const QString &account)
{
#ifdef ORVANTIS_HAVE_KEYCHAIN
    auto *job = new QKeychain::DeletePasswordJob(secretService);
    job->setAutoDelete(true);
    job->setKey(account);
    job->start();
#else
    Q_UNUSED(account)
#endif
}

void storeInFile(const QString &account, const QString &password, bool inSecretStore)
{
    QSettings settings = credentialSettings();
    // A later sign-in may have replaced or forgotten the account meanwhile.
    if (settings.value(accountKey).toString() != account)
        return;
    if (inSecretStore) {
        settings.setValue(inSecretStoreKey, true);
        settings.remove(passwordKey);
    } else {
        settings.remove(inSecretStoreKey);
        settings.setValue(passwordKey, password);
    }
    settings.sync();
}

} // namespace

CredentialStore::CredentialStore(QObject *parent) : QObject(parent) { }

void CredentialStore::load()
{
    QSettings settings = credentialSettings();
    const QString account = settings.value(accountKey).toString();
    if (account.isEmpty()) {
        emit loaded(QString(), QString());
        return;
    }
    if (settings.value(inSecretStoreKey).toBool()) {
        readSecret(account, this,
                   [this, account](const QString &password) { emit loaded(account, password); });
        return;
    }
    const QString plain = settings.value(passwordKey).toString();
    emit loaded(account, plain);
    if (!plain.isEmpty())
        writeSecret(account, plain, [account](bool stored) {
            if (stored)
                storeInFile(account, QString(), true);
        });
}

void CredentialStore::remember(const QString &account, const QString &password)
{
    QSettings settings = credentialSettings();
    const QString previous = settings.value(accountKey).toString();
    if (previous != account && settings.value(inSecretStoreKey).toBool())
        deleteSecret(previous);
    settings.setValue(accountKey, account);
    // Until the store answers, the file holds no password at all rather than
    // a stale one or a plain copy.
    settings.remove(passwordKey);
    settings.remove(inSecretStoreKey);
    settings.sync();
    writeSecret(account, password,
                [account, password](bool stored) { storeInFile(account, password, stored); });
}

void CredentialStore::forget()
{
    QSettings settings = credentialSettings();
    const QString account = settings.value(accountKey).toString();
    if (settings.value(inSecretStoreKey).toBool())
        deleteSecret(account);
    settings.remove(accountKey);
    settings.remove(passwordKey);
    settings.remove(inSecretStoreKey);
    settings.sync();
}
