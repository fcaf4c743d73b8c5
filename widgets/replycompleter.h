#pragma once

#include <QList>
#include <QObject>
#include <functional>

#include "widgets/replylibrary.h"

class QFrame;
class QKeyEvent;
class QListView;
class QStringListModel;
class QTextEdit;

// "/" at the start of the message editor lists the replies matching what
// follows it in a popup under the cursor; Up and Down choose, Enter or Tab
// put the reply in place of the "/…", Escape closes the popup and leaves the
// text. The popup never takes the focus: the editor keeps the keys, and its
// owner hands them over through handleKey() before acting on them itself.
class ReplyCompleter : public QObject
{
    Q_OBJECT

public:
    static constexpr int maxRows = 50;
    static constexpr int maxQueryLength = 40;

    explicit ReplyCompleter(QTextEdit *editor);

    void setReplies(const QList<Reply> &replies);
    // Makes the text that is inserted from a reply's (its variables filled).
    void setFiller(std::function<QString(const QString &)> filler);

    bool isOpen() const;
    QWidget *popup() const;
    // A key pressed in the editor; true when the popup took it.
    bool handleKey(QKeyEvent *event);

signals:
    void replyInserted(int index);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void onEditorChanged();
    void close();
    void step(int rows);
    void insertCurrent();

    QTextEdit *m_editor = nullptr;
    QFrame *m_popup = nullptr;
    QListView *m_view = nullptr;
    QStringListModel *m_model = nullptr;
    QList<Reply> m_replies;
    QList<int> m_shown; // library indexes of the rows, best first
    QString m_typed; // the "/…" the rows were found for
    std::function<QString(const QString &)> m_filler;
    // Escape or an insertion closed the popup: it stays shut until the "/"
    // at the start is gone.
    bool m_dismissed = false;
};
