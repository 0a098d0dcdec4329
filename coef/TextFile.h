#pragma once
// Text files as this program and its Windows siblings share them: Windows-1251 bytes, CR LF lines.
// Texts in memory are UTF-8.

#include <string>
#include <string_view>
#include <vector>

// UTF-8 <-> Windows-1251. A character that Windows-1251 lacks becomes "?".
std::string Utf8ToCp1251(std::string_view utf8);
std::string Cp1251ToUtf8(std::string_view bytes);

// Reads all lines of a file; a line ends at LF or at CR LF. Throws EInOutError with the texts
// "File not found", "Invalid filename", "Too many open files", "File access denied", "Disk full"
// or "I/O error %d".
std::vector<std::string> ReadTextFileLines(const std::string& path);

// Writes the lines, each ended by CR LF, to a temporary file beside the target and renames it over
// the target, so a failure leaves any earlier file intact. Throws EInOutError as above.
void WriteTextFileLines(const std::string& path, const std::vector<std::string>& lines);
