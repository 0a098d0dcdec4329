#include "coef/WriteJournal.h"

#include <algorithm>
#include <charconv>
#include <system_error>
#include <utility>
#include <vector>

#include "coef/DeviceMap.h"
#include "coef/Errors.h"
#include "coef/TextFile.h"
#include "coef/ValueText.h"

namespace {

// The codes of the file errors that mean the journal is not there yet.
constexpr int kFileNotFound = 2;
constexpr int kInvalidFilename = 3;

constexpr std::size_t kBlockHexDigits = 2 * std::tuple_size_v<TCoefImageBytes>;

std::string HexText(const TCoefImageBytes& block) {
    static constexpr std::string_view kDigits = "0123456789abcdef";
    std::string text;
    text.reserve(kBlockHexDigits);
    for (const std::uint8_t b : block) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

// Takes "<name><136 hex digits>" from the front of the text into the block; false when it is not there.
bool TakeBlock(std::string_view& text, std::string_view name, TCoefImageBytes& block) {
    if (!text.starts_with(name) || text.size() < name.size() + kBlockHexDigits) {
        return false;
    }
    text.remove_prefix(name.size());
    for (std::size_t i = 0; i < block.size(); ++i) {
        const int high = HexDigitValue(text[2 * i]);
        const int low = HexDigitValue(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        block[i] = static_cast<std::uint8_t>((high << 4) | low);
    }
    text.remove_prefix(kBlockHexDigits);
    return true;
}

// The adapter a line is about: its first word, when that is a factory number as Keep writes it (so
// "0101001" or "+101001" names no adapter, and every adapter has one spelling).
std::optional<std::int32_t> LineAdapter(std::string_view line) {
    const std::string_view word = line.substr(0, line.find(' '));
    std::int32_t number = 0;
    const char* const end = word.data() + word.size();
    const auto [stop, err] = std::from_chars(word.data(), end, number);
    if (err != std::errc{} || stop != end || std::to_string(number) != word) {
        return std::nullopt;
    }
    return number;
}

std::optional<TJournalEntry> ParseLine(std::string_view line) {
    TJournalEntry entry;
    const std::optional<std::int32_t> number = LineAdapter(line);
    const std::size_t space = line.find(' ');
    if (!number || space == std::string_view::npos) {
        return std::nullopt;
    }
    entry.FactoryNumber = *number;
    line.remove_prefix(space);
    if (!TakeBlock(line, " found=", entry.Found) || !TakeBlock(line, " sent=", entry.Sent) || !line.empty()) {
        return std::nullopt;
    }
    return entry;
}

std::string LineOf(const TJournalEntry& entry) {
    return std::to_string(entry.FactoryNumber) + " found=" + HexText(entry.Found) +
           " sent=" + HexText(entry.Sent);
}

enum class TJournalState { Missing, Ours, Foreign };

struct TJournalFile {
    TJournalState State = TJournalState::Missing;
    std::vector<std::string> Lines; // after the first line, of a journal of ours
};

TJournalFile ReadJournal(const std::string& path) {
    TJournalFile journal;
    try {
        journal.Lines = ReadTextFileLines(path);
    } catch (const EInOutError& e) {
        // No file yet, or not even its folder.
        if (e.ErrorCode != kFileNotFound && e.ErrorCode != kInvalidFilename) {
            throw;
        }
        return journal;
    }
    if (journal.Lines.empty() || journal.Lines.front() != TWriteJournal::kFirstLine) {
        journal.State = TJournalState::Foreign;
        journal.Lines.clear();
        return journal;
    }
    journal.State = TJournalState::Ours;
    journal.Lines.erase(journal.Lines.begin());
    return journal;
}

// Writes the journal whole: its first line, then the lines given less empty ones, the newest
// kMaxAdapters of them.
void SaveJournal(const std::string& path, std::vector<std::string> lines) {
    std::erase_if(lines, [](const std::string& line) { return line.empty(); });
    if (lines.size() > TWriteJournal::kMaxAdapters) {
        lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(TWriteJournal::kMaxAdapters));
    }
    lines.insert(lines.begin(), std::string(TWriteJournal::kFirstLine));
    WriteTextFileLines(path, lines);
}

// Removes the lines of the adapter, damaged ones too; returns whether there were any.
bool RemoveAdapter(std::vector<std::string>& lines, std::int32_t factoryNumber) {
    return std::erase_if(lines,
                         [&](const std::string& line) { return LineAdapter(line) == factoryNumber; }) != 0;
}

} // namespace

#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "coef/WideText.h"

namespace {

[[noreturn]] void RaiseFolderError(DWORD err) {
    switch (err) {
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DIRECTORY:
    case ERROR_FILENAME_EXCED_RANGE:
        throw EInOutError("Invalid filename", kInvalidFilename);
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        throw EInOutError("File access denied", 5);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        throw EInOutError("Disk full", 101);
    default:
        throw EInOutError("I/O error " + std::to_string(err), static_cast<int>(err));
    }
}

// The folder part of a path; empty for a bare name.
std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Makes the folder and the missing folders above it. A name taken by a file is left for the writer,
// which then reports it.
void MakeFolder(const std::string& folder) {
    if (folder.empty()) {
        return;
    }
    const std::wstring wide = Widen(folder);
    if (::CreateDirectoryW(wide.c_str(), nullptr)) {
        return;
    }
    DWORD err = ::GetLastError();
    const std::string parent = FolderOf(folder);
    if (err == ERROR_PATH_NOT_FOUND && !parent.empty() && parent.size() < folder.size()) {
        MakeFolder(parent);
        if (::CreateDirectoryW(wide.c_str(), nullptr)) {
            return;
        }
        err = ::GetLastError();
    }
    if (err != ERROR_ALREADY_EXISTS) {
        RaiseFolderError(err);
    }
}

std::string EnvironmentText(const wchar_t* name) {
    const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) {
        return {};
    }
    std::wstring value(size, L'\0');
    const DWORD length = ::GetEnvironmentVariableW(name, value.data(), size);
    if (length == 0 || length >= size) {
        return {};
    }
    value.resize(length);
    return Narrow(value);
}

std::string DataFolder() {
    std::string folder = EnvironmentText(L"LOCALAPPDATA");
    if (folder.empty()) {
        const std::string profile = EnvironmentText(L"USERPROFILE");
        if (profile.empty()) {
            return {};
        }
        folder = profile + "\\AppData\\Local";
    }
    return folder;
}

constexpr char kSeparator = '\\';

} // namespace

