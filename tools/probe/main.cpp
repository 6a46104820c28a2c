// vlasio-probe: an ASIO host for any ASIO driver. Lists the drivers in the ASIO driver list,
// or creates one the way hosts do, reports what it offers, streams through it and reports.
#include "driverlist.h"
#include "host.h"
#include "options.h"
#include "text.h"

#include <windows.h>
#include <objbase.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

using namespace probe;

namespace {

const DWORD kStuckMs = 10000;

// A driver that faults takes the process with it; say where, instead of vanishing.
LONG WINAPI reportCrash(EXCEPTION_POINTERS* info) {
    fflush(stdout);
    fprintf(stderr, "\nvlasio-probe: the process crashed (exception 0x%08lX at %p) during %s\n",
            static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode),
            info->ExceptionRecord->ExceptionAddress, currentStep);
    fflush(stderr);
    ExitProcess(3);
}

// A driver call that never returns (a stop that waits for its own thread, say) would hang
// the host: after a while without progress outside streaming (or an open control panel,
// which waits for the user), say where and leave.
DWORD WINAPI watchdog(void*) {
    LONG seen = -1;
    DWORD since = GetTickCount();
    for (;;) {
        Sleep(250);
        LONG count = stepCount;
        const char* step = currentStep;
        if (count != seen || !strcmp(step, "streaming") || !strcmp(step, "reporting") ||
            !strcmp(step, "controlPanel")) {
            seen = count;
            since = GetTickCount();
        } else if (GetTickCount() - since > kStuckMs) {
            fflush(stdout);
            fprintf(stderr, "\nvlasio-probe: the driver did not return from %s in %lu s\n",
                    currentStep, kStuckMs / 1000);
            fflush(stderr);
            ExitProcess(4);
        }
    }
}

int listAll() {
    LONG status = ERROR_SUCCESS;
    std::vector<DriverEntry> drivers = listDrivers(&status);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        err("cannot read HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO (error %ld)", status);
        return 1;
    }
    if (drivers.empty()) {
        out("No ASIO drivers are registered under HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO.\n");
        return 0;
    }
    out("ASIO drivers under HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO:\n");
    for (const DriverEntry& d : drivers) {
        out("\n  %s\n", utf8(d.name).c_str());
        out("    CLSID         %s%s\n", d.clsidText.empty() ? "(missing)" : utf8(d.clsidText).c_str(),
            d.clsidText.empty() || d.clsidValid ? "" : " (not a CLSID)");
        out("    Description   %s\n", utf8(d.description).c_str());
        if (d.clsidValid)
            out("    Server        %s\n",
                d.server.empty() ? "(class not registered)" : utf8(d.server).c_str());
    }
    return 0;
}

// The driver named on the command line: a CLSID in braces, or a name from the list.
bool resolve(const std::string& name, CLSID* clsid, std::string* label) {
    std::wstring w = wide(name);
    if (!w.empty() && w[0] == L'{') {
        if (FAILED(CLSIDFromString(w.c_str(), clsid))) {
            err("\"%s\" is not a CLSID", name.c_str());
            return false;
        }
        *label = name;
        return true;
    }
    LONG status = ERROR_SUCCESS;
    for (const DriverEntry& d : listDrivers(&status)) {
        if (_wcsicmp(d.name.c_str(), w.c_str()) != 0) continue;
        if (!d.clsidValid) {
            err("the ASIO list entry \"%s\" has no valid CLSID (\"%s\")", utf8(d.name).c_str(),
                utf8(d.clsidText).c_str());
            return false;
        }
        *clsid = d.clsid;
        *label = utf8(d.name) + "\n  CLSID " + utf8(d.clsidText) + "\n  server " +
                 (d.server.empty() ? std::string("(class not registered)") : utf8(d.server));
        return true;
    }
    err("no ASIO driver named \"%s\" is registered under HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO "
        "(vlasio-probe --list shows those that are)",
        name.c_str());
    return false;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    // The report goes to pipes and files as well as consoles: UTF-8, and plain line ends.
    _setmode(_fileno(stdout), _O_BINARY);
    SetConsoleOutputCP(CP_UTF8);
    SetUnhandledExceptionFilter(reportCrash);
    HANDLE dog = CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr);
    if (dog) CloseHandle(dog);

    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(utf8(argv[i]));
    Options options;
    std::string error;
    if (!parseOptions(args, &options, &error)) {
        err("%s", error.c_str());
        fputs(kUsage, stderr);
        return 2;
    }
    if (options.help) {
        out("%s", kUsage);
        return 0;
    }

    // As hosts do: the driver lives in the main thread's single-threaded apartment.
    HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr)) {
        err("CoInitialize failed: %s", hresultText(hr).c_str());
        return 1;
    }
    int status;
    try {
        if (options.list) {
            status = listAll();
        } else {
            CLSID clsid;
            std::string label;
            status = resolve(options.driver, &clsid, &label) ? probeDriver(options, clsid, label) : 1;
        }
    } catch (const std::bad_alloc&) {
        err("out of memory (try fewer --channels or --seconds)");
        status = 1;
    }
    CoUninitialize();
    return status;
}
