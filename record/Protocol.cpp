#include "record/Protocol.h"

#include <QBuffer>
#include <QFont>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QSaveFile>
#include <QTextDocument>
#include <stdexcept>

#include "record/ProtocolRows.h"

namespace {

// The font the protocol is set in: Cyrillic in every weight used, embedded into the PDF.
constexpr const char* kFontFamily = "DejaVu Sans";
constexpr int kFontPoints = 9;
constexpr int kLayoutDpi = 96;

std::string Escaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

void AddField(std::string& html, const std::string& name, const std::string& value) {
    html += "<tr><td class=\"name\" width=\"40%\">" + Escaped(name) + "</td><td>" + Escaped(value) +
            "</td></tr>\n";
}

// Both blocks slot by slot; a changed row is marked in its own column and shaded.
void AddValues(std::string& html, const TServiceRecord& record) {
    html += "<table class=\"values\" border=\"1\" cellspacing=\"0\" cellpadding=\"4\" width=\"100%\">\n"
            "<tr><th width=\"46%\">Величина</th><th width=\"18%\">До операции</th>"
            "<th width=\"18%\">После операции</th><th width=\"18%\">Изменение</th></tr>\n";
    for (const TProtocolRow& row : ProtocolRows(record)) {
        const bool marked = row.Change != TRowChange::Same;
        html += marked ? "<tr class=\"changed\">" : "<tr>";
        const char* const cell = marked ? "<td bgcolor=\"#ffe9a8\">" : "<td>";
        html += cell + Escaped(row.Name) + "</td>";
        html += cell + Escaped(row.Found.empty() ? "—" : row.Found) + "</td>";
        html += cell + Escaped(row.Left.empty() ? "—" : row.Left) + "</td>";
        html += cell;
        if (marked) {
            html += "<b>" + Escaped(RowChangeText(row.Change)) + "</b>";
        }
        html += "</td></tr>\n";
    }
    html += "</table>\n";
}

QByteArray PdfOf(const TServiceRecord& record) {
    QTextDocument document;
    document.setDefaultFont(QFont(QString::fromLatin1(kFontFamily), kFontPoints));
    document.setHtml(QString::fromStdString(ProtocolHtml(record)));
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter writer(&buffer);
        writer.setTitle(QStringLiteral("Протокол настройки адаптера RQ7"));
        writer.setCreator(QStringLiteral("rq7"));
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                         QMarginsF(15, 15, 15, 15), QPageLayout::Millimeter));
        // The document is laid out on the page's printable area at the resolution its fonts are measured
        // in, so that the points of its fonts are points on paper.
        document.setPageSize(writer.pageLayout().paintRectPixels(kLayoutDpi).size().toSizeF());
        document.print(&writer);
    }
    return buffer.data();
}

void WriteFile(const std::string& path, const QByteArray& bytes) {
    // Written beside the target and renamed over it: a failed write leaves an earlier file intact.
    const QString name = QString::fromStdString(path);
    QSaveFile file(name);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        throw std::runtime_error("Не удалось записать протокол в файл \"" + path +
                                 "\": " + file.errorString().toStdString());
    }
}

} // namespace

std::string ProtocolText(const TServiceRecord& record) {
    // Pads a UTF-8 text with spaces to width characters.
    const auto padded = [](const std::string& text, std::size_t width) {
        std::size_t characters = 0;
        for (const char c : text) {
            characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
        }
        return text + std::string(characters < width ? width - characters : 1, ' ');
    };
    std::string text = "Протокол настройки адаптера RQ7\n\n";
    const auto field = [&](const std::string& name, const std::string& value) {
        text += padded(name + ":", 22) + value + "\n";
    };
    field("Запись журнала №", std::to_string(record.Id));
    field("Операция", OperationText(record.Operation));
    field("Заводской номер", RecordFactoryNumberText(record));
    field("Адрес", RecordAddressText(record));
    field("Дата и время", RecordTimeText(record.Time));
    field("Рабочее место", record.Station);
    field("Выполнил", record.User);
    field("Программа", record.Program);
    field("Порт", record.Port);
    if (record.File) {
        field("Файл коэффициентов", record.File->Name);
        field("SHA-256 файла", record.File->Sha256);
    }
    text += record.AsFound
                ? "\nДо операции: блок, прочитанный " + RecordTimeText(record.AsFound->ReadAt) + ".\n"
                : std::string("\nДо операции: блок не читался.\n");
    text += padded("Величина", 44) + padded("До операции", 22) + padded("После операции", 22) + "Изменение\n";
    for (const TProtocolRow& row : ProtocolRows(record)) {
        std::string line =
            padded(row.Name, 44) + padded(row.Found, 22) + padded(row.Left, 22) + RowChangeText(row.Change);
        line.erase(line.find_last_not_of(' ') + 1);
        text += line + "\n";
    }
    text += "\n";
    field("Контрольная сумма", ChecksumText(record));
    field("Проверка чтением", ReadBackText(record));
    field("Итог", OutcomeText(record));
    text += "\nНастройку выполнил: ______________________ / ______________________ /\n"
            "Протокол принял:    ______________________ / ______________________ /\n"
            "Дата: «____» ________________ 20____ г.\n";
    return text;
}

