#include "driver/log.h"

#include "driver/ASIOSrv.h"
#include "driver/wformat.h"

#include <share.h>
#include <shlobj.h>
#include <cstdarg>

const wchar_t kLogPath[] = L"I:\\VLASIOLog.txt";

namespace {

FILE* openShared(const wchar_t* path) {
    // _wfsopen with an explicit deny mode: _wfopen_s shares under Wine, so a second object
    // would write into the same file.
    return _wfsopen(path, L"at", _SH_DENYRW);
}

} // namespace

FILE* openLogFile() {
    if (GetDriveTypeW(L"I:\\") != DRIVE_NO_ROOT_DIR) return openShared(kLogPath);

    // No drive I: on this machine: keep the log with the user's local application data.
    wchar_t dir[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0,
                                dir)))
        return nullptr;
    wchar_t path[MAX_PATH];
    vl::formatBounded(path, MAX_PATH, L"%s\\Vantrel", dir);
    CreateDirectoryW(path, nullptr);
    if (vl::formatBounded(path, MAX_PATH, L"%s\\Vantrel\\VLASIOLog.txt", dir) != vl::kFormatOk)
        return nullptr;
    return openShared(path);
}

void writeLogLine(const ASIOSrv* self, const wchar_t* message) {
    if (!self->logFile) return;
    char line[kLogMessageChars + 32];
    size_t n = vl::formatLogLine(line, sizeof line, vl::elapsedMs(timeGetTime(), self->createdTick),
                                 message);
    fwrite(line, 1, n, self->logFile);
}

void logMessage(const ASIOSrv* self, const wchar_t* format, ...) {
    wchar_t message[kLogMessageChars];
    va_list args;
    va_start(args, format);
    vl::vformatBounded(message, kLogMessageChars, format, args);
    va_end(args);
    writeLogLine(self, message);
}
