#pragma once

// The one door tests and benchmarks have into the main window's private state.

#include <QScrollArea>
#include <QSystemTrayIcon>
#include <QTimer>

#include "widgets/sessionlistitem.h"
#include "workspace/messagestore.h"
#include "workspace/orvantis.h"
#include "workspace/sessionlistview.h"
#include "workspace/sessionstore.h"

class OrvantisTestAccess
{
public:
    static SessionListItem *row(const orvantis *w, int id) { return w->sessionListView->row(id); }
    static int rowsMaterialised(const orvantis *w) { return w->sessionListView->rowCount(); }
    static QMap<int, ChatSession> map(const orvantis *w)
    {
        QMap<int, ChatSession> byId;
        for (const ChatSession &s : w->sessionList())
            byId.insert(s.id, s);
        return byId;
    }
    static QScrollArea *listArea(const orvantis *w) { return w->sessionListView->area(); }
    static int joinedSessionId(const orvantis *w) { return w->conv.joinedSessionId; }
    static void reloadSessions(orvantis *w) { w->sessionStore->loadFirstPage(); }
    static void rebuild(orvantis *w) { w->rebuildSessionList(); }
    static void select(orvantis *w, int id) { w->selectSession(id); }
    static void rightClick(orvantis *w, SessionListItem *row)
    {
        w->onSessionItemRightClicked(row->sessionId(), row->mapToGlobal(QPoint()));
    }
    static void ipMenu(orvantis *w) { w->showIpContextMenu(QPoint(2, 2)); }
    static void recallClicked(orvantis *w, const QString &uuid) { w->onRecallClicked(uuid); }
    static void lightbox(orvantis *w, const QString &url) { w->showImageLightbox(url); }
    static void saveRemark(orvantis *w) { w->saveRemark(); }
    static void toastClicked(orvantis *w, int id) { w->onToastClicked(id); }
    static void transfer(orvantis *w) { w->onTransferClicked(); }
    static bool pasteImage(orvantis *w) { return w->pasteImage(); }
    // Pushed messages are shown a moment after they arrive.
    static bool arrivalsShown(const orvantis *w)
    {
        return !w->conv.arrivalTimer->isActive()
            && !(w->conv.sliceTimer && w->conv.sliceTimer->isActive());
    }
    static QSystemTrayIcon *tray(const orvantis *w) { return w->tray.icon; }
    static void clearSessions(orvantis *w) { w->sessionStore->clear(); }
};
