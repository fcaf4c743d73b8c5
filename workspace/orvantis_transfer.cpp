// Handing the open session to an online colleague, and the service's word
// that a session left or reached this agent.

#include "workspace/orvantis.h"

#include "net/apiclient.h"
#include "net/wssclient.h"
#include "shell/glasswindow.h"
#include "ui_orvantis.h"
#include "widgets/notifysound.h"
#include "workspace/messagestore.h"
#include "workspace/sessionlistview.h"
#include "workspace/sessionstore.h"

#include <QDebug>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QSet>
#include <QVBoxLayout>

namespace {

const char transferStyle[]
    = "QDialog { background: transparent; }"
      "QLabel { background: transparent; }"
      "QLabel#titleLabel { font-size: 15px; font-weight: 600; color: #2f3441; }"
      "QLabel#descLabel { font-size: 12px; color: #8b93a5; }"
      "QLabel#visitorLabel { font-size: 13px; color: #2f3441; }"
      "QLabel#emptyLabel { font-size: 12px; color: #98a0b2; }"
      "QPushButton#agentBtn { background: rgba(255,255,255,0.86); color: #2f3441; border: 1px "
      "solid rgba(255,255,255,0.9); border-radius: 10px; padding: 10px 14px; font-size: 14px; "
      "text-align: left; }"
      "QPushButton#agentBtn:hover { background: #ffffff; border-color: #8fadff; color: #2f5fe0; }"
      "QPushButton#cancelBtn { background: rgba(255,255,255,0.82); color: #5b6478; border: 1px "
      "solid rgba(255,255,255,0.95); border-radius: 9px; padding: 6px 26px; font-size: 13px; }"
      "QPushButton#cancelBtn:hover { background: #ffffff; border-color: #8fadff; color: #2f5fe0; }"
      "QPushButton#cancelBtn:pressed { background: #e4ebff; }";

QString sessionGoneText()
{
    return QStringLiteral("该会话已结束或已转出，未转接");
}

} // namespace

void orvantis::onTransferClicked()
{
    if (currentSession() < 1)
        return;
    // The picker opens for the session "转接" was pressed on, whichever is
    // open when the list comes; one closed, deleted or handed away meanwhile
    // is not handed over.
    const int sessionId = currentSession();
    ApiRequest *request = apiClient->sendGetRequest(QStringLiteral("/agent/list"));
    connect(request, &ApiRequest::succeeded, signIn.scope, [this, request, sessionId] {
        if (!findSession(sessionId)) {
            ui->statusLabel->setText(sessionGoneText());
            return;
        }
        QList<Colleague> online;
        QSet<int> seen;
        for (const Colleague &colleague : request->colleagues()) {
            if (!colleague.online || colleague.id == signIn.agentId || colleague.id < 1
                || seen.contains(colleague.id))
                continue;
            seen.insert(colleague.id);
            online.append(colleague);
        }
        showTransferDialog(online, sessionId);
    });
}

