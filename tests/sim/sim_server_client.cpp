// A program that knows nothing of the simulator: it reaches the endpoints through COM alone,
// as the driver does in a prefix where vlasio-sim.dll is registered as the device enumerator.
#include <initguid.h>

#include <audioclient.h>
#include <functiondiscoverykeys_devpkey.h>
#include <mmdeviceapi.h>
#include <mmreg.h>

#include <gtest/gtest.h>

#include <string>

namespace {

const wchar_t kServerKey[] = L"CLSID\\{BCDE0395-E52F-467C-8E3D-C4579291692E}\\InprocServer32";

std::wstring registeredServer() {
    wchar_t buf[520];
    DWORD bytes = sizeof buf;
    if (RegGetValueW(HKEY_CLASSES_ROOT, kServerKey, nullptr, RRF_RT_REG_SZ, nullptr, buf, &bytes) !=
        ERROR_SUCCESS)
        return L"";
    return buf;
}

bool mentionsVlasim(const std::wstring& s) {
    std::wstring l = s;
    for (auto& c : l)
        c = wchar_t(towlower(c));
    return l.find(L"vlasio-sim.dll") != std::wstring::npos;
}

WAVEFORMATEXTENSIBLE stereo24() {
    WAVEFORMATEXTENSIBLE f = {};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = 2;
    f.Format.nSamplesPerSec = 48000;
    f.Format.wBitsPerSample = 32;
    f.Format.nBlockAlign = 8;
    f.Format.nAvgBytesPerSec = 384000;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = 24;
    f.dwChannelMask = 3;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

// An exclusive event-driven render stream on the endpoint with this ID (else the default),
// reached through COM alone, started; released at scope end.
struct Stream {
    IMMDeviceEnumerator* e = nullptr;
    IMMDevice* d = nullptr;
    IAudioClient* c = nullptr;
    IAudioRenderClient* render = nullptr;
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    void open(const wchar_t* id) {
        ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                                  IID_IMMDeviceEnumerator, (void**)&e));
        ASSERT_HRESULT_SUCCEEDED(id ? e->GetDevice(id, &d)
                                    : e->GetDefaultAudioEndpoint(eRender, eConsole, &d));
        ASSERT_HRESULT_SUCCEEDED(d->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, (void**)&c));
        WAVEFORMATEXTENSIBLE f = stereo24();
        ASSERT_EQ(c->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                100000, 100000, &f.Format, nullptr),
                  S_OK);
        ASSERT_HRESULT_SUCCEEDED(c->SetEventHandle(event));
        ASSERT_HRESULT_SUCCEEDED(c->GetService(IID_IAudioRenderClient, (void**)&render));
        ASSERT_HRESULT_SUCCEEDED(c->Start());
    }
    // The periods served, up to `periods`, before the endpoint stopped signalling or refused.
    int serve(int periods, DWORD waitMs) {
        for (int i = 0; i < periods; ++i) {
            BYTE* data;
            if (WaitForSingleObject(event, waitMs) != WAIT_OBJECT_0 ||
                render->GetBuffer(480, &data) != S_OK)
                return i;
            render->ReleaseBuffer(480, AUDCLNT_BUFFERFLAGS_SILENT);
        }
        return periods;
    }
    ~Stream() {
        if (c) c->Stop();
        for (IUnknown* p : {(IUnknown*)render, (IUnknown*)c, (IUnknown*)d, (IUnknown*)e})
            if (p) p->Release();
        CloseHandle(event);
    }
};

TEST(Registered, DefaultRenderEndpointComesFromTheServer) {
    ASSERT_TRUE(mentionsVlasim(registeredServer()));
    ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    {
        Stream s;
        s.open(nullptr);
        EXPECT_NE(GetModuleHandleW(L"vlasio-sim.dll"), nullptr);
        IPropertyStore* props = nullptr;
        ASSERT_HRESULT_SUCCEEDED(s.d->OpenPropertyStore(STGM_READ, &props));
        PROPVARIANT v;
        ASSERT_HRESULT_SUCCEEDED(props->GetValue(PKEY_Device_DeviceDesc, &v));
        ASSERT_EQ(v.vt, VT_LPWSTR);
        EXPECT_STREQ(v.pwszVal, L"Test Speakers (vlasim)"); // from VLASIM_CONFIG
        PropVariantClear(&v);
        props->Release();
        EXPECT_EQ(s.serve(10, 1000), 10); // on the realtime clock
    }
    CoUninitialize();
}

// The second render endpoint of VLASIM_CONFIG goes away, mid-stream, when its file appears.
TEST(Registered, AnEndpointIsUnpluggedWhenItsFileAppears) {
    wchar_t flag[MAX_PATH];
    ASSERT_GT(GetEnvironmentVariableW(L"VLASIM_UNPLUG_FLAG", flag, MAX_PATH), 0u);
    DeleteFileW(flag);
    ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    {
        Stream s;
        s.open(L"{0.0.0.00000000}.{c41e7a90-2d35-4b68-9f1c-6e0a8d2b5f31}");
        EXPECT_EQ(s.serve(5, 200), 5);
        CloseHandle(CreateFileW(flag, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        // Looked for every 50 ms, and a wake or two of a busy machine.
        EXPECT_LT(s.serve(100, 200), 30);
        EXPECT_EQ(WaitForSingleObject(s.event, 100), WAIT_TIMEOUT);
        BYTE* data;
        EXPECT_EQ(s.render->GetBuffer(480, &data), AUDCLNT_E_DEVICE_INVALIDATED);
        DWORD state = 0;
        EXPECT_EQ(s.d->GetState(&state), S_OK);
        EXPECT_EQ(state, DWORD(DEVICE_STATE_NOTPRESENT));
    }
    DeleteFileW(flag);
    CoUninitialize();
}

TEST(Unregistered, TheSystemEnumeratorIsBack) {
    EXPECT_FALSE(mentionsVlasim(registeredServer()));
}

} // namespace
