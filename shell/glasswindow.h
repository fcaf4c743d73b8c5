#pragma once

#include <QObject>
#include <QPoint>
#include <QWidget>

#include <optional>

class QLayout;
class WindowGlyphButton;

// Drops the system frame of a top-level window and paints the glass backdrop
// behind its widgets; a resizable window can be resized at its edges. Call
// once before the window is first shown; later calls do nothing.
void applyGlassFrameless(QWidget *window, bool resizable);

// A resizable dialog in glass with a title bar: its main layout's content
// moves down below the bar.
void applyGlassDialog(QWidget *dialog, const QString &title, QLayout *mainLayout);

// Whether translucent top-level windows are blended with the desktop beneath
// them. On X11 that needs a running compositing manager; without one the
// glass is painted opaque with square corners instead of showing black.
bool desktopComposites();
// Replaces what the desktop says (nullopt asks the desktop again): for
// platforms that cannot tell, such as the offscreen one.
void overrideDesktopComposites(std::optional<bool> composites);

// Minimise, optional maximise/restore, and close buttons for `window`.
class WindowButtonGroup : public QWidget
{
    Q_OBJECT

public:
    WindowButtonGroup(QWidget *window, bool showMaximize);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *window = nullptr;
    WindowGlyphButton *maximiseButton = nullptr;
};

// Makes `handle` a drag handle for `window`: dragging moves the window, a
// double-click maximises or restores it. Lives as long as the handle.
class DragController : public QObject
{
    Q_OBJECT

public:
    DragController(QWidget *window, QWidget *handle);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void beginDrag(QPoint globalPos);

    QWidget *window = nullptr;
    bool dragging = false;
    QPoint dragOffset;
    // Where the left button went down. The drag begins only once the mouse
    // has moved a few pixels: a window manager's move begun on the press
    // would take the second click of a double-click, and a maximised window
    // restored on the press would flicker.
    std::optional<QPoint> pressAt;
};

// The 46 pixels high title bar of a dialog: icon, caption, minimise and close.
// The caller adds 46 to the top margin of the window's main layout.
class TitleBarWidget : public QWidget
{
    Q_OBJECT

public:
    static constexpr int barHeight = 46;

    TitleBarWidget(QWidget *window, const QString &title);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void follow();

    QWidget *window = nullptr;
};
