// The registry roots as REGEDIT4 text files (see RegFile.h).

#include "link/RegFile.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "coef/Errors.h"
#include "coef/TextFile.h"

namespace {

constexpr const char* kHeader = "REGEDIT4";

char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameIgnoringAsciiCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (UpperAscii(a[i]) != UpperAscii(b[i])) {
            return false;
        }
    }
    return true;
}

std::string TrimRight(const std::string& s) {
    std::size_t end = s.size();
    while (end > 0 && (s[end - 1] == ' ' || s[end - 1] == '\t')) {
        --end;
    }
    return s.substr(0, end);
}

bool IsBlank(const std::string& line) {
    return TrimRight(line).empty();
}

// "[HKEY_...\Key]" gives the text between the brackets.
std::optional<std::string> SectionName(const std::string& line) {
    const std::string t = TrimRight(line);
    if (t.size() >= 2 && t.front() == '[' && t.back() == ']') {
        return t.substr(1, t.size() - 2);
    }
    return std::nullopt;
}

// Backslash and double quote are escaped with a backslash, as regedit writes them.
std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    out += '"';
    return out;
}

// Reads a quoted text starting at line[pos] == '"'. On success pos is just past the closing quote.
std::optional<std::string> Unquote(const std::string& line, std::size_t& pos) {
    if (pos >= line.size() || line[pos] != '"') {
        return std::nullopt;
    }
    std::string text;
    for (std::size_t i = pos + 1; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\' && i + 1 < line.size()) {
            text += line[++i];
        } else if (c == '"') {
            pos = i + 1;
            return text;
        } else {
            text += c;
        }
    }
    return std::nullopt;
}

// Splits a value line into its name ("" for the default value "@") and the text after "=".
bool ParseValueLine(const std::string& line, std::string& name, std::string& data) {
    std::size_t pos = 0;
    if (!line.empty() && line[0] == '@') {
        name.clear();
        pos = 1;
    } else {
        const auto quoted = Unquote(line, pos);
        if (!quoted) {
            return false;
        }
        name = *quoted;
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) {
        ++pos;
    }
    if (pos >= line.size() || line[pos] != '=') {
        return false;
    }
    data = line.substr(pos + 1);
    return true;
}

// A value other than a text (hex:..., hex(n):...) continues on the next line after a final "\".
bool ContinuesOnNextLine(const std::string& data) {
    const std::string t = TrimRight(data);
    return !t.empty() && t.front() != '"' && t.back() == '\\';
}

std::string FormatValue(const std::string& name, const TRegValue& value) {
    std::string line = Quote(name) + "=";
    if (value.IsDword) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "dword:%08x", static_cast<unsigned>(value.Dword));
        line += hex;
    } else {
        line += Quote(value.Text);
    }
    return line;
}

void RejectLineBreaks(const std::string& text) {
    if (text.find_first_of("\r\n") != std::string::npos) {
        throw std::invalid_argument("a registry text cannot hold a line break");
    }
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

} // namespace

const char* RegRootName(TRegRoot root) {
    return root == TRegRoot::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

std::string RegistryFilePath(TRegRoot root, const std::string& folder) {
    const std::string file = std::string(RegRootName(root)) + ".reg";
    if (!folder.empty()) {
        return folder + "/" + file;
    }
    if (root == TRegRoot::LocalMachine) {
        return "/etc/rq7/" + file;
    }
    std::string config = Environment("XDG_CONFIG_HOME");
    if (config.empty() || config.front() != '/') {
        config = Environment("HOME") + "/.config";
    }
    return config + "/rq7/" + file;
}

TRegFile::TRegFile(TRegRoot root) : TRegFile(root, RegistryFilePath(root)) {}

TRegFile::TRegFile(TRegRoot root, std::string path) : root_(root), path_(std::move(path)) {}

void TRegFile::Load() {
    try {
        lines_ = ReadTextFileLines(path_);
    } catch (const EInOutError& e) {
        // A file not yet written, or even its folder, is an empty store.
        if (e.ErrorCode != 2 && e.ErrorCode != 3) {
            throw;
        }
        lines_.clear();
    }
}

std::string TRegFile::FullKey(const std::string& key) const {
    // Empty parts ("A\\B", a leading or trailing backslash) name no key of their own.
    std::string full = RegRootName(root_);
    std::size_t start = 0;
    while (start <= key.size()) {
        std::size_t end = key.find('\\', start);
        if (end == std::string::npos) {
            end = key.size();
        }
        if (end > start) {
            full += '\\';
            full.append(key, start, end - start);
        }
        start = end + 1;
    }
    return full;
}

std::optional<std::size_t> TRegFile::FindSection(const std::string& fullKey) const {
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const auto name = SectionName(lines_[i]);
        if (name && SameIgnoringAsciiCase(*name, fullKey)) {
            return i;
        }
    }
    return std::nullopt;
}

