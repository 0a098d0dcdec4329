#pragma once
// Text files as this program and its Windows siblings share them: Windows-1251 bytes, CR LF lines.
// Texts in memory are UTF-8.

#include <cstddef>
#include <cstdint>
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

// The most a line read by ReadFirstTextFileLines keeps, in bytes (one character each): what an edit
// field of the windows holds at most (QLineEdit's default maximum length), so an edit shows the same
// as it would with the whole line, and 15 lines need at most about half a megabyte.
inline constexpr std::size_t kMaxTextLineBytes = 32767;

// Reads the first count lines of a file and stops there, as ReadTextFileLines reads them but keeping
// only the first kMaxTextLineBytes bytes of a longer line; the rest of the file is never read, so a
// file of any size costs no more than its first lines. Fewer lines when the file has fewer.
std::vector<std::string> ReadFirstTextFileLines(const std::string& path, std::size_t count);

// Writes the lines, each ended by CR LF, to a temporary file beside the target and renames it over
// the target, so a failure leaves any earlier file intact. Where no temporary file can be made beside
// the target (a folder that takes no new files but holds a writable target, a name too long for the
// temporary file's ending) the target is rewritten in place instead. Throws EInOutError as above.
//
// Only regular files are written: a path with nothing there is made, and a link (or a chain of links)
// to a regular file has that file written and stays a link. Anything else is refused with "File access
// denied" and left untouched, with no temporary file behind: a device, a pipe, a socket, a folder, a
// link to one of these, a link that leads nowhere, and a file that no one may write by its mode bits
// (by its read-only attribute on Windows), which even root, who passes every access check, keeps.
void WriteTextFileLines(const std::string& path, const std::vector<std::string>& lines);

// A text file written a line at a time while its lines become known. Opening creates it, or empties
// an existing one where it stands (so a writable file in a folder that takes no new files is written
// too); each line goes to the operating system as it is written, so however the program or the device
// ends afterwards, the file holds the lines written so far. Close syncs the file to disk and closes
// it; the destructor does the same, without errors, where Close was not reached. Lines are encoded as
// WriteTextFileLines encodes them, and what it refuses is refused here on opening, with nothing emptied.
// Throws EInOutError as above.
class TTextFileWriter {
public:
    explicit TTextFileWriter(const std::string& path);
    TTextFileWriter(const TTextFileWriter&) = delete;
    TTextFileWriter& operator=(const TTextFileWriter&) = delete;
    ~TTextFileWriter();

    void WriteLine(std::string_view line);
    void Close();

private:
    std::intptr_t handle_; // the descriptor, or the Windows file handle; -1 once closed
};
