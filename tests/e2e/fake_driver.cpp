// A stand-in ASIO driver for testing the probe host on its own. It behaves according to
// the environment variable VLASIO_FAKE_MODE:
//   good     2 inputs and 2 outputs of Int32LSB, a timer thread that switches once per
//            buffer; the inputs carry the outputs back in the pass that plays them;
//   errors   init succeeds, then every call answers ASE_HWMalfunction and fills nothing;
//   silent   every call succeeds, but no buffer switch ever comes;
//   noinit   init fails with an error message;
//   crash    getChannels writes through a null pointer;
//   hang     as good, but stop never returns.
#include "driver/asio.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

// {7C0FFEE1-5EED-4B1D-9A7E-0DDBA11F0001}
static const CLSID CLSID_FakeDriver = {
    0x7c0ffee1, 0x5eed, 0x4b1d, {0x9a, 0x7e, 0x0d, 0xdb, 0xa1, 0x1f, 0x00, 0x01}};

namespace {

enum class Mode { good, errors, silent, noinit, crash, hang };

Mode mode() {
    const char* m = getenv("VLASIO_FAKE_MODE");
    if (!m || !strcmp(m, "good")) return Mode::good;
    if (!strcmp(m, "errors")) return Mode::errors;
    if (!strcmp(m, "silent")) return Mode::silent;
    if (!strcmp(m, "crash")) return Mode::crash;
    if (!strcmp(m, "hang")) return Mode::hang;
    return Mode::noinit;
}

const long kRate = 48000;
const long kFrames = 480;
const int kChannels = 2;

class FakeDriver final : public IASIO {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == CLSID_FakeDriver) {
            *ppv = static_cast<IASIO*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }

    ASIOBool init(void*) override { return mode_ == Mode::noinit ? ASIOFalse : ASIOTrue; }
    void getDriverName(char* name) override {
        if (ok()) strcpy(name, "Fake");
    }
    long getDriverVersion() override { return 7; }
    void getErrorMessage(char* text) override {
        if (mode_ == Mode::noinit) strcpy(text, "no hardware");
    }
    ASIOError start() override {
        if (!ok()) return ASE_HWMalfunction;
        if (mode_ == Mode::good || mode_ == Mode::hang) {
            running_ = true;
            thread_ = CreateThread(nullptr, 0, threadProc, this, 0, nullptr);
        }
        return ASE_OK;
    }
    ASIOError stop() override {
        running_ = false;
        if (thread_) {
            WaitForSingleObject(thread_, 2000);
            CloseHandle(thread_);
            thread_ = nullptr;
        }
        if (mode_ == Mode::hang) Sleep(INFINITE);
        return ok() ? ASE_OK : ASE_HWMalfunction;
    }
    ASIOError getChannels(long* in, long* out) override {
        if (mode_ == Mode::crash) *static_cast<volatile long*>(nullptr) = 0;
        if (!ok()) return ASE_HWMalfunction;
        *in = *out = kChannels;
        return ASE_OK;
    }
    ASIOError getLatencies(long* in, long* out) override {
        if (!ok()) return ASE_HWMalfunction;
        *in = 2 * kFrames;
        *out = 0;
        return ASE_OK;
    }
    ASIOError getBufferSize(long* mn, long* mx, long* pref, long* gran) override {
        if (!ok()) return ASE_HWMalfunction;
        *mn = *mx = *pref = kFrames;
        *gran = 0;
        return ASE_OK;
    }
    ASIOError canSampleRate(ASIOSampleRate r) override {
        if (!ok()) return ASE_HWMalfunction;
        return r == kRate ? ASE_OK : ASE_NoClock;
    }
    ASIOError getSampleRate(ASIOSampleRate* r) override {
        if (!ok()) return ASE_HWMalfunction;
        *r = kRate;
        return ASE_OK;
    }
    ASIOError setSampleRate(ASIOSampleRate r) override { return canSampleRate(r); }
    ASIOError getClockSources(ASIOClockSource* c, long* n) override {
        if (!ok()) return ASE_HWMalfunction;
        memset(c, 0, sizeof *c);
        c->isCurrentSource = ASIOTrue;
        strcpy(c->name, "Crystal");
        *n = 1;
        return ASE_OK;
    }
    ASIOError setClockSource(long) override { return ok() ? ASE_OK : ASE_HWMalfunction; }
    ASIOError getSamplePosition(ASIOSamples* pos, ASIOTimeStamp* stamp) override {
        if (!ok()) return ASE_HWMalfunction;
        unsigned long long p = switches_ * kFrames;
        pos->hi = (unsigned long)(p >> 32);
        pos->lo = (unsigned long)p;
        stamp->hi = stamp->lo = 0;
        return ASE_OK;
    }
    ASIOError getChannelInfo(ASIOChannelInfo* info) override {
        if (!ok()) return ASE_HWMalfunction;
        info->type = ASIOSTInt32LSB;
        info->channelGroup = 0;
        info->isActive = ASIOFalse;
        strcpy(info->name, info->isInput ? "Fake in" : "Fake out");
        return ASE_OK;
    }
    ASIOError createBuffers(ASIOBufferInfo* infos, long n, long frames,
                            ASIOCallbacks* callbacks) override {
        if (!ok()) return ASE_HWMalfunction;
        callbacks_ = *callbacks;
        for (long i = 0; i < n; ++i) {
            int dir = infos[i].isInput ? 1 : 0;
            long ch = infos[i].channelNum;
            for (int h = 0; h < 2; ++h) infos[i].buffers[h] = buffers_[dir][ch][h];
        }
        (void)frames;
        return ASE_OK;
    }
    ASIOError disposeBuffers() override {
        stop();
        return ok() ? ASE_OK : ASE_HWMalfunction;
    }
    ASIOError controlPanel() override { return ASE_NotPresent; }
    ASIOError future(long, void*) override { return ASE_NotPresent; }
    ASIOError outputReady() override { return ASE_NotPresent; }

