#include "shell/glasswindow.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QRadialGradient>
#include <QScreen>
#include <QVarLengthArray>
#include <QWindow>
#include <QtGui/qguiapplication_platform.h>

#if defined(ORVANTIS_HAVE_XCB) && QT_CONFIG(xcb)
#define GLASS_ASKS_X11 1
#include <xcb/xcb.h>
#endif

namespace {

constexpr int kResizeMargin = 6;
constexpr int kDragThreshold = 4; // pixels the mouse moves before a drag begins
constexpr qreal kCornerRadius = 12.0;

std::optional<bool> compositesOverride;

#ifdef GLASS_ASKS_X11
// The desktop composites while somebody owns the selection
// "_NET_WM_CM_S<screen>", the manager's announcement on X11.
bool x11Composites(xcb_connection_t *connection)
{
    const QByteArray display = qgetenv("DISPLAY");
    const qsizetype colon = display.lastIndexOf(':');
    const qsizetype dot = display.indexOf('.', colon + 1);
    const int screen = (colon >= 0 && dot > colon) ? display.mid(dot + 1).toInt() : 0;
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(screen);
    xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, name.size(), name.constData()), nullptr);
    if (!atom)
        return false;
    xcb_get_selection_owner_reply_t *owner = xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, atom->atom), nullptr);
    const bool owned = owner && owner->owner != XCB_NONE;
    free(owner);
    free(atom);
    return owned;
}

// Qt marks a window it minimises to start iconic (WM_HINTS) and keeps the
// mark when the desktop restores the window (taskbar, Alt+Tab): mapped again
// after a hide, it would stay minimised and out of sight.
void startNormal(QWidget *window)
{
    auto *x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection() || window->isMinimized())
        return;
    xcb_connection_t *connection = x11->connection();
    const auto id = xcb_window_t(window->winId());
    xcb_get_property_reply_t *reply = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, id, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 0, 9),
        nullptr);
    const int count = reply && reply->format == 32 ? xcb_get_property_value_length(reply) / 4 : 0;
    if (count >= 3) {
        QVarLengthArray<quint32, 9> hints(count);
        memcpy(hints.data(), xcb_get_property_value(reply), size_t(count) * 4);
        constexpr quint32 stateHint = 2, normalState = 1, iconicState = 3;
        if ((hints[0] & stateHint) && hints[2] == iconicState) {
            hints[2] = normalState;
            xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_HINTS,
                                XCB_ATOM_WM_HINTS, 32, quint32(count), hints.data());
        }
    }
    free(reply);
}
#else
void startNormal(QWidget *) { }
#endif

bool isMaximisedOrFull(const QWidget *window)
{
    return window->isMaximized() || window->isFullScreen();
}

// Edges of `window` within the resize margin of the global point `p`.
Qt::Edges edgesAt(const QWidget *window, QPoint p)
{
    const QRect g = window->frameGeometry();
    if (isMaximisedOrFull(window) || !g.contains(p))
        return {};
    Qt::Edges edges;
    if (p.x() - g.left() <= kResizeMargin)
        edges |= Qt::LeftEdge;
    if (g.right() - p.x() <= kResizeMargin)
        edges |= Qt::RightEdge;
    if (p.y() - g.top() <= kResizeMargin)
        edges |= Qt::TopEdge;
    if (g.bottom() - p.y() <= kResizeMargin)
        edges |= Qt::BottomEdge;
    return edges;
}

Qt::CursorShape cursorFor(Qt::Edges edges)
{
    if (edges == (Qt::TopEdge | Qt::LeftEdge) || edges == (Qt::BottomEdge | Qt::RightEdge))
        return Qt::SizeFDiagCursor;
    if (edges == (Qt::TopEdge | Qt::RightEdge) || edges == (Qt::BottomEdge | Qt::LeftEdge))
        return Qt::SizeBDiagCursor;
    if (edges & (Qt::LeftEdge | Qt::RightEdge))
        return Qt::SizeHorCursor;
    return Qt::SizeVerCursor;
}

