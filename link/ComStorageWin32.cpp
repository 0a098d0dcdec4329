// Stored settings and the port list on Windows: the registry itself.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "coef/WideText.h"
#include "link/ComStorage.h"

namespace {

class TKey {
public:
    TKey() = default;
    TKey(const TKey&) = delete;
    TKey& operator=(const TKey&) = delete;
    ~TKey() {
        if (key_) {
            ::RegCloseKey(key_);
        }
    }
    HKEY* Out() { return &key_; }
    HKEY Get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

} // namespace

// The registry is the system's; the roots name Linux folders only.
void WriteStoredValues(const TStoredKey& key, const std::vector<TStoredValue>& values,
                       const TSystemRoots& /*roots*/) {
    const HKEY root = key.Root == TRegRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    TKey k;
    if (::RegCreateKeyExW(root, Widen(key.Key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                          nullptr, k.Out(), nullptr) != ERROR_SUCCESS) {
        throw EComPort("Failed to store settings");
    }
    for (const auto& v : values) {
        const std::wstring name = Widen(v.Name);
        LONG rc = ERROR_SUCCESS;
        if (v.Value.IsDword) {
            const DWORD data = v.Value.Dword;
            rc = ::RegSetValueExW(k.Get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                                  sizeof data);
        } else {
            const std::wstring text = Widen(v.Value.Text);
            rc = ::RegSetValueExW(k.Get(), name.c_str(), 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(text.c_str()),
                                  static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
        }
        if (rc != ERROR_SUCCESS) {
            throw EComPort("Failed to store settings");
        }
    }
}

std::vector<std::string> ReadComPortNames(const TSystemRoots& /*roots*/) {
    TKey k;
    LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, k.Out());
    if (rc == ERROR_FILE_NOT_FOUND) {
        throw ENoPortList("Registry error", static_cast<std::int32_t>(rc)); // no serial port ever installed
    }
    if (rc != ERROR_SUCCESS) {
        throw EComPort("Registry error", static_cast<std::int32_t>(rc));
    }
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        wchar_t valueName[256];
        DWORD valueNameLength = 256;
        wchar_t data[128]; // 256 bytes
        DWORD dataSize = sizeof data;
        DWORD type = 0;
        rc = ::RegEnumValueW(k.Get(), index, valueName, &valueNameLength, nullptr, &type,
                             reinterpret_cast<BYTE*>(data), &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (rc != ERROR_SUCCESS) {
            throw EComPort("Registry error", static_cast<std::int32_t>(rc));
        }
        int length = static_cast<int>(dataSize / sizeof(wchar_t));
        while (length > 0 && data[length - 1] == L'\0') {
            --length;
        }
        names.push_back(Narrow(data, length));
    }
    return names;
}
