// libtivlink.so as clients meet it: registered into a registry of the test's own, created by
// ProgID and by class id through the runtime, several objects at once, unregistered again, and
// a transaction on the module's own simulated adapter.

#include <dlfcn.h>

#include <cstring>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "DiagnosticsSupport.h"
#include "ModulePaths.h"
#include "TTivDriverSupport.h"
#include "com/CoCreate.h"
#include "com/ServerModule.h"
#include "com/TypeLib.h"
#include "tivlink/automation/TivlinkTypeLib.h"

namespace {

using namespace comdrv;
using com::ComPtr;
using com::Variant;
using diagtest::RunProgram;
using diagtest::ScratchDir;
using tivlink::ITivDriver;

const std::string kClsidKey = "HKEY_CLASSES_ROOT\\CLSID\\{FEC124C9-0C9D-4A6D-AB91-02A18CCA2A21}";
const std::string kLibKey = "HKEY_CLASSES_ROOT\\TypeLib\\{1F34840A-D156-48B0-922C-8A30A1E411E1}";
const std::string kProgIdKey = "HKEY_CLASSES_ROOT\\Tivlink.TivDriver";
const std::string kInterfaceKey =
    "HKEY_CLASSES_ROOT\\Interface\\{4FE53426-F8C8-4FFF-8302-A9EDB94EB0C4}";

class TTivDriverModule : public ::testing::Test {
protected:
    TTivDriverModule() : registryFile(dir.Path() / "registry.reg") {
        com::Registry::setPath(registryFile);
    }
    ~TTivDriverModule() override {
        com::Registry::setPath({});
        com::clearErrorInfo();
    }

    // Runs the registration tool on the built module; its exit code.
    int RegSvr(bool unregister = false) {
        std::vector<std::string> args = {RegSvrPath()};
        if (unregister) args.push_back("-u");
        args.insert(args.end(), {"--registry", registryFile.string(), ModulePath()});
        const auto run = RunProgram(args, dir.Path());
        EXPECT_TRUE(run.err.empty()) << run.err;
        return run.code;
    }

    com::RegistryData Registry() {
        com::RegistryData data;
        EXPECT_EQ(com::Registry(registryFile).load(data), com::S_OK);
        return data;
    }

    ComPtr<ITivDriver> CreateByProgId() {
        com::Guid clsid;
        EXPECT_EQ(com::CLSIDFromProgID("Tivlink.TivDriver", &clsid), com::S_OK);
        com::HRESULT hr = com::S_OK;
        auto driver = com::createInstance<ITivDriver>(clsid, &hr);
        EXPECT_EQ(hr, com::S_OK);
        return driver;
    }

    // The module's own DllCanUnloadNow (it is loaded once the runtime has created an object).
    com::HRESULT CanUnloadNow() {
        void* handle = ::dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (!handle) {
            ADD_FAILURE() << "the module is not loaded";
            return com::E_FAIL;
        }
        void* symbol = ::dlsym(handle, "DllCanUnloadNow");
        com::server::DllCanUnloadNowFn fn = nullptr;
        std::memcpy(&fn, &symbol, sizeof fn);
        const com::HRESULT hr = fn ? fn() : com::E_FAIL;
        ::dlclose(handle);
        return hr;
    }

