#include "workspace/messagestore.h"

#include "net/apiclient.h"
#include "net/wssclient.h"
#include "workspace/messagerules.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSettings>
#include <QTimer>
#include <QUuid>

namespace {

// The service's clock and ours may differ: a stored message counts as the
// one that left when it was created no earlier than this before it left.
constexpr qint64 kClockSlackSecs = 120;

QString outboxKey(int agentId)
{
    return QStringLiteral("outbox/%1").arg(agentId);
}

// In time order, each after every message of its time or earlier.
void insertInOrder(QList<ChatMessage> &messages, const ChatMessage &msg)
{
    qsizetype at = messages.size();
    if (msg.createdAt.isValid()) {
        while (at > 0 && messages.at(at - 1).createdAt.isValid()
               && messages.at(at - 1).createdAt > msg.createdAt)
            --at;
    }
    messages.insert(at, msg);
}

qsizetype indexOfLocal(const QList<ChatMessage> &messages, const QString &localId)
{
    for (qsizetype i = messages.size() - 1; i >= 0; --i) {
        if (messages.at(i).localId == localId)
            return i;
    }
    return -1;
}

} // namespace

MessageStore::MessageStore(WssClient *link, ApiClient *api, QObject *parent)
    : QObject(parent)
    , m_link(link)
    , m_api(api)
    , m_confirmTimer(new QTimer(this))
    , m_checkRetry(new QTimer(this))
    , m_saveTimer(new QTimer(this))
{
    m_confirmTimer->setSingleShot(true);
    m_confirmTimer->setInterval(30000);
    connect(m_confirmTimer, &QTimer::timeout, this, [this] {
        Outgoing *out = head();
        if (!out || out->stage != Stage::InFlight)
            return;
        // A service that has not answered for so long is as good as gone,
        // and a late answer on this link could no longer be told apart: a new
        // link, and the message is looked for once it is up.
        qDebug() << "[WSS] 发送确认超时，重新连接后核对是否已送达:" << out->msg.localId;
        m_link->restartLink();
        onLinkLost();
    });
    m_checkRetry->setSingleShot(true);
    m_checkRetry->setInterval(2000);
    connect(m_checkRetry, &QTimer::timeout, this, &MessageStore::pump);
    // The outbox is written shortly after it changes, not once per frame.
    m_saveTimer->setSingleShot(true);
    m_saveTimer->setInterval(200);
    connect(m_saveTimer, &QTimer::timeout, this, &MessageStore::save);
}

MessageStore::~MessageStore()
{
    if (m_saveTimer->isActive())
        save();
}

// ---- the cache

void MessageStore::setLimits(int sessions, int messagesPerSession)
{
    m_maxSessions = qMax(1, sessions);
    m_maxPerSession = qMax(1, messagesPerSession);
}

int MessageStore::cachedMessageCount() const
{
    int count = 0;
    for (const QList<ChatMessage> &messages : m_cache)
        count += int(messages.size());
    return count;
}

bool MessageStore::addPushed(const ChatMessage &msg)
{
    QList<ChatMessage> &cached = m_cache[msg.sessionId];
    if (isDuplicateMessage(cached, msg))
        return false;
    cached.append(msg);
    trim(cached);
    if (auto late = m_lateArrivals.find(msg.sessionId); late != m_lateArrivals.end())
        late->append(msg);
    used(msg.sessionId);
    return true;
}

void MessageStore::expectPage(int sessionId)
{
    m_lateArrivals.insert(sessionId, {});
}

