#include "widgets/historydialog.h"
#include "ui_historydialog.h"

#include "shell/glasswindow.h"

#include "net/apiclient.h"
#include "widgets/chatdetaildialog.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>

namespace {

// The values sent for the entries of statusCombo, in their order.
const char *const statusValues[] = {"all", "online", "closed", "unreception"};
constexpr int pageSize = 20;
constexpr int recordPreviewLength = 30;

QString preview(const QString &text)
{
    if (text.size() <= recordPreviewLength)
        return text;
    // A character outside the basic plane is dropped whole, never halved.
    const int cut = text.at(recordPreviewLength - 1).isHighSurrogate() ? recordPreviewLength - 1
                                                                       : recordPreviewLength;
    return text.left(cut) + QStringLiteral("...");
}

// Records carry their time as epoch seconds, as ISO text or not at all.
QString timeText(const ChatSession &session)
{
    QDateTime time = session.createdAt;
    if (!session.lastTime.isEmpty()) {
        bool whole = false;
        const qint64 seconds = session.lastTime.toLongLong(&whole);
        time = whole && seconds >= 1 ? QDateTime::fromSecsSinceEpoch(seconds)
                                     : QDateTime::fromString(session.lastTime, Qt::ISODate);
    }
    // An ISO text with a zone is shown in local time like the rest.
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"))
                          : QStringLiteral("-");
}

const char viewButtonStyle[]
    = "QPushButton { background-color: rgba(91, 140, 255, 0.14); color: #2f5fe0; border: 1px "
      "solid rgba(91, 140, 255, 0.35); border-radius: 8px; padding: 3px 14px; font-size: 12px; } "
      "QPushButton:hover { background-color: rgba(91, 140, 255, 0.24); border-color: #8fadff; } "
      "QPushButton:pressed { background-color: rgba(61, 109, 242, 0.34); }";

} // namespace

HistoryDialog::HistoryDialog(QWidget *parent, ApiClient *api, int memberId)
    : QDialog(parent), ui(new Ui::HistoryDialog), api(api), memberId(memberId)
{
    ui->setupUi(this);
    applyGlassDialog(this, tr("接待记录"), ui->mainLayout);

    const int widths[] = {120, 200, 80, 70, 150, 100};
    for (int column = 0; column < int(std::size(widths)); ++column)
        ui->recordTable->setColumnWidth(column, widths[column]);
    QPalette palette = ui->recordTable->palette();
    palette.setColor(QPalette::Highlight, QColor(91, 140, 255, 46));
    palette.setColor(QPalette::HighlightedText, QColor(47, 52, 65));
    palette.setColor(QPalette::Base, Qt::transparent);
    palette.setColor(QPalette::AlternateBase, QColor(255, 255, 255, 36));
    ui->recordTable->setPalette(palette);
    ui->prevBtn->setEnabled(false);
    ui->nextBtn->setEnabled(false);

    const auto onKeys = [this](const QKeySequence &keys, void (HistoryDialog::*slot)()) {
        connect(new QShortcut(keys, this), &QShortcut::activated, this, slot);
    };
    onKeys(QKeySequence(Qt::ALT | Qt::Key_Left), &HistoryDialog::onPrevPage);
    onKeys(QKeySequence(Qt::ALT | Qt::Key_Right), &HistoryDialog::onNextPage);
    onKeys(QKeySequence(Qt::Key_PageUp), &HistoryDialog::onPrevPage);
    onKeys(QKeySequence(Qt::Key_PageDown), &HistoryDialog::onNextPage);

    connect(ui->refreshBtn, &QPushButton::clicked, this, &HistoryDialog::loadRecords);
    connect(ui->prevBtn, &QPushButton::clicked, this, &HistoryDialog::onPrevPage);
    connect(ui->nextBtn, &QPushButton::clicked, this, &HistoryDialog::onNextPage);
    connect(ui->statusCombo, &QComboBox::currentIndexChanged, this,
            &HistoryDialog::onFilterChanged);
    connect(ui->searchEdit, &QLineEdit::textChanged, this, &HistoryDialog::onSearchChanged);
    connect(ui->recordTable, &QTableWidget::cellDoubleClicked, this,
            &HistoryDialog::onTableDoubleClicked);
    connect(api, &ApiClient::receptionRecordsReceived, this, &HistoryDialog::onRecordsReceived);
    loadRecords();
}

HistoryDialog::~HistoryDialog()
{
    delete ui;
}

void HistoryDialog::loadRecords()
{
    const int filter = qBound(0, ui->statusCombo->currentIndex(), int(std::size(statusValues)) - 1);
    // Every keystroke asks anew and answers come back in any order: only the
    // newest request may fill the table.
    if (pendingRequest)
        pendingRequest->abandon();
    ownAnswerNext = false;
    ApiRequest *request = api->getReceptionRecords(QLatin1String(statusValues[filter]), currentPage,
                                                   ui->searchEdit->text().trimmed());
    pendingRequest = request;
    connect(request, &ApiRequest::succeeded, this, [this] { ownAnswerNext = true; });
    connect(request, &ApiRequest::failed, this, &HistoryDialog::onApiError);
}

