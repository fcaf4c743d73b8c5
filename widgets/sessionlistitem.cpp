#include "sessionlistitem.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QVBoxLayout>

#include "widgets/displaytext.h"

namespace {

constexpr int kPreviewLength = 15;

QLabel *makeLabel(const char *objectName, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QLatin1String(objectName));
    label->setTextFormat(Qt::PlainText); // names and previews come from visitors
    return label;
}

void setTextIfChanged(QLabel *label, const QString &text)
{
    if (label->text() != text)
        label->setText(text);
}

} // namespace

QString SessionListItem::sharedStyleSheet()
{
    // One sheet for all rows, applied by the list container: a style sheet per
    // row would be parsed and polished once per row on every rebuild.
    return QStringLiteral(
        "SessionListItem QLabel#avatarLabel { background-color: qlineargradient(x1:0, y1:0, x2:1, "
        "y2:1, "
        "stop:0 #7ea6ff, stop:1 #5b7cf2); color: white; border-radius: 20px; font-size: 16px; "
        "font-weight: bold; }"
        "SessionListItem QLabel#nameLabel { font-size: 14px; font-weight: bold; color: #2f3441; }"
        "SessionListItem QLabel#lastMessageLabel { font-size: 12px; color: #98a0b2; }"
        "SessionListItem QLabel#timeLabel { font-size: 11px; color: #98a0b2; }"
        "SessionListItem QLabel#waitLabel { font-size: 11px; color: #8b93a5; }"
        "SessionListItem QLabel#waitLabel[level=\"warn\"] { color: #d97706; font-weight: bold; }"
        "SessionListItem QLabel#waitLabel[level=\"alarm\"] { color: #e11d48; font-weight: bold; }"
        "SessionListItem QLabel#unreadBadge { background-color: qlineargradient(x1:0, y1:0, x2:1, "
        "y2:1, "
        "stop:0 #ff8a8a, stop:1 #ef4757); color: white; border-radius: 10px; font-size: 11px; "
        "font-weight: bold; }"
        "SessionListItem QLabel#onlineDot[online=\"true\"] { background-color: #22a06b; "
        "border-radius: 4px; }"
        "SessionListItem QLabel#onlineDot[online=\"false\"] { background-color: #d6dbe6; "
        "border-radius: 4px; }");
}

SessionListItem::SessionListItem(const ChatSession &session, QWidget *parent) : QWidget(parent)
{
    setFixedHeight(64);
    setCursor(Qt::PointingHandCursor);

    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(10, 6, 10, 6);
    row->setSpacing(10);

    m_avatarLabel = makeLabel("avatarLabel", this);
    m_avatarLabel->setFixedSize(40, 40);
    m_avatarLabel->setAlignment(Qt::AlignCenter);
    row->addWidget(m_avatarLabel, 0);

    // The two columns are plain layouts rather than container widgets: rows
    // are created by the thousand, and every widget costs creation and polish.
    auto *textLayout = new QVBoxLayout;
    textLayout->setContentsMargins(0, 0, 0, 0);
    textLayout->setSpacing(2);
    m_nameLabel = makeLabel("nameLabel", this);
    m_lastMessageLabel = makeLabel("lastMessageLabel", this);
    m_lastMessageLabel->setMaximumWidth(150);
    m_waitLabel = makeLabel("waitLabel", this);
    m_waitLabel->hide();
    auto *nameLayout = new QHBoxLayout;
    nameLayout->setContentsMargins(0, 0, 0, 0);
    nameLayout->setSpacing(6);
    nameLayout->addWidget(m_nameLabel, 1);
    nameLayout->addWidget(m_waitLabel, 0);
    textLayout->addLayout(nameLayout);
    textLayout->addWidget(m_lastMessageLabel);
    row->addLayout(textLayout, 1);

    auto *statusLayout = new QVBoxLayout;
    statusLayout->setContentsMargins(0, 0, 0, 0);
    statusLayout->setSpacing(4);
    statusLayout->setAlignment(Qt::AlignTop);
    m_timeLabel = makeLabel("timeLabel", this);
    m_timeLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_unreadBadge = makeLabel("unreadBadge", this);
    m_unreadBadge->setFixedSize(20, 20);
    m_unreadBadge->setAlignment(Qt::AlignCenter);
    m_unreadBadge->hide();
    m_onlineDot = makeLabel("onlineDot", this);
    m_onlineDot->setFixedSize(8, 8);
    statusLayout->addWidget(m_timeLabel);
    statusLayout->addWidget(m_unreadBadge, 0, Qt::AlignRight);
    statusLayout->addWidget(m_onlineDot, 0, Qt::AlignRight);
    row->addLayout(statusLayout, 0);

    // Not yet polished: the first setOnline only records the property.
    m_onlineDot->setProperty("online", false);
    m_onlineDot->setToolTip(QStringLiteral("离线"));

    showSession(session);
}

void SessionListItem::setSession(const ChatSession &session)
{
    // A reused row starts unselected, like a new one. The labels repaint
    // themselves when their texts change; the row's own painting (hover and
    // selection) only when those change, so that refreshing a list in place
    // repaints nothing that looks the same.
    const bool hovered = underMouse();
    const bool restyle = m_selected || hovered != m_hovered;
    m_selected = false;
    m_hovered = hovered;
    showSession(session);
    if (restyle)
        update();
}

