#include "support/WinTestSupport.h"

#include <cstdlib>
#include <windows.h>

std::string WineVersion() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) {
        return {};
    }
    using TGetVersion = const char*(__cdecl*)();
    const auto get =
        reinterpret_cast<TGetVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
    const char* version = get != nullptr ? get() : nullptr;
    return version != nullptr ? version : "";
}

std::string EnvText(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}