void toggleMaximised(QWidget *window)
{
    if (window->isMaximized())
        window->showNormal();
    else
        window->showMaximized();
}

void paintGlass(QPainter &p, const QRect &r)
{
    QLinearGradient base(r.topLeft(), r.bottomRight());
    base.setColorAt(0.0, QColor(253, 245, 248));
    base.setColorAt(0.35, QColor(246, 240, 252));
    base.setColorAt(0.7, QColor(240, 240, 253));
    base.setColorAt(1.0, QColor(232, 240, 253));
    p.fillRect(r, base);

    struct Glow
    {
        qreal fx, fy, fr;
        QColor colour;
    };
    const Glow glows[] = {{0.06, 0.04, 0.62, QColor(255, 196, 222, 165)},
                          {0.95, 0.16, 0.48, QColor(255, 224, 190, 150)},
                          {0.84, 0.96, 0.6, QColor(182, 205, 255, 165)},
                          {0.3, 0.9, 0.45, QColor(220, 200, 255, 130)}};
    for (const Glow &glow : glows) {
        QRadialGradient gradient(QPointF(r.width() * glow.fx, r.height() * glow.fy),
                                 qMax(1.0, r.width() * glow.fr));
        QColor faded = glow.colour;
        faded.setAlpha(glow.colour.alpha() / 3);
        QColor clear = glow.colour;
        clear.setAlpha(0);
        gradient.setColorAt(0.0, glow.colour);
        gradient.setColorAt(0.65, faded);
        gradient.setColorAt(1.0, clear);
        p.fillRect(r, gradient);
    }

    QLinearGradient sheen(QPointF(r.left(), r.top()),
                          QPointF(r.left() + r.width() * 0.35, r.bottom()));
    sheen.setColorAt(0.0, QColor(255, 255, 255, 120));
    sheen.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.fillRect(r, sheen);

    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 255, 130), 1.0));
    p.drawRect(QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5));
}

// Paints the glass behind the window's widgets. Its gradients are dear in
// software, and every widget update repaints what lies behind it, so the
// glass is painted once per look and blitted from then on.
class BackdropWidget : public QWidget
{
public:
    explicit BackdropWidget(QWidget *window) : QWidget(window), window(window)
    {
        setObjectName(QStringLiteral("glassBackdrop"));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        window->installEventFilter(this);
        composited = window->testAttribute(Qt::WA_TranslucentBackground) && desktopComposites();
        follow();
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != window)
            return false;
        if (event->type() == QEvent::Show && window->testAttribute(Qt::WA_TranslucentBackground))
            composited = desktopComposites(); // a compositor may have come or gone
        if (event->type() == QEvent::Show)
            startNormal(window); // before the window is mapped
        if (event->type() == QEvent::Resize || event->type() == QEvent::Show)
            follow();
        else if (event->type() == QEvent::WindowStateChange)
            update();
        return false;
    }

    void paintEvent(QPaintEvent *event) override
    {
        const Look look {size(), devicePixelRatioF(), isMaximisedOrFull(window), composited};
        if (!(look == cachedLook) || cache.isNull()) {
            cachedLook = look;
            cache = render(look);
        }
        QPainter p(this);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        const QRect r = event->rect();
        p.drawPixmap(r, cache,
                     QRectF(QPointF(r.topLeft()) * look.dpr, QSizeF(r.size()) * look.dpr));
    }

private:
    struct Look
    {
        QSize size;
        qreal dpr = 0;
        bool square = false;
        bool composited = false;
        bool operator==(const Look &o) const
        {
            return size == o.size && qFuzzyCompare(dpr, o.dpr) && square == o.square
                && composited == o.composited;
        }
    };

    static QPixmap render(const Look &look)
    {
        QPixmap pixmap(look.size * look.dpr);
        pixmap.setDevicePixelRatio(look.dpr);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        const QRect r(QPoint(0, 0), look.size);
        // Only a compositor can show what lies outside the rounded corners.
        if (look.composited && !look.square) {
            QPainterPath clip;
            clip.addRoundedRect(QRectF(r), kCornerRadius, kCornerRadius);
            p.setClipPath(clip);
        }
        paintGlass(p, r);
        return pixmap;
    }

    void follow()
    {
        setGeometry(window->rect());
        lower();
        show();
    }

    QWidget *window = nullptr;
    bool composited = false;
    Look cachedLook;
    QPixmap cache;
};