QList<ChatMessage> MessageStore::applyPage(int sessionId, const QList<ChatMessage> &page)
{
    claimFrom(sessionId, page);
    QList<ChatMessage> kept;
    kept.reserve(page.size());
    QSet<QString> held; // uuids the page holds, deleted ones too
    QDateTime oldest;
    for (const ChatMessage &msg : page) {
        if (!msg.msgUuid.isEmpty())
            held.insert(msg.msgUuid);
        if (msg.createdAt.isValid() && (!oldest.isValid() || msg.createdAt < oldest))
            oldest = msg.createdAt;
        if (!msg.isDeleted)
            kept.append(msg);
    }
    // What was pushed while the page was on its way may be newer than it.
    for (const ChatMessage &msg : m_lateArrivals.take(sessionId)) {
        if (!isDuplicateMessage(page, msg) && !isDuplicateMessage(kept, msg))
            insertInOrder(kept, msg);
    }
    // The agent's messages stored after the page was made, within its time.
    for (const ChatMessage &msg : m_cache.value(sessionId)) {
        if (msg.localId.isEmpty() || msg.msgUuid.isEmpty() || held.contains(msg.msgUuid)
            || isDuplicateMessage(kept, msg))
            continue;
        if (!oldest.isValid() || !msg.createdAt.isValid() || msg.createdAt >= oldest)
            insertInOrder(kept, msg);
    }
    // And what has not reached the service yet, whatever the page says. The
    // service will store it after all of the page, so it goes last, in the
    // order written, not by the time it was typed.
    for (const Outgoing &out : std::as_const(m_outbox)) {
        if (out.msg.sessionId == sessionId && indexOfLocal(kept, out.msg.localId) < 0)
            kept.append(out.msg);
    }
    trim(kept);
    m_cache.insert(sessionId, kept);
    used(sessionId);
    return kept;
}

QList<ChatMessage> MessageStore::merge(int sessionId, const QList<ChatMessage> &page)
{
    claimFrom(sessionId, page);
    QList<ChatMessage> &cached = m_cache[sessionId];
    const QList<ChatMessage> added = mergeMessages(cached, page);
    trim(cached);
    used(sessionId);
    return added;
}

bool MessageStore::remove(int sessionId, const QString &uuid)
{
    if (uuid.isEmpty())
        return false;
    auto it = m_cache.find(sessionId);
    if (it == m_cache.end())
        return false;
    for (qsizetype i = it->size() - 1; i >= 0; --i) {
        if (it->at(i).msgUuid == uuid) {
            it->removeAt(i);
            return true;
        }
    }
    return false;
}

void MessageStore::dropSession(int sessionId, const QString &reason)
{
    m_cache.remove(sessionId);
    m_lateArrivals.remove(sessionId);
    m_recent.removeOne(sessionId);
    int dropped = 0;
    for (qsizetype i = m_outbox.size() - 1; i >= 0; --i) {
        const Outgoing &out = m_outbox.at(i);
        // One out on the link gets its answer yet; it is never sent again.
        if (out.msg.sessionId != sessionId || out.stage == Stage::InFlight
            || out.stage == Stage::Checking)
            continue;
        if (out.stage != Stage::Failed)
            ++dropped;
        m_outbox.removeAt(i);
    }
    for (Outgoing &out : m_outbox) {
        if (out.msg.sessionId == sessionId)
            out.msg.failReason = reason; // told when its answer comes
    }
    scheduleSave();
    if (dropped > 0)
        emit sendFailed(sessionId, reason);
}

void MessageStore::touch(int sessionId)
{
    used(sessionId);
}

void MessageStore::setOpenSession(int sessionId)
{
    m_openSession = sessionId;
    if (sessionId > 0)
        used(sessionId);
}

void MessageStore::used(int sessionId)
{
    if (m_recent.isEmpty() || m_recent.constFirst() != sessionId) {
        m_recent.removeOne(sessionId);
        m_recent.prepend(sessionId);
    }
    // The least recently used go, the open one never; they are fetched again
    // when opened.
    while (m_recent.size() > m_maxSessions) {
        qsizetype victim = m_recent.size() - 1;
        if (m_recent.at(victim) == m_openSession)
            --victim;
        m_cache.remove(m_recent.takeAt(victim));
    }
}

void MessageStore::trim(QList<ChatMessage> &messages) const
{
    // The oldest go first; what the agent has not sent yet never does.
    qsizetype excess = messages.size() - m_maxPerSession;
    for (qsizetype i = 0; excess > 0 && i < messages.size();) {
        if (messages.at(i).delivery == ChatMessage::Delivery::Stored) {
            messages.removeAt(i);
            --excess;
        } else {
            ++i;
        }
    }
}

// ---- the outbox

void MessageStore::setConfirmTimeoutMs(int ms)
{
    m_confirmTimer->setInterval(ms);
}

