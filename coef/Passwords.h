#pragma once
// The two service passwords: the first opens the technological mode and lets the channel limits be
// written, the second lets a whole block be programmed. A typed text matches only when exactly equal.

inline constexpr const char* kFirstPassword = "Vosek";
inline constexpr const char* kSecondPassword = "Trimel";
