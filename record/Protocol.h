#pragma once
// The set-up protocol of a record ("Протокол настройки адаптера RQ7"), made from the record alone, so
// that any old record prints again: HTML (one self-contained file) and PDF (selectable text, its
// Cyrillic fonts embedded). Needs a QGuiApplication (the offscreen platform will do) for the PDF.

#include <string>

#include "record/ServiceRecord.h"

// The protocol as one HTML document (UTF-8), with no reference outside it.
std::string ProtocolHtml(const TServiceRecord& record);

// The protocol as plain text (UTF-8, for a terminal): the same fields and rows, the values in columns.
std::string ProtocolText(const TServiceRecord& record);

// Writes the protocol to path (UTF-8) as PDF or as HTML. Throws std::runtime_error with a Russian message
// naming the file when it cannot be written.
void WriteProtocolPdf(const TServiceRecord& record, const std::string& path);
void WriteProtocolHtml(const TServiceRecord& record, const std::string& path);