int MessageStore::sendingCount() const
{
    int count = 0;
    for (const Outgoing &out : m_outbox)
        count += out.stage != Stage::Failed;
    return count;
}

void MessageStore::setAgent(int agentId)
{
    clear();
    m_agentId = agentId;
    load();
}

void MessageStore::clear()
{
    if (m_saveTimer->isActive())
        save();
    m_saveTimer->stop();
    m_confirmTimer->stop();
    m_checkRetry->stop();
    if (m_check)
        m_check->abandon();
    m_check = nullptr;
    m_cache.clear();
    m_lateArrivals.clear();
    m_recent.clear();
    m_outbox.clear();
    m_openSession = 0;
    m_ready = false;
    m_agentId = 0;
}

ChatMessage MessageStore::send(int sessionId, const QString &content, const QString &msgType)
{
    Outgoing out;
    out.msg.sessionId = sessionId;
    out.msg.senderType = QStringLiteral("agent");
    out.msg.content = content;
    out.msg.msgType = msgType;
    out.msg.createdAt = QDateTime::currentDateTime();
    out.msg.localId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    out.msg.delivery = ChatMessage::Delivery::Sending;
    m_outbox.append(out);
    QList<ChatMessage> &cached = m_cache[sessionId];
    cached.append(out.msg);
    trim(cached);
    used(sessionId);
    scheduleSave();
    const ChatMessage shown = out.msg;
    pump();
    return shown;
}

void MessageStore::retry(const QString &localId)
{
    const qsizetype at = indexOf(localId);
    if (at < 0 || m_outbox.at(at).stage != Stage::Failed)
        return;
    Outgoing out = m_outbox.takeAt(at);
    out.stage = Stage::Queued;
    out.leftAt = QDateTime();
    out.msg.delivery = ChatMessage::Delivery::Sending;
    out.msg.failReason.clear();
    m_outbox.append(out); // behind what was written meanwhile
    publish(out);
    scheduleSave();
    pump();
}

void MessageStore::discard(const QString &localId)
{
    const qsizetype at = indexOf(localId);
    if (at < 0 || m_outbox.at(at).stage != Stage::Failed)
        return;
    const Outgoing out = m_outbox.takeAt(at);
    auto it = m_cache.find(out.msg.sessionId);
    if (it != m_cache.end()) {
        const qsizetype i = indexOfLocal(*it, localId);
        if (i >= 0)
            it->removeAt(i);
    }
    scheduleSave();
    emit messageDiscarded(out.msg.sessionId, localId);
}

void MessageStore::setLinkReady(bool ready)
{
    m_ready = ready;
    if (ready)
        pump();
}

void MessageStore::onLinkLost()
{
    m_ready = false;
    m_confirmTimer->stop();
    m_checkRetry->stop();
    if (m_check)
        m_check->abandon();
    m_check = nullptr;
    for (Outgoing &out : m_outbox) {
        out.onThisLink = false;
        // Stored or not, nobody will say so on this link: looked for first.
        if (out.stage == Stage::InFlight || out.stage == Stage::Checking)
            out.stage = Stage::Unconfirmed;
    }
}

void MessageStore::onChatSent(const QString &uuid, int sessionId)
{
    Outgoing *out = head();
    if (uuid.isEmpty() || !out || !out->onThisLink || out->stage == Stage::Queued)
        return;
    if (m_confirmed.contains(uuid)) {
        qDebug() << "[WSS] 重复的发送确认，忽略:" << uuid;
        return;
    }
    if (sessionId != 0 && sessionId != out->msg.sessionId) {
        qDebug() << "[WSS] 确认的会话与发出的不符，忽略:" << sessionId;
        return;
    }
    confirmHead(uuid);
}

void MessageStore::onServiceError(const QString &message)
{
    Outgoing *out = head();
    // Before the pong of the ping sent ahead of the chat, it answers an
    // earlier frame.
    if (!out || out->stage != Stage::InFlight || m_link->pongsReceived() < out->barrier)
        return;
    failHead(message.isEmpty() ? QStringLiteral("服务拒绝了该消息") : message);
}

MessageStore::Outgoing *MessageStore::head()
{
    for (Outgoing &out : m_outbox) {
        if (out.stage != Stage::Failed)
            return &out;
    }
    return nullptr;
}

