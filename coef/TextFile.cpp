#include "coef/TextFile.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <utility>

#include "coef/Errors.h"

namespace {

// Code points of the Windows-1251 bytes 0x80..0xFF. 0x98 has no character in the code page; it is
// carried as U+0098 so that every byte survives a round trip through UTF-8.
constexpr std::array<char32_t, 128> kHighHalf = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F, // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457, // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, // C0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, // C8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427, // D0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F, // D8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, // E0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F, // E8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447, // F0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F, // F8
};

int EncodeCp1251(char32_t cp) {
    if (cp < 0x80) {
        return static_cast<int>(cp);
    }
    for (std::size_t i = 0; i < kHighHalf.size(); ++i) {
        if (kHighHalf[i] == cp) {
            return static_cast<int>(0x80 + i);
        }
    }
    return -1;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decodes one UTF-8 sequence at text[i]; returns its length, or 0 when it is not well formed.
std::size_t DecodeUtf8(std::string_view text, std::size_t i, char32_t& cp) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    std::size_t len = 0;
    char32_t min = 0;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    if ((b0 & 0xE0) == 0xC0) {
        len = 2;
        cp = b0 & 0x1F;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3;
        cp = b0 & 0x0F;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4;
        cp = b0 & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return len;
}

} // namespace

std::string Utf8ToCp1251(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        char32_t cp = 0;
        const std::size_t len = DecodeUtf8(utf8, i, cp);
        if (len == 0) {
            out += '?';
            ++i;
            continue;
        }
        const int b = EncodeCp1251(cp);
        out += b < 0 ? '?' : static_cast<char>(b);
        i += len;
    }
    return out;
}

std::string Cp1251ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        AppendUtf8(out, b < 0x80 ? char32_t{b} : kHighHalf[b - 0x80]);
    }
    return out;
}

namespace {

// Gathers the lines of a file from its bytes as they are read: a line ends at LF, and a CR just before
// the LF is dropped. Takes at most maxLines lines and keeps at most maxLineBytes bytes of each (the
// rest of a longer line is passed over), so the memory used does not grow with the file.
class TLineCollector {
public:
    TLineCollector(std::size_t maxLines, std::size_t maxLineBytes)
        : maxLines_(maxLines), maxLineBytes_(maxLineBytes),
          // One byte more than is kept, to tell a CR that ends a kept line from one beyond it.
          held_(maxLineBytes == kUnbounded ? kUnbounded : maxLineBytes + 1) {}

    // Takes the next bytes of the file; false once all the lines wanted have been taken.
    bool Take(const char* data, std::size_t size) {
        const char* const end = data + size;
        while (data != end && lines_.size() < maxLines_) {
            const auto* lf =
                static_cast<const char*>(std::memchr(data, '\n', static_cast<std::size_t>(end - data)));
            const char* const stop = lf != nullptr ? lf : end;
            const auto length = static_cast<std::size_t>(stop - data);
            if (length != 0) {
                line_.append(data, std::min(length, held_ - std::min(held_, line_.size())));
                lineLength_ += length;
                endsInCr_ = stop[-1] == '\r';
            }
            if (lf == nullptr) {
                break;
            }
            if (endsInCr_ && lineLength_ == line_.size()) {
                line_.pop_back();
            }
            EndLine();
            data = lf + 1;
        }
        return lines_.size() < maxLines_;
    }

    // The lines taken, with a last line that has no LF after it.
    std::vector<std::string> Finish() {
        if (lineLength_ != 0 && lines_.size() < maxLines_) {
            EndLine();
        }
        return std::move(lines_);
    }

    static constexpr std::size_t kUnbounded = static_cast<std::size_t>(-1);

private:
    void EndLine() {
        if (line_.size() > maxLineBytes_) {
            line_.resize(maxLineBytes_);
        }
        lines_.push_back(Cp1251ToUtf8(line_));
        line_.clear();
        lineLength_ = 0;
        endsInCr_ = false;
    }

    std::size_t maxLines_;
    std::size_t maxLineBytes_;
    std::size_t held_;
    std::vector<std::string> lines_;
    std::string line_;             // the kept bytes of the line being read
    std::uint64_t lineLength_ = 0; // all its bytes so far, kept or not
    bool endsInCr_ = false;        // its last byte so far is a CR
};

// Receives the bytes of a file chunk by chunk; returns false to stop reading.
using TChunkSink = std::function<bool(const char* data, std::size_t size)>;

} // namespace

#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "coef/WideText.h"

