// The names of the pipes that stand for Git Bash's terminal (a Cygwin or MSYS pseudo-terminal).

#include "cli/Console.h"

#include <cctype>
#include <string_view>

namespace {
// Skips one or more characters of the kind at the start; false when there is none.
bool SkipRun(std::string_view& text, int (*isKind)(int)) {
    std::size_t n = 0;
    while (n < text.size() && isKind(static_cast<unsigned char>(text[n])) != 0) {
        ++n;
    }
    text.remove_prefix(n);
    return n > 0;
}

bool SkipText(std::string_view& text, std::string_view what) {
    if (!text.starts_with(what)) {
        return false;
    }
    text.remove_prefix(what.size());
    return true;
}
} // namespace

TMinttyPipeEnd MinttyPipeEnd(const std::string& pipeName) {
    // \msys-<hex>-pty<N>-from-master (the terminal's input), \msys-<hex>-pty<N>-to-master (its output);
    // \cygwin-… alike.
    std::string_view name = pipeName;
    if (!SkipText(name, "\\msys-") && !SkipText(name, "\\cygwin-")) {
        return TMinttyPipeEnd::None;
    }
    if (!SkipRun(name, isxdigit) || !SkipText(name, "-pty") || !SkipRun(name, isdigit)) {
        return TMinttyPipeEnd::None;
    }
    if (name == "-from-master") {
        return TMinttyPipeEnd::Input;
    }
    if (name == "-to-master") {
        return TMinttyPipeEnd::Output;
    }
    return TMinttyPipeEnd::None;
}
