#pragma once
// What the Windows test programs share: knowing whether they run under Wine, and the serial port
// the adapter (or its simulator) answers on.

#include <string>

// The version of Wine running this program (ntdll's wine_get_version), or "" on real Windows.
std::string WineVersion();
inline bool UnderWine() {
    return !WineVersion().empty();
}

// A variable of the environment, "" when unset.
std::string EnvText(const char* name);

// UTF-8 <-> UTF-16 for the wide Win32 calls: Widen, Narrow.
#include "coef/WideText.h"

// Skips the current test under Wine, printing the reason; the test still runs on real Windows.
#define RQ7_SKIP_UNDER_WINE(reason)                                                                          \
    do {                                                                                                     \
        if (UnderWine()) {                                                                                   \
            GTEST_SKIP() << "Wine " << WineVersion() << " cannot do this: " << (reason);                     \
        }                                                                                                    \
    } while (false)