  private:
    bool ok() const { return mode_ != Mode::errors && mode_ != Mode::noinit; }

    // Pre-fills two halves, then once per buffer "plays" output half k, records it straight
    // into input half k and hands both over: the host sees its clicks two buffers later.
    // Periods are counted on the clock, so a late wake catches up instead of losing one.
    static DWORD WINAPI threadProc(void* self) {
        FakeDriver& d = *static_cast<FakeDriver*>(self);
        d.switches_ = 0;
        d.signal(1);
        d.signal(1);
        LARGE_INTEGER frequency, begin, now;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&begin);
        while (d.running_) {
            Sleep(2);
            QueryPerformanceCounter(&now);
            unsigned long long due =
                2 + (now.QuadPart - begin.QuadPart) * kRate / (frequency.QuadPart * kFrames);
            while (d.running_ && d.switches_ < due) {
                int half = int(d.switches_ & 1);
                for (int ch = 0; ch < kChannels; ++ch)
                    memcpy(d.buffers_[1][ch][half], d.buffers_[0][ch][half],
                           sizeof d.buffers_[0][ch][half]);
                d.signal(0);
            }
        }
        return 0;
    }

    void signal(ASIOBool direct) {
        long half = long(switches_ & 1);
        if (callbacks_.bufferSwitch) callbacks_.bufferSwitch(half, direct);
        ++switches_;
    }

    std::atomic<ULONG> refs_{1};
    Mode mode_ = mode();
    ASIOCallbacks callbacks_ = {};
    std::atomic<bool> running_{false};
    HANDLE thread_ = nullptr;
    std::atomic<unsigned long long> switches_{0};
    int32_t buffers_[2][kChannels][2][kFrames] = {};
};

class Factory final : public IClassFactory {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = this;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (outer) return CLASS_E_NOAGGREGATION;
        FakeDriver* d = new FakeDriver;
        HRESULT hr = d->QueryInterface(riid, ppv);
        d->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

Factory factory;

} // namespace

extern "C" HRESULT __stdcall DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (clsid != CLSID_FakeDriver) return CLASS_E_CLASSNOTAVAILABLE;
    return factory.QueryInterface(riid, ppv);
}

extern "C" HRESULT __stdcall DllCanUnloadNow() { return S_FALSE; }
