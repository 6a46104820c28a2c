// The diagnostic log as a user switches it on: the per-user value, the file on drive I:
// (the test runner points I: of its Wine prefix at a folder of its own), the line format.
#include "driver/ASIOSrv.h"
#include "driver/log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace {

// Sets the per-user value (removes it for no data) and starts without a log file.
void setValue(DWORD type, const void* data, DWORD size) {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"OutputLogToFile");
    if (data)
        RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"OutputLogToFile", type, data, size);
    DeleteFileW(L"I:\\VLASIOLog.txt");
}

ASIOSrv* newDriver() {
    auto* driver = new ASIOSrv(nullptr);
    driver->innerAddRef();
    return driver;
}

std::string readLog() {
    std::stringstream s;
    s << std::ifstream("I:\\VLASIOLog.txt", std::ios::binary).rdbuf();
    return s.str();
}

} // namespace

// {the per-user value} -> a log or none. Only a number switches it on: a REG_DWORD, or a
// binary value of four bytes.
TEST(Log, OnlyANonZeroNumberSwitchesItOn) {
    const DWORD zero = 0, one = 1;
    const BYTE eight[8] = {1}, four[4] = {1};
    const struct {
        const char* what;
        DWORD type;
        const void* data;
        DWORD size;
        bool on;
    } rows[] = {{"no value", REG_NONE, nullptr, 0, false},
                {"zero", REG_DWORD, &zero, 4, false},
                {"string", REG_SZ, L"1", 4, false},
                {"8-byte binary", REG_BINARY, eight, 8, false},
                {"4-byte binary", REG_BINARY, four, 4, true},
                {"one", REG_DWORD, &one, 4, true}};
    for (const auto& r : rows) {
        setValue(r.type, r.data, r.size);
        ASIOSrv* d = newDriver();
        EXPECT_EQ(d->logFile != nullptr, r.on) << r.what;
        d->innerRelease();
        EXPECT_EQ(readLog().find("ASIOSrv::Destructor...") != std::string::npos, r.on) << r.what;
    }
    setValue(REG_NONE, nullptr, 0);
}

// One object at a time holds the file, and a later one appends. Lines end in CRLF and carry
// the seconds and milliseconds from their object's own time base; messages are cut at 255
// characters.
TEST(Log, OneObjectAtATimeWritesTimedLinesCutAt255Characters) {
    const DWORD one = 1;
    setValue(REG_DWORD, &one, 4);
    ASIOSrv* first = newDriver();
    ASIOSrv* second = newDriver();
    EXPECT_EQ(second->logFile, nullptr);
    writeLogLine(second, L"from the second object");
    second->innerRelease();
    logMessage(first, L"ASIOSrv:::\t%s", std::wstring(300, L'x').c_str());
    first->createdTick = timeGetTime() - 83007;
    writeLogLine(first, L"ASIOSrv::start...");
    first->createdTick = timeGetTime() - 1000;
    first->innerRelease();
    newDriver()->innerRelease();
    std::regex lines(
        R"(0\.\d{3} ASIOSrv::Constructor\.\.\.\r\n)"
        R"(0\.\d{3} ASIOSrv:::\tx{244}\r\n)"
        R"(83\.0\d\d ASIOSrv::start\.\.\.\r\n)"
        R"(1\.0\d\d ASIOSrv::Destructor\.\.\.\r\n)"
        R"(0\.\d{3} ASIOSrv::Constructor\.\.\.\r\n0\.\d{3} ASIOSrv::Destructor\.\.\.\r\n)");
    std::string text = readLog();
    EXPECT_TRUE(std::regex_match(text, lines)) << text;
    setValue(REG_NONE, nullptr, 0);
}
