#pragma once

#include <QApplication>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>
#include <map>
#include <memory>

// Every test runs offscreen with its own settings store, so nothing a test
// writes can reach the user's real configuration.
namespace TestSupport {

inline void isolateEnvironment()
{
    static QTemporaryDir configHome(QDir::tempPath() + QStringLiteral("/orvantis-test-XXXXXX"));
    qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());
    qputenv("XDG_DATA_HOME", (configHome.path() + QStringLiteral("/data")).toLocal8Bit());
    qputenv("XDG_CACHE_HOME", (configHome.path() + QStringLiteral("/cache")).toLocal8Bit());
    // Test mode keeps settings under $HOME/.qttest, which concurrently running
    // test programs would otherwise share.
    qputenv("HOME", configHome.path().toLocal8Bit());
    // The single-instance lock, the local server and the chime live in the
    // runtime folder: test programs running side by side must not meet there.
    qputenv("TMPDIR", configHome.path().toLocal8Bit());
    const QString runtime = configHome.path() + QStringLiteral("/run");
    QDir().mkdir(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Debug lines of the program are noise in test logs.
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        qputenv("QT_LOGGING_RULES", "default.debug=false");
    // The desktop's secret store is the user's as much as the settings are:
    // only a test run inside a private session may reach one.
    if (!qEnvironmentVariableIsSet("ORVANTIS_TEST_SECRET_STORE")
        && !qEnvironmentVariableIsSet("ORVANTIS_TEST_PRIVATE_BUS"))
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/orvantis-test-bus");
    QStandardPaths::setTestModeEnabled(true);
}

// One spy per signal of an object, keyed by the signal's name, so that a test
// can say that nothing else happened.
class SignalSpies
{
public:
    explicit SignalSpies(QObject *object)
    {
        const QMetaObject *meta = object->metaObject();
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            const QMetaMethod method = meta->method(i);
            if (method.methodType() == QMetaMethod::Signal)
                m_spies.emplace(method.name(), std::make_unique<QSignalSpy>(object, method));
        }
    }
    QSignalSpy &operator[](const QByteArray &name) { return *m_spies.at(name); }
    int total() const
    {
        int n = 0;
        for (const auto &entry : m_spies)
            n += entry.second->count();
        return n;
    }

protected:
    std::map<QByteArray, std::unique_ptr<QSignalSpy>> m_spies;
};

} // namespace TestSupport

#define ORVANTIS_TEST_MAIN(TestObject)                                                             \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        TestSupport::isolateEnvironment();                                                         \
        QApplication app(argc, argv);                                                              \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