// Edge resizing of a frameless window: watches every event of the
// application, since any widget of the window may lie under its border.
class ResizeController : public QObject
{
public:
    explicit ResizeController(QWidget *window) : QObject(window), window(window)
    {
        setObjectName(QStringLiteral("glassResizeController"));
    }

    ~ResizeController() override { restoreCursor(); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        const QEvent::Type type = event->type();
        if (type != QEvent::MouseMove && type != QEvent::Leave && type != QEvent::MouseButtonPress)
            return false;
        if (!watched->isWidgetType() || static_cast<QWidget *>(watched)->window() != window
            || !window->isVisible())
            return false;
        if (type == QEvent::Leave) {
            restoreCursor();
            return false;
        }
        const auto *mouse = static_cast<QMouseEvent *>(event);
        const Qt::Edges edges = edgesAt(window, mouse->globalPosition().toPoint());
        if (type == QEvent::MouseMove) {
            if (!edges) {
                restoreCursor();
            } else if (overrideActive) {
                QApplication::changeOverrideCursor(cursorFor(edges));
            } else {
                QApplication::setOverrideCursor(cursorFor(edges));
                overrideActive = true;
            }
            return false;
        }
        if (mouse->button() != Qt::LeftButton || !edges)
            return false;
        restoreCursor();
        if (QWindow *handle = window->windowHandle())
            handle->startSystemResize(edges);
        return true;
    }

private:
    void restoreCursor()
    {
        if (overrideActive)
            QApplication::restoreOverrideCursor();
        overrideActive = false;
    }

    QWidget *window = nullptr;
    bool overrideActive = false;
};

} // namespace

// A window button that paints its own glyph, crisp at any scale.
class WindowGlyphButton : public QPushButton
{
public:
    enum Kind { Minimise = 0, Maximise = 1, Restore = 2, Close = 3 };

    WindowGlyphButton(Kind kind, QWidget *parent) : QPushButton(parent), kind(kind)
    {
        setFixedSize(36, 26);
        setCursor(Qt::ArrowCursor);
        setFocusPolicy(Qt::NoFocus);
        // In a dialog Return must never reach a window button.
        setAutoDefault(false);
        setStyleSheet(
            kind == Close
                ? QStringLiteral("QPushButton { background: transparent; border: none; "
                                 "border-radius: 8px; }QPushButton:hover { background-color: "
                                 "#ef4757; }QPushButton:pressed { background-color: #d93a4a; }")
                : QStringLiteral("QPushButton { background: transparent; border: none; "
                                 "border-radius: 8px; }QPushButton:hover { background-color: "
                                 "rgba(255, 255, 255, 0.85); }QPushButton:pressed { "
                                 "background-color: rgba(206, 216, 238, 0.95); }"));
    }

    Kind glyph() const { return kind; }
    void setGlyph(Kind k)
    {
        if (kind == k)
            return;
        kind = k;
        update();
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QPushButton::paintEvent(event);
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const bool hovered = underMouse();
        QColor colour = hovered ? QColor(43, 49, 64) : QColor(91, 100, 122);
        if (kind == Close && hovered)
            colour = Qt::white;
        if (!isEnabled())
            colour.setAlpha(110);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(colour, 1.3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        const QPointF c = QRectF(rect()).center();
        switch (kind) {
        case Minimise:
            p.drawLine(QPointF(c.x() - 4.5, c.y() + 0.5), QPointF(c.x() + 4.5, c.y() + 0.5));
            break;
        case Maximise:
            p.drawRect(QRectF(c.x() - 4.5, c.y() - 4.5, 9, 9));
            break;
        case Restore:
            p.drawRect(QRectF(c.x() - 3, c.y() - 5, 6.5, 6.5));
            p.drawRect(QRectF(c.x() - 5, c.y() - 2.5, 6.5, 6.5));
            break;
        case Close:
            p.drawLine(QPointF(c.x() - 4.5, c.y() - 4.5), QPointF(c.x() + 4.5, c.y() + 4.5));
            p.drawLine(QPointF(c.x() - 4.5, c.y() + 4.5), QPointF(c.x() + 4.5, c.y() - 4.5));
            break;
        }
    }

private:
    Kind kind;
};

bool desktopComposites()
{
    if (compositesOverride)
        return *compositesOverride;
#ifdef GLASS_ASKS_X11
    // The offscreen platform also answers as X11, without a connection.
    auto *x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 && x11->connection())
        return x11Composites(x11->connection());
#endif
    return true;
}