std::string ProtocolHtml(const TServiceRecord& record) {
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"ru\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>Протокол настройки адаптера RQ7</title>\n<style>\n"
        "body { font-family: 'DejaVu Sans', Arial, sans-serif; font-size: 10pt; }\n"
        "p.title { font-size: 14pt; font-weight: bold; text-align: center; }\n"
        "h2 { font-size: 11pt; margin-top: 12pt; }\n"
        "table { border-collapse: collapse; }\n"
        "table.values td, table.values th { border: 1px solid #555; padding: 3pt 6pt; }\n"
        "table.values th { background: #e8e8e8; }\n"
        "tr.changed td { background: #ffe9a8; }\n"
        "td.name { padding-right: 12pt; color: #333; }\n"
        "</style>\n</head>\n<body>\n"
        "<p class=\"title\" align=\"center\"><b><span style=\"font-size: 14pt\">Протокол настройки адаптера "
        "RQ7</span></b></p>\n<table class=\"fields\" width=\"100%\" cellspacing=\"0\" cellpadding=\"2\">\n";
    AddField(html, "Запись журнала №", std::to_string(record.Id));
    AddField(html, "Операция", OperationText(record.Operation));
    AddField(html, "Заводской номер", RecordFactoryNumberText(record));
    AddField(html, "Адрес", RecordAddressText(record));
    AddField(html, "Дата и время", RecordTimeText(record.Time));
    AddField(html, "Рабочее место", record.Station);
    AddField(html, "Выполнил", record.User);
    AddField(html, "Программа", record.Program);
    AddField(html, "Порт", record.Port);
    if (record.File) {
        AddField(html, "Файл коэффициентов", record.File->Name);
        AddField(html, "SHA-256 файла", record.File->Sha256);
    }
    html += "</table>\n<h2>Коэффициенты</h2>\n";
    if (record.AsFound) {
        html += "<p>До операции: блок, прочитанный " + Escaped(RecordTimeText(record.AsFound->ReadAt)) +
                ".</p>\n";
    } else {
        html += "<p>До операции: блок не читался.</p>\n";
    }
    AddValues(html, record);
    html += "<h2>Результаты</h2>\n<table class=\"fields\">\n";
    AddField(html, "Контрольная сумма прочитанного блока", ChecksumText(record));
    AddField(html, "Проверка чтением после записи", ReadBackText(record));
    AddField(html, "Итог", OutcomeText(record));
    html += "</table>\n"
            "<p style=\"margin-top: 18pt\">Настройку выполнил: ______________________ / "
            "______________________ /</p>\n"
            "<p style=\"margin-top: 18pt\">Протокол принял: ______________________ / "
            "______________________ /</p>\n"
            "<p style=\"margin-top: 18pt\">Дата: «____» ________________ 20____ г.</p>\n"
            "</body>\n</html>\n";
    return html;
}

void WriteProtocolPdf(const TServiceRecord& record, const std::string& path) {
    WriteFile(path, PdfOf(record));
}

void WriteProtocolHtml(const TServiceRecord& record, const std::string& path) {
    const std::string html = ProtocolHtml(record);
    WriteFile(path, QByteArray(html.data(), static_cast<qsizetype>(html.size())));
}
