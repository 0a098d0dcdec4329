#pragma once
// Shared pieces of the fuzz targets: a failed invariant aborts with a readable message (libFuzzer then
// keeps the input as a finding), hex dumps for those messages, and oracles written independently of
// the code under test.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

namespace fuzz {

[[noreturn]] inline void Fail(const std::string& what) {
    std::fprintf(stderr, "\n*** invariant broken: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

} // namespace fuzz

// Checks an invariant; the message is built only when it is broken.
#define FUZZ_CHECK(holds, message)                                                                           \
    do {                                                                                                     \
        if (!(holds)) {                                                                                      \
            ::fuzz::Fail(message);                                                                           \
        }                                                                                                    \
    } while (false)

namespace fuzz {

inline std::string Hex(std::string_view bytes, std::size_t limit = 64) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (i != 0) {
            out += ' ';
        }
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    if (bytes.size() > limit) {
        out += " ... (" + std::to_string(bytes.size()) + " bytes)";
    }
    return out;
}

inline std::string_view AsText(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The Modbus RTU CRC-16, bit by bit (initial FFFF, reflected polynomial A001, no final inversion). The
// oracle that judges replies keeps its own: a fault in the program's checksum would otherwise pass
// unseen. The inputs take their checksums from the program (coef/Crc.h), which such a fault spoils, so
// that it shows as a verdict the oracle does not expect.
inline std::uint16_t ReferenceCrc(std::string_view bytes) {
    std::uint16_t crc = 0xFFFF;
    for (const char c : bytes) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001u)
                                  : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return crc;
}

// At least 3 bytes whose last two are the checksum of the others, low byte first.
inline bool ChecksumHolds(std::string_view frame) {
    if (frame.size() < 3) {
        return false;
    }
    const std::uint16_t crc = ReferenceCrc(frame.substr(0, frame.size() - 2));
    return static_cast<unsigned char>(frame[frame.size() - 2]) == (crc & 0xFF) &&
           static_cast<unsigned char>(frame[frame.size() - 1]) == (crc >> 8);
}

// Well-formed UTF-8 (shortest forms, no surrogates, nothing above U+10FFFF).
inline bool ValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        std::size_t len = 0;
        std::uint32_t cp = 0;
        std::uint32_t min = 0;
        if (b0 < 0x80) {
            ++i;
            continue;
        }
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            len = 2, cp = b0 & 0x1Fu, min = 0x80;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            len = 3, cp = b0 & 0x0Fu, min = 0x800;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            len = 4, cp = b0 & 0x07u, min = 0x10000;
        } else {
            return false;
        }
        if (text.size() - i < len) {
            return false;
        }
        for (std::size_t k = 1; k < len; ++k) {
            const auto b = static_cast<unsigned char>(text[i + k]);
            if ((b & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (b & 0x3Fu);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += len;
    }
    return true;
}

// The raw lines of a text file's bytes: a line ends at LF, and a CR just before that LF belongs to the
// line end; a last line without LF counts when it is not empty.
inline std::vector<std::string> ReferenceLines(std::string_view bytes) {
    std::vector<std::string> lines;
    std::string current;
    bool open = false;
    for (const char c : bytes) {
        if (c == '\n') {
            if (!current.empty() && current.back() == '\r') {
                current.pop_back();
            }
            lines.push_back(current);
            current.clear();
            open = false;
        } else {
            current += c;
            open = true;
        }
    }
    if (open) {
        lines.push_back(current);
    }
    return lines;
}

// A file of its own for this process, on a memory file system when there is one.
inline std::string ScratchPath(const char* stem) {
    const char* dir = std::getenv("RQ7_FUZZ_TMP");
    std::string base = dir != nullptr ? dir : "/dev/shm";
    if (std::FILE* probe = std::fopen((base + "/.rq7fuzz-probe").c_str(), "wb")) {
        std::fclose(probe);
        std::remove((base + "/.rq7fuzz-probe").c_str());
    } else {
        const char* tmp = std::getenv("TMPDIR");
        base = tmp != nullptr ? tmp : "/tmp";
    }
    return base + "/rq7fuzz-" + stem + "-" + std::to_string(static_cast<long>(::getpid())) + ".dat";
}

} // namespace fuzz