std::size_t TRegFile::SectionEnd(std::size_t header) const {
    std::size_t i = header + 1;
    while (i < lines_.size()) {
        if (SectionName(lines_[i])) {
            break;
        }
        std::string name;
        std::string data;
        if (ParseValueLine(lines_[i], name, data) && ContinuesOnNextLine(data)) {
            // Skip the continuation lines, which could look like anything.
            ++i;
            while (i < lines_.size() && ContinuesOnNextLine(" " + lines_[i])) {
                ++i;
            }
        }
        ++i;
    }
    return std::min(i, lines_.size());
}

std::optional<TRegFile::TValueLine> TRegFile::FindValue(std::size_t header, const std::string& name) const {
    const std::size_t end = SectionEnd(header);
    for (std::size_t i = header + 1; i < end; ++i) {
        std::string lineName;
        std::string data;
        if (!ParseValueLine(lines_[i], lineName, data)) {
            continue;
        }
        std::size_t count = 1;
        if (ContinuesOnNextLine(data)) {
            while (i + count < end && ContinuesOnNextLine(" " + lines_[i + count - 1])) {
                ++count;
            }
        }
        if (SameIgnoringAsciiCase(lineName, name)) {
            return TValueLine{i, count};
        }
        i += count - 1;
    }
    return std::nullopt;
}

void TRegFile::SetValue(const std::string& key, const std::string& name, const TRegValue& value) {
    RejectLineBreaks(key);
    RejectLineBreaks(name);
    RejectLineBreaks(value.Text);
    const std::string fullKey = FullKey(key);
    const std::string line = FormatValue(name, value);

    bool empty = true;
    for (const auto& l : lines_) {
        empty = empty && IsBlank(l);
    }
    if (empty) {
        lines_ = {kHeader};
    }

    auto header = FindSection(fullKey);
    if (!header) {
        if (!IsBlank(lines_.back())) {
            lines_.emplace_back();
        }
        lines_.push_back("[" + fullKey + "]");
        lines_.push_back(line);
        lines_.emplace_back();
        return;
    }
    if (const auto existing = FindValue(*header, name)) {
        lines_[existing->First] = line;
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(existing->First + 1),
                     lines_.begin() + static_cast<std::ptrdiff_t>(existing->First + existing->Count));
        return;
    }
    // A new value goes after the key's last line, before the blank lines that separate keys.
    std::size_t at = SectionEnd(*header);
    while (at > *header + 1 && IsBlank(lines_[at - 1])) {
        --at;
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), line);
}

std::optional<TRegValue> TRegFile::GetValue(const std::string& key, const std::string& name) const {
    const auto header = FindSection(FullKey(key));
    if (!header) {
        return std::nullopt;
    }
    const auto found = FindValue(*header, name);
    if (!found) {
        return std::nullopt;
    }
    std::string lineName;
    std::string data;
    ParseValueLine(lines_[found->First], lineName, data);
    std::size_t pos = 0;
    if (const auto text = Unquote(data, pos)) {
        return TRegValue::Sz(*text);
    }
    const std::string prefix = "dword:";
    if (data.size() == prefix.size() + 8 && SameIgnoringAsciiCase(data.substr(0, prefix.size()), prefix)) {
        const std::string digits = data.substr(prefix.size());
        if (digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos) {
            return TRegValue::Dw(static_cast<std::uint32_t>(std::stoul(digits, nullptr, 16)));
        }
    }
    return std::nullopt;
}

void TRegFile::Save() {
    const std::filesystem::path folder = std::filesystem::path(path_).parent_path();
    if (!folder.empty()) {
        std::error_code ignored; // a folder that cannot be made shows in the write that follows
        std::filesystem::create_directories(folder, ignored);
    }
    WriteTextFileLines(path_, lines_);
}