void overrideDesktopComposites(std::optional<bool> composites)
{
    compositesOverride = composites;
}

void applyGlassFrameless(QWidget *window, bool resizable)
{
    if (!window || window->property("glassFrameless").toBool())
        return;
    window->setProperty("glassFrameless", true);
    window->setWindowFlag(Qt::FramelessWindowHint);
    // Without a compositor a translucent window is black outside its glass.
    if (desktopComposites())
        window->setAttribute(Qt::WA_TranslucentBackground);
    window->setAttribute(Qt::WA_NoSystemBackground);
    new BackdropWidget(window);
    if (resizable)
        qApp->installEventFilter(new ResizeController(window));
    window->winId();
}

WindowButtonGroup::WindowButtonGroup(QWidget *window, bool showMaximize)
    : QWidget(window), window(window)
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    auto *minimise = new WindowGlyphButton(WindowGlyphButton::Minimise, this);
    minimise->setToolTip(tr("最小化"));
    connect(minimise, &QPushButton::clicked, window, &QWidget::showMinimized);
    layout->addWidget(minimise);

    if (showMaximize) {
        maximiseButton = new WindowGlyphButton(WindowGlyphButton::Maximise, this);
        maximiseButton->setToolTip(tr("最大化"));
        connect(maximiseButton, &QPushButton::clicked, window,
                [window] { toggleMaximised(window); });
        layout->addWidget(maximiseButton);
    }

    auto *close = new WindowGlyphButton(WindowGlyphButton::Close, this);
    close->setToolTip(tr("关闭"));
    connect(close, &QPushButton::clicked, window, &QWidget::close);
    layout->addWidget(close);

    window->installEventFilter(this);
}

bool WindowButtonGroup::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == window && event->type() == QEvent::WindowStateChange && maximiseButton) {
        const bool maximised = window->isMaximized();
        maximiseButton->setGlyph(maximised ? WindowGlyphButton::Restore
                                           : WindowGlyphButton::Maximise);
        maximiseButton->setToolTip(maximised ? tr("还原") : tr("最大化"));
    }
    return QWidget::eventFilter(watched, event);
}

DragController::DragController(QWidget *window, QWidget *handle) : QObject(handle), window(window)
{
    handle->installEventFilter(this);
}

void DragController::beginDrag(QPoint globalPos)
{
    // On X11 a window manager's move asked for once the mouse has moved
    // meets the pointer still grabbed by Qt and never starts (openbox).
    QWindow *handle = window->windowHandle();
    if (handle && QGuiApplication::platformName() != QLatin1String("xcb")
        && handle->startSystemMove())
        return;
    // Follow the mouse by hand.
    dragging = true;
    dragOffset = globalPos - window->pos();
}

