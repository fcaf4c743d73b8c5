// Measures how long the session list keeps the GUI thread busy: one rebuild,
// one selection and one "new_session" notice, at several list lengths.
// Runs offscreen against the in-process stand-in service; the list itself is
// filled by feeding the REST client's signal directly, so that no network
// time is counted.

#include <QApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QScrollArea>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <functional>

#include "benchsupport.h"
#include "devserver/server.h"
#include "net/apiclient.h"
#include "net/wssclient.h"
#include "testaccess.h"
#include "widgets/sessionlistitem.h"
#include "workspace/orvantis.h"
#include "workspace/sessionordering.h"

namespace {

using namespace Bench;

constexpr int Runs = 30;

// Milliseconds spent in `action`, optionally followed by the work it leaves
// for the event loop: pending layout and the repaint of what it changed.
double timeIt(orvantis *window, const std::function<void()> &action, bool withPaint)
{
    QElapsedTimer timer;
    timer.start();
    action();
    if (withPaint) {
        Q_UNUSED(window);
        QCoreApplication::sendPostedEvents();
    }
    return double(timer.nsecsElapsed()) / 1.0e6;
}

QList<ChatSession> makeSessions(int count, int firstId)
{
    QRandomGenerator random(4711);
    QList<ChatSession> list;
    list.reserve(count);
    const QDateTime base(QDate(2026, 5, 1), QTime(8, 0));
    for (int i = 0; i < count; ++i) {
        const bool online = random.bounded(100) < 20;
        QVariantMap m {
            {QStringLiteral("id"), firstId + i},
            {QStringLiteral("visitor_name"), QStringLiteral("访客%1").arg(i)},
            {QStringLiteral("visitor_id"), QStringLiteral("v%1").arg(100000 + i)},
            {QStringLiteral("status"),
             online ? QStringLiteral("online") : QStringLiteral("offline")},
            {QStringLiteral("ip_address"), QStringLiteral("10.0.%1.%2").arg(i / 250).arg(i % 250)},
            {QStringLiteral("last_msg"),
             QStringLiteral("您好，我想咨询一下订单 %1 的物流情况").arg(i)},
            {QStringLiteral("last_time"),
             base.addSecs(random.bounded(86400 * 30)).toString(Qt::ISODate)},
            {QStringLiteral("unread_count"), random.bounded(100) < 30 ? random.bounded(1, 12) : 0}};
        list.append(ChatSession::fromMap(m));
    }
    return list;
}

// For comparison: every rebuild destroys and recreates one row per session,
// each with a style sheet of its own, in a vertical layout.
double recreateAllRows(QScrollArea *area, const QList<ChatSession> &sessions)
{
    QWidget *container = area->widget();
    auto *layout = static_cast<QVBoxLayout *>(container->layout());
    QElapsedTimer timer;
    timer.start();
    while (QLayoutItem *item = layout->takeAt(0)) {
        if (QWidget *w = item->widget())
            w->deleteLater();
        delete item;
    }
    for (const ChatSession &s : visibleSessions(sessions, QString())) {
        auto *row = new SessionListItem(s, container);
        row->setStyleSheet(SessionListItem::sharedStyleSheet());
        row->setOnline(s.online);
        layout->addWidget(row);
    }
    layout->addStretch();
    QCoreApplication::sendPostedEvents();
    return double(timer.nsecsElapsed()) / 1.0e6;
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir configHome;
    isolateEnvironment(configHome);
    QApplication app(argc, argv);
    DevServer::Server server;
    if (!prepareService(server))
        return 1;
    orvantis window;
    if (!waitSignedIn(window))
        return 1;

    std::printf("session list, median of %d runs, milliseconds (offscreen)\n", Runs);
    std::printf("%8s | %10s | %14s | %10s | %14s | %11s | %15s | %6s\n", "sessions", "rebuild",
                "rebuild+paint", "select", "select+paint", "new_session", "new_sess+paint", "rows");
    std::printf(
        "---------+------------+----------------+------------+----------------+-------------+"
        "-----------------+-------\n");

    int nextNewId = 900000;
    for (int size : {100, 1000, 5000}) {
        OrvantisTestAccess::clearSessions(&window);
        emit window.api()->sessionsReceived(makeSessions(size, 1), size, false);
        drainEvents();

        QList<double> rebuild, rebuildPaint, select, selectPaint, notice, noticePaint;
        for (int run = 0; run < Runs; ++run) {
            rebuild.append(timeIt(
                &window, [&] { OrvantisTestAccess::rebuild(&window); }, false));
            drainEvents();
            rebuildPaint.append(timeIt(
                &window, [&] { OrvantisTestAccess::rebuild(&window); }, true));
            drainEvents();
        }
        const QList<int> order = window.visibleSessionOrder();
        for (int run = 0; run < Runs; ++run) {
            const int id = order.at(run % 2 ? 1 : 2);
            const bool paint = run % 2;
            (paint ? selectPaint : select)
                .append(timeIt(
                    &window, [&] { OrvantisTestAccess::select(&window, id); }, paint));
            drainEvents();
        }
        for (int run = 0; run < 2 * Runs; ++run) {
            const int id = nextNewId++;
            const QVariantMap frame {
                {QStringLiteral("type"), QStringLiteral("new_session")},
                {QStringLiteral("session_id"), id},
                {QStringLiteral("visitor_name"), QStringLiteral("新访客%1").arg(id)},
                {QStringLiteral("visitor_id"), QStringLiteral("nv%1").arg(id)},
                {QStringLiteral("status"), QStringLiteral("online")},
                {QStringLiteral("ip_address"), QStringLiteral("192.168.1.9")},
                {QStringLiteral("last_time"), QDateTime::currentDateTime().toString(Qt::ISODate)},
                {QStringLiteral("channel_code"), QStringLiteral("demo-channel")},
                {QStringLiteral("unread_count"), 0}};
            const bool paint = run % 2;
            (paint ? noticePaint : notice)
                .append(timeIt(
                    &window, [&] { emit window.wss()->newSession(frame); }, paint));
            drainEvents();
        }
        std::printf("%8d | %10.3f | %14.3f | %10.3f | %14.3f | %11.3f | %15.3f | %6d\n", size,
                    median(rebuild), median(rebuildPaint), median(select), median(selectPaint),
                    median(notice), median(noticePaint),
                    OrvantisTestAccess::rowsMaterialised(&window));
        std::fflush(stdout);
    }

    // The same lists shown the throw-away way, for scale.
    QScrollArea baselineArea;
    baselineArea.setWidgetResizable(true);
    auto *baselineContainer = new QWidget;
    auto *baselineLayout = new QVBoxLayout(baselineContainer);
    baselineLayout->setSpacing(0);
    baselineLayout->setContentsMargins(0, 0, 0, 0);
    baselineArea.setWidget(baselineContainer);
    baselineArea.resize(276, 520);
    baselineArea.show();
    drainEvents();
    std::printf(
        "\nfor scale: all rows recreated with per-row style sheets, median of 5 runs, ms\n");
    for (int size : {100, 1000}) {
        const QList<ChatSession> list = makeSessions(size, 1);
        QList<double> samples;
        for (int run = 0; run < 5; ++run) {
            samples.append(recreateAllRows(&baselineArea, list));
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            drainEvents();
        }
        std::printf("%8d | %10.3f\n", size, median(samples));
        std::fflush(stdout);
    }
    return 0;
}
