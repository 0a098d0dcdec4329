#include "ui/JournalUnit.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>
#include <exception>

#include "coef/ValueText.h"
#include "record/Protocol.h"
#include "record/ProtocolRows.h"
#include "record/RecordStore.h"
#include "ui/Prompts.h"

namespace {

QString FromUtf8(const std::string& text) {
    return QString::fromStdString(text);
}

QTableWidget* NewTable(QWidget* parent, const char* name, const QStringList& headers) {
    auto* table = new QTableWidget(0, static_cast<int>(headers.size()), parent);
    table->setObjectName(QString::fromLatin1(name));
    table->setHorizontalHeaderLabels(headers);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->verticalHeader()->setVisible(false);
    table->horizontalHeader()->setStretchLastSection(true);
    return table;
}

void SetRow(QTableWidget& table, int row, const QStringList& cells) {
    for (int column = 0; column < cells.size(); ++column) {
        table.setItem(row, column, new QTableWidgetItem(cells.at(column)));
    }
}

// The default name of a record's protocol file.
QString ProtocolFileName(const TServiceRecord& record) {
    return QStringLiteral("протокол-%1.pdf").arg(record.Id);
}

} // namespace

TJournalForm::TJournalForm(IPrompts& prompts, TRecordStore* store, QWidget* parent)
    : QWidget(parent), prompts_(prompts), store_(store) {
    setObjectName(QStringLiteral("JournalForm"));
    setWindowTitle(QStringLiteral("Журнал"));
    resize(900, 640);

    auto* filterLabel = new QLabel(QStringLiteral("Заводской номер:"), this);
    filterEdit_ = new QLineEdit(this);
    filterEdit_->setObjectName(QStringLiteral("FactoryFilter"));
    filterEdit_->setPlaceholderText(QStringLiteral("все адаптеры"));
    filterEdit_->setMaximumWidth(160);
    statusLabel_ = new QLabel(this);
    statusLabel_->setObjectName(QStringLiteral("StatusLabel"));
    auto* filterRow = new QHBoxLayout;
    filterRow->addWidget(filterLabel);
    filterRow->addWidget(filterEdit_);
    filterRow->addWidget(statusLabel_, 1);

    recordList_ =
        NewTable(this, "RecordList",
                 {QStringLiteral("№"), QStringLiteral("Время"), QStringLiteral("Операция"),
                  QStringLiteral("Заводской номер"), QStringLiteral("Порт"), QStringLiteral("Итог")});

    auto* details = new QWidget(this);
    recordLabel_ = new QLabel(details);
    recordLabel_->setObjectName(QStringLiteral("RecordLabel"));
    recordLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    recordLabel_->setWordWrap(true);
    blockTable_ = NewTable(details, "BlockTable",
                           {QStringLiteral("Величина"), QStringLiteral("До операции"),
                            QStringLiteral("После операции"), QStringLiteral("Изменение")});
    saveButton_ = new QPushButton(QStringLiteral("Сохранить протокол…"), details);
    saveButton_->setObjectName(QStringLiteral("SaveProtocolButton"));
    saveButton_->setEnabled(false);
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addStretch(1);
    buttonRow->addWidget(saveButton_);
    auto* detailsLayout = new QVBoxLayout(details);
    detailsLayout->setContentsMargins(0, 0, 0, 0);
    detailsLayout->addWidget(recordLabel_);
    detailsLayout->addWidget(blockTable_, 1);
    detailsLayout->addLayout(buttonRow);

    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(recordList_);
    splitter->addWidget(details);
    splitter->setStretchFactor(0, 2);
    splitter->setStretchFactor(1, 3);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(filterRow);
    layout->addWidget(splitter, 1);

    connect(filterEdit_, &QLineEdit::textChanged, this, [this] { Refresh(); });
    connect(recordList_, &QTableWidget::itemSelectionChanged, this, [this] { ShowSelected(); });
    connect(saveButton_, &QPushButton::clicked, this, [this] { SaveProtocolClick(); });
}

TJournalForm::~TJournalForm() = default;

void TJournalForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) {
        Refresh(); // records made while the window was closed
    }
}

