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
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = this;
            return S_OK;
        }
        return inner->QueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++addRefs; }
    ULONG STDMETHODCALLTYPE Release() override { return ++releases; }
};

} // namespace

TEST_F(ComApartment, ClassObjectIsHandedOutOnlyForTheDriverClassAndFactoryInterfaces) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(DllGetClassObject(CLSID_ASIOSrv, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(DllGetClassObject(CLSID_ASIOSrv, IID_IDispatch, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    p = reinterpret_cast<void*>(1);
    EXPECT_EQ(DllGetClassObject(IID_IDispatch, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(p, nullptr);

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
    EXPECT_EQ(f->Release(), 0u);
}

TEST_F(ComApartment, DriverAnswersItsClassIdAsTheAsioInterface) {
    LONG before = activeObjectCount;
    IClassFactory* f = factory();
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
    IASIO* fromInner = nullptr;
    EXPECT_EQ(inner->QueryInterface(CLSID_ASIOSrv, reinterpret_cast<void**>(&fromInner)), S_OK);
    EXPECT_EQ(fromInner, asio);
    fromInner->Release();
    inner->Release();

    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(asio->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(asio->QueryInterface(CLSID_ASIOSrv, nullptr), E_POINTER);
    EXPECT_EQ(asio->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    // A factory still held does not keep the module loaded once the object is gone.
    EXPECT_EQ(asio->Release(), 0u);
    EXPECT_EQ(activeObjectCount, before);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    f->Release();
}

TEST_F(ComApartment, FailedCreationLeavesNothingBehind) {
    LONG before = activeObjectCount;
    IClassFactory* f = factory();
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(f->CreateInstance(nullptr, IID_IClassFactory, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(f->CreateInstance(nullptr, CLSID_ASIOSrv, nullptr), E_POINTER);
    OuterUnknown outer;
    EXPECT_EQ(f->CreateInstance(&outer, CLSID_ASIOSrv, &p), E_NOINTERFACE);
    EXPECT_EQ(activeObjectCount, before);
    f->Release();
}

TEST_F(ComApartment, AggregatedDriverForwardsToItsOuterUnknown) {
    LONG before = activeObjectCount;
    IClassFactory* f = factory();
    OuterUnknown outer;
    ASSERT_EQ(f->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)),
              S_OK);
    f->Release();

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
}

TEST_F(ComApartment, ServerLocksPinTheModuleOnlyWhilePositive) {
    IClassFactory* f = factory();
    LONG before = serverLockCount;
    ASSERT_EQ(DllCanUnloadNow(), S_OK);
    EXPECT_EQ(f->LockServer(TRUE), S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    f->LockServer(FALSE);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    // An unbalanced unlock goes negative; that does not keep the module, and a later lock
    // only brings it back towards zero.
    f->LockServer(FALSE);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    f->LockServer(TRUE);
    EXPECT_EQ(serverLockCount, before);
    f->Release();
}

TEST(UnknownBase, CountsDecideOnTheirOwnDecrement) {
    LONG before = activeObjectCount;
    IUnknown* inner = ASIOSrv::create(nullptr, nullptr);
    ASSERT_NE(inner, nullptr);
    UnknownBase* base = reinterpret_cast<UnknownBase*>(inner);
    EXPECT_EQ(base->outerUnknown, inner);
    EXPECT_EQ(base->refCount, 0);
    EXPECT_EQ(base->innerAddRef(), 1u);
    EXPECT_EQ(base->innerAddRef(), 2u);
    EXPECT_EQ(base->innerAddRef(), 3u);
    EXPECT_EQ(base->innerRelease(), 2u);
    EXPECT_EQ(base->innerRelease(), 1u);
    EXPECT_EQ(activeObjectCount, before + 1);
    EXPECT_EQ(base->innerRelease(), 0u);
    EXPECT_EQ(activeObjectCount, before);
}

TEST(DriverObject, StartsInTheCreatedState) {
    IUnknown* inner = ASIOSrv::create(nullptr, nullptr);
    ASIOSrv* d = static_cast<ASIOSrv*>(reinterpret_cast<UnknownBase*>(inner));
    inner->AddRef();
    EXPECT_EQ(d->deviceEnumerator, nullptr);
    EXPECT_EQ(d->endpointId[0], nullptr);
    EXPECT_EQ(d->channelCount[0], 2);
    EXPECT_EQ(d->channelCount[1], 2);
    EXPECT_EQ(d->sampleType[0], ASIOSTInt16LSB);
    EXPECT_EQ(d->sampleType[1], ASIOSTInt16LSB);
    EXPECT_EQ(d->sampleRate, 0.0);
    EXPECT_EQ(d->bufferFrames, 0);
    EXPECT_FALSE(d->running);
    EXPECT_FALSE(d->TimerDrivenMode);
    for (auto& dir : d->asioBuffers)
        for (void* b : dir) EXPECT_EQ(b, nullptr);
    EXPECT_EQ(d->callbacks.bufferSwitch, nullptr);
    EXPECT_EQ(d->callbacks.asioMessage, nullptr);
    inner->Release();
}
