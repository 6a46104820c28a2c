// The driver object's life: construction, COM identity, destruction.
#include "driver/ASIOSrv.h"

#include "driver/log.h"

#include <new>

// {5D3A9C41-7E2B-4F68-A1D0-93C6B8E2F417}
const CLSID CLSID_ASIOSrv = {0x5d3a9c41, 0x7e2b, 0x4f68,
                             {0xa1, 0xd0, 0x93, 0xc6, 0xb8, 0xe2, 0xf4, 0x17}};
const wchar_t kDriverNameW[] = L"Vantrel ASIO device (HDAudio)";
const char kDriverNameA[] = "Vantrel ASIO device (HDAudio)";
const wchar_t kSettingsKey[] = L"Software\\Vantrel\\ASIO";

LONG readSetting(const wchar_t* name, DWORD typeFilter, DWORD* value) {
    *value = 0;
    DWORD size = sizeof *value;
    LONG status = RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, name, typeFilter, nullptr, value,
                               &size);
    if (status != ERROR_SUCCESS) *value = 0;
    return status;
}

const wchar_t* const kEndpointSetting[2] = {L"RenderEndpoint", L"CaptureEndpoint"};
const wchar_t* const kEndpointListSetting[2] = {L"RenderEndpoints", L"CaptureEndpoints"};

LONG readListSetting(const wchar_t* name, wchar_t* text, DWORD chars) {
    DWORD size = (chars - 2) * sizeof(wchar_t);
    LONG status = RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_REG_MULTI_SZ, nullptr,
                               text, &size);
    if (status != ERROR_SUCCESS) size = 0;
    // Whatever the value held, the list ends where its first empty string is.
    DWORD used = size / sizeof(wchar_t);
    text[used] = text[used + 1] = 0;
    return status;
}

LONG readTextSetting(const wchar_t* name, wchar_t* text, DWORD chars) {
    DWORD size = chars * sizeof(wchar_t);
    LONG status = RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_REG_SZ, nullptr,
                               text, &size);
    if (status != ERROR_SUCCESS) text[0] = 0;
    text[chars - 1] = 0;
    return status;
}

ASIOSrv::ASIOSrv(IUnknown* outer) : UnknownBase(outer) {
    // The remaining fields take their initial values from their declarations.
    InitializeCriticalSection(&controlLock);
    createdTick = timeGetTime();

    // A missing key, a value of another type or one larger than 4 bytes means off.
    DWORD enabled = 0;
    readSetting(L"OutputLogToFile", RRF_RT_REG_BINARY | RRF_RT_REG_DWORD, &enabled);
    if (enabled) logFile = openLogFile();

    // Timer-driven streaming is for diagnosis only: a per-user DWORD "TimerDrivenMode",
    // nonzero, selects it for objects created afterwards.
    DWORD timerDriven = 0;
    readSetting(L"TimerDrivenMode", RRF_RT_REG_DWORD, &timerDriven);
    TimerDrivenMode = timerDriven != 0;
    writeLogLine(this, L"ASIOSrv::Constructor...");
}

ULONG STDMETHODCALLTYPE ASIOSrv::innerRelease() {
    LONG n = InterlockedDecrement(&refCount);
    if (n != 0) return n > 1 ? static_cast<ULONG>(n) : 1;
    // Guard against the teardown's own AddRef/Release pairs reaching zero again.
    refCount = 1;
    tearDown();
    letGo();
    return 0;
}

void ASIOSrv::letGo() {
    if (InterlockedDecrement(&holds) == 0) delete this;
}

// Everything but the memory, the log and the handles a streaming thread that outlived its
// stop may still use (its own handle, the ready event): those go in the destructor, with the
// last hold.
void ASIOSrv::tearDown() {
    ControlLock lock(this);
    if (tornDown) return;
    tornDown = true;
    writeLogLine(this, L"ASIOSrv::Destructor...");
    releaseBufferSet();
    releaseCom();
    for (int d = kRender; d <= kCapture; ++d) {
        if (bufferEvent[d]) CloseHandle(bufferEvent[d]);
        if (audioClient[d]) audioClient[d]->Release();
        if (device[d]) device[d]->Release();
        if (endpointId[d]) CoTaskMemFree(endpointId[d]);
        bufferEvent[d] = nullptr;
        audioClient[d] = device[d] = nullptr;
        endpointId[d] = nullptr;
    }
    releaseExtraDevices();
    if (deviceEnumerator) deviceEnumerator->Release();
    deviceEnumerator = nullptr;
}

ASIOSrv::~ASIOSrv() {
    tearDown(); // done already unless the object is deleted without its last Release
    if (threadReadyEvent) CloseHandle(threadReadyEvent);
    if (threadHandle) CloseHandle(threadHandle);
    threadReadyEvent = threadHandle = nullptr;
    if (logFile) fclose(logFile);
    logFile = nullptr;
    DeleteCriticalSection(&controlLock);
    // ~UnknownBase undoes the object count.
}

IUnknown* ASIOSrv::create(IUnknown* outer, HRESULT*) {
    ASIOSrv* obj = new (std::nothrow) ASIOSrv(outer);
    return obj ? obj->innerUnknown() : nullptr;
}

HRESULT STDMETHODCALLTYPE ASIOSrv::QueryInterface(REFIID riid, void** ppv) {
    return outerUnknown->QueryInterface(riid, ppv);
}

ULONG STDMETHODCALLTYPE ASIOSrv::AddRef() { return outerUnknown->AddRef(); }

ULONG STDMETHODCALLTYPE ASIOSrv::Release() { return outerUnknown->Release(); }

HRESULT STDMETHODCALLTYPE ASIOSrv::innerQueryInterface(REFIID riid, void** ppv) {
    // ASIO's one COM quirk: hosts ask for the driver's CLSID as the interface identifier of
    // IASIO, which has no identifier of its own.
    if (IsEqualIID(riid, CLSID_ASIOSrv)) {
        if (!ppv) return E_POINTER;
        IASIO* asio = this;
        *ppv = asio;
        asio->AddRef();
        return S_OK;
    }
    return UnknownBase::innerQueryInterface(riid, ppv);
}
