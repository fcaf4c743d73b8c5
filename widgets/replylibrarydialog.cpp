#include "widgets/replylibrarydialog.h"
#include "ui_replylibrarydialog.h"

#include "shell/glasswindow.h"

#include <QDebug>
#include <QFileDialog>
#include <QPushButton>
#include <QSaveFile>
#include <QSet>

namespace {

const QString fileFilter = QStringLiteral("快捷回复文件 (*.json)");

QString listText(const Reply &reply)
{
    const QString title = ReplyLibrary::displayTitle(reply);
    return reply.shortcut.isEmpty() ? title : title + QStringLiteral("  /") + reply.shortcut;
}

} // namespace

ReplyLibraryDialog::ReplyLibraryDialog(const QList<Reply> &replies, QWidget *parent)
    : QDialog(parent), ui(new Ui::ReplyLibraryDialog), m_replies(replies)
{
    ui->setupUi(this);
    applyGlassDialog(this, windowTitle(), ui->mainLayout);
    ui->titleEdit->setMaxLength(ReplyLibrary::maxTitleLength);
    ui->shortcutEdit->setMaxLength(ReplyLibrary::maxShortcutLength);

    connect(ui->replyList, &QListWidget::currentRowChanged, this,
            &ReplyLibraryDialog::onCurrentRowChanged);
    connect(ui->titleEdit, &QLineEdit::textEdited, this, &ReplyLibraryDialog::onFieldEdited);
    connect(ui->shortcutEdit, &QLineEdit::textEdited, this, &ReplyLibraryDialog::onFieldEdited);
    connect(ui->textEdit, &QPlainTextEdit::textChanged, this, &ReplyLibraryDialog::onFieldEdited);
    connect(ui->addBtn, &QPushButton::clicked, this, &ReplyLibraryDialog::onAddClicked);
    connect(ui->removeBtn, &QPushButton::clicked, this, &ReplyLibraryDialog::onRemoveClicked);
    connect(ui->upBtn, &QPushButton::clicked, this, [this] { onMoveClicked(-1); });
    connect(ui->downBtn, &QPushButton::clicked, this, [this] { onMoveClicked(1); });
    connect(ui->importBtn, &QPushButton::clicked, this, &ReplyLibraryDialog::onImportClicked);
    connect(ui->exportBtn, &QPushButton::clicked, this, &ReplyLibraryDialog::onExportClicked);
    connect(ui->buttonBox, &QDialogButtonBox::accepted, this, &ReplyLibraryDialog::accept);
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &ReplyLibraryDialog::reject);
    refill(0);
}

ReplyLibraryDialog::~ReplyLibraryDialog()
{
    delete ui;
}

void ReplyLibraryDialog::accept()
{
    for (int i = 0; i < m_replies.size(); ++i) {
        m_replies[i].title = ReplyLibrary::displayTitle(m_replies.at(i));
        const QString problem = ReplyLibrary::problem(m_replies.at(i));
        if (!problem.isEmpty()) {
            ui->replyList->setCurrentRow(i);
            showMessage(QStringLiteral("第 %1 条回复%2，无法保存").arg(i + 1).arg(problem), true);
            return;
        }
    }
    emit repliesAccepted(m_replies);
    QDialog::accept();
}

void ReplyLibraryDialog::importFile(const QString &path)
{
    QString error;
    const std::optional<QList<Reply>> read = ReplyLibrary::readFile(path, &error);
    if (!read) {
        showMessage(QStringLiteral("导入失败：") + error, true);
        return;
    }
    // A set imported again adds only what is new in it.
    QSet<QString> known;
    const auto key
        = [](const Reply &r) { return r.title + QChar(0) + r.shortcut + QChar(0) + r.text; };
    for (const Reply &reply : std::as_const(m_replies))
        known.insert(key(reply));
    QList<Reply> added;
    for (const Reply &reply : *read) {
        if (!known.contains(key(reply))) {
            known.insert(key(reply));
            added.append(reply);
        }
    }
    if (m_replies.size() + added.size() > ReplyLibrary::maxReplies) {
        showMessage(QStringLiteral("导入失败：合计将超过 %1 条回复").arg(ReplyLibrary::maxReplies),
                    true);
        return;
    }
    const int first = m_replies.size();
    m_replies.append(added);
    refill(added.isEmpty() ? ui->replyList->currentRow() : first);
    showMessage(QStringLiteral("已导入 %1 条回复，跳过 %2 条重复")
                    .arg(added.size())
                    .arg(read->size() - added.size()),
                false);
}

