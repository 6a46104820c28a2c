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

const wchar_t kLogFile[] = L"I:\\VLASIOLog.txt";

class Log : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(GetDriveTypeW(L"I:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR))
            << "the test runner maps drive I: to a folder of the Wine prefix";
        DeleteFileW(kLogFile);
        clearSetting();
    }
    void TearDown() override {
        clearSetting();
        DeleteFileW(kLogFile);
    }

    static void clearSetting() {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"OutputLogToFile");
    }
    static void setSetting(DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"OutputLogToFile", type, data,
                                  size),
                  ERROR_SUCCESS);
    }
    static void enable() {
        DWORD one = 1;
        setSetting(REG_DWORD, &one, sizeof one);
    }

    static ASIOSrv* newDriver() {
        IUnknown* inner = ASIOSrv::create(nullptr, nullptr);
        inner->AddRef();
        return static_cast<ASIOSrv*>(reinterpret_cast<UnknownBase*>(inner));
    }
    static void release(ASIOSrv* d) { d->innerRelease(); }

    static std::string readLog() {
        // Read through Windows so that the text is exactly what the file holds.
        HANDLE h = CreateFileW(kLogFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        if (h == INVALID_HANDLE_VALUE) return "<no file>";
        std::string text(1 << 16, '\0');
        DWORD n = 0;
        ReadFile(h, &text[0], static_cast<DWORD>(text.size()), &n, nullptr);
        CloseHandle(h);
        text.resize(n);
        return text;
    }
};

} // namespace

// {the per-user value} -> a log or none. Only a number switches it on: a REG_DWORD, or a
// binary value of four bytes.
TEST_F(Log, OnlyANonZeroNumberSwitchesItOn) {
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
        clearSetting();
        DeleteFileW(kLogFile);
        if (r.data) setSetting(r.type, r.data, r.size);
        ASIOSrv* d = newDriver();
        EXPECT_EQ(d->logFile != nullptr, r.on) << r.what;
        release(d);
        EXPECT_EQ(readLog().find("ASIOSrv::Destructor...") != std::string::npos, r.on) << r.what;
    }
}

TEST_F(Log, ConstructorAndDestructorLinesWithTheirTimes) {
    enable();
    ASIOSrv* d = newDriver();
    ASSERT_NE(d->logFile, nullptr);
    Sleep(20);
    release(d);
    std::string text = readLog();
    // Text mode: CRLF line ends. A time of 0 seconds and three-digit milliseconds.
    std::regex lines(R"(0\.\d{3} ASIOSrv::Constructor\.\.\.\r\n0\.(\d{3}) ASIOSrv::Destructor\.\.\.\r\n)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, lines)) << text;
    EXPECT_GE(std::stoi(m[1]), 15);
}

TEST_F(Log, SecondObjectRunsWithoutALogAndALaterOneAppends) {
    enable();
    ASIOSrv* first = newDriver();
    ASIOSrv* second = newDriver();
    EXPECT_NE(first->logFile, nullptr);
    EXPECT_EQ(second->logFile, nullptr);
    writeLogLine(second, L"from the second object");
    release(second);
    release(first);
    release(newDriver());
    std::string text = readLog();
    EXPECT_EQ(text.find("second"), std::string::npos);
    std::regex fourLines(R"((\d+\.\d{3} ASIOSrv::(Constructor|Destructor)\.\.\.\r\n){4})");
    EXPECT_TRUE(std::regex_match(text, fourLines)) << text;
}

TEST_F(Log, MessagesAreCutAt255Characters) {
    enable();
    ASIOSrv* d = newDriver();
    std::wstring name(300, L'x');
    logMessage(d, L"ASIOSrv:::\t%s", name.c_str());
    // Seconds and milliseconds from the object's own time base.
    d->createdTick = timeGetTime() - 83007;
    writeLogLine(d, L"ASIOSrv::start...");
    d->createdTick = timeGetTime() - 1000;
    release(d);
    std::istringstream in(readLog());
    std::string line;
    std::getline(in, line); // constructor
    std::getline(in, line);
    EXPECT_EQ(line.substr(line.find(' ') + 1), "ASIOSrv:::\t" + std::string(244, 'x') + "\r");
    std::getline(in, line);
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(83\.0\d\d ASIOSrv::start\.\.\.\r)"))) << line;
    std::getline(in, line);
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(1\.0\d\d ASIOSrv::Destructor\.\.\.\r)"))) << line;
}
