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

TEST(Registered, DefaultRenderEndpointComesFromTheServer) {
    ASSERT_TRUE(mentionsVlasim(registeredServer()));
    ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    IMMDeviceEnumerator* e = nullptr;
    ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                              IID_IMMDeviceEnumerator, (void**)&e));
    EXPECT_NE(GetModuleHandleW(L"vlasio-sim.dll"), nullptr);
    IMMDevice* d = nullptr;
    ASSERT_HRESULT_SUCCEEDED(e->GetDefaultAudioEndpoint(eRender, eConsole, &d));
    IPropertyStore* props = nullptr;
    ASSERT_HRESULT_SUCCEEDED(d->OpenPropertyStore(STGM_READ, &props));
    PROPVARIANT v;
    ASSERT_HRESULT_SUCCEEDED(props->GetValue(PKEY_Device_DeviceDesc, &v));
    ASSERT_EQ(v.vt, VT_LPWSTR);
    EXPECT_STREQ(v.pwszVal, L"Test Speakers (vlasim)"); // from VLASIM_CONFIG
    PropVariantClear(&v);
    props->Release();

    // A few periods on the realtime clock, exclusive and event-driven.
    IAudioClient* c = nullptr;
    ASSERT_HRESULT_SUCCEEDED(d->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, (void**)&c));
    WAVEFORMATEXTENSIBLE f = stereo24();
    ASSERT_EQ(c->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 100000,
                            100000, &f.Format, nullptr),
              S_OK);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_HRESULT_SUCCEEDED(c->SetEventHandle(event));
    IAudioRenderClient* render = nullptr;
    ASSERT_HRESULT_SUCCEEDED(c->GetService(IID_IAudioRenderClient, (void**)&render));
    ASSERT_HRESULT_SUCCEEDED(c->Start());
    int events = 0;
    while (events < 10 && WaitForSingleObject(event, 1000) == WAIT_OBJECT_0) {
        BYTE* data;
        ASSERT_EQ(render->GetBuffer(480, &data), S_OK);
        ASSERT_EQ(render->ReleaseBuffer(480, AUDCLNT_BUFFERFLAGS_SILENT), S_OK);
        ++events;
    }
    EXPECT_EQ(events, 10);
    c->Stop();
    render->Release();
    c->Release();
    CloseHandle(event);
    d->Release();
    e->Release();
    CoUninitialize();
}

// The second render endpoint of VLASIM_CONFIG goes away, mid-stream, when its file appears.
TEST(Registered, AnEndpointIsUnpluggedWhenItsFileAppears) {
    wchar_t flag[MAX_PATH];
    ASSERT_GT(GetEnvironmentVariableW(L"VLASIM_UNPLUG_FLAG", flag, MAX_PATH), 0u);
    DeleteFileW(flag);
    ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    IMMDeviceEnumerator* e = nullptr;
    ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                              IID_IMMDeviceEnumerator, (void**)&e));
    IMMDevice* d = nullptr;
    ASSERT_HRESULT_SUCCEEDED(
        e->GetDevice(L"{0.0.0.00000000}.{c41e7a90-2d35-4b68-9f1c-6e0a8d2b5f31}", &d));
    IAudioClient* c = nullptr;
    ASSERT_HRESULT_SUCCEEDED(d->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, (void**)&c));
    WAVEFORMATEXTENSIBLE f = stereo24();
    ASSERT_EQ(c->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 100000,
                            100000, &f.Format, nullptr),
              S_OK);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_HRESULT_SUCCEEDED(c->SetEventHandle(event));
    IAudioRenderClient* render = nullptr;
    ASSERT_HRESULT_SUCCEEDED(c->GetService(IID_IAudioRenderClient, (void**)&render));
    ASSERT_HRESULT_SUCCEEDED(c->Start());
    auto serve = [&](int periods) { // the periods served before the endpoint went away
        for (int i = 0; i < periods; ++i) {
            BYTE* data;
            if (WaitForSingleObject(event, 200) != WAIT_OBJECT_0 ||
                render->GetBuffer(480, &data) != S_OK)
                return i;
            render->ReleaseBuffer(480, AUDCLNT_BUFFERFLAGS_SILENT);
        }
        return periods;
    };
    EXPECT_EQ(serve(5), 5);
    CloseHandle(CreateFileW(flag, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    EXPECT_LT(serve(100), 30); // looked for every 50 ms, and a wake or two of a busy machine
    EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_TIMEOUT);
    BYTE* data;
    EXPECT_EQ(render->GetBuffer(480, &data), AUDCLNT_E_DEVICE_INVALIDATED);
    DWORD state = 0;
    EXPECT_EQ(d->GetState(&state), S_OK);
    EXPECT_EQ(state, DWORD(DEVICE_STATE_NOTPRESENT));
    render->Release();
    c->Release();
    CloseHandle(event);
    d->Release();
    e->Release();
    DeleteFileW(flag);
    CoUninitialize();
}

TEST(Unregistered, TheSystemEnumeratorIsBack) {
    EXPECT_FALSE(mentionsVlasim(registeredServer()));
}

} // namespace
