#include "widgets/desktopnotifier.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDebug>

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");
// Long texts only fill the centre: the notification is a pointer to the chat.
constexpr int bodyLimit = 200;

} // namespace

DesktopNotifier::DesktopNotifier(QObject *parent) : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    m_watcher
        = new QDBusServiceWatcher(service, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &owner) {
                m_available = !owner.isEmpty();
                m_ownerKnown = true;
                // A new service knows none of the old notifications.
                m_entries.clear();
            });
    // Asked without waiting: a bus that does not answer must not hold the
    // window up. Until it answers, toasts do the job.
    auto *asked = new QDBusPendingCallWatcher(
        bus.interface()->asyncCall(QStringLiteral("NameHasOwner"), service), this);
    connect(asked, &QDBusPendingCallWatcher::finished, this, [this, asked] {
        asked->deleteLater();
        const QDBusPendingReply<bool> reply = *asked;
        if (!m_ownerKnown && reply.isValid())
            m_available = reply.value();
    });
    bus.connect(service, path, interface, QStringLiteral("ActionInvoked"), this,
                SLOT(onActionInvoked(uint, QString)));
    bus.connect(service, path, interface, QStringLiteral("NotificationClosed"), this,
                SLOT(onNotificationClosed(uint, uint)));
}

DesktopNotifier::~DesktopNotifier()
{
    withdrawAll();
}

QString DesktopNotifier::escapeBody(const QString &text)
{
    QString cut = text.size() > bodyLimit ? text.left(bodyLimit) + QChar(0x2026) : text;
    return cut.toHtmlEscaped();
}

void DesktopNotifier::notify(int sessionId, const QString &summary, const QString &body)
{
    if (!m_available)
        return;
    Entry &entry = m_entries[sessionId];
    entry.summary = summary;
    entry.body = body;
    entry.withdrawn = false;
    // One call at a time per session: the next replaces what the first made.
    if (entry.inFlight) {
        entry.changed = true;
        return;
    }
    send(sessionId);
}

void DesktopNotifier::send(int sessionId)
{
    Entry &entry = m_entries[sessionId];
    entry.inFlight = true;
    entry.changed = false;
    QDBusMessage call
        = QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Notify"));
    const QVariantMap hints {{QStringLiteral("category"), QStringLiteral("im.received")},
                             {QStringLiteral("desktop-entry"), QStringLiteral("orvantis")}};
    call << QCoreApplication::applicationName() << entry.id << QStringLiteral("orvantis")
         << entry.summary << escapeBody(entry.body)
         << QStringList {QStringLiteral("default"), QStringLiteral("打开会话")} << hints
         << qint32(-1);
    auto *watcher
        = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, sessionId] {
        watcher->deleteLater();
        const QDBusPendingReply<uint> reply = *watcher;
        auto it = m_entries.find(sessionId);
        if (it == m_entries.end()) { // withdrawn with all the others meanwhile
            if (reply.isValid())
                close(reply.value());
            return;
        }
        it->inFlight = false;
        if (reply.isError()) {
            qDebug() << "[UI] 系统通知失败:" << reply.error().message();
            m_entries.erase(it);
            return;
        }
        it->id = reply.value();
        if (it->withdrawn) {
            close(it->id);
            m_entries.erase(it);
        } else if (it->changed) {
            send(sessionId);
        }
    });
}

void DesktopNotifier::withdraw(int sessionId)
{
    auto it = m_entries.find(sessionId);
    if (it == m_entries.end())
        return;
    if (it->inFlight) {
        it->withdrawn = true;
        return;
    }
    close(it->id);
    m_entries.erase(it);
}

void DesktopNotifier::withdrawAll()
{
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it) {
        if (it->id)
            close(it->id);
    }
    // Answers still on their way close theirs when they come.
    m_entries.clear();
}

void DesktopNotifier::close(uint id)
{
    if (!id)
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface,
                                                       QStringLiteral("CloseNotification"));
    call << id;
    QDBusConnection::sessionBus().call(call, QDBus::NoBlock);
}

void DesktopNotifier::onActionInvoked(uint id, const QString &actionKey)
{
    if (actionKey != QLatin1String("default"))
        return;
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it) {
        if (it->id == id) {
            emit activated(it.key());
            return;
        }
    }
}

void DesktopNotifier::onNotificationClosed(uint id, uint reason)
{
    Q_UNUSED(reason);
    m_entries.removeIf(
        [id](const auto &entry) { return entry.value().id == id && !entry.value().inFlight; });
}
