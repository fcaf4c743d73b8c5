#pragma once

#include <QHash>
#include <QObject>
#include <QString>

class QDBusServiceWatcher;

// Notifications in the desktop's notification centre, through the
// freedesktop notification service on the session bus: one per session,
// replaced as more arrive and withdrawn once the session is read; its default
// action asks for the session to be opened. Calls never wait on the bus.
class DesktopNotifier : public QObject
{
    Q_OBJECT

public:
    explicit DesktopNotifier(QObject *parent = nullptr);
    ~DesktopNotifier() override;

    // Whether a notification service answers on the session bus now.
    bool isAvailable() const { return m_available; }
    // Shows or replaces the notification of `sessionId`. `summary` and `body`
    // are plain text; the body is escaped, since services read it as markup.
    void notify(int sessionId, const QString &summary, const QString &body);
    void withdraw(int sessionId);
    void withdrawAll();
    // The sessions with a notification shown or on its way.
    QList<int> shownSessions() const { return m_entries.keys(); }

    // `text` as the body markup of the notification service shows it literally.
    static QString escapeBody(const QString &text);

signals:
    void activated(int sessionId);

private slots:
    void onActionInvoked(uint id, const QString &actionKey);
    void onNotificationClosed(uint id, uint reason);

private:
    struct Entry
    {
        uint id = 0; // the service's, once it has answered
        bool inFlight = false; // a Notify call awaits its answer
        bool withdrawn = false; // withdrawn while in flight
        bool changed = false; // newer text came while in flight
        QString summary;
        QString body;
    };
    void send(int sessionId);
    void close(uint id);

    QHash<int, Entry> m_entries;
    QDBusServiceWatcher *m_watcher = nullptr;
    bool m_available = false;
    bool m_ownerKnown = false; // a change of owner was seen, newer than any first answer
};
