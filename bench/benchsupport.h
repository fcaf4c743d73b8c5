#pragma once

// Small helpers shared by the benchmarks.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QList>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <functional>

#include "devserver/standinserver.h"
#include "net/wssclient.h"
#include "workspace/orvantis.h"

namespace Bench {

inline bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

inline void drainEvents()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

inline double median(QList<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const int n = int(samples.size());
    return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2.0;
}

// Settings, temporary files and the platform stay inside `home`; call
// before the application object exists.
inline void isolateEnvironment(const QTemporaryDir &home)
{
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("TMPDIR", home.path().toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", home.path().toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "default.debug=false;qt.multimedia*=false");
    QStandardPaths::setTestModeEnabled(true);
}

// An empty channel on `server`, and a stored token of agent 12 for the
// window about to be built.
inline bool prepareService(StandIn::StandInServer &server)
{
    if (!server.listen()) {
        std::fprintf(stderr, "stand-in service did not start\n");
        return false;
    }
    server.clearChannel();
    qputenv("ORVANTIS_API_URL", server.restBaseUrl().toUtf8());
    qputenv("ORVANTIS_WSS_URL", server.wssUrl().toUtf8());
    QSettings(QStringLiteral("orvantis"), QStringLiteral("config"))
        .setValue(QStringLiteral("token"), server.issueToken(12));
    return true;
}

// Waits until the window is signed in with its link authenticated.
inline bool waitSignedIn(orvantis &window)
{
    if (!waitFor([&] { return window.isLoggedIn() && window.wss()->isAuthenticated(); }, 10000)) {
        std::fprintf(stderr, "the main window did not sign in\n");
        return false;
    }
    window.resize(1100, 700);
    drainEvents();
    return true;
}

} // namespace Bench
