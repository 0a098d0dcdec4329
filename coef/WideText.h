#pragma once
// UTF-8 <-> UTF-16 for the wide Win32 calls (Windows only).

#include <string>

std::wstring Widen(const std::string& utf8);
std::string Narrow(const wchar_t* text, int length);
std::string Narrow(const std::wstring& wide);
