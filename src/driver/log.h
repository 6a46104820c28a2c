// The diagnostic log: "I:\VLASIOLog.txt", one line per message, "%d.%03d %ws" with the
// seconds and milliseconds since the object was constructed. Off unless the per-user value
// "OutputLogToFile" is nonzero.
#pragma once

#include <cstdio>
#include <cstdint>

class ASIOSrv;

// Messages are formatted into a buffer of this many wide characters (255 and a terminator).
constexpr size_t kLogMessageChars = 256;

// The log file path; where drive I: does not exist, the same name in
// %LOCALAPPDATA%\Vantrel (created when missing).
extern const wchar_t kLogPath[];

// Opens the log for appending, denying every other opener: while one object holds it, a
// second object runs without a log. Null when it cannot be opened.
FILE* openLogFile();

// Writes one line when the object's log is open: one formatted write per line, so lines of
// several threads interleave only at line boundaries.
void writeLogLine(const ASIOSrv* self, const wchar_t* message);

// Formats a message (bounded, cut at 255 characters) and writes it as one line. The message
// is formatted whether or not the log is open.
void logMessage(const ASIOSrv* self, const wchar_t* format, ...);

// Low 32 bits of a pointer or handle, as the log's "%X" prints them.
template <typename T> inline unsigned low32(T* p) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}
