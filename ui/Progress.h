#pragma once
// A sequence's progress bar takes its new value at once (and says so), but is painted at the next pass
// of the messages, that is in the wait that follows, rather than before the wait begins.

#include <QProgressBar>

inline void ShowProgress(QProgressBar& bar, int value) {
    // A progress bar repaints itself at once when its value changes; with updates off it only marks
    // itself for the next paint, which turning them on again asks for.
    const bool updates = bar.updatesEnabled();
    bar.setUpdatesEnabled(false);
    bar.setValue(value);
    bar.setUpdatesEnabled(updates);
}