void SessionListItem::showSession(const ChatSession &session)
{
    m_sessionId = session.id;
    const QString name = session.displayName();
    setTextIfChanged(m_avatarLabel, DisplayText::firstLetterUpper(name));
    setTextIfChanged(m_nameLabel, name);
    if (session.lastMessage != m_lastMessageRaw) {
        m_lastMessageRaw = session.lastMessage;
        setTextIfChanged(m_lastMessageLabel, elidedPreview(session.lastMessage));
    }
    if (session.lastTime != m_lastTimeRaw) {
        m_lastTimeRaw = session.lastTime;
        setTextIfChanged(m_timeLabel,
                         timeText(session.lastTime)); // date parsing is the costly part
    }
    setUnreadCount(session.unreadCount);
    setOnline(session.online);
    m_waitingSince = session.online ? session.waitingSince : QDateTime();
    showWaiting(m_waitingSince.isValid() ? QDateTime::currentDateTime() : QDateTime());
}

namespace {
int s_warnSecs = 60;
int s_alarmSecs = 180;
} // namespace

void SessionListItem::setWaitingThresholds(int warnSecs, int alarmSecs)
{
    s_warnSecs = warnSecs;
    s_alarmSecs = alarmSecs;
}

QString SessionListItem::waitedText(qint64 secs)
{
    secs = qMax<qint64>(secs, 0);
    const QString seconds = QStringLiteral("%1").arg(secs % 60, 2, 10, QLatin1Char('0'));
    if (secs < 3600)
        return QStringLiteral("%1:%2").arg(secs / 60).arg(seconds);
    return QStringLiteral("%1:%2:%3")
        .arg(secs / 3600)
        .arg((secs / 60) % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds);
}

void SessionListItem::showWaiting(const QDateTime &now)
{
    if (!m_waitingSince.isValid()) {
        if (!m_waitLabel->isHidden())
            m_waitLabel->hide();
        return;
    }
    const qint64 secs = m_waitingSince.secsTo(now);
    setTextIfChanged(m_waitLabel, QStringLiteral("等待 %1").arg(waitedText(secs)));
    const char *level = secs >= s_alarmSecs ? "alarm" : secs >= s_warnSecs ? "warn" : "";
    if (m_waitLabel->property("level").toByteArray() != level) {
        m_waitLabel->setProperty("level", QByteArray(level));
        // Dynamic-property selectors are only re-evaluated on a new polish.
        m_waitLabel->style()->unpolish(m_waitLabel);
        m_waitLabel->style()->polish(m_waitLabel);
    }
    if (m_waitLabel->isHidden())
        m_waitLabel->show();
}

void SessionListItem::setUnreadCount(int count)
{
    if (count > 0) {
        setTextIfChanged(m_unreadBadge, QString::number(qMin(count, 99)));
        m_unreadBadge->show();
    } else {
        m_unreadBadge->hide();
        setTextIfChanged(m_unreadBadge, QString());
    }
}

void SessionListItem::setOnline(bool online)
{
    m_online = online;
    m_onlineDot->setToolTip(online ? QStringLiteral("在线") : QStringLiteral("离线"));
    if (m_onlineDot->property("online").toBool() == online)
        return;
    m_onlineDot->setProperty("online", online);
    // Dynamic-property selectors are only re-evaluated on a new polish.
    if (m_onlineDot->testAttribute(Qt::WA_WState_Polished)) {
        QStyle *style = m_onlineDot->style();
        style->unpolish(m_onlineDot);
        style->polish(m_onlineDot);
        m_onlineDot->update();
    }
}

void SessionListItem::setSelected(bool selected)
{
    if (m_selected == selected)
        return;
    m_selected = selected;
    update();
}

void SessionListItem::updateLastMessage(const QString &text, const QString &time)
{
    if (!text.isEmpty()) {
        m_lastMessageRaw = text;
        setTextIfChanged(m_lastMessageLabel, elidedPreview(text));
    }
    const QString shownTime = timeText(time);
    if (!shownTime.isEmpty()) {
        m_lastTimeRaw = time;
        setTextIfChanged(m_timeLabel, shownTime);
    }
}

QString SessionListItem::elidedPreview(const QString &text)
{
    if (text.size() <= kPreviewLength)
        return text;
    int cut = kPreviewLength;
    if (text.at(cut - 1).isHighSurrogate())
        --cut; // never split a character in two halves
    return text.left(cut) + QStringLiteral("...");
}

QString SessionListItem::timeText(const QString &isoTime)
{
    if (isoTime.isEmpty())
        return {};
    const QDateTime time = QDateTime::fromString(isoTime, Qt::ISODate);
    return time.isValid() ? time.toString(QStringLiteral("HH:mm")) : QString();
}

void SessionListItem::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event)
    if (!m_selected && !m_hovered)
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF shape = QRectF(rect()).adjusted(6, 3, -6, -3);
    QPainterPath background;
    background.addRoundedRect(shape, 12, 12);
    if (m_selected) {
        painter.fillPath(background, QColor(91, 140, 255, 48));
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(61, 109, 242));
        painter.drawRoundedRect(QRectF(shape.left() + 1, shape.top() + 12, 3, shape.height() - 24),
                                1.5, 1.5);
    } else {
        painter.fillPath(background, QColor(255, 255, 255, 115));
    }
}

void SessionListItem::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        emit clicked();
    else if (event->button() == Qt::RightButton)
        emit rightClicked();
    QWidget::mousePressEvent(event);
}

void SessionListItem::setHovered(bool hovered)
{
    if (hovered != m_hovered) {
        m_hovered = hovered;
        update();
    }
}

void SessionListItem::enterEvent(QEnterEvent *event)
{
    setHovered(true);
    QWidget::enterEvent(event);
}

void SessionListItem::leaveEvent(QEvent *event)
{
    setHovered(false);
    QWidget::leaveEvent(event);
}
