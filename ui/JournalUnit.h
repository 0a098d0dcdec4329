#pragma once
// The journal window ("Журнал"): the records of the service record's store, newest first, filtered by
// factory number; the selected record's block as found beside the block as left with the changed values
// marked and when the as-found was read; its set-up protocol saved as PDF or HTML.

#include <QWidget>
#include <vector>

#include "record/ServiceRecord.h"

class IPrompts;
class TRecordStore;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

class TJournalForm : public QWidget {
    Q_OBJECT
public:
    // store may be nullptr (the store could not be opened): the window says so and lists nothing.
    TJournalForm(IPrompts& prompts, TRecordStore* store, QWidget* parent = nullptr);
    ~TJournalForm() override;

    // Reads the records again from the store, by the factory number filter.
    void Refresh();
    // "Сохранить протокол…": the selected record's protocol, PDF or HTML by the chosen file's extension.
    void SaveProtocolClick();

    // The records listed, row by row.
    const std::vector<TServiceRecord>& Records() const { return records_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void ShowSelected();

    IPrompts& prompts_;
    TRecordStore* store_;
    std::vector<TServiceRecord> records_;
    QLineEdit* filterEdit_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    QTableWidget* recordList_ = nullptr;
    QLabel* recordLabel_ = nullptr;
    QTableWidget* blockTable_ = nullptr;
    QPushButton* saveButton_ = nullptr;
};
