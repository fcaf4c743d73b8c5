#pragma once

#include <QWidget>

#include "net/chatrecords.h"

class QLabel;

// One row of the session list: letter avatar, name, shortened last message,
// time, unread badge and online dot. Paints its own selection and hover.
class SessionListItem : public QWidget
{
    Q_OBJECT

public:
    explicit SessionListItem(const ChatSession &session, QWidget *parent = nullptr);

    int sessionId() const { return m_sessionId; }
    void setOnline(bool online);
    bool isOnline() const { return m_online; }
    void setSelected(bool selected);
    bool isSelected() const { return m_selected; }
    void updateLastMessage(const QString &text, const QString &time);
    // Shows another session in this row, so the list can reuse rows instead of
    // recreating them. Equivalent to constructing a new item from `session`.
    void setSession(const ChatSession &session);
    // Shows min(count, 99); hides the badge for 0 or less.
    void setUnreadCount(int count);
    bool isHovered() const { return m_hovered; }
    // For a list that moves rows under a resting pointer, which brings no
    // enter or leave events.
    void setHovered(bool hovered);
    // Shows how long the visitor of an online session has waited for an
    // answer at `now`, coloured past the thresholds; hidden when nobody waits.
    void showWaiting(const QDateTime &now);
    // From which waiting time on the rows warn, and alarm (seconds).
    static void setWaitingThresholds(int warnSecs, int alarmSecs);
    // "0:45", "3:07", "1:02:03"; "0:00" for a negative time.
    static QString waitedText(qint64 secs);

    // The look of every row, selecting the child labels by object name. The
    // list container applies it once; rows carry no style sheet of their own.
    static QString sharedStyleSheet();

    // Pure helpers, shared with tests.
    static QString elidedPreview(const QString &text); // 15 characters, then "..."
    static QString timeText(const QString &isoTime); // "HH:mm", or empty

signals:
    void clicked();
    void rightClicked();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    void showSession(const ChatSession &session);

    int m_sessionId = 0;
    QLabel *m_avatarLabel = nullptr;
    QLabel *m_nameLabel = nullptr;
    QLabel *m_lastMessageLabel = nullptr;
    QLabel *m_timeLabel = nullptr;
    QLabel *m_unreadBadge = nullptr;
    QLabel *m_onlineDot = nullptr;
    QLabel *m_waitLabel = nullptr;
    QDateTime m_waitingSince; // invalid while nobody waits or the visitor is offline
    bool m_selected = false;
    bool m_online = false;
    bool m_hovered = false;
    // What the preview and time labels were made from, to skip redoing them.
    QString m_lastMessageRaw;
    QString m_lastTimeRaw;
};
