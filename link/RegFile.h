#pragma once
// Where the registry is not available, each registry root is a text file in the Windows .reg
// (REGEDIT4) syntax, so a person can read it and import it on a Windows machine:
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\Software\Fendral\QUORB\Comport Settings\ComPort]
//   "Port"="COM1"
//   "Buffer.InputSize"=dword:00000400
//
// The file is kept in Windows-1251 with CR LF lines. Setting a value changes only that value's
// line (or adds it at the end of its key); every other key, value, comment and blank line stays
// as it was. Saving writes a temporary file beside the target and renames it over the target.
//
// Files: the current user's root is $XDG_CONFIG_HOME/rq7/HKEY_CURRENT_USER.reg (when
// XDG_CONFIG_HOME is unset or not absolute: $HOME/.config/rq7/...); the local machine's root is
// /etc/rq7/HKEY_LOCAL_MACHINE.reg. A store may instead be given one folder that holds the files of
// both roots.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class TRegRoot { CurrentUser, LocalMachine };

// "HKEY_CURRENT_USER" or "HKEY_LOCAL_MACHINE".
const char* RegRootName(TRegRoot root);

// The file that holds a root, as described above: in folder when it is not empty, else the usual one.
std::string RegistryFilePath(TRegRoot root, const std::string& folder = {});

// A stored value: a text (REG_SZ) or a 32-bit number (REG_DWORD).
struct TRegValue {
    bool IsDword = false;
    std::string Text;        // REG_SZ contents (UTF-8 in memory)
    std::uint32_t Dword = 0; // REG_DWORD contents
    static TRegValue Sz(std::string text) { return {false, std::move(text), 0}; }
    static TRegValue Dw(std::uint32_t value) { return {true, {}, value}; }
    friend bool operator==(const TRegValue&, const TRegValue&) = default;
};

class TRegFile {
public:
    // The store of a root in its usual file, or in the given file.
    explicit TRegFile(TRegRoot root);
    TRegFile(TRegRoot root, std::string path);

    const std::string& Path() const { return path_; }

    // Reads the file; a file that does not exist is an empty store. Throws EInOutError.
    void Load();
    // Sets a value of the key (a path below the root such as "Software\X\ComPort"; key and value
    // names are matched without regard to ASCII letter case, as the registry does). Adds the key
    // when it is missing. Throws std::invalid_argument for a key, name or text holding a line break.
    void SetValue(const std::string& key, const std::string& name, const TRegValue& value);
    // The value as it stands now; none when the key or value is absent or is of another type.
    std::optional<TRegValue> GetValue(const std::string& key, const std::string& name) const;
    // Writes the store back, creating missing folders. Throws EInOutError.
    void Save();

    // The lines of the file as they will be saved (UTF-8).
    const std::vector<std::string>& Lines() const { return lines_; }

private:
    struct TValueLine {
        std::size_t First = 0; // first line of the value
        std::size_t Count = 0; // lines it takes (hex values may continue on further lines)
    };
    std::string FullKey(const std::string& key) const;
    std::optional<std::size_t> FindSection(const std::string& fullKey) const;
    std::size_t SectionEnd(std::size_t header) const;
    std::optional<TValueLine> FindValue(std::size_t header, const std::string& name) const;

    TRegRoot root_;
    std::string path_;
    std::vector<std::string> lines_;
};
