#pragma once
// A coefficient window's face of the shared sequences: its progress panel and the bar in it, and its
// message boxes. A window's user stops a sequence by nothing but its end, so a stop is never asked for.

#include <string>

#include "link/CoefSequence.h"

class IPrompts;
class QProgressBar;
class QWidget;

class TSequencePanel final : public ICoefSequenceView {
public:
    explicit TSequencePanel(IPrompts& prompts) : prompts_(prompts) {}
    // The window's panel and bar, once its form is set up (before any sequence runs).
    void Attach(QWidget& panel, QProgressBar& bar);

    void ShowProgressPanel(bool shown) override;
    void SetProgress(int percent) override;
    void ShowMessage(const std::string& text) override;
    bool StopRequested() override { return false; }

    // The last message shown, and forgetting it (before a sequence, to tell what that one showed).
    const std::string& LastMessage() const { return lastMessage_; }
    void ForgetLastMessage() { lastMessage_.clear(); }

private:
    QWidget* panel_ = nullptr;
    QProgressBar* bar_ = nullptr;
    IPrompts& prompts_;
    std::string lastMessage_;
};
