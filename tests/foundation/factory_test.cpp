// The built DLL as COM loads it, through its exports: its class object, the driver object's
// COM identity, aggregation, and when the module may be unloaded (checked after every test).
#include "driver/ASIOSrv.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

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

class Dll : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        HMODULE dll = LoadLibraryW(L"Z:" VLASIO_DLL_PATH);
        getClassObject = reinterpret_cast<decltype(getClassObject)>(
            reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
        canUnloadNow = reinterpret_cast<decltype(canUnloadNow)>(
            reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
    }
    void SetUp() override {
        ASSERT_TRUE(getClassObject && canUnloadNow) << "the built DLL or its exports are missing";
        ASSERT_EQ(getClassObject(CLSID_ASIOSrv, IID_IClassFactory, reinterpret_cast<void**>(&f)),
                  S_OK);
    }
    // The factory goes last: held alone, it does not keep the module loaded.
    void TearDown() override {
        EXPECT_EQ(canUnloadNow(), S_OK);
        EXPECT_EQ(f ? f->Release() : 0u, 0u);
    }

    static inline HRESULT(STDAPICALLTYPE* getClassObject)(REFCLSID, REFIID, void**) = nullptr;
    static inline HRESULT(STDAPICALLTYPE* canUnloadNow)() = nullptr;
    IClassFactory* f = nullptr;
};

} // namespace

TEST_F(Dll, ClassObjectAnswersOnlyItsInterfaces) {
    EXPECT_EQ(getClassObject(CLSID_ASIOSrv, IID_IClassFactory, nullptr), E_POINTER);
    // {class, interface} -> refusal, with the pointer cleared.
    for (auto [clsid, iid, hr] :
         {std::make_tuple(CLSID_ASIOSrv, IID_IDispatch, E_NOINTERFACE),
          std::make_tuple(IID_IDispatch, IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE)}) {
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(getClassObject(clsid, iid, &p), hr);
        EXPECT_EQ(p, nullptr);
    }
    IUnknown* u = nullptr;
    ASSERT_EQ(getClassObject(CLSID_ASIOSrv, IID_IUnknown, reinterpret_cast<void**>(&u)), S_OK);
    IClassFactory* viaQi = nullptr;
    EXPECT_EQ(u->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&viaQi)), S_OK);
    EXPECT_EQ(viaQi->Release(), 1u);
    EXPECT_EQ(u->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&viaQi)), E_NOINTERFACE);
    EXPECT_EQ(viaQi, nullptr);
    EXPECT_EQ(u->Release(), 0u);
}

// The object keeps the module loaded while it lives; its IASIO is its CLSID, its IUnknown a
// separate pointer that leads back to the same IASIO.
TEST_F(Dll, DriverKeepsTheModuleWhileItLives) {
    IASIO* asio = nullptr;
    ASSERT_EQ(f->CreateInstance(nullptr, CLSID_ASIOSrv, reinterpret_cast<void**>(&asio)), S_OK);
    EXPECT_EQ(canUnloadNow(), S_FALSE);
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
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(asio->QueryInterface(IID_IClassFactory, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    for (const GUID* iid : {&CLSID_ASIOSrv, &IID_IUnknown})
        EXPECT_EQ(asio->QueryInterface(*iid, nullptr), E_POINTER);
    EXPECT_EQ(asio->Release(), 0u);
}

TEST_F(Dll, FailedCreationLeavesNothingBehindAndAggregationForwards) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(f->CreateInstance(nullptr, IID_IClassFactory, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(f->CreateInstance(nullptr, CLSID_ASIOSrv, nullptr), E_POINTER);
    OuterUnknown refused, outer;
    EXPECT_EQ(f->CreateInstance(&refused, CLSID_ASIOSrv, &p), E_NOINTERFACE);

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
}

// Server locks pin the module only while positive; an unbalanced unlock does not keep it.
TEST_F(Dll, ServerLocks) {
    EXPECT_EQ(f->LockServer(TRUE), S_OK);
    EXPECT_EQ(canUnloadNow(), S_FALSE);
    f->LockServer(FALSE);
    EXPECT_EQ(canUnloadNow(), S_OK);
    f->LockServer(FALSE);
    EXPECT_EQ(canUnloadNow(), S_OK);
    f->LockServer(TRUE);
}
