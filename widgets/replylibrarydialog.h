#pragma once

#include <QDialog>
#include <QList>

#include "widgets/replylibrary.h"

namespace Ui {
class ReplyLibraryDialog;
}

// Edits a copy of the agent's reply library: add, edit, delete, move up and
// down, import a shared set (appended, repeats skipped) and export it. "保存"
// hands the copy back through repliesAccepted; closing otherwise forgets it.
// Opened without a nested loop, file dialogs included.
class ReplyLibraryDialog : public QDialog
{
    Q_OBJECT

public:
    ReplyLibraryDialog(const QList<Reply> &replies, QWidget *parent);
    ~ReplyLibraryDialog() override;

    const QList<Reply> &replies() const { return m_replies; }

public slots:
    void accept() override;
    // A file that is no valid library, or would make the library too long,
    // changes nothing and is named in the message line.
    void importFile(const QString &path);
    void exportFile(const QString &path);

signals:
    void repliesAccepted(const QList<Reply> &replies);

private:
    void onCurrentRowChanged(int row);
    void onFieldEdited();
    void onAddClicked();
    void onRemoveClicked();
    void onMoveClicked(int step);
    void onImportClicked();
    void onExportClicked();
    void refill(int current);
    void showMessage(const QString &text, bool error);

    Ui::ReplyLibraryDialog *ui = nullptr;
    QList<Reply> m_replies;
    bool m_filling = false; // the fields are being set from the list, not typed
};
