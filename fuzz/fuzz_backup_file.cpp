// Restoring the channel limits from a backup file "tmp.dat" of arbitrary bytes as the channel limits
// window does: the lines are read (a line ends at LF or CR LF, Windows-1251 bytes become UTF-8), the
// first six go into the limit edits and missing ones read as empty; a later write parses each limit as
// a number. Saving the six texts again gives CR LF lines that read back unchanged.
// Invariants: see fuzz/TextFileFuzz.h; the parse of a restored limit agrees with the parse of its bytes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "coef/ValueText.h"
#include "fuzz/TextFileFuzz.h"

namespace {

constexpr std::size_t kLimitLines = 6;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = fuzz::AsText(data, size);
    fuzz::WriteBytes(fuzz::ScratchFile("backup"), bytes);
    std::vector<std::string> limits = fuzz::ReadAndCheckLines(fuzz::ScratchFile("backup"), bytes);
    fuzz::CheckFirstLines(fuzz::ScratchFile("backup"), limits, kLimitLines);
    limits.resize(kLimitLines);
    const std::vector<std::string> raw = [&] {
        std::vector<std::string> lines = fuzz::ReferenceLines(bytes);
        lines.resize(kLimitLines);
        return lines;
    }();
    for (std::size_t i = 0; i < kLimitLines; ++i) {
        // Only ASCII can make a number, and ASCII passes the conversion unchanged.
        const auto restored = ParseNumber(limits[i]);
        const auto direct = ParseNumber(raw[i]);
        FUZZ_CHECK(restored == direct, "limit " + std::to_string(i + 1) +
                                           " parses differently after the conversion (file " +
                                           fuzz::Hex(bytes) + ")");
    }
    fuzz::CheckSavedAgain(fuzz::ScratchFile("backup") + ".saved", limits);
    return 0;
}
