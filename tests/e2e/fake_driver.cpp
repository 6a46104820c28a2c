// A stand-in ASIO driver to test the probe by itself, in the manner VLASIO_FAKE_MODE names:
//   good    2 inputs and 2 outputs of Int32LSB; a thread switches once per buffer, and the
//           inputs carry each output half back in the pass that plays it;
//   errors  every call after init answers ASE_HWMalfunction;   silent  no switch ever comes;
//   noinit  init fails, with a message;   crash  getChannels writes through a null pointer;
//   hang    as good, but stop never returns.
#include "driver/asio.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// {7C0FFEE1-5EED-4B1D-9A7E-0DDBA11F0001}
const CLSID kClsid = {0x7c0ffee1, 0x5eed, 0x4b1d, {0x9a, 0x7e, 0x0d, 0xdb, 0xa1, 0x1f, 0x00, 0x01}};
const long kRate = 48000, kFrames = 480;

class FakeDriver final : public IASIO {
  public:
    // One driver per process, for the life of the process.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = riid == IID_IUnknown || riid == kClsid ? this : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    ASIOBool init(void*) override { return mode_ != "noinit"; }
    void getDriverName(char* name) override { strcpy(name, ok() ? "Fake" : ""); }
    long getDriverVersion() override { return 7; }
    void getErrorMessage(char* text) override { strcpy(text, "no hardware"); }
    ASIOError start() override {
        running_ = mode_ == "good" || mode_ == "hang";
        if (running_) thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
        return answer();
    }
    ASIOError stop() override {
        running_ = false;
        if (thread_) WaitForSingleObject(thread_, 2000);
        if (mode_ == "hang") Sleep(INFINITE);
        return answer();
    }
    ASIOError getChannels(long* in, long* out) override {
        if (mode_ == "crash") *static_cast<volatile long*>(nullptr) = 0;
        if (ok()) *in = *out = 2;
        return answer();
    }
    ASIOError getLatencies(long* in, long* out) override {
        *in = *out = kFrames;
        return answer();
    }
    ASIOError getBufferSize(long* mn, long* mx, long* pref, long* gran) override {
        *mn = *mx = *pref = *gran = kFrames;
        return answer();
    }
    ASIOError canSampleRate(ASIOSampleRate r) override {
        return r == kRate ? answer() : ASE_NoClock;
    }
    ASIOError getSampleRate(ASIOSampleRate* r) override {
        *r = kRate;
        return answer();
    }
    ASIOError setSampleRate(ASIOSampleRate r) override { return canSampleRate(r); }
    ASIOError getClockSources(ASIOClockSource* c, long* n) override {
        *c = {0, -1, -1, ASIOTrue, "Crystal"};
        *n = 1;
        return answer();
    }
    ASIOError setClockSource(long) override { return answer(); }
    ASIOError getSamplePosition(ASIOSamples* pos, ASIOTimeStamp* stamp) override {
        *pos = {0, (unsigned long)(switches_ * kFrames)};
        *stamp = {};
        return answer();
    }
    ASIOError getChannelInfo(ASIOChannelInfo* info) override {
        info->type = ASIOSTInt32LSB;
        strcpy(info->name, info->isInput ? "Fake in" : "Fake out");
        return answer();
    }
    ASIOError createBuffers(ASIOBufferInfo* infos, long n, long,
                            ASIOCallbacks* callbacks) override {
        callbacks_ = *callbacks;
        for (long i = 0; i < n; ++i)
            for (int h = 0; h < 2; ++h)
                infos[i].buffers[h] = buffers_[infos[i].isInput ? 1 : 0][h][infos[i].channelNum];
        return answer();
    }
    ASIOError disposeBuffers() override { return stop(); }
    ASIOError controlPanel() override { return ASE_NotPresent; }
    ASIOError future(long, void*) override { return ASE_NotPresent; }
    ASIOError outputReady() override { return ASE_NotPresent; }

  private:
    bool ok() const { return mode_ != "errors" && mode_ != "noinit"; }
    ASIOError answer() const { return ok() ? ASE_OK : ASE_HWMalfunction; }

    // Asks for two halves, then once per buffer "plays" output half k, records it straight
    // into input half k and hands both over: the host hears its clicks two buffers later.
    // Periods are counted on the clock, so a late wake catches up instead of losing one.
    static DWORD WINAPI run(void* self) {
        FakeDriver& d = *static_cast<FakeDriver*>(self);
        LARGE_INTEGER frequency, begin, now;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&begin);
        for (unsigned long long due = 2; d.running_; Sleep(2)) {
            for (; d.running_ && d.switches_ < due; ++d.switches_) {
                int half = int(d.switches_ & 1);
                memcpy(d.buffers_[1][half], d.buffers_[0][half], sizeof d.buffers_[0][half]);
                if (d.callbacks_.bufferSwitch) d.callbacks_.bufferSwitch(half, d.switches_ < 2);
            }
            QueryPerformanceCounter(&now);
            due = 2 + (now.QuadPart - begin.QuadPart) * kRate / (frequency.QuadPart * kFrames);
        }
        return 0;
    }

    const std::string mode_ = getenv("VLASIO_FAKE_MODE") ? getenv("VLASIO_FAKE_MODE") : "good";
    ASIOCallbacks callbacks_ = {};
    std::atomic<bool> running_{false};
    HANDLE thread_ = nullptr;
    std::atomic<unsigned long long> switches_{0};
    int32_t buffers_[2][2][2][kFrames] = {}; // [input][half][channel]
} driver;

struct Factory final : IClassFactory {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = riid == IID_IUnknown || riid == IID_IClassFactory ? this : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        return outer ? CLASS_E_NOAGGREGATION : driver.QueryInterface(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
} factory;

} // namespace

extern "C" __declspec(dllexport) HRESULT
    __stdcall DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    return clsid == kClsid ? factory.QueryInterface(riid, ppv) : CLASS_E_CLASSNOTAVAILABLE;
}
