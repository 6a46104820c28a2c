// The class factory and the driver object's COM identity.
#include "com/unknown.h"
#include "driver/ASIOSrv.h"

#include <gtest/gtest.h>

namespace {

struct ComApartment : ::testing::Test {
    void SetUp() override { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    void TearDown() override { CoUninitialize(); }
    IClassFactory* factory() {
        IClassFactory* f = nullptr;
        EXPECT_EQ(DllGetClassObject(CLSID_ASIOSrv, IID_IClassFactory, reinterpret_cast<void**>(&f)),
                  S_OK);
        return f;
    }
};

// An outer object that counts what reaches it, to see forwarding from an aggregated driver.
struct OuterUnknown : IUnknown {
    IUnknown* inner = nullptr;
    int queries = 0, addRefs = 0, releases = 0;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        ++queries;
        if (!IsEqualIID(riid, IID_IUnknown)) return inner->QueryInterface(riid, ppv);
        *ppv = this;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++addRefs; }
    ULONG STDMETHODCALLTYPE Release() override { return ++releases; }
};

struct Refusal {
    const GUID* clsid;
    const GUID* iid;
    HRESULT hr;
};

} // namespace

TEST_F(ComApartment, ClassObjectAndDriverAnswerOnlyTheirInterfaces) {
    EXPECT_EQ(DllGetClassObject(CLSID_ASIOSrv, IID_IClassFactory, nullptr), E_POINTER);
    const Refusal classObject[] = {{&CLSID_ASIOSrv, &IID_IDispatch, E_NOINTERFACE},
                                   {&IID_IDispatch, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE}};
    for (const Refusal& r : classObject) {
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(DllGetClassObject(*r.clsid, *r.iid, &p), r.hr);
        EXPECT_EQ(p, nullptr);
    }
    IClassFactory* f = factory();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->AddRef(), 2u); // handed out with a count of 1
    EXPECT_EQ(f->Release(), 1u);
    IUnknown* u = nullptr;
    ASSERT_EQ(DllGetClassObject(CLSID_ASIOSrv, IID_IUnknown, reinterpret_cast<void**>(&u)), S_OK);
    IClassFactory* viaQi = nullptr;
    EXPECT_EQ(u->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&viaQi)), S_OK);
    EXPECT_EQ(viaQi->Release(), 1u);
    EXPECT_EQ(u->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&viaQi)), E_NOINTERFACE);
    EXPECT_EQ(viaQi, nullptr);
    EXPECT_EQ(u->Release(), 0u);

    LONG before = activeObjectCount;
    IASIO* asio = nullptr;
    ASSERT_EQ(f->CreateInstance(nullptr, CLSID_ASIOSrv, reinterpret_cast<void**>(&asio)), S_OK);
    EXPECT_EQ(activeObjectCount, before + 1);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    IASIO* again = nullptr;
    EXPECT_EQ(asio->QueryInterface(CLSID_ASIOSrv, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, asio);
    EXPECT_EQ(asio->Release(), 1u); // the QueryInterface added exactly one reference
    IUnknown* inner = nullptr;
    EXPECT_EQ(asio->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
    EXPECT_NE(static_cast<void*>(inner), static_cast<void*>(asio));
    EXPECT_EQ(inner->QueryInterface(CLSID_ASIOSrv, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, asio);
    again->Release();
    inner->Release();
    const Refusal onDriver[] = {{nullptr, &IID_IClassFactory, E_NOINTERFACE},
                                {nullptr, &CLSID_ASIOSrv, E_POINTER},
                                {nullptr, &IID_IUnknown, E_POINTER}};
    for (const Refusal& r : onDriver) {
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(asio->QueryInterface(*r.iid, r.hr == E_POINTER ? nullptr : &p), r.hr);
        if (r.hr != E_POINTER) {
            EXPECT_EQ(p, nullptr);
        }
    }
    // A factory still held does not keep the module loaded once the object is gone.
    EXPECT_EQ(asio->Release(), 0u);
    EXPECT_EQ(activeObjectCount, before);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    EXPECT_EQ(f->Release(), 0u);
}

TEST_F(ComApartment, FailedCreationLeavesNothingBehindAndAggregationForwards) {
    LONG before = activeObjectCount;
    IClassFactory* f = factory();
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(f->CreateInstance(nullptr, IID_IClassFactory, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(f->CreateInstance(nullptr, CLSID_ASIOSrv, nullptr), E_POINTER);
    OuterUnknown refused;
    EXPECT_EQ(f->CreateInstance(&refused, CLSID_ASIOSrv, &p), E_NOINTERFACE);
    EXPECT_EQ(activeObjectCount, before);

    OuterUnknown outer;
    ASSERT_EQ(f->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)),
              S_OK);
    IASIO* asio = nullptr;
    ASSERT_EQ(outer.inner->QueryInterface(CLSID_ASIOSrv, reinterpret_cast<void**>(&asio)), S_OK);
    EXPECT_EQ(outer.addRefs, 1); // the interface's AddRef went to the outer object
    asio->AddRef();
    asio->Release();
    IUnknown* viaAsio = nullptr;
    asio->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaAsio));
    EXPECT_EQ(viaAsio, &outer);
    EXPECT_EQ(outer.addRefs, 2);
    EXPECT_EQ(outer.releases, 1);
    EXPECT_EQ(outer.queries, 1);
    EXPECT_EQ(outer.inner->Release(), 0u);
    EXPECT_EQ(activeObjectCount, before);

    // Server locks pin the module only while positive; an unbalanced unlock does not keep it.
    LONG locks = serverLockCount;
    ASSERT_EQ(DllCanUnloadNow(), S_OK);
    EXPECT_EQ(f->LockServer(TRUE), S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    f->LockServer(FALSE);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    f->LockServer(FALSE);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    f->LockServer(TRUE);
    EXPECT_EQ(serverLockCount, locks);
    f->Release();
}
