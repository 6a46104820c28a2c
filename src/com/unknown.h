// The COM object base of this module and the module-wide state of the server.
#pragma once

#include <windows.h>
#include <unknwn.h>

// Live UnknownBase objects; DllCanUnloadNow reports S_OK only at zero with no server lock.
extern volatile LONG activeObjectCount;
// LockServer(TRUE) minus LockServer(FALSE); may go negative, which does not pin the module.
extern volatile LONG serverLockCount;
// The module, stored by DllMain at process attach; null when the code is linked into a
// program instead of loaded as the DLL.
extern HINSTANCE moduleHandle;
// Heap copy of the name the class is registered under, from process attach to detach.
extern wchar_t* registeredDriverName;
// registeredDriverName while the control panel's dialog is up, null at all other times: the
// dialog procedure has no other way to reach it, and touches the registry only when set.
extern const wchar_t* panelDriverName;

// The non-delegating ("inner") unknown of an object, with aggregation support.
//
// Its first three virtual slots line up with IUnknown's QueryInterface, AddRef and Release,
// so a pointer to this part of an object serves as the object's inner IUnknown: that is what
// an aggregating outer object, or a non-aggregated object's own interfaces, call through.
class UnknownBase {
  public:
    explicit UnknownBase(IUnknown* outer);
    UnknownBase(const UnknownBase&) = delete;
    UnknownBase& operator=(const UnknownBase&) = delete;

    virtual HRESULT STDMETHODCALLTYPE innerQueryInterface(REFIID riid, void** ppv);
    virtual ULONG STDMETHODCALLTYPE innerAddRef();
    virtual ULONG STDMETHODCALLTYPE innerRelease();
    virtual ~UnknownBase();

    IUnknown* innerUnknown() { return reinterpret_cast<IUnknown*>(this); }

    IUnknown* outerUnknown; // the controlling unknown; not reference-counted
    volatile LONG refCount;
};

// One creatable class of the server.
struct FactoryTemplate {
    const wchar_t* name;
    const CLSID* clsid;
    IUnknown* (*create)(IUnknown* outer, HRESULT* hr);
    void (*attachDetach)(bool attach, const CLSID* clsid, const wchar_t* registeredName);
};

extern const FactoryTemplate factoryTemplates[];
extern const int factoryTemplateCount;

class ClassFactory final : public IClassFactory {
  public:
    explicit ClassFactory(const FactoryTemplate* t) : template_(t), refCount(0) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

  private:
    const FactoryTemplate* template_;
    volatile LONG refCount;
};

// The driver's attach/detach routine of its class-table entry: keeps a copy of the
// registered name at process attach, frees it at detach.
void driverAttachDetach(bool attach, const CLSID* clsid, const wchar_t* registeredName);

// At process attach (true) and detach (false): hands each class-table entry the name its
// class is registered under, read from HKEY_CLASSES_ROOT.
void processAttachDetach(bool attach);

extern "C" {
HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
HRESULT STDAPICALLTYPE DllCanUnloadNow();
HRESULT STDAPICALLTYPE DllRegisterServer();
HRESULT STDAPICALLTYPE DllUnregisterServer();
}