void orvantis::showTransferDialog(const QList<Colleague> &agents, int sessionId)
{
    auto *dialog = new QDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    // No nested loop, and gone with the sign-in that opened it.
    ownBySignIn(dialog);
    dialog->setWindowTitle(QStringLiteral("转接会话"));
    dialog->setFixedWidth(400);
    dialog->setStyleSheet(QString::fromLatin1(transferStyle));
    auto *layout = new QVBoxLayout(dialog);
    layout->setSpacing(12);
    layout->setContentsMargins(22, 18, 22, 18);
    applyGlassDialog(dialog, QStringLiteral("转接会话"), layout);
    auto *title = new QLabel(QStringLiteral("选择目标坐席"), dialog);
    title->setObjectName(QStringLiteral("titleLabel"));
    auto *desc = new QLabel(QStringLiteral("转接后该会话将移交给所选坐席"), dialog);
    desc->setObjectName(QStringLiteral("descLabel"));
    // Whom the agent is handing over, as text whatever the visitor calls
    // itself, and cut to the dialog's width.
    auto *visitor = new QLabel(dialog);
    visitor->setObjectName(QStringLiteral("visitorLabel"));
    visitor->setTextFormat(Qt::PlainText);
    visitor->ensurePolished();
    visitor->setText(visitor->fontMetrics().elidedText(
        QStringLiteral("转接访客：%1").arg(findSession(sessionId)->displayName()), Qt::ElideRight,
        340));
    layout->addWidget(title);
    layout->addWidget(visitor);
    layout->addWidget(desc);

    auto *area = new QScrollArea(dialog);
    area->setWidgetResizable(true);
    area->setStyleSheet(QStringLiteral("QScrollArea{background:transparent;border:none;} "
                                       "QScrollArea>QWidget>QWidget{background:transparent;}"));
    auto *list = new QWidget(area);
    auto *listLayout = new QVBoxLayout(list);
    listLayout->setContentsMargins(0, 0, 0, 0);
    listLayout->setSpacing(8);
    for (const Colleague &agent : agents) {
        const int target = agent.id;
        // A push button takes no markup, but an ampersand in a colleague's
        // name would turn into a mnemonic (hidden, and an Alt shortcut).
        QString name = agent.name;
        auto *button = new QPushButton(
            QStringLiteral("●  %1").arg(name.replace(QLatin1Char('&'), QLatin1String("&&"))), list);
        button->setObjectName(QStringLiteral("agentBtn"));
        button->setCursor(Qt::PointingHandCursor);
        connect(button, &QPushButton::clicked, dialog, [this, dialog, target, sessionId] {
            if (findSession(sessionId))
                wssClient->sendTransfer(sessionId, target);
            else
                ui->statusLabel->setText(sessionGoneText());
            dialog->accept();
        });
        listLayout->addWidget(button);
    }
    if (agents.isEmpty()) {
        auto *empty = new QLabel(QStringLiteral("暂无可转接的在线坐席"), list);
        empty->setObjectName(QStringLiteral("emptyLabel"));
        empty->setAlignment(Qt::AlignCenter);
        listLayout->addSpacing(18);
        listLayout->addWidget(empty);
        listLayout->addSpacing(18);
    }
    listLayout->addStretch();
    area->setWidget(list);
    area->setMinimumHeight(agents.isEmpty() ? 96 : qMin(int(agents.size()) * 52 + 60, 320));
    layout->addWidget(area, 1);

    auto *buttons = new QWidget(dialog);
    buttons->setStyleSheet(QStringLiteral("background: transparent;"));
    auto *row = new QHBoxLayout(buttons);
    row->setContentsMargins(0, 4, 0, 0);
    row->setSpacing(10);
    auto *cancel = new QPushButton(QStringLiteral("取消"), buttons);
    cancel->setObjectName(QStringLiteral("cancelBtn"));
    cancel->setCursor(Qt::PointingHandCursor);
    connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    row->addStretch();
    row->addWidget(cancel);
    row->addStretch();
    layout->addWidget(buttons);

    dialog->open();
}

void orvantis::onSessionTransferred(const QVariantMap &data)
{
    const int id = data.value(QStringLiteral("session_id")).toInt();
    const QString action = data.value(QStringLiteral("action")).toString();
    if (action == QLatin1String("removed")) {
        qDebug() << "[WSS] 会话已转出: sessionId=" << id;
        sessionListView->discardRow(id);
        const int count = int(sessionStore->sessions().size()) - (findSession(id) ? 1 : 0);
        showSessionCount(count, true);
        // After the count: what was not sent to the visitor matters more.
        forgetSession(id, QStringLiteral("会话已转接给其他客服"));
        rebuildSessionList();
    } else if (action == QLatin1String("assigned")) {
        qDebug() << "[WSS] 会话已转入: sessionId=" << id;
        NotifySound::instance()->play(NotifySound::Event::Transfer);
        notifyMessage(QStringLiteral("会话转入"), QStringLiteral("有一通会话被转接到你这里"), id);
        sessionStore->loadFirstPage();
    }
}
