#include "widgets/breakabletext.h"

#include <QFontMetrics>
#include <QTextBoundaryFinder>
#include <QTextLayout>

namespace {

constexpr qsizetype kMaxUnbrokenRun = 24;
constexpr QChar kZeroWidthSpace(0x200B);

} // namespace

QString breakableText(const QString &text)
{
    QTextBoundaryFinder lines(QTextBoundaryFinder::Line, text);
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    QString out;
    out.reserve(text.size() + text.size() / kMaxUnbrokenRun);
    qsizetype run = 0; // characters since the last place to break
    qsizetype from = 0;
    // Only between whole graphemes: never inside a surrogate pair or
    // between a letter and its accent.
    for (qsizetype to = graphemes.toNextBoundary(); to > 0; to = graphemes.toNextBoundary()) {
        lines.setPosition(from);
        if (from > 0 && lines.isAtBoundary())
            run = 0;
        else if (run >= kMaxUnbrokenRun) {
            out += kZeroWidthSpace;
            run = 0;
        }
        out += QStringView(text).mid(from, to - from);
        run += to - from;
        from = to;
    }
    return out;
}

QString elidedLines(const QString &text, const QFont &font, int width, int maxLines)
{
    QString breakable = breakableText(text);
    // Laid out as a word-wrapped label lays it out.
    QTextLayout layout(breakable, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    qsizetype lastLineStart = -1;
    for (int n = 0; n < maxLines; ++n) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        lastLineStart = line.textStart();
    }
    const bool more = layout.createLine().isValid();
    layout.endLayout();
    if (!more || lastLineStart < 0)
        return breakable;
    // The last line holds what it can of the rest, and the ellipsis.
    const QString rest = breakable.mid(lastLineStart).replace(QLatin1Char('\n'), QLatin1Char(' '));
    return breakable.left(lastLineStart)
        + QFontMetrics(font).elidedText(rest, Qt::ElideRight, width);
}
