#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "ComTestSupport.h"
#include "TestCalc.h"
#include "com/ClassFactory.h"
#include "com/CoCreate.h"
#include "com/EventSink.h"
#include "com/ServerModule.h"
#include "com/TypeLib.h"

namespace {

using namespace com;
using comtest::CLSID_TestCalc;
using comtest::ITestCalc;

const Guid kUnknownClass = makeGuid("{0BADC1A5-0000-4000-8000-000000000001}");
const Guid kLocalClass = makeGuid("{0BADC1A5-0000-4000-8000-000000000002}");

// The module as registered: the same class list the module itself has.
const ClassEntry kModuleClasses[] = {
    {CLSID_TestCalc, comtest::kProgId, "Test calculator object", "Apartment", nullptr,
     &comtest::testCalcLibrary(), "1.0"},
    {comtest::CLSID_TestRefusing, comtest::kRefusingProgId, "Refusing test object", "Apartment",
     nullptr, nullptr, "1.0"},
};

template <class Fn>
Fn moduleSymbol(const char* name) {
    void* h = ::dlopen(TIV_COM_TEST_SERVER, RTLD_NOW | RTLD_NOLOAD);
    if (!h) return nullptr;
    void* p = ::dlsym(h, name);
    ::dlclose(h);  // only drops the reference NOLOAD took
    Fn fn = nullptr;
    std::memcpy(&fn, &p, sizeof fn);
    return fn;
}

class ComCreate : public ::testing::Test {
protected:
    void SetUp() override {
        clearErrorInfo();
        ASSERT_EQ(server::registerServer(kModuleClasses, TIV_COM_TEST_SERVER), S_OK);
    }
    void registerClassAt(const Guid& clsid, const std::string& module) {
        ASSERT_EQ(Registry().setString("HKCR\\CLSID\\" + clsid.toString() + "\\InprocServer32", "",
                                       module),
                  S_OK);
    }
    std::string lastError() {
        auto info = takeErrorInfo();
        return info ? info->description : std::string("(no error info)");
    }

