#include "toast.h"

#include "shell/glasswindow.h"

#include <QCursor>
#include <QEnterEvent>
#include <QGraphicsDropShadowEffect>
#include <QGuiApplication>
#include <QLabel>
#include <QPainterPath>
#include <QPointer>
#include <QPropertyAnimation>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <optional>

#include "widgets/breakabletext.h"

namespace {

constexpr int kLifetimeMs = 6000;
constexpr int kMaxToasts = 4;
constexpr int kTextWidth = 284;
constexpr qreal kCardRadius = 12.0; // as in the card's style sheet
constexpr int kToastColumn = 360; // the toasts' width and their margin to the screen's edge
constexpr int kGap = 8;
constexpr int kHoldCheckMs = 250; // how soon the stack packs once the pointer has left it

const char kCardStyle[]
    = "QWidget#toastCard { background: #ffffff; border: 1px solid #e6e8ee; border-radius: 12px; }"
      "QLabel { background: transparent; border: none; }"
      "QLabel#toastTitle { color: #2f3441; font-size: 14px; font-weight: 600; }"
      "QLabel#toastBody  { color: #6b7280; font-size: 12px; }"
      "QLabel#toastHint  { color: #3d6df2; font-size: 11px; }";

class ToastPopup;
QList<QPointer<ToastPopup>> &toastList();
void watchPointerLeavingStack();

class ToastPopup : public QWidget
{
public:
    ToastPopup(const QString &title, const QString &body, std::function<void()> onClick)
        : QWidget(nullptr,
                  Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint
                      | Qt::NoDropShadowWindowHint | Qt::WindowDoesNotAcceptFocus)
        , m_onClick(std::move(onClick))
    {
        // Only a compositor blends a translucent window with the desktop; without
        // one its clear parts are black. The card is then the whole window,
        // cut to its rounded shape, and casts no shadow.
        if (m_composited) {
            setAttribute(Qt::WA_TranslucentBackground);
        } else {
            QPalette white = palette();
            white.setColor(QPalette::Window, Qt::white); // behind the card's rim
            setPalette(white);
        }
        setAttribute(Qt::WA_ShowWithoutActivating);
        setAttribute(Qt::WA_DeleteOnClose);
        setFixedWidth(340);
        setCursor(Qt::PointingHandCursor);

        auto *outer = new QVBoxLayout(this);
        if (m_composited)
            outer->setContentsMargins(14, 10, 14, 18); // room for the shadow
        else
            outer->setContentsMargins(0, 0, 0, 0);

        auto *card = new QWidget(this);
        card->setObjectName(QStringLiteral("toastCard"));
        card->setAttribute(Qt::WA_TransparentForMouseEvents);
        card->setAttribute(Qt::WA_StyledBackground);
        card->setStyleSheet(QString::fromLatin1(kCardStyle));
        if (m_composited) {
            auto *shadow = new QGraphicsDropShadowEffect(card);
            shadow->setBlurRadius(26);
            shadow->setOffset(0, 6);
            shadow->setColor(QColor(0, 0, 0, 70));
            card->setGraphicsEffect(shadow);
        }
        outer->addWidget(card);

        auto *column = new QVBoxLayout(card);
        column->setContentsMargins(14, 12, 14, 12);
        column->setSpacing(6);

        // Title and body come from visitors: never interpreted as markup.
        // Each is cut to its room with an ellipsis, long words included.
        auto *titleLabel = new QLabel(card);
        titleLabel->setObjectName(QStringLiteral("toastTitle"));
        titleLabel->setTextFormat(Qt::PlainText);
        titleLabel->setFixedWidth(kTextWidth);
        titleLabel->ensurePolished();
        titleLabel->setText(titleLabel->fontMetrics().elidedText(
            QString(title).replace(QLatin1Char('\n'), QLatin1Char(' ')), Qt::ElideRight,
            kTextWidth));
        column->addWidget(titleLabel);

        auto *bodyLabel = new QLabel(card);
        bodyLabel->setObjectName(QStringLiteral("toastBody"));
        bodyLabel->setTextFormat(Qt::PlainText);
        bodyLabel->setWordWrap(true);
        bodyLabel->setFixedWidth(kTextWidth);
        bodyLabel->ensurePolished();
        bodyLabel->setText(elidedLines(body, bodyLabel->font(), kTextWidth, 2));
        column->addWidget(bodyLabel);

        auto *hintLabel = new QLabel(QStringLiteral("点击查看会话"), card);
        hintLabel->setObjectName(QStringLiteral("toastHint"));
        column->addWidget(hintLabel);

        m_lifeTimer = new QTimer(this);
        m_lifeTimer->setObjectName(QStringLiteral("toastLifeTimer"));
        m_lifeTimer->setSingleShot(true);
        m_lifeTimer->setInterval(kLifetimeMs);
        QObject::connect(m_lifeTimer, &QTimer::timeout, this, [this] { fadeOut(); });

        adjustSize();
        m_lifeTimer->start();
    }

