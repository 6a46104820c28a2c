#include "driver_fixture.h"

#include "driver/log.h"

#include <mmdeviceapi.h>

#include <cstdio>

namespace {

void removeDefaultSize() {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"DefaultSizeInMS");
}

class SimEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        // The host's thread, in the apartment the driver is created in.
        ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        ASSERT_HRESULT_SUCCEEDED(sim::install());
        removeDefaultSize();
    }
    void TearDown() override {
        sim::uninstall();
        CoUninitialize();
    }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new SimEnvironment);

} // namespace

std::string hex32(const void* p) {
    char text[16];
    snprintf(text, sizeof text, "%X", low32(p));
    return text;
}

void DriverTest::SetUp() {
    sim::reset();
    sim::setClock(sim::Clock::Manual);
    wchar_t dir[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"vlt", 0, path);
    logPath_ = path;
    // A 3 ms minimum period is 144 frames at 48 kHz, which 16-bit stereo cannot align to
    // 128 bytes: the buffer sizing then takes its not-aligned path (160 frames).
    render.minimumPeriod = capture.minimumPeriod = 30000;
    configure();
    recreate();
}

void DriverTest::TearDown() {
    releaseAndCheck();
    removeDefaultSize();
    DeleteFileW(logPath_.c_str());
}

void DriverTest::recreate() {
    releaseAndCheck();
    drv = new ASIOSrv(nullptr);
    drv->AddRef();
    // Not the shared file on drive I:, which only one object at a time can hold.
    drv->logFile = _wfopen(logPath_.c_str(), L"wt");
    ASSERT_NE(drv->logFile, nullptr);
    seen_ = 0;
}

void DriverTest::releaseAndCheck() {
    if (!drv) return;
    drv->Release();
    drv = nullptr;
    sim::clearFaults();
    EXPECT_EQ(sim::liveObjects(), 0) << sim::report();
    EXPECT_EQ(sim::outstandingRefs(), 0) << sim::report();
    EXPECT_EQ(sim::outstandingAllocations(), 0) << sim::report();
}

std::vector<std::string> DriverTest::log() {
    std::vector<std::string> lines;
    if (drv) fflush(drv->logFile);
    FILE* f = _wfopen(logPath_.c_str(), L"rt");
    if (!f) return lines;
    char line[1024];
    for (size_t n = 0; fgets(line, sizeof line, f); ++n) {
        if (n < seen_) continue;
        std::string s(line);
        if (!s.empty() && s.back() == '\n') s.pop_back();
        lines.push_back(s.substr(s.find(' ') + 1)); // after "<seconds>.<ms> "
    }
    fclose(f);
    return lines;
}

bool DriverTest::logged(const std::string& message) {
    for (const std::string& line : log())
        if (line == message) return true;
    return false;
}

IUnknown* DriverTest::endpointDevice(int direction) {
    IMMDeviceEnumerator* enumerator = nullptr;
    IMMDevice* device = nullptr;
    drv->deviceEnumerator->QueryInterface(__uuidof(IMMDeviceEnumerator),
                                          reinterpret_cast<void**>(&enumerator));
    EXPECT_HRESULT_SUCCEEDED(enumerator->GetDevice(drv->endpointId[direction], &device));
    enumerator->Release();
    return device;
}

void DriverTest::setDefaultSize(DWORD type, const void* data, DWORD bytes) {
    ASSERT_EQ(
        RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"DefaultSizeInMS", type, data, bytes),
        ERROR_SUCCESS);
}
