#pragma once
// The key filter of the coefficient windows' filtered edits: what a key press types is run through a
// character filter (the numeric one or the factory number one) before the edit sees it.

#include <optional>

class QKeyEvent;
class QLineEdit;

using TCharFilter = std::optional<char32_t> (*)(char32_t);

// Runs one key press of an edit through a character filter. Returns true when the press has been dealt
// with here: discarded, or its characters inserted in their filtered form. Editing keys (Delete,
// Backspace, the arrows) and focus moves reach the edit as they are.
bool FilterKeyPress(QLineEdit& edit, const QKeyEvent& event, TCharFilter filter);
