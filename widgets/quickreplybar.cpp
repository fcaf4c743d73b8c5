#include "widgets/quickreplybar.h"

#include <QHBoxLayout>
#include <QPushButton>

namespace {

constexpr int buttonTitleWidth = 180; // pixels

// The minimum height keeps the rounded ends: a title in Latin letters alone
// makes a lower button than one with Chinese, too low for the radius.
const char buttonStyle[]
    = "QPushButton { background-color: rgba(255, 255, 255, 0.72); border: 1px solid "
      "rgba(255, 255, 255, 0.92); border-radius: 14px; padding: 5px 13px; font-size: 12px; "
      "min-height: 18px; "
      "color: #4b5264; }QPushButton:hover { background-color: rgba(255, 255, 255, 0.98); "
      "border-color: #8fadff; color: #2f5fe0; }QPushButton:pressed { background-color: "
      "rgba(226, 234, 255, 0.95); }";

QPushButton *makeButton(QWidget *parent, const QString &text)
{
    auto *button = new QPushButton(text, parent);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QLatin1String(buttonStyle));
    return button;
}

} // namespace

QuickReplyBar::QuickReplyBar(QWidget *parent) : QWidget(parent)
{
    m_layout = new QHBoxLayout;
    m_layout->setContentsMargins(8, 4, 8, 4);
    m_layout->setSpacing(8);
    m_layout->addStretch();
    m_manage = makeButton(this, QStringLiteral("管理"));
    m_manage->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R));
    m_manage->setToolTip(QStringLiteral("管理快捷回复 (%1)")
                             .arg(m_manage->shortcut().toString(QKeySequence::NativeText)));
    m_layout->addWidget(m_manage);
    setLayout(m_layout);
    connect(m_manage, &QPushButton::clicked, this, &QuickReplyBar::manageRequested);
    setReplies(ReplyLibrary::defaults());
}

void QuickReplyBar::setReplies(const QList<Reply> &replies)
{
    qDeleteAll(std::exchange(m_buttons, {}));
    for (int i = 0; i < replies.size() && i < buttonCount; ++i) {
        const Reply &reply = replies.at(i);
        const QString title = ReplyLibrary::displayTitle(reply);
        auto *button = makeButton(this, QString());
        // A long title is cut to keep five buttons on the row; "&" would make
        // a mnemonic of the next letter.
        QString shown = button->fontMetrics().elidedText(title, Qt::ElideRight, buttonTitleWidth);
        button->setText(shown.replace(QLatin1Char('&'), QStringLiteral("&&")));
        // Alt+1 to Alt+5: an answer without leaving the keyboard.
        const QKeySequence keys(Qt::ALT | Qt::Key(Qt::Key_1 + i));
        button->setShortcut(keys);
        button->setObjectName(QStringLiteral("quickReply%1").arg(i + 1));
        // Tool tips take rich text: the title is escaped inside a paragraph.
        button->setToolTip(
            QStringLiteral("<p>%1 (%2)</p>")
                .arg(title.toHtmlEscaped(), keys.toString(QKeySequence::NativeText)));
        m_layout->insertWidget(i, button);
        m_buttons.append(button);
        const QString text = reply.text;
        connect(button, &QPushButton::clicked, this,
                [this, text] { emit quickReplyClicked(text); });
    }
}