bool DragController::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() != Qt::LeftButton)
            return false;
        // The top rim of a handle at the window's top edge is for resizing.
        if (auto *handle = qobject_cast<QWidget *>(watched); handle
            && mouse->position().toPoint().y() < kResizeMargin
            && handle->mapTo(window, QPoint(0, 0)).y() < 1)
            return false;
        pressAt = mouse->globalPosition().toPoint();
        return true;
    }
    case QEvent::MouseMove: {
        const QPoint gp = static_cast<QMouseEvent *>(event)->globalPosition().toPoint();
        if (dragging) {
            window->move(gp - dragOffset);
            return true;
        }
        if (!pressAt)
            return false;
        if ((gp - *pressAt).manhattanLength() < kDragThreshold)
            return true;
        const QPoint press = *std::exchange(pressAt, std::nullopt);
        const QRect normal = window->normalGeometry();
        const QRect current = window->geometry();
        if (!window->isMaximized()) {
            // Caught up with the mouse, which is ahead by the threshold.
            window->move(window->pos() + gp - press);
        } else if (normal.isValid() && current.width() > 0) {
            // Restored under the cursor at the same relative place, the cursor
            // at half the title bar's height.
            const double ratio = double(press.x() - current.left()) / current.width();
            window->showNormal();
            window->move(press.x() - int(normal.width() * ratio), press.y() - 23);
        }
        beginDrag(gp);
        return true;
    }
    case QEvent::MouseButtonRelease:
        dragging = false;
        pressAt.reset();
        return false;
    case QEvent::MouseButtonDblClick:
        if (static_cast<QMouseEvent *>(event)->button() != Qt::LeftButton)
            return false;
        pressAt.reset();
        toggleMaximised(window);
        return true;
    default:
        return false;
    }
}

TitleBarWidget::TitleBarWidget(QWidget *window, const QString &title)
    : QWidget(window), window(window)
{
    setFixedHeight(barHeight);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 6, 8, 6);
    layout->setSpacing(8);

    auto *icon = new QLabel(this);
    icon->setFixedSize(20, 20);
    icon->setPixmap(window->windowIcon().pixmap(18, 18));
    icon->setAttribute(Qt::WA_TransparentForMouseEvents);
    layout->addWidget(icon);

    auto *caption = new QLabel(title, this);
    caption->setObjectName(QStringLiteral("titleBarCaption"));
    caption->setTextFormat(Qt::PlainText);
    caption->setAttribute(Qt::WA_TransparentForMouseEvents);
    caption->setStyleSheet(QStringLiteral("QLabel { color: #4b5264; font-size: 13px; "
                                          "font-weight: 600; background: transparent; }"));
    layout->addWidget(caption);
    layout->addStretch();
    layout->addWidget(new WindowButtonGroup(window, false));

    new DragController(window, this);
    window->installEventFilter(this);
    follow();
    show();
}

bool TitleBarWidget::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == window && (event->type() == QEvent::Resize || event->type() == QEvent::Show))
        follow();
    // QDialog places a dialog for a frame it guesses on X11 (10 by 40 pixels)
    // that a frameless one does not have: up and left of the middle. Not
    // where the caller has put it.
    QWidget *parent = window->parentWidget() ? window->parentWidget()->window() : nullptr;
    if (watched == window && event->type() == QEvent::Show && !event->spontaneous() && parent
        && parent->isVisible() && !window->testAttribute(Qt::WA_Moved)) {
        // Both frameless: the frame Qt works out for them under a window
        // manager may be off for a while after they are mapped.
        QRect place(QPoint(0, 0), window->size());
        place.moveCenter(parent->geometry().center());
        if (const QScreen *screen = parent->screen()) {
            const QRect available = screen->availableGeometry();
            place.moveLeft(qBound(available.left(), place.left(),
                                  qMax(available.left(), available.right() - place.width())));
            place.moveTop(qBound(available.top(), place.top(),
                                 qMax(available.top(), available.bottom() - place.height())));
        }
        window->move(place.topLeft());
    }
    return QWidget::eventFilter(watched, event);
}

void TitleBarWidget::follow()
{
    setGeometry(0, 0, window->width(), barHeight);
    raise();
}

void applyGlassDialog(QWidget *dialog, const QString &title, QLayout *mainLayout)
{
    applyGlassFrameless(dialog, true);
    new TitleBarWidget(dialog, title);
    QMargins margins = mainLayout->contentsMargins();
    margins.setTop(margins.top() + TitleBarWidget::barHeight);
    mainLayout->setContentsMargins(margins);
}