    ~ToastPopup() override
    {
        // QWidget announces destroyed() before the guarded references clear;
        // the re-layout it triggers must not see this half-destroyed toast.
        toastList().removeIf(
            [this](const QPointer<ToastPopup> &entry) { return entry.data() == this; });
    }

    bool isClosing() const { return m_closing; }

    // Slides in from `from` to `to`, as a new toast does.
    void slideIn(const QPoint &from, const QPoint &to)
    {
        m_place = to;
        move(from);
        show();
        m_slide = new QPropertyAnimation(this, "pos", this);
        m_slide->setDuration(220);
        m_slide->setEasingCurve(QEasingCurve::OutCubic);
        m_slide->setStartValue(pos());
        m_slide->setEndValue(to);
        m_slide->start(QAbstractAnimation::DeleteWhenStopped);
    }

    // A toast still sliding in when the stack changes would otherwise finish
    // its slide at its old place, on top of its neighbour.
    void placeAt(const QPoint &place)
    {
        m_place = place;
        if (m_slide && m_slide->state() == QAbstractAnimation::Running)
            m_slide->setEndValue(place);
        else
            move(place);
    }
    bool isHandlingClick() const { return m_handlingClick; }
    // Where the toast stands once any slide has ended; empty before that is known.
    QRect place() const { return m_place ? QRect(*m_place, size()) : QRect(); }

    void fadeOut()
    {
        if (m_closing)
            return;
        m_closing = true;
        m_lifeTimer->stop();
        auto *fade = new QPropertyAnimation(this, "windowOpacity", this);
        fade->setDuration(160);
        fade->setStartValue(1.0);
        fade->setEndValue(0.0);
        QObject::connect(fade, &QPropertyAnimation::finished, this, [this] { close(); });
        fade->start(QAbstractAnimation::DeleteWhenStopped);
    }

protected:
    void resizeEvent(QResizeEvent *event) override
    {
        QWidget::resizeEvent(event);
        if (m_composited)
            return;
        QPainterPath card;
        card.addRoundedRect(QRectF(rect()), kCardRadius, kCardRadius);
        setMask(QRegion(card.toFillPolygon().toPolygon()));
    }

    void enterEvent(QEnterEvent *event) override
    {
        m_lifeTimer->stop();
        QWidget::enterEvent(event);
    }

    void leaveEvent(QEvent *event) override
    {
        if (!m_closing)
            m_lifeTimer->start(); // a fresh full lifetime
        watchPointerLeavingStack();
        QWidget::leaveEvent(event);
    }

    void mousePressEvent(QMouseEvent *event) override
    {
        QPointer<ToastPopup> self(this);
        if (m_onClick) {
            // The action may dismiss every toast, this one included; work on a
            // copy and check that we still exist afterwards.
            const std::function<void()> action = m_onClick;
            m_handlingClick = true;
            action();
            if (!self)
                return;
            m_handlingClick = false;
        }
        fadeOut();
        QWidget::mousePressEvent(event);
    }

private:
    const bool m_composited = desktopComposites();
    std::function<void()> m_onClick;
    QTimer *m_lifeTimer = nullptr;
    QPointer<QPropertyAnimation> m_slide;
    std::optional<QPoint> m_place;
    bool m_closing = false;
    bool m_handlingClick = false;
};

QList<QPointer<ToastPopup>> &toastList()
{
    static QList<QPointer<ToastPopup>> list; // initialised once, GUI thread only
    return list;
}

QPointer<QWidget> &lastAnchor()
{
    static QPointer<QWidget> anchor;
    return anchor;
}

// Over a toast, or between toasts of the stack.
bool pointerOverStack()
{
    QRect stack;
    for (const QPointer<ToastPopup> &toast : toastList()) {
        if (toast && toast->underMouse())
            return true;
        if (toast)
            stack |= toast->place();
    }
    return stack.contains(QCursor::pos());
}

// The pointer may leave the stack for the desktop, which tells us nothing:
// it is looked for until it has gone, and the stack then packs.
void watchPointerLeavingStack()
{
    static QPointer<QTimer> timer;
    if (!timer) {
        timer = new QTimer(QCoreApplication::instance());
        timer->setInterval(kHoldCheckMs);
        QObject::connect(timer, &QTimer::timeout, [] {
            if (!pointerOverStack()) {
                timer->stop();
                layoutToasts(lastAnchor(), -1);
            }
        });
    }
    if (!timer->isActive())
        timer->start();
}

// The lowest place in the column, from `cursor` up, where a toast `height`
// high fits between the toasts that stay where they are.
int freeTop(int cursor, int height)
{
    for (bool moved = true; moved;) {
        moved = false;
        for (const QPointer<ToastPopup> &other : toastList()) {
            const QRect taken = other ? other->place() : QRect();
            if (!taken.isEmpty() && cursor - height < taken.bottom() + 1 + kGap
                && taken.top() < cursor + kGap) {
                cursor = taken.top() - kGap;
                moved = true;
            }
        }
    }
    return cursor - height;
}

QScreen *screenFor(QWidget *anchor)
{
    if (anchor && anchor->isVisible()) {
        if (QScreen *screen = QGuiApplication::screenAt(anchor->frameGeometry().center()))
            return screen;
    }
    return QGuiApplication::primaryScreen();
}

} // namespace

