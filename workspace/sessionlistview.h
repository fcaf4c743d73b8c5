#pragma once

#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QScrollArea>
#include <functional>

#include "net/chatrecords.h"

class QScrollArea;
class QTimer;
class QWidget;
class SessionListItem;

// Shows a long session list with row widgets only for the rows in view.
//
// The container is sized to the height of the whole list (rows are a fixed
// 64 px), so the scroll bar has the range of the full list; the few rows that
// intersect the viewport are placed at index x 64 and reused as the list
// scrolls or changes. Rows therefore cost nothing while off screen, and a
// rebuild touches a few dozen widgets whatever the length of the list.
class SessionListView : public QObject
{
    Q_OBJECT

public:
    static constexpr int RowHeight = 64;
    static constexpr int NearEndMargin = 50;

    using SessionLookup = std::function<const ChatSession *(int sessionId)>;

    SessionListView(QWidget *container, QScrollArea *area, SessionLookup lookup,
                    QObject *parent = nullptr);

    // Shows `order` (session ids, top to bottom) with `currentId` selected.
    // Every row in view is refreshed from the current session data. While the
    // pointer is over the list, however long, rows keep their places so that
    // the agent does not click a visitor who slid under the pointer: rows
    // that go are taken out, new ones wait at the end, and the order itself
    // follows when the pointer leaves.
    void setOrder(const QList<int> &order, int currentId);
    // How often a held order looks whether the pointer has gone unnoticed
    // (the window hidden beneath it, a menu opened over the list).
    static constexpr int HoldCheckMs = 500;
    const QList<int> &order() const { return m_order; }
    QScrollArea *area() const { return m_area; }

    // Scrolls just enough to bring the session's row into view.
    void ensureVisible(int sessionId);

    // Takes the row of `sessionId` off the screen at once (it is recycled).
    void discardRow(int sessionId);

    // The row showing `sessionId`, or null while it is out of view.
    SessionListItem *row(int sessionId) const;
    // Shows the session's current data in its row, if it has one on screen.
    void refresh(int sessionId);

    // Brings the waiting times of the rows on screen to `now`.
    void showWaitingTimes(const QDateTime &now);

    // Rows kept alive in total (materialised plus spare), for diagnostics.
    int rowCount() const;

signals:
    void rowClicked(int sessionId);
    // Right-clicked: the session the row showed then, and the row's top right corner.
    void rowRightClicked(int sessionId, const QPoint &globalPos);
    // The list was scrolled to within NearEndMargin pixels of its end.
    void nearEnd();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void applyOrder(const QList<int> &order);
    void applyHeldOrder();
    // With `uncovered`, not where a menu or another of our windows lies over it.
    bool pointerOverList(bool uncovered = true) const;
    // Lights the row under the pointer: rows moved or refilled under a
    // resting pointer get no enter or leave events of their own.
    void followPointer();
    void updateContainerHeight();
    void placeRows(bool refreshAll);
    SessionListItem *takeSpareRow();

    QPointer<QWidget> m_container;
    const QObject *m_containerObject = nullptr; // identities for the event filter
    const QObject *m_viewportObject = nullptr;
    QPointer<QScrollArea> m_area;
    SessionLookup m_lookup;
    QList<int> m_order;
    int m_currentId = 0;
    QHash<int, QPointer<SessionListItem>> m_rowById; // rows showing a session
    QList<QPointer<SessionListItem>> m_spare; // hidden rows ready for reuse
    bool m_placing = false;
    bool m_pointerLeft = false; // left the list, whatever the cursor position still says
    bool m_orderHeld = false;
    QList<int> m_heldOrder;
    QTimer *m_holdTimer = nullptr;
};
