#pragma once

// What every fuzz target needs before its first input: one application object
// for the Qt objects under test, settings in a folder of their own, and quiet.

#include <QCoreApplication>
#include <QDir>
#include <QMetaMethod>
#include <QObject>
#include <QStandardPaths>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

namespace FuzzSupport {

inline void ignoreMessage(QtMsgType, const QMessageLogContext &, const QString &) { }

inline void start(int *argc, char ***argv)
{
    // The login route stores the token it was given: never in the real store.
    static QByteArray home = QDir::tempPath().toLocal8Bit() + "/orvantis-fuzz-XXXXXX";
    if (!mkdtemp(home.data()))
        std::abort();
    qputenv("HOME", home);
    qputenv("XDG_CONFIG_HOME", home + "/config");
    QStandardPaths::setTestModeEnabled(true);
    // The debug lines of the network layer, once per input, would drown the
    // fuzzer's own output and slow it down.
    qInstallMessageHandler(ignoreMessage);
    static QCoreApplication app(*argc, *argv);
}

// Deferred deletions of one input are done before the next input starts, so
// that a leak or a use after free shows up at the input that caused it.
inline void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// A broken promise of the code under test is a finding like a crash.
inline void require(bool holds, const char *promise)
{
    if (!holds) {
        std::fprintf(stderr, "broken: %s\n", promise);
        std::abort();
    }
}

// Counts every signal an object raises, whatever its name.
class SignalCounter : public QObject
{
    Q_OBJECT

public:
    explicit SignalCounter(QObject *watched)
    {
        const QMetaObject *meta = watched->metaObject();
        const QMetaMethod onSignal = metaObject()->method(metaObject()->indexOfSlot("onSignal()"));
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            if (meta->method(i).methodType() == QMetaMethod::Signal)
                connect(watched, meta->method(i), this, onSignal);
        }
    }
    int count = 0;

public slots:
    void onSignal() { ++count; }
};

} // namespace FuzzSupport
