// Bounded wide-string formatting with the contract of StringCchPrintfW and the conversions
// of Microsoft's wide printf, independent of the C library the code is built with (mingw's
// C99 printf reads "%s" in a wide format as a narrow string and knows no "%ws").
//
// Portable: no Windows header. wchar_t is UTF-16 on Windows and UTF-32 on Linux; the code
// does not depend on its width.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace vl {

constexpr int32_t kFormatOk = 0;
constexpr int32_t kFormatInvalidArg = static_cast<int32_t>(0x80070057);     // E_INVALIDARG
constexpr int32_t kFormatInsufficient = static_cast<int32_t>(0x8007007A);   // buffer too small

// Formats into dest, which holds capacity wide characters including the terminator.
//  - capacity 0 or above 2147483647: kFormatInvalidArg, dest untouched;
//  - the text fits: kFormatOk;
//  - it does not fit (or the format is malformed): the first capacity - 1 characters and a
//    terminator, kFormatInsufficient.
//
// Conversions, as Microsoft's wide printf has them: %s and %ls wide string, %S and %hs narrow
// string, %ws wide string; %c wide character, %C narrow character; %d %i %u %x %X %o with
// h, l, ll, I32, I64 and z sizes (plain = 32 bits); %f %F %e %E %g %G %a %A double; %p a
// pointer; %n is refused; %% a percent sign. Flags - + space # 0, width and precision,
// including *. A null string prints "(null)".
int32_t formatBounded(wchar_t* dest, size_t capacity, const wchar_t* format, ...);
int32_t vformatBounded(wchar_t* dest, size_t capacity, const wchar_t* format, va_list args);

// The log's line: "%d.%03d %ws\n" with the elapsed milliseconds split into seconds and
// milliseconds, narrowed into out (capacity bytes, always terminated). Returns the length.
// Wide characters outside 8 bits are written as '?'.
size_t formatLogLine(char* out, size_t capacity, uint32_t elapsedMs, const wchar_t* message);

// Milliseconds from created to now on a 32-bit tick that wraps every 49.7 days.
inline uint32_t elapsedMs(uint32_t now, uint32_t created) { return now - created; }

} // namespace vl
