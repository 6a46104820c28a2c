// Text for the report: UTF-8 output and readable names for the codes drivers answer.
#pragma once

#include <windows.h>

#include <string>

namespace probe {

std::string utf8(const wchar_t* text);
std::string utf8(const std::wstring& text);
std::wstring wide(const std::string& utf8Text);
// A driver's narrow text (in the system's code page), at most `size` bytes, terminated or not.
std::string fromDriverText(const char* text, size_t size);

// "ASE_NotPresent (-1000)"
std::string asioErrorText(long code);
// "0x80040154 (REGDB_E_CLASSNOTREG, class not registered)"
std::string hresultText(HRESULT hr);
// "{5D3A9C41-...}"
std::string clsidText(const CLSID& clsid);

// printf to stdout and flush, so that a report survives a driver that takes the process down.
void out(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
// printf to stderr, prefixed "vlasio-probe: ".
void err(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

} // namespace probe