    comtest::ScopedRegistry registry;
};

TEST_F(ComCreate, ByClsidAndByProgIdThroughTheRegisteredModule) {
    const auto localBefore = server::objectCount();
    ComPtr<ITestCalc> calc;
    ASSERT_EQ(CoCreateInstance(CLSID_TestCalc, ITestCalc::iid, calc.putVoid()), S_OK)
        << lastError();
    std::int32_t sum = 0;
    EXPECT_EQ(calc->Add(2, 3, &sum), S_OK);
    EXPECT_EQ(sum, 5);
    // The object comes from the module, not from this program's copy of the class.
    const auto moduleObjects = moduleSymbol<std::uint32_t (*)()>("TestServerObjectCount");
    ASSERT_TRUE(moduleObjects);
    EXPECT_EQ(moduleObjects(), 1u);
    EXPECT_EQ(server::objectCount(), localBefore);

    Guid clsid;
    ASSERT_EQ(CLSIDFromProgID("TivTest.Calc", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_TestCalc);
    ASSERT_EQ(CLSIDFromString("tivtest.calc", &clsid), S_OK) << "ProgIDs ignore case";
    EXPECT_EQ(clsid, CLSID_TestCalc);
    ASSERT_EQ(CLSIDFromString(CLSID_TestCalc.toString(), &clsid), S_OK);
    std::string progId;
    ASSERT_EQ(ProgIDFromCLSID(CLSID_TestCalc, &progId), S_OK);
    EXPECT_EQ(progId, "TivTest.Calc");

    HRESULT hr = E_FAIL;
    auto second = createInstance<ITestCalc>(clsid, &hr);
    ASSERT_EQ(hr, S_OK);
    EXPECT_NE(second.get(), calc.get()) << "every creation makes a new object";
    EXPECT_TRUE(second.As<IDispatch>());
    EXPECT_TRUE(second.As<IConnectionPointContainer>());
    EXPECT_FALSE(second.As<IClassFactory>());
}

TEST_F(ComCreate, ErrorInfoAndEventsCrossTheModuleBoundary) {
    auto calc = createInstance<ITestCalc>(CLSID_TestCalc);
    ASSERT_TRUE(calc) << lastError();
    std::int32_t r = 0;
    EXPECT_EQ(calc->Fail("set inside the module", &r), E_FAIL);
    auto info = errorInfoFor(calc.get(), ITestCalc::iid);
    ASSERT_TRUE(info) << "the module's error info is not this thread's";
    EXPECT_EQ(info->description, "set inside the module");
    EXPECT_EQ(info->source, "TivTest.Calc");

    std::vector<DISPID> seen;
    auto sink = EventSink::create(comtest::DIID_ITestCalcEvents,
                                  [&](DISPID id, const DispParams&, Variant*) {
                                      seen.push_back(id);
                                      return S_OK;
                                  });
    std::uint32_t cookie = 0;
    ASSERT_EQ(advise(calc.get(), comtest::DIID_ITestCalcEvents, sink.get(), &cookie), S_OK);
    EXPECT_EQ(calc->Fire(2, &r), S_OK);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(seen, std::vector<DISPID>{2});
    EXPECT_EQ(unadvise(calc.get(), comtest::DIID_ITestCalcEvents, cookie), S_OK);

    // Late-bound calls reach the same members.
    Variant result;
    ASSERT_EQ(invokeByName(calc.get(), "add", DISPATCH_METHOD, {Variant(4), Variant(5)}, &result),
              S_OK);
    EXPECT_EQ(result, Variant::fromI4(9));
}

TEST_F(ComCreate, UnknownClassesAndBadProgIds) {
    ComPtr<IUnknown> obj;
    EXPECT_EQ(CoCreateInstance(kUnknownClass, IUnknown::iid, obj.putVoid()), REGDB_E_CLASSNOTREG);
    EXPECT_NE(lastError().find(kUnknownClass.toString()), std::string::npos);
    // A CLSID key without a server.
    ASSERT_EQ(Registry().setString("HKCR\\CLSID\\" + kUnknownClass.toString(), "", "no server"),
              S_OK);
    EXPECT_EQ(CoCreateInstance(kUnknownClass, IUnknown::iid, obj.putVoid()), REGDB_E_CLASSNOTREG);
    // A class the module does not have.
    registerClassAt(kUnknownClass, TIV_COM_TEST_SERVER);
    EXPECT_EQ(CoCreateInstance(kUnknownClass, IUnknown::iid, obj.putVoid()),
              CLASS_E_CLASSNOTAVAILABLE);
    // An interface the object does not have.
    EXPECT_EQ(CoCreateInstance(CLSID_TestCalc, IClassFactory::iid, obj.putVoid()), E_NOINTERFACE);
    EXPECT_FALSE(obj);
    EXPECT_EQ(CoCreateInstance(CLSID_TestCalc, IUnknown::iid, nullptr), E_POINTER);

    Guid clsid = CLSID_TestCalc;
    for (const char* bad : {"", "1Calc", "Tiv Test", "Tiv/Calc", "TivTest.Calc;rm",
                            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmn", "No.Such.Class"}) {
        EXPECT_EQ(CLSIDFromProgID(bad, &clsid), CO_E_CLASSSTRING) << bad;
        EXPECT_EQ(clsid, GUID_NULL);
    }
    EXPECT_EQ(CLSIDFromString("{not-a-guid}", &clsid), CO_E_CLASSSTRING);
    std::string progId = "x";
    EXPECT_EQ(ProgIDFromCLSID(kUnknownClass, &progId), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(progId, "");
}

TEST_F(ComCreate, ModulesThatDoNotLoadOrAreNotServers) {
    ComPtr<IUnknown> obj;
    const auto missing = (registry.dir() / "missing.so").string();
    registerClassAt(kUnknownClass, missing);
    EXPECT_EQ(CoCreateInstance(kUnknownClass, IUnknown::iid, obj.putVoid()), E_FAIL);
    EXPECT_NE(lastError().find(missing), std::string::npos);

    const auto junk = registry.dir() / "junk.so";
    comtest::writeFile(junk, "this is not an ELF file");
    registerClassAt(kUnknownClass, junk.string());
    EXPECT_EQ(CoCreateInstance(kUnknownClass, IUnknown::iid, obj.putVoid()), E_FAIL);
    EXPECT_NE(lastError().find("junk.so"), std::string::npos);

    registerClassAt(kUnknownClass, TIV_COM_TEST_UNRESOLVED);
    EXPECT_EQ(CoCreateInstance(kUnknownClass, IUnknown::iid, obj.putVoid()), E_FAIL);
    EXPECT_NE(lastError().find("tivComTestSymbolNobodyDefines"), std::string::npos);

    registerClassAt(kUnknownClass, TIV_COM_TEST_NOSERVER);
    EXPECT_EQ(CoCreateInstance(kUnknownClass, IUnknown::iid, obj.putVoid()), CO_E_ERRORINDLL);
    EXPECT_NE(lastError().find("DllGetClassObject"), std::string::npos);
    EXPECT_FALSE(obj);
}

struct ThrowsPlain final : ComObject<ThrowsPlain, IUnknown> {
    ThrowsPlain() { throw std::runtime_error("plain failure"); }
};

TEST_F(ComCreate, FailingConstructorGivesItsOwnCodeAndErrorInfo) {
    // An in-process factory for a class whose constructor throws something else.
    auto plain = ClassFactory::create(createFunction<ThrowsPlain>, "TivTest.Plain");
    std::uint32_t cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(kLocalClass, plain->identity(), &cookie), S_OK);

    struct Case {
        Guid clsid;
        HRESULT hr;
        const char* source;
        const char* description;
    };
    const Case cases[] = {
        {comtest::CLSID_TestRefusing, comtest::kRefusal, "TivTest.Refusing", "refused on purpose"},
        {kLocalClass, E_UNEXPECTED, "TivTest.Plain", "plain failure"},
    };
    for (const auto& c : cases) {
        reportError(E_FAIL, GUID_NULL, "stale", "left from before");
        ComPtr<IUnknown> obj;
        EXPECT_EQ(CoCreateInstance(c.clsid, IUnknown::iid, obj.putVoid()), c.hr) << c.source;
        EXPECT_FALSE(obj);
        const auto info = takeErrorInfo();
        ASSERT_TRUE(info) << c.source;
        EXPECT_EQ(info->source, c.source);
        EXPECT_EQ(info->description, c.description);
    }
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);

    // A failure that sets none leaves none, not the one from before.
    reportError(E_FAIL, GUID_NULL, "stale", "left from before");
    ComPtr<IUnknown> obj;
    EXPECT_EQ(CoCreateInstance(CLSID_TestCalc, IClassFactory::iid, obj.putVoid()), E_NOINTERFACE);
    EXPECT_FALSE(takeErrorInfo());
}

TEST_F(ComCreate, GarbageRegistryGivesAReadError) {
    comtest::writeFile(registry.file(), "\x01\x02 garbage");
    ComPtr<IUnknown> obj;
    EXPECT_EQ(CoCreateInstance(CLSID_TestCalc, IUnknown::iid, obj.putVoid()), REGDB_E_READREGDB);
    EXPECT_NE(lastError().find("REGEDIT4"), std::string::npos);
    Guid clsid;
    EXPECT_EQ(CLSIDFromProgID("TivTest.Calc", &clsid), REGDB_E_READREGDB);
}

TEST_F(ComCreate, InProcessFactoriesComeFirstAndCanBeRevoked) {
    auto factory = ClassFactory::create(createFunction<comtest::TestCalc>);
    std::uint32_t cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(kLocalClass, factory->identity(), &cookie), S_OK);
    EXPECT_NE(cookie, 0u);
    std::uint32_t again = 0;
    EXPECT_EQ(CoRegisterClassObject(kLocalClass, factory->identity(), &again), E_INVALIDARG);

    const auto before = server::objectCount();
    auto calc = createInstance<ITestCalc>(kLocalClass);
    ASSERT_TRUE(calc);
    EXPECT_EQ(server::objectCount(), before + 1) << "made by this program";

    std::uint32_t shadow = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_TestCalc, factory->identity(), &shadow), S_OK);
    auto local = createInstance<ITestCalc>(CLSID_TestCalc);
    EXPECT_EQ(server::objectCount(), before + 2) << "the registry was asked first";
    EXPECT_EQ(CoRevokeClassObject(shadow), S_OK);

    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_EQ(CoRevokeClassObject(cookie), E_INVALIDARG);
    ComPtr<IUnknown> obj;
    EXPECT_EQ(CoCreateInstance(kLocalClass, IUnknown::iid, obj.putVoid()), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(factory->refCount(), 1u) << "revoking released the factory";

    ComPtr<IUnknown> aggregated;
    EXPECT_EQ(factory->CreateInstance(calc.get(), IUnknown::iid, aggregated.putVoid()),
              CLASS_E_NOAGGREGATION);
}

