#include "sessionlistview.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QScrollArea>
#include <QScrollBar>
#include <QSet>
#include <QTimer>
#include <algorithm>
#include <vector>

#include "widgets/sessionlistitem.h"

namespace {
// Rows materialised above and below the viewport, so that a small scroll
// step shows rows that are already laid out.
constexpr int OverscanRows = 2;
} // namespace

SessionListView::SessionListView(QWidget *container, QScrollArea *area, SessionLookup lookup,
                                 QObject *parent)
    : QObject(parent), m_container(container), m_area(area), m_lookup(std::move(lookup))
{
    Q_ASSERT(container);
    m_containerObject = container;
    container->installEventFilter(this);
    m_holdTimer = new QTimer(this);
    m_holdTimer->setObjectName(QStringLiteral("sessionListHoldCheck"));
    m_holdTimer->setInterval(HoldCheckMs);
    // Not restarted by each new order, so that a busy list is checked all the same.
    connect(m_holdTimer, &QTimer::timeout, this, [this] {
        if (!m_orderHeld || !pointerOverList()) {
            m_holdTimer->stop();
            applyHeldOrder();
        }
    });
    if (m_area) {
        m_viewportObject = m_area->viewport();
        m_area->viewport()->installEventFilter(this);
        if (QScrollBar *bar = m_area->verticalScrollBar()) {
            connect(bar, &QScrollBar::valueChanged, this, [this, bar](int value) {
                placeRows(false);
                if (value >= bar->maximum() - NearEndMargin)
                    emit nearEnd();
            });
        }
    }
}

SessionListItem *SessionListView::row(int sessionId) const
{
    return m_rowById.value(sessionId);
}

void SessionListView::refresh(int sessionId)
{
    SessionListItem *shown = row(sessionId);
    const ChatSession *session = m_lookup ? m_lookup(sessionId) : nullptr;
    if (shown && session) {
        shown->setSession(*session);
        shown->setSelected(sessionId == m_currentId);
    }
}

int SessionListView::rowCount() const
{
    return int(m_rowById.size() + m_spare.size());
}

void SessionListView::showWaitingTimes(const QDateTime &now)
{
    for (SessionListItem *row : std::as_const(m_rowById)) {
        if (row)
            row->showWaiting(now);
    }
}

void SessionListView::setOrder(const QList<int> &order, int currentId)
{
    if (!m_container)
        return;
    m_currentId = currentId;
    if (!m_order.isEmpty() && pointerOverList()) {
        const QSet<int> next(order.cbegin(), order.cend());
        QList<int> shown;
        QSet<int> listed;
        for (int id : std::as_const(m_order)) {
            if (next.contains(id) && !listed.contains(id)) {
                shown.append(id);
                listed.insert(id);
            }
        }
        for (int id : order) {
            if (!listed.contains(id)) {
                shown.append(id);
                listed.insert(id);
            }
        }
        if (shown != order) {
            applyOrder(shown);
            m_heldOrder = order;
            m_orderHeld = true;
            if (!m_holdTimer->isActive())
                m_holdTimer->start();
            return;
        }
    }
    applyOrder(order);
}

bool SessionListView::pointerOverList(bool uncovered) const
{
    QWidget *list = m_area ? m_area->viewport() : m_container.data();
    if (m_pointerLeft || !list || !list->isVisible() || list->window()->isMinimized())
        return false;
    const QPoint global = QCursor::pos();
    if (!list->rect().contains(list->mapFromGlobal(global)))
        return false;
    if (!uncovered)
        return true;
    QWidget *top = QApplication::widgetAt(global);
    return top && (top == list || list->isAncestorOf(top));
}

void SessionListView::followPointer()
{
    SessionListItem *under = nullptr;
    if (pointerOverList(false)) { // asked at every scroll step: the cheap answer
        const int y = m_container->mapFromGlobal(QCursor::pos()).y();
        if (y >= 0 && y / RowHeight < m_order.size())
            under = m_rowById.value(m_order.at(y / RowHeight));
    }
    for (SessionListItem *row : std::as_const(m_rowById)) {
        if (row)
            row->setHovered(row == under);
    }
}

void SessionListView::applyHeldOrder()
{
    if (m_orderHeld)
        applyOrder(std::exchange(m_heldOrder, {}));
}

void SessionListView::ensureVisible(int sessionId)
{
    const int index = m_order.indexOf(sessionId);
    if (m_area && index >= 0)
        m_area->ensureVisible(0, index * RowHeight + RowHeight / 2, 0, RowHeight / 2);
}