void HistoryDialog::onPrevPage()
{
    if (currentPage < 2)
        return;
    --currentPage;
    loadRecords();
}

void HistoryDialog::onNextPage()
{
    if (currentPage >= totalPages)
        return;
    ++currentPage;
    loadRecords();
}

void HistoryDialog::onFilterChanged()
{
    currentPage = 1;
    loadRecords();
}

void HistoryDialog::onSearchChanged()
{
    currentPage = 1;
    loadRecords();
}

void HistoryDialog::onRecordsReceived(const QList<ChatSession> &sessions, int total, bool hasMore)
{
    Q_UNUSED(hasMore); // the page count follows from the total alone
    if (!std::exchange(ownAnswerNext, false))
        return;
    records = sessions;
    totalCount = qMax(0, total);
    // Not (total + 19) / 20: that overflows for a total near INT_MAX.
    totalPages = totalCount == 0 ? 1 : (totalCount - 1) / pageSize + 1;
    refillTable();
    ui->pageInfoLabel->setText(
        QStringLiteral("<span style='font-size:12px;color:#7d8699;'>%1</span>")
            .arg(tr("第 %1 页 / 共 %2 页（共 %3 条）")
                     .arg(currentPage)
                     .arg(totalPages)
                     .arg(totalCount)));
    ui->prevBtn->setEnabled(currentPage >= 2);
    ui->nextBtn->setEnabled(currentPage < totalPages);
}

void HistoryDialog::refillTable()
{
    ui->recordTable->setRowCount(0);
    rowSessionIds.clear();
    for (const ChatSession &session : std::as_const(records))
        addRecordRow(session);
}

void HistoryDialog::addRecordRow(const ChatSession &session)
{
    QTableWidget *table = ui->recordTable;
    const int row = table->rowCount();
    table->insertRow(row);
    rowSessionIds.append(session.id);
    // Plain items: names and messages are visitors' text, never markup.
    const auto put = [table, row](int column, const QString &text) {
        auto *item = new QTableWidgetItem(text);
        table->setItem(row, column, item);
        return item;
    };
    put(0, session.displayName());
    put(1, preview(session.lastMessage));
    QTableWidgetItem *status = put(2, session.statusText());
    if (session.status == QLatin1String("online"))
        status->setForeground(QColor(0x22, 0xa0, 0x6b));
    else if (session.status == QLatin1String("closed"))
        status->setForeground(QColor(0x98, 0xa0, 0xb2));
    put(3, QString::number(session.messageCount));
    put(4, timeText(session));

    auto *cell = new QWidget(table);
    cell->setStyleSheet(QStringLiteral("background: transparent;"));
    auto *layout = new QHBoxLayout(cell);
    layout->setContentsMargins(4, 4, 4, 4);
    auto *view = new QPushButton(tr("查看"), cell);
    view->setCursor(Qt::PointingHandCursor);
    view->setMinimumSize(60, 26);
    view->setStyleSheet(QString::fromLatin1(viewButtonStyle));
    // The keyboard reaches a record through its row (Return), not twenty
    // buttons in the tab chain.
    view->setFocusPolicy(Qt::NoFocus);
    const int sessionId = session.id;
    connect(view, &QPushButton::clicked, this, [this, sessionId] { onViewDetail(sessionId); });
    layout->addWidget(view);
    layout->addStretch();
    table->setCellWidget(row, 5, cell);
}

void HistoryDialog::onTableDoubleClicked(int row, int column)
{
    Q_UNUSED(column);
    if (row >= 0 && row < rowSessionIds.size())
        onViewDetail(rowSessionIds.at(row));
}

void HistoryDialog::onViewDetail(int sessionId)
{
    // A record without a usable id has no history to ask for.
    if (sessionId < 1)
        return;
    // Window-modal without a nested loop: a sign-out may close this dialog,
    // and with it the detail, while the detail is open.
    auto *detail = new ChatDetailDialog(api, sessionId, memberId, this);
    detail->setAttribute(Qt::WA_DeleteOnClose);
    detail->open();
}

void HistoryDialog::onApiError(const QString &error)
{
    showErrorBox(this, errorBox, error);
}

void HistoryDialog::keyPressEvent(QKeyEvent *event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    QTableWidget *table = ui->recordTable;
    if (enter && table->currentRow() >= 0) {
        onTableDoubleClicked(table->currentRow(), 0);
        return;
    }
    if (enter && table->rowCount() > 0) {
        // From the search field on to the results, ready for the next Return.
        table->setFocus(Qt::ShortcutFocusReason);
        table->selectRow(0);
        return;
    }
    QDialog::keyPressEvent(event);
}