    // The module's objects run on its built-in simulated adapter, whatever the caller's
    // environment says (the module reads it when it makes its first object).
    diagtest::ScopedEnv usb{"TIV_USB", std::nullopt};
    diagtest::ScopedEnv scenario{"TIV_SCENARIO", std::nullopt};
    ScratchDir dir;
    std::filesystem::path registryFile;
};

TEST_F(TTivDriverModule, RegistrationWritesTheKeysAndUnregistrationRemovesThem) {
    ASSERT_EQ(RegSvr(), 0);
    auto reg = Registry();
    EXPECT_EQ(reg.string(kClsidKey), "TivDriver Objekt");
    const auto server = reg.string(kClsidKey + "\\InprocServer32");
    ASSERT_TRUE(server.has_value());
    EXPECT_TRUE(std::filesystem::equivalent(*server, ModulePath()));
    EXPECT_EQ(reg.string(kClsidKey + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(reg.string(kClsidKey + "\\ProgID"), "Tivlink.TivDriver");
    EXPECT_EQ(reg.string(kClsidKey + "\\TypeLib"), "{1F34840A-D156-48B0-922C-8A30A1E411E1}");
    EXPECT_EQ(reg.string(kClsidKey + "\\Version"), "1.0");
    EXPECT_EQ(reg.string(kProgIdKey + "\\CLSID"), "{FEC124C9-0C9D-4A6D-AB91-02A18CCA2A21}");
    EXPECT_EQ(reg.string(kLibKey + "\\1.0"), "Tivlink Bibliothek");
    EXPECT_TRUE(reg.keyExists(kLibKey + "\\1.0\\409"));
    EXPECT_EQ(reg.string(kInterfaceKey), "ITivDriver");
    EXPECT_EQ(reg.string(kInterfaceKey + "\\TypeLib"), "{1F34840A-D156-48B0-922C-8A30A1E411E1}");

    // The registered type library is the module's own description.
    const com::TypeLibDesc* lib = nullptr;
    ASSERT_EQ(com::LoadRegTypeLib(tivlink::LIBID_Tivlink, 1, 0, 0x409, &lib), com::S_OK);
    ASSERT_NE(lib, nullptr);
    EXPECT_EQ(com::dumpTypeLib(*lib), com::dumpTypeLib(tivlink::TivlinkTypeLib()));

    // Registering twice changes nothing.
    const auto before = reg.format();
    ASSERT_EQ(RegSvr(), 0);
    EXPECT_EQ(Registry().format(), before);

    ASSERT_EQ(RegSvr(true), 0);
    reg = Registry();
    EXPECT_FALSE(reg.keyExists(kClsidKey));
    EXPECT_FALSE(reg.keyExists(kProgIdKey));
    EXPECT_FALSE(reg.keyExists(kLibKey));
    EXPECT_FALSE(reg.keyExists(kInterfaceKey));
    com::Guid clsid;
    EXPECT_EQ(com::CLSIDFromProgID("Tivlink.TivDriver", &clsid), com::CO_E_CLASSSTRING);
    ComPtr<ITivDriver> none;
    EXPECT_EQ(
        com::CoCreateInstance(tivlink::CLSID_TivDriver, tivlink::IID_ITivDriver, none.putVoid()),
        com::REGDB_E_CLASSNOTREG);
    EXPECT_EQ(com::LoadRegTypeLib(tivlink::LIBID_Tivlink, 1, 0, 0x409, &lib),
              com::TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(RegSvr(true), 0);  // nothing left to remove is no failure
}

TEST_F(TTivDriverModule, CreatedByProgIdOrClassIdAnswersItsInterfaces) {
    ASSERT_EQ(RegSvr(), 0);
    ComPtr<com::IUnknown> byClsid;
    ASSERT_EQ(com::CoCreateInstance(tivlink::CLSID_TivDriver, com::IID_IUnknown, byClsid.putVoid()),
              com::S_OK);
    for (const auto& unknown : {byClsid, ComPtr<com::IUnknown>(CreateByProgId())}) {
        ASSERT_TRUE(unknown);
        auto driver = unknown.As<ITivDriver>();
        auto dispatch = unknown.As<com::IDispatch>();
        auto container = unknown.As<com::IConnectionPointContainer>();
        ASSERT_TRUE(driver && dispatch && container);
        EXPECT_TRUE(unknown.As<com::ISupportErrorInfo>());
        EXPECT_FALSE(unknown.As<com::IClassFactory>());
        // One identity whichever interface is asked.
        EXPECT_EQ(driver.As<com::IUnknown>().get(), unknown.As<com::IUnknown>().get());
        EXPECT_EQ(container.As<com::IUnknown>().get(), unknown.As<com::IUnknown>().get());

        std::int32_t version = 0;
        EXPECT_EQ(driver->get_Version(&version), com::S_OK);
        EXPECT_EQ(version, 545);
        Variant late;
        EXPECT_EQ(
            com::invokeByName(dispatch.get(), "Version", com::DISPATCH_PROPERTYGET, {}, &late),
            com::S_OK);
        EXPECT_EQ(late, Variant::fromI4(545));

        com::ComPtr<com::IConnectionPoint> point;
        ASSERT_EQ(container->FindConnectionPoint(tivlink::DIID_ITivDriverEvents, point.put()),
                  com::S_OK);
        com::Guid iid;
        EXPECT_EQ(point->GetConnectionInterface(&iid), com::S_OK);
        EXPECT_EQ(iid, tivlink::DIID_ITivDriverEvents);
        EXPECT_EQ(container->FindConnectionPoint(tivlink::IID_ITivDriver, point.put()),
                  com::CONNECT_E_NOCONNECTION);
        std::vector<com::ComPtr<com::IConnectionPoint>> points;
        EXPECT_EQ(container->EnumConnectionPoints(&points), com::S_OK);
        EXPECT_EQ(points.size(), 1u);

        // Failures inside the module reach this thread's error info.
        std::int32_t r = 0;
        EXPECT_EQ(driver->ReadData(0, nullptr, nullptr, &r), com::E_UNEXPECTED);
        const auto info = com::errorInfoFor(driver.get(), tivlink::IID_ITivDriver);
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(info->source, "Tivlink.TivDriver");
    }
}

TEST_F(TTivDriverModule, SeveralObjectsLiveSideBySideAndTheModuleKnowsWhenItIsIdle) {
    ASSERT_EQ(RegSvr(), 0);
    std::vector<ComPtr<ITivDriver>> drivers;
    for (int i = 0; i < 3; ++i) drivers.push_back(CreateByProgId());
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(drivers[static_cast<std::size_t>(i)]);
        EXPECT_EQ(drivers[static_cast<std::size_t>(i)]->put_TraDelay(10 * (i + 1)), com::S_OK);
    }
    EXPECT_NE(drivers[0].get(), drivers[1].get());
    for (int i = 0; i < 3; ++i) {
        std::int32_t delay = 0;
        EXPECT_EQ(drivers[static_cast<std::size_t>(i)]->get_TraDelay(&delay), com::S_OK);
        EXPECT_EQ(delay, 10 * (i + 1));
    }
    EXPECT_EQ(CanUnloadNow(), com::S_FALSE);
    drivers.pop_back();
    EXPECT_EQ(CanUnloadNow(), com::S_FALSE);
    drivers.clear();
    EXPECT_EQ(CanUnloadNow(), com::S_OK);

    // A locked factory keeps the module wanted without any object.
    ComPtr<com::IClassFactory> factory;
    ASSERT_EQ(
        com::CoGetClassObject(tivlink::CLSID_TivDriver, com::IID_IClassFactory, factory.putVoid()),
        com::S_OK);
    ASSERT_EQ(factory->LockServer(true), com::S_OK);
    EXPECT_EQ(CanUnloadNow(), com::S_FALSE);
    ASSERT_EQ(factory->LockServer(false), com::S_OK);
    EXPECT_EQ(CanUnloadNow(), com::S_OK);
    ComPtr<ITivDriver> aggregated;
    EXPECT_EQ(factory->CreateInstance(factory.get(), tivlink::IID_ITivDriver, aggregated.putVoid()),
              com::CLASS_E_NOAGGREGATION);
}

TEST_F(TTivDriverModule, TransactionOnTheModulesSimulatedAdapter) {
    // The module shares the process's clock and message queues with its host.
    os::ScopedClock fast(std::make_shared<os::ScaledClock>(10.0));
    ASSERT_EQ(RegSvr(), 0);
    auto driver = CreateByProgId();
    ASSERT_TRUE(driver);
    Spy spy;
    Advise(driver, spy);

    // The built-in adapter starts without firmware (unless an earlier test loaded it).
    Variant version;
    std::int32_t r = -1;
    ASSERT_EQ(driver->SelectAdapter(1, 0, &version, &r), com::S_OK);
    if (r == 128) {
        ASSERT_EQ(driver->LoadAdapter(&r), com::S_OK);
        ASSERT_EQ(r, 0);
        ASSERT_EQ(driver->SelectAdapter(1, 0, &version, &r), com::S_OK);
    }
    ASSERT_EQ(r, 0);
    ASSERT_EQ(driver->put_TraDelay(0), com::S_OK);
    ASSERT_EQ(driver->FilterOn(&r), com::S_OK);
    ASSERT_EQ(driver->StartRec(&r), com::S_OK);
    ASSERT_EQ(r, 0);

    // The driver lets its messages run while it waits, so the events arrive meanwhile.
    std::int32_t telType = 5, dataSize = 4, subNo = 29, objNo = 1217, control = 0xC0;
    Variant data;
    ASSERT_EQ(driver->AcyclicTransmission(&telType, &dataSize, &subNo, &objNo, &control, &data, &r),
              com::S_OK);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(control, 0x41);
    const Bytes payload = BytesOf(data);
    ASSERT_GE(payload.size(), 4u);
    EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 4), (Bytes{0x0A, 0x0B, 0x0C, 0x0D}));
    EXPECT_EQ(spy.Count(tivlink::TivDriverEvent::OnResponse), 1);
    for (const auto& t : spy.Threads()) EXPECT_EQ(t, std::this_thread::get_id());

    // Sent and fetched one by one.
    ASSERT_EQ(driver->SendAcyclic(5, 4, 29, 1217, 0xC0, Variant(), &r), com::S_OK);
    ASSERT_EQ(r, 0);
    // The host's own message loop delivers the module's events.
    ASSERT_TRUE(enginetest::PumpUntil(
        [&] { return spy.Count(tivlink::TivDriverEvent::OnResponse) == 2; }, 5s));
    ASSERT_EQ(driver->ReceiveAcyclic(&telType, &dataSize, &subNo, &objNo, &control, &data, &r),
              com::S_OK);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(objNo, 1217);
    EXPECT_EQ(BytesOf(data).size(), 6u);
    ASSERT_EQ(driver->DrvFree(&r), com::S_OK);
    EXPECT_EQ(spy.Count(tivlink::TivDriverEvent::OnFree), 1);
}

}  // namespace