namespace {

[[noreturn]] void RaiseFileError(DWORD err) {
    switch (err) {
    case ERROR_FILE_NOT_FOUND:
        throw EInOutError("File not found", 2);
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DIRECTORY:
        throw EInOutError("Invalid filename", 3);
    case ERROR_TOO_MANY_OPEN_FILES:
        throw EInOutError("Too many open files", 4);
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
        throw EInOutError("File access denied", 5);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        throw EInOutError("Disk full", 101);
    default:
        throw EInOutError("I/O error " + std::to_string(err), static_cast<int>(err));
    }
}

class THandle {
public:
    explicit THandle(HANDLE h) : h_(h) {}
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    ~THandle() {
        if (h_ != INVALID_HANDLE_VALUE) {
            ::CloseHandle(h_);
        }
    }
    HANDLE Get() const { return h_; }
    void Release() { h_ = INVALID_HANDLE_VALUE; }
    DWORD Close() {
        const HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return ::CloseHandle(h) ? 0 : ::GetLastError();
    }

private:
    HANDLE h_;
};

// Writes all bytes at the file's position; returns 0 or the error.
DWORD WriteAll(HANDLE file, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
        if (!::WriteFile(file, bytes.data() + done, want, &n, nullptr)) {
            return ::GetLastError();
        }
        if (n == 0) {
            return ERROR_DISK_FULL;
        }
        done += n;
    }
    return 0;
}

// The temporary file beside the target could not be made for a reason that need not stop the target
// itself from being written: the folder refuses new files, or the longer name does not fit (which
// Windows reports as a name out of range, an invalid name or a path not found, and Wine as a file not
// found). Where the target cannot be written either, rewriting it fails with its own error.
bool NoTemporaryFileHere(DWORD err) {
    return err == ERROR_ACCESS_DENIED || err == ERROR_FILENAME_EXCED_RANGE || err == ERROR_INVALID_NAME ||
           err == ERROR_PATH_NOT_FOUND || err == ERROR_FILE_NOT_FOUND;
}

void ReadFileChunks(const std::string& path, const TChunkSink& take) {
    THandle file(::CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) {
        RaiseFileError(::GetLastError());
    }
    std::array<char, 65536> chunk{};
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(file.Get(), chunk.data(), static_cast<DWORD>(chunk.size()), &n, nullptr)) {
            RaiseFileError(::GetLastError());
        }
        if (n == 0 || !take(chunk.data(), n)) {
            return;
        }
    }
}

// Only files on a disk are written, and none with the read-only attribute: a device (NUL, a serial
// port), a pipe or a folder is refused. Returns 0 or the error for the opened file.
DWORD CheckWritableFile(HANDLE file) {
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        return ERROR_ACCESS_DENIED;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info)) {
        return ::GetLastError();
    }
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
        return ERROR_ACCESS_DENIED;
    }
    return 0;
}

// Where the lines for the path go: the path itself, or for a symbolic link the file it leads to, which
// is then written while the link stays a link. A path with nothing there is returned as it is, for the
// file to be made. Refused as access denied: what CheckWritableFile refuses, and a link that leads
// nowhere (the file would be made wherever the link points, not under the name given).
std::wstring WritableTarget(const std::wstring& path) {
    // Opened for no access at all, only to look at what is there: a device is not set going by it,
    // and a file another program holds is looked at too.
    THandle file(::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const DWORD openErr = file.Get() == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
    const DWORD attributes = ::GetFileAttributesW(path.c_str()); // the link's own, not followed
    const bool isLink =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (openErr == ERROR_FILE_NOT_FOUND || openErr == ERROR_PATH_NOT_FOUND) {
        if (isLink) {
            RaiseFileError(ERROR_ACCESS_DENIED);
        }
        return path; // nothing there yet, or a folder that is not there: making the file tells which
    }
    if (openErr != 0) {
        RaiseFileError(openErr);
    }
    if (const DWORD err = CheckWritableFile(file.Get())) {
        RaiseFileError(err);
    }
    if (!isLink) {
        return path;
    }
    std::wstring target(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n =
            ::GetFinalPathNameByHandleW(file.Get(), target.data(), static_cast<DWORD>(target.size()),
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) {
            RaiseFileError(::GetLastError());
        }
        if (n < target.size()) {
            target.resize(n);
            return target;
        }
        target.resize(n); // too short: n is the length needed
    }
}

// Writes the bytes over the file from its start and cuts it to their length: for where no temporary
// file can be made beside it. What was opened is checked before anything is written. Returns 0 or
// the error.
DWORD RewriteInPlace(const std::wstring& target, const std::string& bytes) {
    THandle file(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) {
        return ::GetLastError();
    }
    DWORD err = CheckWritableFile(file.Get());
    if (err == 0) {
        err = WriteAll(file.Get(), bytes);
    }
    if (err == 0 && !::SetEndOfFile(file.Get())) {
        err = ::GetLastError();
    }
    if (err == 0 && !::FlushFileBuffers(file.Get())) {
        err = ::GetLastError();
    }
    const DWORD closeErr = file.Close();
    return err != 0 ? err : closeErr;
}

void ReplaceFile(const std::string& path, const std::string& bytes) {
    // A link is followed, so the file it leads to is replaced and the link stays.
    const std::wstring target = WritableTarget(Widen(path));
    std::wstring temp;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; h == INVALID_HANDLE_VALUE; ++attempt) {
        temp = target + L".~" + std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(attempt);
        h = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                          nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            const DWORD err = ::GetLastError();
            if (NoTemporaryFileHere(err)) {
                // A folder that takes no new file, or a name with no room for the temporary file's
                // ending: the file itself may still be written.
                if (const DWORD inPlaceErr = RewriteInPlace(target, bytes)) {
                    RaiseFileError(inPlaceErr);
                }
                return;
            }
            if (err != ERROR_FILE_EXISTS || attempt >= 100) {
                RaiseFileError(err);
            }
        }
    }
    THandle file(h);
    DWORD err = WriteAll(file.Get(), bytes);
    if (err == 0 && !::FlushFileBuffers(file.Get())) {
        err = ::GetLastError();
    }
    const DWORD closeErr = file.Close();
    if (err == 0) {
        err = closeErr;
    }
    if (err == 0 &&
        !::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        err = ::GetLastError();
    }
    if (err != 0) {
        ::DeleteFileW(temp.c_str());
        RaiseFileError(err);
    }
}