qsizetype MessageStore::indexOf(const QString &localId) const
{
    for (qsizetype i = 0; i < m_outbox.size(); ++i) {
        if (m_outbox.at(i).msg.localId == localId)
            return i;
    }
    return -1;
}

void MessageStore::publish(const Outgoing &out)
{
    auto it = m_cache.find(out.msg.sessionId);
    if (it != m_cache.end()) {
        const qsizetype i = indexOfLocal(*it, out.msg.localId);
        if (i >= 0)
            (*it)[i] = out.msg;
    }
    emit messageChanged(out.msg.sessionId, out.msg.localId);
}

void MessageStore::pump()
{
    Outgoing *out = head();
    if (!out || !m_ready || !m_link->isAuthenticated())
        return;
    switch (out->stage) {
    case Stage::Queued:
        emit joinWanted(out->msg.sessionId);
        m_link->sendPing();
        out->barrier = m_link->pingsSent();
        m_link->sendChat(out->msg.sessionId, out->msg.content, out->msg.msgType);
        out->stage = Stage::InFlight;
        out->onThisLink = true;
        out->leftAt = QDateTime::currentDateTime();
        m_confirmTimer->start();
        scheduleSave();
        break;
    case Stage::Unconfirmed:
        checkHead();
        break;
    default:
        break; // its answer is awaited
    }
}

void MessageStore::confirmHead(const QString &uuid)
{
    Outgoing *out = head();
    m_confirmTimer->stop();
    Outgoing done = *out;
    m_outbox.removeAt(out - m_outbox.data());
    done.msg.msgUuid = uuid;
    done.msg.delivery = ChatMessage::Delivery::Stored;
    m_confirmed.append(uuid);
    if (m_confirmed.size() > 64)
        m_confirmed.removeFirst();
    done.msg.failReason.clear();
    publish(done);
    scheduleSave();
    pump();
}

void MessageStore::failHead(const QString &reason)
{
    Outgoing *out = head();
    m_confirmTimer->stop();
    out->stage = Stage::Failed;
    out->onThisLink = false;
    out->msg.delivery = ChatMessage::Delivery::Failed;
    out->msg.failReason = reason;
    const Outgoing failed = *out;
    qDebug() << "[WSS] 消息未发送:" << failed.msg.localId << reason;
    publish(failed);
    emit sendFailed(failed.msg.sessionId, reason);
    scheduleSave();
    pump();
}

// Whether the service stored the head although its answer never came: its
// session's newest messages say.
void MessageStore::checkHead()
{
    Outgoing *out = head();
    if (m_check || m_checkRetry->isActive())
        return;
    out->stage = Stage::Checking;
    const QString localId = out->msg.localId;
    ApiRequest *request = m_api->getMessages(out->msg.sessionId, QString());
    m_check = request;
    connect(request, &ApiRequest::succeeded, this, [this, request, localId] {
        m_check = nullptr;
        onChecked(localId, request->messages());
    });
    connect(request, &ApiRequest::failed, this, [this, localId] {
        m_check = nullptr;
        Outgoing *out = head();
        if (out && out->msg.localId == localId && out->stage == Stage::Checking) {
            out->stage = Stage::Unconfirmed;
            m_checkRetry->start();
        }
    });
}

// The message out on its way may be among what the service lists as
// stored: the agent's, same content, created after it left, and no other own
// message's yet. Then it is stored, whatever became of its answer.
bool MessageStore::claimFrom(int sessionId, const QList<ChatMessage> &stored)
{
    Outgoing *out = head();
    if (!out || out->msg.sessionId != sessionId || !out->leftAt.isValid()
        || out->stage == Stage::Queued)
        return false;
    QSet<QString> claimed;
    for (const ChatMessage &msg : m_cache.value(sessionId)) {
        if (!msg.localId.isEmpty())
            claimed.insert(msg.msgUuid);
    }
    claimed.unite(QSet<QString>(m_confirmed.cbegin(), m_confirmed.cend()));
    const QDateTime earliest = out->leftAt.addSecs(-kClockSlackSecs);
    for (const ChatMessage &msg : stored) {
        if (isFromSelf(msg) && !msg.msgUuid.isEmpty() && !claimed.contains(msg.msgUuid)
            && msg.content == out->msg.content && msg.msgType == out->msg.msgType
            && (!msg.createdAt.isValid() || msg.createdAt >= earliest)) {
            qDebug() << "[WSS] 消息已由服务保存，不再重发:" << out->msg.localId;
            confirmHead(msg.msgUuid);
            return true;
        }
    }
    return false;
}

