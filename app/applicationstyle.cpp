#include "app/applicationstyle.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFont>
#include <QStyle>
#include <QStyleFactory>

#include <cstring>

namespace {

struct ButtonCaption
{
    const char *source;
    const char *translation;
};

// Qt's own captions of the standard dialog buttons. Yes and No deliberately
// read as 确定 / 取消, the wording agents know from the rest of the client.
constexpr ButtonCaption buttonCaptions[] = {
    {"&OK", "确定"},
    {"&Yes", "确定"},
    {"&No", "取消"},
    {"&Cancel", "取消"},
    {"&Close", "关闭"},
    {"Close", "关闭"},
    {"&Save", "保存"},
    {"&Open", "打开"},
    {"&Apply", "应用"},
    {"&Reset", "重置"},
    {"&Help", "帮助"},
    {"&Retry", "重试"},
    {"&Abort", "中止"},
    {"&Ignore", "忽略"},
    {"Discard", "放弃"},
    {"Show Details...", "显示详细信息..."},
    {"Hide Details...", "隐藏详细信息..."},
    // The captions as this Qt version actually asks for them (no mnemonic);
    // without these an Ok box would still read "OK".
    {"OK", "确定"},
    {"Cancel", "取消"},
    {"Save", "保存"},
    {"Open", "打开"},
    {"Apply", "应用"},
    {"Reset", "重置"},
    {"Help", "帮助"},
    {"Retry", "重试"},
    {"Abort", "中止"},
    {"Ignore", "忽略"},
};

StandardButtonTranslator *buttonTranslator = nullptr;

const char *const globalStyleSheet = R"(
QToolTip {
    background-color: rgba(42, 46, 60, 236);
    color: #ffffff;
    border: none;
    border-radius: 6px;
    padding: 6px 10px;
    font-size: 12px;
}
QMenu {
    background-color: rgba(255, 255, 255, 250);
    border: 1px solid rgba(150, 160, 190, 70);
    border-radius: 10px;
    padding: 6px;
}
QMenu::item {
    padding: 7px 22px;
    border-radius: 6px;
    font-size: 12px;
    color: #3a4150;
}
QMenu::item:selected {
    background-color: rgba(91, 140, 255, 38);
    color: #2f5fe0;
}
QMenu::separator {
    height: 1px;
    background: rgba(150, 160, 190, 60);
    margin: 4px 8px;
}
QScrollBar:vertical {
    background: transparent;
    width: 8px;
    margin: 2px;
}
QScrollBar:horizontal {
    background: transparent;
    height: 8px;
    margin: 2px;
}
QScrollBar::handle:vertical {
    background: rgba(120, 132, 160, 70);
    border-radius: 3px;
    min-height: 36px;
}
QScrollBar::handle:horizontal {
    background: rgba(120, 132, 160, 70);
    border-radius: 3px;
    min-width: 36px;
}
QScrollBar::handle:vertical:hover, QScrollBar::handle:horizontal:hover {
    background: rgba(96, 108, 140, 120);
}
QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical {
    height: 0px;
}
QScrollBar::add-line:horizontal, QScrollBar::sub-line:horizontal {
    width: 0px;
}
QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical,
QScrollBar::add-page:horizontal, QScrollBar::sub-page:horizontal {
    background: transparent;
}
QMessageBox {
    background-color: #faf8fd;
}
QMessageBox QLabel {
    color: #3a4150;
    font-size: 13px;
}
QMessageBox QPushButton {
    min-width: 76px;
    min-height: 28px;
    border: 1px solid rgba(150, 160, 190, 90);
    border-radius: 8px;
    background-color: rgba(255, 255, 255, 0.92);
    color: #3a4150;
    padding: 3px 14px;
    font-size: 12px;
}
QMessageBox QPushButton:hover {
    border-color: #8fadff;
    color: #2f5fe0;
    background-color: #ffffff;
}
QMessageBox QPushButton:pressed {
    background-color: #e4ebff;
}
QComboBox QAbstractItemView {
    background-color: rgba(255, 255, 255, 250);
    border: 1px solid rgba(150, 160, 190, 80);
    border-radius: 8px;
    outline: none;
    selection-background-color: rgba(91, 140, 255, 45);
    selection-color: #2f5fe0;
}
QCheckBox {
    color: #5b6478;
    font-size: 13px;
    spacing: 8px;
}
QCheckBox::indicator {
    width: 16px;
    height: 16px;
    border-radius: 5px;
    border: 1px solid rgba(140, 150, 180, 130);
    background-color: rgba(255, 255, 255, 0.9);
}
QCheckBox::indicator:hover {
    border-color: #8fadff;
}
QCheckBox::indicator:checked {
    background-color: #3d6df2;
    border-color: #3d6df2;
}
QLineEdit, QTextEdit, QPlainTextEdit {
    selection-background-color: rgba(91, 140, 255, 90);
    selection-color: #1f2637;
}
)";

} // namespace

QString StandardButtonTranslator::translate(const char *context, const char *sourceText,
                                            const char *disambiguation, int n) const
{
    Q_UNUSED(context);
    Q_UNUSED(disambiguation);
    Q_UNUSED(n);
    if (!sourceText)
        return QString();
    for (const ButtonCaption &caption : buttonCaptions) {
        if (std::strcmp(caption.source, sourceText) == 0)
            return QString::fromUtf8(caption.translation);
    }
    return QString();
}

void applyApplicationStyle()
{
    if (QStyle *fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        QApplication::setStyle(fusion);

    QFont font(QStringLiteral("Microsoft YaHei UI"), 9);
    font.setHintingPreference(QFont::PreferFullHinting);
    QApplication::setFont(font);

    if (!buttonTranslator) {
        buttonTranslator = new StandardButtonTranslator;
        QCoreApplication::installTranslator(buttonTranslator);
    }

    qApp->setStyleSheet(QString::fromUtf8(globalStyleSheet));
}

void initResources()
{
    Q_INIT_RESOURCE(resources);
}