void ReplyLibraryDialog::exportFile(const QString &path)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(ReplyLibrary::toJson(m_replies)) >= 0
        && file.commit()) {
        showMessage(QStringLiteral("已导出 %1 条回复").arg(m_replies.size()), false);
        return;
    }
    qDebug() << "[UI] 快捷回复导出失败:" << path << file.errorString();
    showMessage(QStringLiteral("导出失败：无法写入文件"), true);
}

void ReplyLibraryDialog::onCurrentRowChanged(int row)
{
    const bool valid = row >= 0 && row < m_replies.size();
    const Reply reply = valid ? m_replies.at(row) : Reply();
    m_filling = true;
    ui->titleEdit->setText(reply.title);
    ui->shortcutEdit->setText(reply.shortcut);
    ui->textEdit->setPlainText(reply.text);
    m_filling = false;
    for (QWidget *field :
         {static_cast<QWidget *>(ui->titleEdit), static_cast<QWidget *>(ui->shortcutEdit),
          static_cast<QWidget *>(ui->textEdit), static_cast<QWidget *>(ui->removeBtn)})
        field->setEnabled(valid);
    ui->upBtn->setEnabled(valid && row > 0);
    ui->downBtn->setEnabled(valid && row + 1 < m_replies.size());
}

void ReplyLibraryDialog::onFieldEdited()
{
    const int row = ui->replyList->currentRow();
    if (m_filling || row < 0 || row >= m_replies.size())
        return;
    Reply &reply = m_replies[row];
    reply.title = ui->titleEdit->text().trimmed();
    reply.shortcut = ui->shortcutEdit->text().trimmed();
    reply.text = ui->textEdit->toPlainText();
    ui->replyList->item(row)->setText(listText(reply));
}

void ReplyLibraryDialog::onAddClicked()
{
    if (m_replies.size() >= ReplyLibrary::maxReplies) {
        showMessage(QStringLiteral("最多 %1 条回复").arg(ReplyLibrary::maxReplies), true);
        return;
    }
    m_replies.append({QStringLiteral("新回复"), QString(), QString()});
    refill(m_replies.size() - 1);
    ui->textEdit->setFocus();
}

void ReplyLibraryDialog::onRemoveClicked()
{
    const int row = ui->replyList->currentRow();
    if (row < 0 || row >= m_replies.size())
        return;
    m_replies.removeAt(row);
    refill(qMin(row, int(m_replies.size()) - 1));
}

void ReplyLibraryDialog::onMoveClicked(int step)
{
    const int row = ui->replyList->currentRow();
    const int to = row + step;
    if (row < 0 || to < 0 || to >= m_replies.size())
        return;
    m_replies.swapItemsAt(row, to);
    refill(to);
}

void ReplyLibraryDialog::onImportClicked()
{
    auto *picker = new QFileDialog(this, QStringLiteral("导入快捷回复"), QString(), fileFilter);
    picker->setAttribute(Qt::WA_DeleteOnClose);
    picker->setFileMode(QFileDialog::ExistingFile);
    connect(picker, &QFileDialog::fileSelected, this, &ReplyLibraryDialog::importFile);
    picker->open();
}

void ReplyLibraryDialog::onExportClicked()
{
    auto *picker = new QFileDialog(this, QStringLiteral("导出快捷回复"), QString(), fileFilter);
    picker->setAttribute(Qt::WA_DeleteOnClose);
    picker->setAcceptMode(QFileDialog::AcceptSave);
    picker->setDefaultSuffix(QStringLiteral("json"));
    picker->selectFile(QStringLiteral("快捷回复.json"));
    connect(picker, &QFileDialog::fileSelected, this, &ReplyLibraryDialog::exportFile);
    picker->open();
}

// The list shown anew from m_replies, with `current` selected.
void ReplyLibraryDialog::refill(int current)
{
    const QSignalBlocker blocker(ui->replyList);
    ui->replyList->clear();
    for (const Reply &reply : std::as_const(m_replies))
        ui->replyList->addItem(listText(reply));
    ui->replyList->setCurrentRow(current);
    onCurrentRowChanged(ui->replyList->currentRow());
}

void ReplyLibraryDialog::showMessage(const QString &text, bool error)
{
    ui->messageLabel->setStyleSheet(error ? QStringLiteral("color: #d14343;")
                                          : QStringLiteral("color: #3a8f5c;"));
    ui->messageLabel->setText(text);
}
