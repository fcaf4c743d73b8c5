#pragma once

#include <QTranslator>

// Chinese captions for the standard buttons of Qt's own dialogs. Matches the
// source text only, byte for byte; context and disambiguation are ignored.
class StandardButtonTranslator : public QTranslator
{
    Q_OBJECT

public:
    using QTranslator::QTranslator;

    QString translate(const char *context, const char *sourceText,
                      const char *disambiguation = nullptr, int n = -1) const override;
    bool isEmpty() const override { return false; }
};

// Style, font, button captions and the global style sheet. Call once, after
// the application identity is set and before any window exists.
void applyApplicationStyle();

// The embedded icon lives in the static UI library, whose resources must be
// registered explicitly by every program that links it.
void initResources();