void SessionListView::applyOrder(const QList<int> &order)
{
    m_orderHeld = false;
    m_heldOrder.clear();
    QScrollBar *bar = m_area ? m_area->verticalScrollBar() : nullptr;
    const int keptValue = bar ? bar->value() : 0;

    // One row per session, even if a caller's table ever holds a duplicate.
    std::vector<int> sorted(order.cbegin(), order.cend());
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.cbegin(), sorted.cend()) == sorted.cend()) {
        m_order = order;
    } else {
        m_order.clear();
        QSet<int> seen;
        for (int id : order) {
            if (!seen.contains(id)) {
                seen.insert(id);
                m_order.append(id);
            }
        }
    }

    m_placing = true;
    updateContainerHeight();
    // The list keeps its place across rebuilds instead of jumping to the top.
    if (bar && bar->value() != keptValue)
        bar->setValue(qMin(keptValue, bar->maximum()));
    m_placing = false;

    placeRows(true);
}

void SessionListView::discardRow(int sessionId)
{
    m_order.removeAll(sessionId);
    m_heldOrder.removeAll(sessionId);
    if (QPointer<SessionListItem> row = m_rowById.take(sessionId)) {
        row->hide();
        m_spare.append(row);
    }
}

bool SessionListView::eventFilter(QObject *watched, QEvent *event)
{
    // Compared by address only: the watched widgets may be in the middle of
    // their destruction, when no cast to their class is valid any more.
    const bool onViewport = watched == m_viewportObject;
    if (event->type() == QEvent::Enter) { // the viewport, or a row within it
        m_pointerLeft = false;
    } else if (onViewport && event->type() == QEvent::Leave) {
        m_pointerLeft = true;
        applyHeldOrder();
    } else if (event->type() == QEvent::Resize && !m_placing
               && (onViewport || watched == m_containerObject)) {
        placeRows(false);
    }
    return QObject::eventFilter(watched, event);
}

void SessionListView::updateContainerHeight()
{
    const int total = int(qMin<qint64>(qint64(m_order.size()) * RowHeight, QWIDGETSIZE_MAX));
    m_container->setMinimumHeight(total);
    int height = total;
    if (m_area && m_area->widgetResizable())
        height = qMax(total, m_area->viewport()->height());
    if (m_container->height() != height)
        m_container->resize(m_container->width(), height);
}

SessionListItem *SessionListView::takeSpareRow()
{
    while (!m_spare.isEmpty()) {
        QPointer<SessionListItem> row = m_spare.takeLast();
        if (row)
            return row;
    }
    auto *row = new SessionListItem(ChatSession(), m_container);
    row->installEventFilter(this);
    // A row shows different sessions over its life, so the id is read at click time.
    connect(row, &SessionListItem::clicked, this,
            [this, row] { emit rowClicked(row->sessionId()); });
    connect(row, &SessionListItem::rightClicked, this, [this, row] {
        emit rowRightClicked(row->sessionId(), row->mapToGlobal(QPoint(row->width(), 0)));
    });
    return row;
}

void SessionListView::placeRows(bool refreshAll)
{
    if (!m_container || m_placing)
        return;
    m_placing = true;

    const int count = int(m_order.size());
    int first = 0;
    int last = count; // exclusive
    if (m_area) {
        const int top = m_area->verticalScrollBar() ? m_area->verticalScrollBar()->value() : 0;
        const int viewHeight = qMax(m_area->viewport()->height(), RowHeight);
        first = qBound(0, top / RowHeight - OverscanRows, count);
        last = qBound(first, (top + viewHeight) / RowHeight + 1 + OverscanRows, count);
    }

    QSet<int> wanted;
    wanted.reserve(last - first);
    for (int i = first; i < last; ++i)
        wanted.insert(m_order.at(i));

    // Rows that left the view (or were deleted by someone else) are recycled.
    for (auto it = m_rowById.begin(); it != m_rowById.end();) {
        if (!it.value()) {
            it = m_rowById.erase(it);
        } else if (!wanted.contains(it.key())) {
            it.value()->hide();
            m_spare.append(it.value());
            it = m_rowById.erase(it);
        } else {
            ++it;
        }
    }

    const int width = m_container->width();
    for (int i = first; i < last; ++i) {
        const int id = m_order.at(i);
        SessionListItem *row = m_rowById.value(id);
        const bool fresh = !row;
        if (fresh) {
            row = takeSpareRow();
            m_rowById.insert(id, row);
        }
        if (fresh || refreshAll) {
            if (const ChatSession *session = m_lookup ? m_lookup(id) : nullptr) {
                row->setSession(*session);
            } else {
                ChatSession placeholder;
                placeholder.id = id;
                row->setSession(placeholder);
            }
            row->setSelected(id == m_currentId);
        } else if (row->isSelected() != (id == m_currentId)) {
            row->setSelected(id == m_currentId);
        }
        const QRect geometry(0, i * RowHeight, width, RowHeight);
        if (row->geometry() != geometry)
            row->setGeometry(geometry);
        if (row->isHidden())
            row->show();
    }

    m_placing = false;
    followPointer();
}
