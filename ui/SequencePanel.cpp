#include "ui/SequencePanel.h"

#include <QProgressBar>
#include <QString>
#include <QWidget>

#include "ui/Progress.h"
#include "ui/Prompts.h"

void TSequencePanel::Attach(QWidget& panel, QProgressBar& bar) {
    panel_ = &panel;
    bar_ = &bar;
}

void TSequencePanel::ShowProgressPanel(bool shown) {
    panel_->setVisible(shown);
}

void TSequencePanel::SetProgress(int percent) {
    ShowProgress(*bar_, percent);
}

void TSequencePanel::ShowMessage(const std::string& text) {
    lastMessage_ = text;
    prompts_.ShowMessage(QString::fromStdString(text));
}