QPoint layoutToasts(QWidget *anchor, int exceptIndex)
{
    QScreen *screen = screenFor(anchor);
    if (!screen)
        return {};
    const QRect available = screen->availableGeometry();
    QList<QPointer<ToastPopup>> &list = toastList();

    // The stack stays clear of the anchor's tray icon: a panel without a
    // reserved strip lies inside the available area, its icon right where
    // the stack begins.
    int bottom = available.bottom();
    const auto icons = anchor ? anchor->findChildren<QSystemTrayIcon *>(Qt::FindDirectChildrenOnly)
                              : QList<QSystemTrayIcon *>();
    for (const QSystemTrayIcon *icon : icons) {
        const QRect tray = icon->isVisible() ? icon->geometry() : QRect();
        if (tray.isValid() && tray.intersects(available)
            && tray.center().y() > available.center().y()
            && tray.right() >= available.right() - kToastColumn)
            bottom = qMin(bottom, tray.top() - 1);
    }

    // A toast that moves under the pointer takes the click meant for another:
    // while the pointer is over the stack nothing in it moves, a new toast
    // takes the lowest free place, and the stack packs once the pointer has left.
    const bool held = pointerOverStack();
    if (held)
        watchPointerLeavingStack();
    QPoint result;
    int cursor = bottom - 12;
    for (int i = int(list.size()) - 1; i >= 0; --i) {
        ToastPopup *toast = list.at(i);
        if (!toast) {
            list.removeAt(i);
            continue;
        }
        toast->adjustSize();
        QPoint place(available.right() - 11 - toast->width(), cursor - toast->height());
        cursor -= toast->height() + kGap;
        if (held && !toast->place().isEmpty())
            continue;
        if (held)
            place.setY(freeTop(bottom - 12, toast->height()));
        if (i == exceptIndex)
            result = place;
        else
            toast->placeAt(place);
    }
    return result;
}

void showToast(QWidget *anchor, const QString &title, const QString &body,
               std::function<void()> onClick)
{
    QList<QPointer<ToastPopup>> &list = toastList();
    lastAnchor() = anchor;
    while (list.size() >= kMaxToasts) {
        // Not the toast under the pointer: that is the one about to be clicked.
        const bool spare = list.first() && list.first()->underMouse();
        QPointer<ToastPopup> oldest = list.takeAt(spare ? 1 : 0);
        if (oldest)
            oldest->close(); // no fade: delete-on-close removes it
    }

    auto *toast = new ToastPopup(title, body, std::move(onClick));
    list.append(toast);
    // The anchor may go away before the toast does.
    QPointer<QWidget> anchorGuard(anchor);
    QObject::connect(toast, &QObject::destroyed, [anchorGuard] { layoutToasts(anchorGuard, -1); });

    const QPoint target = layoutToasts(anchor, int(list.size()) - 1);
    toast->slideIn(QPoint(target.x() + 60, target.y()), target);
}

void dismissAllToasts()
{
    const QList<QPointer<ToastPopup>> copy = toastList();
    toastList().clear();
    for (const QPointer<ToastPopup> &toast : copy) {
        if (!toast)
            continue;
        if (toast->isHandlingClick()) {
            // Dismissed from its own click action: it is still inside its event
            // handler, so it may only go once that has returned.
            toast->hide();
            toast->deleteLater();
        } else {
            delete toast.data();
        }
    }
}

QList<QWidget *> activeToasts()
{
    QList<QWidget *> live;
    for (const QPointer<ToastPopup> &toast : toastList()) {
        if (toast)
            live.append(toast.data());
    }
    return live;
}