// The file of a TTextFileWriter. It is opened where it stands and then emptied, as the in-place
// rewrite does, so a hidden or system file is written as well; what WriteTextFileLines refuses is
// refused here too, before anything is emptied.
std::intptr_t OpenLineFile(const std::string& path) {
    // Others may read the lines written so far; no one else writes the file meanwhile.
    THandle file(::CreateFileW(WritableTarget(Widen(path)).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) {
        RaiseFileError(::GetLastError());
    }
    if (const DWORD err = CheckWritableFile(file.Get())) {
        RaiseFileError(err);
    }
    if (!::SetEndOfFile(file.Get())) {
        RaiseFileError(::GetLastError());
    }
    const HANDLE h = file.Get();
    file.Release();
    return reinterpret_cast<std::intptr_t>(h);
}

void WriteLineFile(std::intptr_t handle, const std::string& bytes) {
    if (const DWORD err = WriteAll(reinterpret_cast<HANDLE>(handle), bytes)) {
        RaiseFileError(err);
    }
}

// Syncs and closes; returns 0 or the first error.
DWORD CloseLineFile(std::intptr_t handle) {
    THandle file(reinterpret_cast<HANDLE>(handle));
    const DWORD err = ::FlushFileBuffers(file.Get()) ? 0 : ::GetLastError();
    const DWORD closeErr = file.Close();
    return err != 0 ? err : closeErr;
}

} // namespace

#else // POSIX

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The message a failed file operation carries, chosen by the system error number.
[[noreturn]] void RaiseFileError(int err) {
    switch (err) {
    case ENOENT:
        throw EInOutError("File not found", 2);
    case ENOTDIR:
    case ENAMETOOLONG:
        throw EInOutError("Invalid filename", 3);
    case EMFILE:
    case ENFILE:
        throw EInOutError("Too many open files", 4);
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case ETXTBSY:
    case EBUSY:
        throw EInOutError("File access denied", 5);
    case ENOSPC:
    case EDQUOT:
        throw EInOutError("Disk full", 101);
    default:
        throw EInOutError("I/O error " + std::to_string(err), err);
    }
}

// The folder part of a path ("." for a bare name).
std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

// ENOENT means "File not found" only when the folder exists; a missing folder is an invalid name.
[[noreturn]] void RaiseOpenError(int err, const std::string& path) {
    if (err == ENOENT) {
        struct stat st {};
        const std::string folder = FolderOf(path);
        if (path.empty() || ::stat(folder.c_str(), &st) != 0) {
            RaiseFileError(ENOTDIR);
        }
        if (!S_ISDIR(st.st_mode)) {
            RaiseFileError(ENOTDIR);
        }
    }
    RaiseFileError(err);
}

class TFd {
public:
    explicit TFd(int fd) : fd_(fd) {}
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    ~TFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int Get() const { return fd_; }
    // Hands the descriptor over to the caller, who closes it.
    int Release() { return std::exchange(fd_, -1); }
    // Closes now and reports the error of close itself (0 when it succeeded).
    int Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 ? 0 : errno;
    }

