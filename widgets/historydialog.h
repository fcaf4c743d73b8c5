#pragma once

#include <QDialog>
#include <QList>
#include <QPointer>

#include "net/chatrecords.h"

class ApiClient;
class ApiRequest;
class QMessageBox;

namespace Ui {
class HistoryDialog;
}

// The reception records, twenty to a page, filtered by status and searched by
// visitor name; a record opens its whole conversation in a ChatDetailDialog.
// Only the answer to the newest request is shown: typing sends a request per
// keystroke, and the answers may come back in any order.
class HistoryDialog : public QDialog
{
    Q_OBJECT

public:
    HistoryDialog(QWidget *parent, ApiClient *api, int memberId);
    ~HistoryDialog() override;

public slots:
    void loadRecords();
    void onPrevPage();
    void onNextPage();
    void onFilterChanged();
    void onSearchChanged();
    void onViewDetail(int sessionId);
    void onTableDoubleClicked(int row, int column);
    void onRecordsReceived(const QList<ChatSession> &sessions, int total, bool hasMore);
    void onApiError(const QString &error);

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void refillTable();
    void addRecordRow(const ChatSession &session);

    Ui::HistoryDialog *ui = nullptr;
    ApiClient *api = nullptr;
    int memberId = 0;
    QList<ChatSession> records;
    int currentPage = 1;
    int totalPages = 1;
    int totalCount = 0;
    QList<int> rowSessionIds;

    QPointer<ApiRequest> pendingRequest; // the newest request; older ones are abandoned
    bool ownAnswerNext = false; // the next records signal answers pendingRequest
    QPointer<QMessageBox> errorBox;
};
