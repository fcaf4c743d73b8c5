#include "testsupport.h"

#include "shell/credentialstore.h"

// Runs twice: inside a private D-Bus session with an unlocked keyring
// (ORVANTIS_TEST_SECRET_STORE set), and with no session bus at all.
class TestCredentialStore : public QObject
{
    Q_OBJECT

    const bool secretStore = qEnvironmentVariableIsSet("ORVANTIS_TEST_SECRET_STORE");
    QSettings file {"orvantis", "config"};

    QString fileText()
    {
        file.sync();
        QFile f(file.fileName());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QString();
    }
    // What a freshly opened login dialog would be offered: "account|password".
    static QString offered()
    {
        CredentialStore store;
        QSignalSpy loaded(&store, &CredentialStore::loaded);
        store.load();
        if (loaded.isEmpty() && !loaded.wait(5000))
            return QStringLiteral("(no answer)");
        return loaded[0][0].toString() + '|' + loaded[0][1].toString();
    }
    // The store's answer to the last write has reached the file.
    bool settled()
    {
        file.sync();
        return file.contains("remembered_password")
            || file.value("remembered_password_in_keychain").toBool();
    }

private slots:
    void init()
    {
        file.clear();
        file.sync();
    }

    // Remembered, read back, replaced by another account, forgotten. The
    // file holds a password only when there is no secret store.
    void rememberReplaceForget()
    {
        CredentialStore store;
        const QList<std::pair<QString, QString>> accounts {{"lili", "s3cret-1"},
                                                           {"demo", "pw <2>"}};
        for (const auto &[account, password] : accounts) {
            store.remember(account, password);
            // Until the store answers, no password at all, not the last one.
            QVERIFY(!fileText().contains("s3cret"));
            QTRY_VERIFY(settled());
            QCOMPARE(offered(), account + '|' + password);
            QCOMPARE(fileText().contains(password), !secretStore);
        }
        store.forget();
        QCOMPARE(offered(), "|");
        QVERIFY(!fileText().contains("pw"));
        // The forgotten password is gone from the secret store too.
        // So is the first account's, replaced by the second.
        for (const char *account : {"demo", "lili"}) {
            file.setValue("remembered_email", account);
            file.setValue("remembered_password_in_keychain", true);
            QCOMPARE(offered(), QString(account) + '|');
        }
    }
};

ORVANTIS_TEST_MAIN(TestCredentialStore)
#include "tst_credentialstore.moc"
