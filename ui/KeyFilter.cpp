#include "ui/KeyFilter.h"

#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QString>

bool FilterKeyPress(QLineEdit& edit, const QKeyEvent& event, TCharFilter filter) {
    // The clipboard, undo and select-all shortcuts come as control characters, which the filters discard.
    if (event.matches(QKeySequence::Copy) || event.matches(QKeySequence::Cut) ||
        event.matches(QKeySequence::Paste) || event.matches(QKeySequence::Undo) ||
        event.matches(QKeySequence::Redo) || event.matches(QKeySequence::SelectAll)) {
        return true;
    }
    // Focus moves and the delete key are no typed characters (X11 gives Delete the text U+007F, which
    // the filters would discard).
    const int key = event.key();
    if (key == Qt::Key_Tab || key == Qt::Key_Backtab || key == Qt::Key_Delete) {
        return false;
    }
    const QString text = event.text();
    if (text.isEmpty()) {
        return false; // cursor movement and other keys without a character
    }
    const Qt::KeyboardModifiers modifiers = event.modifiers();
    if (modifiers.testFlag(Qt::ControlModifier) && !modifiers.testFlag(Qt::AltModifier)) {
        return true; // a control character
    }
    QString taken;
    for (const char32_t ch : text.toUcs4()) {
        if (const std::optional<char32_t> filtered = filter(ch)) {
            taken += QString::fromUcs4(&*filtered, 1);
        }
    }
    if (taken == text) {
        return false; // the edit takes the key as it is (backspace included)
    }
    if (!taken.isEmpty()) {
        edit.insert(taken);
    }
    return true;
}
