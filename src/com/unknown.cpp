#include "com/unknown.h"

#include <new>

volatile LONG activeObjectCount = 0;
volatile LONG serverLockCount = 0;
HINSTANCE moduleHandle = nullptr;
wchar_t* registeredDriverName = nullptr;
const wchar_t* panelDriverName = nullptr;

UnknownBase::UnknownBase(IUnknown* outer)
    : outerUnknown(outer ? outer : innerUnknown()), refCount(0) {
    InterlockedIncrement(&activeObjectCount);
}

UnknownBase::~UnknownBase() { InterlockedDecrement(&activeObjectCount); }

HRESULT STDMETHODCALLTYPE UnknownBase::innerQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown)) return E_NOINTERFACE;
    *ppv = innerUnknown();
    innerAddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE UnknownBase::innerAddRef() {
    LONG n = InterlockedIncrement(&refCount);
    return n > 1 ? static_cast<ULONG>(n) : 1;
}

ULONG STDMETHODCALLTYPE UnknownBase::innerRelease() {
    LONG n = InterlockedDecrement(&refCount);
    if (n == 0) {
        // Guard against the destructor's own AddRef/Release pairs reaching zero again.
        refCount = 1;
        delete this;
        return 0;
    }
    return n > 1 ? static_cast<ULONG>(n) : 1;
}

HRESULT STDMETHODCALLTYPE ClassFactory::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory))
        return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE ClassFactory::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&refCount));
}

ULONG STDMETHODCALLTYPE ClassFactory::Release() {
    LONG n = InterlockedDecrement(&refCount);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
}

HRESULT STDMETHODCALLTYPE ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    // An aggregated object can only be handed out as its inner unknown.
    if (outer && !IsEqualIID(riid, IID_IUnknown)) return E_NOINTERFACE;
    HRESULT hr = S_OK;
    IUnknown* obj = template_->create ? template_->create(outer, &hr) : nullptr;
    if (!obj) return E_OUTOFMEMORY;
    UnknownBase* base = reinterpret_cast<UnknownBase*>(obj);
    if (FAILED(hr)) {
        delete base;
        return hr;
    }
    base->innerAddRef();
    hr = base->innerQueryInterface(riid, ppv);
    base->innerRelease(); // destroys the object when the QueryInterface failed
    return hr;
}

HRESULT STDMETHODCALLTYPE ClassFactory::LockServer(BOOL lock) {
    if (lock)
        InterlockedIncrement(&serverLockCount);
    else
        InterlockedDecrement(&serverLockCount);
    return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory))
        return E_NOINTERFACE;
    for (int i = 0; i < factoryTemplateCount && !*ppv; ++i) {
        if (!IsEqualCLSID(rclsid, *factoryTemplates[i].clsid)) continue;
        ClassFactory* factory = new (std::nothrow) ClassFactory(&factoryTemplates[i]);
        if (!factory) return E_OUTOFMEMORY;
        factory->AddRef();
        *ppv = static_cast<IClassFactory*>(factory);
    }
    return *ppv ? S_OK : CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return serverLockCount > 0 || activeObjectCount != 0 ? S_FALSE : S_OK;
}
