#pragma once
// What the two text-file targets share: the input goes to a file of this process, is read back as lines,
// checked against the bytes, and the lines a window would take are saved and read again.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "coef/TextFile.h"
#include "fuzz/FuzzSupport.h"

namespace fuzz {

// This process's scratch file (and the same name with ".saved"), removed at exit. The name is never
// destroyed, so the clean-up at exit can still read it.
inline std::string& ScratchName() {
    static auto* name = new std::string;
    return *name;
}

inline const std::string& ScratchFile(const char* stem) {
    std::string& name = ScratchName();
    if (name.empty()) {
        name = ScratchPath(stem);
        std::atexit([] {
            std::remove(ScratchName().c_str());
            std::remove((ScratchName() + ".saved").c_str());
        });
    }
    return name;
}

inline void WriteBytes(const std::string& path, std::string_view bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr, "cannot create " + path);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    FUZZ_CHECK(std::fclose(file) == 0 && written, "cannot write " + path);
}

inline std::string ReadBytes(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    FUZZ_CHECK(file != nullptr, "cannot open " + path);
    std::string bytes;
    char chunk[4096];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.append(chunk, n);
    }
    std::fclose(file);
    return bytes;
}

// Reads the file holding bytes as lines and checks them: one line per LF (plus a last unended line),
// the CR of a CR LF gone, every line valid UTF-8 that converts back to exactly its bytes.
inline std::vector<std::string> ReadAndCheckLines(const std::string& path, std::string_view bytes) {
    const auto context = [&] { return " (file " + Hex(bytes) + ")"; };
    const std::vector<std::string> lines = ReadTextFileLines(path);
    const std::vector<std::string> expected = ReferenceLines(bytes);
    FUZZ_CHECK(lines.size() == expected.size(), std::to_string(lines.size()) + " lines read, expected " +
                                                    std::to_string(expected.size()) + context());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto where = [&] { return "line " + std::to_string(i + 1); };
        FUZZ_CHECK(ValidUtf8(lines[i]), where() + " is not valid UTF-8: " + Hex(lines[i]) + context());
        FUZZ_CHECK(lines[i].find('\n') == std::string::npos, where() + " holds a LF" + context());
        FUZZ_CHECK(Utf8ToCp1251(lines[i]) == expected[i],
                   where() + " does not convert back to its bytes: " + Hex(lines[i]) + context());
    }
    return lines;
}

// The windows read only the lines they use: the first count lines, as the whole file reads them, each
// cut to its first kMaxTextLineBytes bytes.
inline void CheckFirstLines(const std::string& path, const std::vector<std::string>& all, std::size_t count) {
    const std::vector<std::string> first = ReadFirstTextFileLines(path, count);
    FUZZ_CHECK(first.size() == std::min(count, all.size()),
               std::to_string(first.size()) + " first lines read of " + std::to_string(all.size()));
    for (std::size_t i = 0; i < first.size(); ++i) {
        const std::string expected = Cp1251ToUtf8(Utf8ToCp1251(all[i]).substr(0, kMaxTextLineBytes));
        FUZZ_CHECK(first[i] == expected, "first line " + std::to_string(i + 1) + " reads as " +
                                             Hex(first[i]) + ", the whole file gives " + Hex(all[i]));
    }
}

// Saves the texts as the program does and reads them back: the file is each text's bytes plus CR LF,
// and the lines read are the texts.
inline void CheckSavedAgain(const std::string& path, const std::vector<std::string>& texts) {
    WriteTextFileLines(path, texts);
    std::string expected;
    for (const std::string& text : texts) {
        expected += Utf8ToCp1251(text) + "\r\n";
    }
    const std::string bytes = ReadBytes(path);
    FUZZ_CHECK(bytes == expected, "saved file " + Hex(bytes) + ", expected " + Hex(expected));
    FUZZ_CHECK(ReadTextFileLines(path) == texts,
               "the saved texts do not read back unchanged (file " + Hex(bytes) + ")");
}

} // namespace fuzz