private:
    int fd_;
};

// Writes all bytes; returns 0 or the error number.
int WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return ENOSPC;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

void ReadFileChunks(const std::string& path, const TChunkSink& take) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        RaiseOpenError(errno, path);
    }
    TFd file(fd);
    std::array<char, 65536> chunk{};
    for (;;) {
        const ssize_t n = ::read(file.Get(), chunk.data(), chunk.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            RaiseFileError(errno);
        }
        if (n == 0 || !take(chunk.data(), static_cast<std::size_t>(n))) {
            return;
        }
    }
}

// The temporary file beside the target could not be made for a reason that need not stop the target
// itself from being written: the folder refuses new files, or the longer name does not fit.
bool NoTemporaryFileHere(int err) {
    return err == EACCES || err == EPERM || err == ENAMETOOLONG;
}

// Only regular files are written, and only those whose mode bits let someone write them: root passes
// every access check, so it is the bits that tell a file meant to be kept as it is.
bool IsWritableFile(const struct stat& st) {
    return S_ISREG(st.st_mode) && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

// Where the lines for the path go: the path itself, or for a link (a chain of links too) the file it
// leads to, which is then written while the link stays a link. A path with nothing there is returned
// as it is, for the file to be made. Refused as access denied: a device, a pipe, a socket, a folder, a
// file no one may write, and a link that leads nowhere (the file would be made wherever the link
// points, not under the name given) or round in a loop.
std::string WritableTarget(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return path; // nothing there yet, or a path that cannot be: making the file tells which
    }
    std::string target = path;
    if (S_ISLNK(st.st_mode)) {
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (resolved == nullptr) {
            const int err = errno;
            RaiseFileError(err == ENOENT || err == ENOTDIR || err == ELOOP ? EACCES : err);
        }
        target = resolved;
        std::free(resolved);
        if (::lstat(target.c_str(), &st) != 0) {
            RaiseFileError(errno == ENOENT ? EACCES : errno);
        }
    }
    if (!IsWritableFile(st)) {
        RaiseFileError(EACCES);
    }
    return target;
}

// Opens the file found by WritableTarget for writing as it stands, not emptied, or makes it when
// nothing is there. What was opened is checked again, and a link in the file's place is not followed,
// so nothing put there after WritableTarget looked is written either. The open neither waits for a
// pipe's reader nor takes a terminal as the controlling one.
int OpenWritableFile(const std::string& target) {
    for (int attempt = 0;; ++attempt) {
        const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
        if (fd >= 0) {
            TFd file(fd);
            struct stat st {};
            if (::fstat(file.Get(), &st) != 0) {
                RaiseFileError(errno);
            }
            if (!IsWritableFile(st)) {
                RaiseFileError(EACCES);
            }
            const int flags = ::fcntl(file.Get(), F_GETFL);
            if (flags >= 0) {
                (void)::fcntl(file.Get(), F_SETFL, flags & ~O_NONBLOCK);
            }
            return file.Release();
        }
        const int err = errno;
        if (err == EINTR) {
            continue;
        }
        if (err == ELOOP || err == ENXIO) {
            RaiseFileError(EACCES); // a link, or a pipe without a reader, where the file was
        }
        if (err != ENOENT) {
            RaiseOpenError(err, target);
        }
        const int made = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (made >= 0) {
            return made;
        }
        // Something put there meanwhile (a link too, which O_EXCL does not follow) is looked at as it
        // stands on the next round.
        if (errno != EEXIST || attempt >= 100) {
            RaiseOpenError(errno, target);
        }
    }
}

// Writes the bytes over the file from its start and cuts it to their length: for where no temporary
// file can be made beside it. The file keeps its permissions.
void RewriteInPlace(const std::string& target, const std::string& bytes) {
    TFd file(OpenWritableFile(target));
    int err = WriteAll(file.Get(), bytes);
    if (err == 0 && ::ftruncate(file.Get(), static_cast<off_t>(bytes.size())) != 0) {
        err = errno;
    }
    if (err == 0 && ::fsync(file.Get()) != 0) {
        err = errno;
    }
    const int closeErr = file.Close();
    if (err == 0) {
        err = closeErr;
    }
    if (err != 0) {
        RaiseFileError(err);
    }
}

// Whether the target may still be replaced by the new file: it is still not there, or still a file that
// may be written. Something else may have been put in its place since WritableTarget looked.
bool StillReplaceable(const std::string& target) {
    struct stat st {};
    if (::lstat(target.c_str(), &st) != 0) {
        return errno == ENOENT;
    }
    return IsWritableFile(st);
}