void TJournalForm::Refresh() {
    records_.clear();
    statusLabel_->clear();
    if (store_ == nullptr) {
        statusLabel_->setText(QStringLiteral("Журнал недоступен"));
    } else {
        TRecordFilter filter;
        const std::string text = filterEdit_->text().trimmed().toStdString();
        const std::optional<std::int32_t> number = text.empty() ? std::nullopt : ParseInteger(text);
        if (!text.empty() && !number) {
            statusLabel_->setText(QStringLiteral("Заводской номер — целое число"));
        } else {
            if (number) {
                filter.FactoryNumber = *number;
            }
            try {
                records_ = store_->List(filter);
                statusLabel_->setText(QStringLiteral("Записей: %1").arg(records_.size()));
            } catch (const std::exception& e) {
                statusLabel_->setText(QStringLiteral("Журнал недоступен: ") + FromUtf8(e.what()));
            }
        }
    }
    recordList_->clearSelection();
    recordList_->setRowCount(static_cast<int>(records_.size()));
    for (std::size_t i = 0; i < records_.size(); ++i) {
        const TServiceRecord& r = records_[i];
        SetRow(*recordList_, static_cast<int>(i),
               {QString::number(r.Id), FromUtf8(RecordTimeText(r.Time)), FromUtf8(OperationText(r.Operation)),
                FromUtf8(RecordFactoryNumberText(r)), FromUtf8(r.Port), FromUtf8(OutcomeText(r))});
    }
    recordList_->resizeColumnsToContents();
    if (!records_.empty()) {
        recordList_->selectRow(0);
    }
    ShowSelected();
}

void TJournalForm::ShowSelected() {
    const QModelIndexList selected = recordList_->selectionModel()->selectedRows();
    const int row = selected.isEmpty() ? -1 : selected.first().row();
    saveButton_->setEnabled(row >= 0);
    blockTable_->setRowCount(0);
    if (row < 0 || row >= static_cast<int>(records_.size())) {
        recordLabel_->clear();
        return;
    }
    const TServiceRecord& record = records_[static_cast<std::size_t>(row)];
    QString text = QStringLiteral("Запись № %1, %2: %3. Рабочее место %4, выполнил %5, %6, порт %7.")
                       .arg(record.Id)
                       .arg(FromUtf8(RecordTimeText(record.Time)), FromUtf8(OperationText(record.Operation)),
                            FromUtf8(record.Station), FromUtf8(record.User), FromUtf8(record.Program),
                            FromUtf8(record.Port));
    text += QStringLiteral("\nДо операции: ");
    text += record.AsFound
                ? QStringLiteral("блок, прочитанный ") + FromUtf8(RecordTimeText(record.AsFound->ReadAt))
                : QStringLiteral("блок не читался");
    text += QStringLiteral(". Контрольная сумма: ") + FromUtf8(ChecksumText(record));
    text += QStringLiteral(". Проверка чтением: ") + FromUtf8(ReadBackText(record)) + QStringLiteral(".");
    if (record.File) {
        text += QStringLiteral("\nФайл: ") + FromUtf8(record.File->Name);
    }
    text += QStringLiteral("\nИтог: ") + FromUtf8(OutcomeText(record));
    recordLabel_->setText(text);

    const std::vector<TProtocolRow> rows = ProtocolRows(record);
    blockTable_->setRowCount(static_cast<int>(rows.size()));
    const QBrush changedBrush(QColor(0xff, 0xe9, 0xa8));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const TProtocolRow& r = rows[i];
        const int tableRow = static_cast<int>(i);
        SetRow(*blockTable_, tableRow,
               {FromUtf8(r.Name), FromUtf8(r.Found.empty() ? "—" : r.Found),
                FromUtf8(r.Left.empty() ? "—" : r.Left), FromUtf8(RowChangeText(r.Change))});
        if (r.Change != TRowChange::Same) {
            for (int column = 0; column < blockTable_->columnCount(); ++column) {
                QTableWidgetItem* item = blockTable_->item(tableRow, column);
                item->setBackground(changedBrush);
                QFont font = item->font();
                font.setBold(true);
                item->setFont(font);
            }
        }
    }
    blockTable_->resizeColumnsToContents();
}

void TJournalForm::SaveProtocolClick() {
    const QModelIndexList selected = recordList_->selectionModel()->selectedRows();
    if (selected.isEmpty() || selected.first().row() >= static_cast<int>(records_.size())) {
        return;
    }
    const TServiceRecord& record = records_[static_cast<std::size_t>(selected.first().row())];
    const QString chosen =
        prompts_.AskSaveFileName(this, ProtocolFileName(record),
                                 QStringLiteral("PDF (*.pdf);;HTML (*.html *.htm)"), QStringLiteral("pdf"));
    if (chosen.isEmpty()) {
        return;
    }
    const QString suffix = QFileInfo(chosen).suffix().toLower();
    try {
        if (suffix == QStringLiteral("html") || suffix == QStringLiteral("htm")) {
            WriteProtocolHtml(record, chosen.toStdString());
        } else {
            WriteProtocolPdf(record, chosen.toStdString());
        }
    } catch (const std::exception& e) {
        prompts_.ShowError(QStringLiteral("Протокол не сохранён"), FromUtf8(e.what()));
    }
}
