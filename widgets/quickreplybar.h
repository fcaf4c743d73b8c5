#pragma once

#include <QList>
#include <QWidget>

#include "widgets/replylibrary.h"

class QHBoxLayout;
class QPushButton;

// The row of canned answers above the message editor: the first five replies
// of the agent's library, and "管理" at its end to edit the library. A click
// announces the reply's text; the window fills its variables and puts it into
// the editor without sending it.
class QuickReplyBar : public QWidget
{
    Q_OBJECT

public:
    static constexpr int buttonCount = 5;

    explicit QuickReplyBar(QWidget *parent = nullptr);

    // Buttons for the first replies, Alt+1 to Alt+5 in order.
    void setReplies(const QList<Reply> &replies);
    QPushButton *manageButton() const { return m_manage; }

signals:
    void quickReplyClicked(const QString &text);
    void manageRequested();

private:
    QHBoxLayout *m_layout = nullptr;
    QList<QPushButton *> m_buttons;
    QPushButton *m_manage = nullptr;
};
