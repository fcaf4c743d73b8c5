#pragma once

#include <QList>
#include <QPoint>
#include <QString>
#include <functional>

class QWidget;

// Toast popups stacked from the bottom-right corner of the anchor's screen:
// at most four, six seconds of life paused while hovered, click runs onClick.
void showToast(QWidget *anchor, const QString &title, const QString &body,
               std::function<void()> onClick = {});
// Moves every live toast to its place except the one at exceptIndex, whose
// place is returned instead ((0, 0) for -1). Drops toasts that are gone.
QPoint layoutToasts(QWidget *anchor, int exceptIndex);
void dismissAllToasts();
// The live toasts, oldest first (for tests).
QList<QWidget *> activeToasts();
