#include <gtest/gtest.h>

#include "ComTestSupport.h"
#include "TestCalc.h"
#include "com/CoCreate.h"
#include "com/Registry.h"
#include "support/ChildProcess.h"

namespace {

using namespace com;
using comtest::CLSID_TestCalc;

proctest::Result regsvr(std::vector<std::string> args) {
    args.insert(args.begin(), TIV_REGSVR);
    return proctest::RunTool(args);
}

TEST(ComTivregsvr, UsageAndHelp) {
    auto r = regsvr({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("Usage: tivregsvr"), std::string::npos);
    EXPECT_EQ(regsvr({}).exitCode, 2);
    EXPECT_EQ(regsvr({"--bogus", TIV_COM_TEST_SERVER}).exitCode, 2);
    EXPECT_EQ(regsvr({"--registry"}).exitCode, 2);
    EXPECT_EQ(regsvr({"--registry=", TIV_COM_TEST_SERVER}).exitCode, 2);
    r = regsvr({TIV_COM_TEST_SERVER, TIV_COM_TEST_SERVER});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("one module"), std::string::npos);
}

TEST(ComTivregsvr, RegisterThenUnregisterInATemporaryRegistry) {
    comtest::ScopedRegistry reg;  // this process reads the same file
    ASSERT_EQ(Registry().setString("HKCR\\Unrelated\\Key", "", "kept"), S_OK);

    auto r = regsvr({"--registry", reg.file().string(), TIV_COM_TEST_SERVER});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    RegistryData d;
    ASSERT_EQ(Registry().load(d), S_OK);
    const std::string ck = "HKCR\\CLSID\\" + CLSID_TestCalc.toString();
    EXPECT_EQ(d.string(ck), "Test calculator object");
    EXPECT_EQ(d.string(ck + "\\InprocServer32"),
              std::filesystem::weakly_canonical(TIV_COM_TEST_SERVER).string());
    EXPECT_EQ(d.string(ck + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(d.string(ck + "\\ProgID"), "TivTest.Calc");
    EXPECT_EQ(d.string(ck + "\\TypeLib"), comtest::LIBID_TestCalcLib.toString());
    EXPECT_EQ(d.string(ck + "\\Version"), "1.0");
    EXPECT_EQ(d.string("HKCR\\TivTest.Calc\\CLSID"), CLSID_TestCalc.toString());
    EXPECT_TRUE(d.keyExists("HKCR\\TypeLib\\" + comtest::LIBID_TestCalcLib.toString() + "\\1.0"));

    // A client finds it by ProgID.
    Guid clsid;
    ASSERT_EQ(CLSIDFromProgID("TivTest.Calc", &clsid), S_OK);
    auto calc = createInstance<comtest::ITestCalc>(clsid);
    ASSERT_TRUE(calc);

    // Registering twice is harmless.
    EXPECT_EQ(regsvr({"--registry=" + reg.file().string(), TIV_COM_TEST_SERVER}).exitCode, 0);

    r = regsvr({"-u", "--registry", reg.file().string(), TIV_COM_TEST_SERVER});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(Registry().load(d), S_OK);
    EXPECT_FALSE(d.keyExists(ck));
    EXPECT_FALSE(d.keyExists("HKCR\\TivTest.Calc"));
    EXPECT_FALSE(d.keyExists("HKCR\\TypeLib\\" + comtest::LIBID_TestCalcLib.toString()));
    EXPECT_FALSE(d.keyExists("HKCR\\Interface\\" + comtest::IID_ITestCalc.toString()));
    EXPECT_EQ(d.string("HKCR\\Unrelated\\Key"), "kept");
    EXPECT_EQ(CLSIDFromProgID("TivTest.Calc", &clsid), CO_E_CLASSSTRING);
}

TEST(ComTivregsvr, FailuresExitWithOneAndSayWhy) {
    comtest::TempDir dir;
    const auto file = (dir / "registry.reg").string();
    auto r = regsvr({"--registry", file, (dir / "missing.so").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot load"), std::string::npos) << r.err;

    r = regsvr({"--registry", file, TIV_COM_TEST_NOSERVER});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("does not export DllRegisterServer"), std::string::npos) << r.err;

    // The module's registration fails on a registry it must not overwrite.
    comtest::writeFile(file, "garbage, not a registry\n");
    r = regsvr({"--registry", file, TIV_COM_TEST_SERVER});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("SELFREG_E_CLASS (0x80040201)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("REGEDIT4"), std::string::npos) << r.err;
    EXPECT_EQ(comtest::readFile(file), "garbage, not a registry\n");
}

}  // namespace