#else // POSIX

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void RaiseFolderError(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        throw EInOutError("Invalid filename", kInvalidFilename);
    case EACCES:
    case EPERM:
    case EROFS:
        throw EInOutError("File access denied", 5);
    case ENOSPC:
    case EDQUOT:
        throw EInOutError("Disk full", 101);
    default:
        throw EInOutError("I/O error " + std::to_string(err), err);
    }
}

// The folder part of a path; empty for a bare name, "/" for a name in the root.
std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return {};
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Makes the folder and the missing folders above it, for the user alone, and syncs the folder that
// holds each new one so the new names survive a power cut too. A name taken by a file is left for the
// writer, which then reports it.
void MakeFolder(const std::string& folder) {
    if (folder.empty()) {
        return;
    }
    const std::string parent = FolderOf(folder);
    int err = ::mkdir(folder.c_str(), 0700) == 0 ? 0 : errno;
    if (err == ENOENT && !parent.empty() && parent.size() < folder.size()) {
        MakeFolder(parent);
        err = ::mkdir(folder.c_str(), 0700) == 0 ? 0 : errno;
    }
    if (err == EEXIST) {
        return;
    }
    if (err != 0) {
        RaiseFolderError(err);
    }
    const int dir = ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
}

std::string EnvironmentText(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string DataFolder() {
    std::string folder = EnvironmentText("XDG_DATA_HOME");
    if (!folder.empty() && folder.front() == '/') {
        return folder;
    }
    std::string home = EnvironmentText("HOME");
    if (home.empty()) {
        if (const passwd* user = ::getpwuid(::getuid()); user != nullptr && user->pw_dir != nullptr) {
            home = user->pw_dir;
        }
    }
    if (home.empty()) {
        return {};
    }
    while (home.size() > 1 && home.back() == '/') {
        home.pop_back();
    }
    return home == "/" ? "/.local/share" : home + "/.local/share";
}

constexpr char kSeparator = '/';

} // namespace

#endif

TWriteJournal::TWriteJournal(std::string path) : path_(std::move(path)) {}

std::string UserDataFile(const std::string& name) {
    std::string folder = DataFolder();
    if (folder.empty()) {
        return {};
    }
    while (folder.size() > 1 && (folder.back() == '/' || folder.back() == kSeparator)) {
        folder.pop_back();
    }
    if (folder.back() != kSeparator) {
        folder += kSeparator;
    }
    return folder + "rq7" + kSeparator + name;
}

std::string TWriteJournal::DefaultPath() {
    return UserDataFile("write-journal.txt");
}

const std::string& TWriteJournal::Path() const {
    return path_;
}

void TWriteJournal::Keep(const TJournalEntry& entry) {
    TJournalFile journal = ReadJournal(path_);
    if (journal.State == TJournalState::Foreign) {
        throw EInOutError("Not a write journal: " + path_, kNotAJournal);
    }
    RemoveAdapter(journal.Lines, entry.FactoryNumber);
    journal.Lines.push_back(LineOf(entry));
    if (journal.State == TJournalState::Missing) {
        MakeFolder(FolderOf(path_));
    }
    SaveJournal(path_, std::move(journal.Lines));
}

std::optional<TJournalEntry> TWriteJournal::Find(std::int32_t factoryNumber) const {
    const TJournalFile journal = ReadJournal(path_);
    // Only the newest line of the adapter counts: an older one is what Keep replaced.
    const auto line = std::find_if(journal.Lines.rbegin(), journal.Lines.rend(),
                                   [&](const std::string& l) { return LineAdapter(l) == factoryNumber; });
    if (line == journal.Lines.rend()) {
        return std::nullopt;
    }
    return ParseLine(*line);
}

void TWriteJournal::Forget(std::int32_t factoryNumber) {
    TJournalFile journal = ReadJournal(path_);
    if (journal.State == TJournalState::Ours && RemoveAdapter(journal.Lines, factoryNumber)) {
        SaveJournal(path_, std::move(journal.Lines));
    }
}

bool ReadBlockFitsJournal(const TCoefImageBytes& read, const TJournalEntry& entry) {
    for (int k = 1; k <= rq7map::kSlotCount; ++k) {
        const std::ptrdiff_t first = 4 * static_cast<std::ptrdiff_t>(k);
        const auto sameAs = [&](const TCoefImageBytes& block) {
            return std::equal(read.begin() + first, read.begin() + first + 4, block.begin() + first);
        };
        if (!sameAs(entry.Found) && !sameAs(entry.Sent)) {
            return false;
        }
    }
    return true;
}
