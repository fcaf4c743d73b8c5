#pragma once

#include <QList>
#include <QWidget>

class QPushButton;

// The row of canned answers above the message editor. A click announces the
// phrase; the window puts it into the editor without sending it.
class QuickReplyBar : public QWidget
{
    Q_OBJECT

public:
    explicit QuickReplyBar(QWidget *parent = nullptr);

    static const QStringList &phrases();

signals:
    void quickReplyClicked(const QString &text);

private:
    QList<QPushButton *> m_buttons;
};
