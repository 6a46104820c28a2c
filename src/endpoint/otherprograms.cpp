// "What other programs play": a process loopback stream that leaves this process's tree out,
// so that the host's own output is not recorded back. Windows offers it from Windows 10 build
// 20348 on, only through ActivateAudioInterfaceAsync.
#include "endpoint/platform.h"

#include <audioclient.h>
#include <mmdeviceapi.h>

#include <new>

namespace {

// AUDIOCLIENT_ACTIVATION_PARAMS with its process loopback member, which mingw-w64's headers
// lack: three 32-bit fields.
struct ProcessLoopbackParams {
    DWORD activationType;  // AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK
    DWORD targetProcessId;
    DWORD loopbackMode;    // PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE
};
static_assert(sizeof(ProcessLoopbackParams) == 12, "the published layout");
constexpr DWORD kActivationProcessLoopback = 1;
constexpr DWORD kExcludeTargetProcessTree = 1;
const wchar_t kProcessLoopbackPath[] = L"VAD\\Process_Loopback";
constexpr DWORD kActivationWaitMs = 2000;
// How long the activation may still hold its references once it has called the handler.
constexpr DWORD kLetGoWaitMs = 200;

// {94ea2b94-e9cc-49e0-c0ff-ee64ca8f5b90}: Windows calls the handler on a thread of its own,
// and wants it agile.
const IID kIidAgileObject = {0x94ea2b94, 0xe9cc, 0x49e0, {0xc0, 0xff, 0xee, 0x64, 0xca, 0x8f, 0x5b, 0x90}};

// Sets an event when the activation is done, and another when the activation has let go of it
// (its last act, after the operation's references). Reference counted: the activation may
// finish, and let go of it, after the wait for it ran out.
class Completion final : public IActivateAudioInterfaceCompletionHandler {
  public:
    Completion()
        : done(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          letGo(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) &&
            !IsEqualIID(riid, __uuidof(IActivateAudioInterfaceCompletionHandler)) &&
            !IsEqualIID(riid, kIidAgileObject))
            return E_NOINTERFACE;
        *ppv = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 1 && WaitForSingleObject(done, 0) == WAIT_OBJECT_0) SetEvent(letGo);
        if (n == 0) delete this;
        return ULONG(n);
    }
    HRESULT STDMETHODCALLTYPE ActivateCompleted(IActivateAudioInterfaceAsyncOperation*) override {
        SetEvent(done);
        return S_OK;
    }
    HANDLE done, letGo;

  private:
    ~Completion() {
        if (done) CloseHandle(done);
        if (letGo) CloseHandle(letGo);
    }
    volatile LONG refs_ = 1;
};

using ActivateFunction = HRESULT(WINAPI*)(LPCWSTR, REFIID, PROPVARIANT*,
                                          IActivateAudioInterfaceCompletionHandler*,
                                          IActivateAudioInterfaceAsyncOperation**);

} // namespace

HRESULT activateOtherPrograms(IUnknown* deviceEnumerator, ComRef<IAudioClient>& client) {
    client.reset();
    // From the module that implements the enumerator (MMDevAPI.dll on Windows), never by
    // import: whoever serves the endpoints serves this too.
    ComRef<IMMDeviceEnumerator> enumerator;
    HMODULE module = nullptr;
    if (!deviceEnumerator || !queryEnumerator(deviceEnumerator, enumerator) ||
        !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(*reinterpret_cast<void**>(enumerator.get())),
                            &module))
        return E_NOTIMPL;
    auto activate = reinterpret_cast<ActivateFunction>(
        reinterpret_cast<void*>(GetProcAddress(module, "ActivateAudioInterfaceAsync")));
    if (!activate) return E_NOTIMPL;

    ProcessLoopbackParams params = {kActivationProcessLoopback, GetCurrentProcessId(),
                                    kExcludeTargetProcessTree};
    PROPVARIANT blob;
    PropVariantInit(&blob);
    blob.vt = VT_BLOB;
    blob.blob.cbSize = sizeof params;
    blob.blob.pBlobData = reinterpret_cast<BYTE*>(&params);
    Completion* completion = new (std::nothrow) Completion;
    if (!completion) return E_OUTOFMEMORY;
    if (!completion->done || !completion->letGo) {
        completion->Release();
        return E_OUTOFMEMORY;
    }
    ComRef<IActivateAudioInterfaceAsyncOperation> operation;
    HRESULT hr = activate(kProcessLoopbackPath, __uuidof(IAudioClient), &blob, completion,
                          operation.put());
    if (SUCCEEDED(hr) && WaitForSingleObject(completion->done, kActivationWaitMs) != WAIT_OBJECT_0)
        hr = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    if (SUCCEEDED(hr)) WaitForSingleObject(completion->letGo, kLetGoWaitMs);
    completion->Release();
    if (FAILED(hr)) return hr;
    HRESULT result = E_FAIL;
    ComRef<IUnknown> activated;
    hr = operation ? operation->GetActivateResult(&result, activated.put()) : E_POINTER;
    if (SUCCEEDED(hr)) hr = result;
    if (SUCCEEDED(hr) && activated)
        hr = activated->QueryInterface(__uuidof(IAudioClient), client.putVoid());
    return FAILED(hr) ? hr : client ? S_OK : E_NOINTERFACE;
}
