#pragma once

// The one door tests and benchmarks have into the main window's private state.

#include <QScrollArea>
#include <QSystemTrayIcon>
#include <QTimer>

#include "workspace/messagestore.h"
#include "workspace/orvantis.h"
#include "workspace/sessionlistview.h"

class OrvantisTestAccess
{
public:
    static SessionListItem *row(const orvantis *w, int id) { return w->sessionListView->row(id); }
    static int rowsMaterialised(const orvantis *w) { return w->sessionListView->rowCount(); }
    static const QMap<int, ChatSession> &map(const orvantis *w) { return w->sessionMap; }
    static QScrollArea *listArea(const orvantis *w) { return w->sessionScrollArea; }
    static int joinedSessionId(const orvantis *w) { return w->joinedSessionId; }
    static void rebuild(orvantis *w) { w->rebuildSessionList(); }
    static void select(orvantis *w, int id) { w->selectSession(id); }
    static void rightClick(orvantis *w, SessionListItem *row) { w->onSessionItemRightClicked(row); }
    static void ipMenu(orvantis *w) { w->showIpContextMenu(QPoint(2, 2)); }
    static void recallClicked(orvantis *w, const QString &uuid) { w->onRecallClicked(uuid); }
    static void lightbox(orvantis *w, const QString &url) { w->showImageLightbox(url); }
    static void saveRemark(orvantis *w) { w->saveRemark(); }
    static void toastClicked(orvantis *w, int id) { w->onToastClicked(id); }
    static void transfer(orvantis *w) { w->onTransferClicked(); }
    static bool pasteImage(orvantis *w) { return w->pasteImage(); }
    // Pushed messages are shown a moment after they arrive.
    static bool arrivalsShown(const orvantis *w) { return !w->arrivalTimer->isActive(); }
    static QSystemTrayIcon *tray(const orvantis *w) { return w->trayIcon; }
    static void clearSessions(orvantis *w)
    {
        w->clearSessions();
        w->currentSessionId = 0;
    }
};
