#pragma once

#include <QDialog>
#include <QList>
#include <QPointer>

#include "net/chatrecords.h"

class ApiClient;
class ApiRequest;
class QMessageBox;

namespace Ui {
class ChatDetailDialog;
}

// The whole history of one past session as bubbles without recall links,
// fifty messages a page, each older page placed above the ones shown.
class ChatDetailDialog : public QDialog
{
    Q_OBJECT

public:
    ChatDetailDialog(ApiClient *api, int sessionId, int memberId, QWidget *parent = nullptr);
    ~ChatDetailDialog() override;

public slots:
    void loadHistory();
    void onLoadMore();
    void onHistoryReceived(int sessionId, const QList<ChatMessage> &messages, int total,
                           bool hasMore);
    void onApiError(const QString &error);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void requestPage();
    void addMessage(const ChatMessage &message);

    Ui::ChatDetailDialog *ui = nullptr;
    ApiClient *api = nullptr;
    int sessionId = 0;
    int memberId = 0;
    int currentPage = 1;
    int total = 0;
    bool hasMore = true;
    bool loading = false;

    bool ownAnswerNext = false; // the next history signal answers this dialog's request
    QPointer<QMessageBox> errorBox;
};

// The "错误" warning box of the history dialogs, opened without a nested loop
// so that the dialog may go away underneath it. A box still open is reused.
void showErrorBox(QDialog *dialog, QPointer<QMessageBox> &box, const QString &error);