void ReplaceFile(const std::string& path, const std::string& bytes) {
    // A link is followed, so the file it leads to is replaced and the link stays.
    const std::string target = WritableTarget(path);

    // The new contents go to a fresh file beside the target first.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        temp = target + ".~" + std::to_string(::getpid()) + "_" + std::to_string(attempt);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && NoTemporaryFileHere(errno)) {
            // A read-only folder may hold a writable file, and a name may leave no room for the
            // temporary file's ending: the file is then written where it is.
            RewriteInPlace(target, bytes);
            return;
        }
        if (fd < 0 && (errno != EEXIST || attempt >= 100)) {
            RaiseOpenError(errno, target);
        }
    }
    TFd file(fd);
    // An existing file keeps its permissions.
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        (void)::fchmod(file.Get(), st.st_mode & 07777);
    }

    int err = WriteAll(file.Get(), bytes);
    if (err == 0 && ::fsync(file.Get()) != 0) {
        err = errno;
    }
    const int closeErr = file.Close();
    if (err == 0) {
        err = closeErr;
    }
    if (err == 0 && !StillReplaceable(target)) {
        err = EACCES;
    }
    if (err == 0 && ::rename(temp.c_str(), target.c_str()) != 0) {
        err = errno;
    }
    if (err != 0) {
        ::unlink(temp.c_str());
        RaiseFileError(err);
    }
    // Make the rename itself durable; a folder that cannot be synced changes nothing for the caller.
    const int dir = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
}

// The file of a TTextFileWriter, opened where it stands and emptied only once it is known to be a file
// that may be written: a writable file in a folder that takes no new files is written too, and an
// existing file keeps its permissions. What WriteTextFileLines refuses is refused here as well, at
// once and untouched.
std::intptr_t OpenLineFile(const std::string& path) {
    TFd file(OpenWritableFile(WritableTarget(path)));
    if (::ftruncate(file.Get(), 0) != 0) {
        RaiseFileError(errno);
    }
    return file.Release();
}

void WriteLineFile(std::intptr_t handle, const std::string& bytes) {
    if (const int err = WriteAll(static_cast<int>(handle), bytes)) {
        RaiseFileError(err);
    }
}

// Syncs and closes; returns 0 or the first error. A file whose file system cannot sync it is only
// closed.
int CloseLineFile(std::intptr_t handle) {
    TFd file(static_cast<int>(handle));
    int err = ::fsync(file.Get()) == 0 ? 0 : errno;
    if (err == EINVAL || err == EROFS) {
        err = 0;
    }
    const int closeErr = file.Close();
    return err != 0 ? err : closeErr;
}

} // namespace

#endif

std::vector<std::string> ReadTextFileLines(const std::string& path) {
    TLineCollector lines(TLineCollector::kUnbounded, TLineCollector::kUnbounded);
    ReadFileChunks(path, [&](const char* data, std::size_t size) { return lines.Take(data, size); });
    return lines.Finish();
}

std::vector<std::string> ReadFirstTextFileLines(const std::string& path, std::size_t count) {
    TLineCollector lines(count, kMaxTextLineBytes);
    if (count != 0) {
        ReadFileChunks(path, [&](const char* data, std::size_t size) { return lines.Take(data, size); });
    }
    return lines.Finish();
}

namespace {

// A line as the files hold it: Windows-1251 bytes ended by CR LF.
void AppendLineBytes(std::string& bytes, std::string_view line) {
    bytes += Utf8ToCp1251(line);
    bytes += "\r\n";
}

} // namespace

void WriteTextFileLines(const std::string& path, const std::vector<std::string>& lines) {
    std::string bytes;
    for (const auto& line : lines) {
        AppendLineBytes(bytes, line);
    }
    ReplaceFile(path, bytes);
}

TTextFileWriter::TTextFileWriter(const std::string& path) : handle_(OpenLineFile(path)) {}

TTextFileWriter::~TTextFileWriter() {
    if (handle_ != -1) {
        (void)CloseLineFile(handle_);
    }
}

void TTextFileWriter::WriteLine(std::string_view line) {
    if (handle_ == -1) {
        throw EInOutError("File not open for output", 105);
    }
    std::string bytes;
    AppendLineBytes(bytes, line);
    WriteLineFile(handle_, bytes);
}

void TTextFileWriter::Close() {
    if (handle_ == -1) {
        return;
    }
    const std::intptr_t handle = handle_;
    handle_ = -1;
    if (const auto err = CloseLineFile(handle)) {
        RaiseFileError(err);
    }
}
