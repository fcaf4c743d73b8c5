#pragma once

#include <QString>

class QFont;

// Visitors write words no line can hold (a long link, a key held down).
// A label wraps only where the text allows it, and cuts off the rest.

// `text` with a zero-width space in every run of more than a few dozen
// characters that offers no place to break the line: for showing only.
QString breakableText(const QString &text);

// The breakable text as far as it fits in `maxLines` lines of `width`
// pixels, ending in an ellipsis when cut.
QString elidedLines(const QString &text, const QFont &font, int width, int maxLines);
