// Loading a coefficient file of arbitrary bytes as the technological mode window does: the lines are
// read (a line ends at LF or CR LF, Windows-1251 bytes become UTF-8), the first 15 taken and missing
// ones read as empty; saving those 15 texts again gives 15 CR LF lines that load back unchanged.
// Invariants: see fuzz/TextFileFuzz.h.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/TextFileFuzz.h"

namespace {

constexpr std::size_t kCoefficientFileLines = 15;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = fuzz::AsText(data, size);
    fuzz::WriteBytes(fuzz::ScratchFile("coef"), bytes);
    std::vector<std::string> texts = fuzz::ReadAndCheckLines(fuzz::ScratchFile("coef"), bytes);
    fuzz::CheckFirstLines(fuzz::ScratchFile("coef"), texts, kCoefficientFileLines);
    texts.resize(kCoefficientFileLines);
    fuzz::CheckSavedAgain(fuzz::ScratchFile("coef") + ".saved", texts);
    return 0;
}