TEST_F(ComCreate, DllCanUnloadNowWithLiveObjectsAndServerLocks) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_TestCalc, IClassFactory::iid, factory.putVoid()), S_OK)
        << lastError();
    const auto canUnload = moduleSymbol<server::DllCanUnloadNowFn>("DllCanUnloadNow");
    const auto objects = moduleSymbol<std::uint32_t (*)()>("TestServerObjectCount");
    ASSERT_TRUE(canUnload && objects);
    EXPECT_EQ(canUnload(), S_OK) << "a factory alone does not keep the module";

    ComPtr<ITestCalc> a, b;
    ASSERT_EQ(factory->CreateInstance(nullptr, ITestCalc::iid, a.putVoid()), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, ITestCalc::iid, b.putVoid()), S_OK);
    EXPECT_EQ(objects(), 2u);
    EXPECT_EQ(canUnload(), S_FALSE);
    a = nullptr;
    EXPECT_EQ(canUnload(), S_FALSE);
    b = nullptr;
    EXPECT_EQ(canUnload(), S_OK);

    EXPECT_EQ(factory->LockServer(true), S_OK);
    EXPECT_EQ(canUnload(), S_FALSE);
    EXPECT_EQ(factory->LockServer(false), S_OK);
    EXPECT_EQ(canUnload(), S_OK);
    EXPECT_EQ(factory->LockServer(false), S_OK) << "an extra unlock does not wrap the count";
    EXPECT_EQ(factory->LockServer(true), S_OK);
    EXPECT_EQ(canUnload(), S_FALSE);
    EXPECT_EQ(factory->LockServer(false), S_OK);
}

TEST_F(ComCreate, RegisteredTypeLibraryComesFromTheModule) {
    const TypeLibDesc* lib = nullptr;
    ASSERT_EQ(LoadRegTypeLib(comtest::LIBID_TestCalcLib, 1, 0, 0x409, &lib), S_OK) << lastError();
    ASSERT_NE(lib, nullptr);
    EXPECT_EQ(lib->name, "TivTestLib");
    EXPECT_NE(lib, &comtest::testCalcLibrary()) << "the module's own description";
    ASSERT_EQ(lib->interfaces.size(), 2u);
    EXPECT_EQ(lib->interfaces[0]->members.size(), comtest::testCalcInterface().members.size());

    EXPECT_EQ(LoadRegTypeLib(comtest::LIBID_TestCalcLib, 2, 0, 0x409, &lib),
              TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(lib, nullptr);
}

}  // namespace
