#include "widgets/quickreplybar.h"

#include <QHBoxLayout>
#include <QPushButton>

const QStringList &QuickReplyBar::phrases()
{
    static const QStringList list {
        QStringLiteral("您好，请问有什么可以帮您？"), QStringLiteral("请稍等，我为您查询"),
        QStringLiteral("感谢您的耐心等待"), QStringLiteral("还有其他问题吗？"),
        QStringLiteral("祝您生活愉快！")};
    return list;
}

QuickReplyBar::QuickReplyBar(QWidget *parent) : QWidget(parent)
{
    auto *layout = new QHBoxLayout;
    layout->setContentsMargins(8, 4, 8, 4);
    layout->setSpacing(8);
    for (const QString &phrase : phrases()) {
        auto *button = new QPushButton(phrase, this);
        button->setCursor(Qt::PointingHandCursor);
        // Alt+1 to Alt+5: an answer without leaving the keyboard.
        const QKeySequence keys(Qt::ALT | Qt::Key(Qt::Key_1 + m_buttons.size()));
        button->setShortcut(keys);
        button->setToolTip(keys.toString(QKeySequence::NativeText));
        button->setStyleSheet(QStringLiteral(
            "QPushButton { background-color: rgba(255, 255, 255, 0.72); border: 1px solid "
            "rgba(255, 255, 255, 0.92); border-radius: 14px; padding: 5px 13px; font-size: 12px; "
            "color: #4b5264; }QPushButton:hover { background-color: rgba(255, 255, 255, 0.98); "
            "border-color: #8fadff; color: #2f5fe0; }QPushButton:pressed { background-color: "
            "rgba(226, 234, 255, 0.95); }"));
        layout->addWidget(button);
        m_buttons.append(button);
        connect(button, &QPushButton::clicked, this,
                [this, phrase] { emit quickReplyClicked(phrase); });
    }
    layout->addStretch();
    setLayout(layout);
}
