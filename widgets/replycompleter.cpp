#include "widgets/replycompleter.h"

#include <QFrame>
#include <QKeyEvent>
#include <QListView>
#include <QScreen>
#include <QStringListModel>
#include <QTextEdit>
#include <QVBoxLayout>

namespace {

constexpr int popupWidth = 380;
constexpr int visibleRows = 8;
constexpr int phrasePreviewLength = 40;

QString rowText(const Reply &reply)
{
    QString row = ReplyLibrary::displayTitle(reply);
    if (!reply.shortcut.isEmpty())
        row += QStringLiteral("  /") + reply.shortcut;
    const QString text = reply.text.simplified();
    row += QStringLiteral("  —  ")
        + (text.size() > phrasePreviewLength ? text.left(phrasePreviewLength) + QStringLiteral("…")
                                             : text);
    return row;
}

} // namespace

ReplyCompleter::ReplyCompleter(QTextEdit *editor) : QObject(editor), m_editor(editor)
{
    // A tool tip window is never activated: typing goes on in the editor.
    m_popup = new QFrame(editor, Qt::ToolTip | Qt::FramelessWindowHint);
    m_popup->setObjectName(QStringLiteral("replyPopup"));
    m_popup->setAttribute(Qt::WA_ShowWithoutActivating);
    m_popup->setFocusPolicy(Qt::NoFocus);
    m_popup->setFrameShape(QFrame::StyledPanel);
    m_popup->setStyleSheet(QStringLiteral(
        "QFrame#replyPopup { background-color: #ffffff; border: 1px solid #c9d6ff; "
        "border-radius: 6px; } QListView { border: none; font-size: 12px; color: #2f3441; "
        "selection-background-color: rgba(91, 140, 255, 0.22); selection-color: #2f3441; }"));
    m_model = new QStringListModel(this);
    m_view = new QListView(m_popup);
    m_view->setObjectName(QStringLiteral("replyList"));
    m_view->setModel(m_model);
    m_view->setFocusPolicy(Qt::NoFocus);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->setUniformItemSizes(true);
    m_view->setTextElideMode(Qt::ElideRight);
    auto *layout = new QVBoxLayout(m_popup);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->addWidget(m_view);
    connect(m_view, &QListView::clicked, this, [this](const QModelIndex &index) {
        m_view->setCurrentIndex(index);
        insertCurrent();
    });

    connect(editor, &QTextEdit::textChanged, this, &ReplyCompleter::onEditorChanged);
    connect(editor, &QTextEdit::cursorPositionChanged, this, &ReplyCompleter::onEditorChanged);
    editor->installEventFilter(this);
}

void ReplyCompleter::setReplies(const QList<Reply> &replies)
{
    m_replies = replies;
    close();
}

void ReplyCompleter::setFiller(std::function<QString(const QString &)> filler)
{
    m_filler = std::move(filler);
}

bool ReplyCompleter::isOpen() const
{
    return m_popup->isVisible();
}

QWidget *ReplyCompleter::popup() const
{
    return m_popup;
}

bool ReplyCompleter::handleKey(QKeyEvent *event)
{
    if (!isOpen())
        return false;
    // Text put in with the editor's signals blocked (a draft on a session
    // switch) never reached onEditorChanged: the list may be stale.
    if (m_editor->toPlainText().left(m_editor->textCursor().position()) != m_typed) {
        close();
        return false;
    }
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    switch (event->key()) {
    case Qt::Key_Up:
        step(-1);
        return true;
    case Qt::Key_Down:
        step(1);
        return true;
    case Qt::Key_PageUp:
        step(-visibleRows);
        return true;
    case Qt::Key_PageDown:
        step(visibleRows);
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Tab:
        // Ctrl+Enter still breaks the line, which ends the search.
        if (modifiers != Qt::NoModifier)
            return false;
        insertCurrent();
        return true;
    case Qt::Key_Escape:
        m_dismissed = true;
        close();
        return true;
    default:
        return false;
    }
}

bool ReplyCompleter::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_editor && (event->type() == QEvent::FocusOut || event->type() == QEvent::Hide))
        close();
    return QObject::eventFilter(watched, event);
}

// Runs on every change of the text and move of the cursor: the popup lists
// what matches the text between the "/" and the cursor, or goes.
void ReplyCompleter::onEditorChanged()
{
    const QString text = m_editor->toPlainText();
    if (!text.startsWith(QLatin1Char('/')))
        m_dismissed = false;
    const QTextCursor cursor = m_editor->textCursor();
    const int end = cursor.position();
    const QString query = text.mid(1, end - 1);
    if (m_dismissed || !text.startsWith(QLatin1Char('/')) || end < 1 || cursor.hasSelection()
        || query.size() > maxQueryLength || query.contains(QLatin1Char('\n'))) {
        close();
        return;
    }
    m_typed = text.left(end);
    m_shown = matchReplies(m_replies, query, maxRows);
    if (m_shown.isEmpty()) {
        close();
        return;
    }
    QStringList rows;
    rows.reserve(m_shown.size());
    for (int index : std::as_const(m_shown))
        rows.append(rowText(m_replies.at(index)));
    m_model->setStringList(rows);
    m_view->setCurrentIndex(m_model->index(0));
    const int rowHeight = qMax(m_view->sizeHintForRow(0), 1);
    m_popup->resize(popupWidth, rowHeight * qMin<int>(rows.size(), visibleRows) + 8);
    // Under the cursor, or above it where the screen ends (the editor sits
    // at the bottom of the window).
    const QRect caret = m_editor->cursorRect();
    QPoint at = m_editor->viewport()->mapToGlobal(caret.bottomLeft()) + QPoint(0, 4);
    const QScreen *screen = m_editor->screen();
    if (screen && at.y() + m_popup->height() > screen->availableGeometry().bottom())
        at = m_editor->viewport()->mapToGlobal(caret.topLeft()) - QPoint(0, m_popup->height() + 4);
    m_popup->move(at);
    m_popup->show();
}

void ReplyCompleter::close()
{
    m_popup->hide();
}

void ReplyCompleter::step(int rows)
{
    const int count = m_model->rowCount();
    if (count == 0)
        return;
    const int current = m_view->currentIndex().row();
    // A single step wraps around; a page stops at the ends.
    int next = current + rows;
    if (qAbs(rows) == 1)
        next = (next + count) % count;
    m_view->setCurrentIndex(m_model->index(qBound(0, next, count - 1)));
}

void ReplyCompleter::insertCurrent()
{
    const int index = m_shown.value(m_view->currentIndex().row(), -1);
    if (index < 0 || index >= m_replies.size())
        return;
    const QString &text = m_replies.at(index).text;
    const QString filled = m_filler ? m_filler(text) : text;
    // The "/…" goes; whatever follows the cursor stays after the reply.
    QTextCursor cursor = m_editor->textCursor();
    const int end = cursor.position();
    cursor.setPosition(0);
    cursor.setPosition(end, QTextCursor::KeepAnchor);
    m_dismissed = true;
    cursor.insertText(filled);
    m_editor->setTextCursor(cursor);
    close();
    emit replyInserted(index);
}