void MessageStore::onChecked(const QString &localId, const QList<ChatMessage> &newest)
{
    Outgoing *out = head();
    if (!out || out->msg.localId != localId || out->stage != Stage::Checking)
        return;
    if (claimFrom(out->msg.sessionId, newest))
        return;
    if (!out->msg.failReason.isEmpty()) {
        // Its session went meanwhile: not sent again, and the agent is told.
        const Outgoing gone = *out;
        m_outbox.removeAt(out - m_outbox.data());
        scheduleSave();
        emit sendFailed(gone.msg.sessionId, gone.msg.failReason);
        pump();
        return;
    }
    qDebug() << "[WSS] 消息未到服务，重新发送:" << localId;
    out->stage = Stage::Queued;
    pump();
}

void MessageStore::scheduleSave()
{
    if (m_agentId > 0)
        m_saveTimer->start();
}

// Unsent messages survive a restart, like drafts: kept per agent in the
// user's own settings file.
void MessageStore::save()
{
    m_saveTimer->stop();
    if (m_agentId <= 0)
        return;
    QSettings settings;
    if (m_outbox.isEmpty()) {
        settings.remove(outboxKey(m_agentId));
        return;
    }
    QJsonArray list;
    for (const Outgoing &out : std::as_const(m_outbox)) {
        QJsonObject entry {
            {QStringLiteral("local_id"), out.msg.localId},
            {QStringLiteral("session_id"), out.msg.sessionId},
            {QStringLiteral("content"), out.msg.content},
            {QStringLiteral("msg_type"), out.msg.msgType},
            {QStringLiteral("created_at"), out.msg.createdAt.toString(Qt::ISODateWithMs)}};
        if (out.leftAt.isValid())
            entry.insert(QStringLiteral("left_at"), out.leftAt.toString(Qt::ISODateWithMs));
        if (out.stage == Stage::Failed)
            entry.insert(QStringLiteral("failed"), out.msg.failReason);
        list.append(entry);
    }
    settings.setValue(outboxKey(m_agentId),
                      QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact)));
}

void MessageStore::load()
{
    const QByteArray stored = QSettings().value(outboxKey(m_agentId)).toString().toUtf8();
    const QJsonArray list = QJsonDocument::fromJson(stored).array();
    for (const QJsonValue &value : list) {
        const QJsonObject entry = value.toObject();
        Outgoing out;
        out.msg.localId = entry.value(QStringLiteral("local_id")).toString();
        out.msg.sessionId = entry.value(QStringLiteral("session_id")).toInt();
        out.msg.content = entry.value(QStringLiteral("content")).toString();
        out.msg.msgType = entry.value(QStringLiteral("msg_type")).toString();
        out.msg.senderType = QStringLiteral("agent");
        out.msg.createdAt = QDateTime::fromString(
            entry.value(QStringLiteral("created_at")).toString(), Qt::ISODateWithMs);
        out.leftAt = QDateTime::fromString(entry.value(QStringLiteral("left_at")).toString(),
                                           Qt::ISODateWithMs);
        if (out.msg.localId.isEmpty() || out.msg.sessionId < 1 || out.msg.content.isEmpty()
            || indexOf(out.msg.localId) >= 0)
            continue;
        if (entry.contains(QStringLiteral("failed"))) {
            out.stage = Stage::Failed;
            out.msg.delivery = ChatMessage::Delivery::Failed;
            out.msg.failReason = entry.value(QStringLiteral("failed")).toString();
        } else {
            // One that had left may have been stored: looked for before it goes again.
            out.stage = out.leftAt.isValid() ? Stage::Unconfirmed : Stage::Queued;
            out.msg.delivery = ChatMessage::Delivery::Sending;
        }
        m_outbox.append(out);
    }
}
