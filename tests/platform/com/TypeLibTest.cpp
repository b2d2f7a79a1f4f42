#include <gtest/gtest.h>

#include "TestCalc.h"
#include "com/TypeLib.h"

namespace {

using namespace com;

TEST(ComTypeLib, DumpReadsLikeTheLibrary) {
    const auto text = dumpTypeLib(comtest::testCalcLibrary());
    for (const char* line : {
             "library TivTestLib {6B1D54A2-0C3E-4F7A-9D21-5E8A3C7B4F13} version 1.0 lcid 0x409 "
             "\"Test library\"\n",
             "importlib stdole2\n",
             "dual interface ITestCalc {6B1D54A2-0C3E-4F7A-9D21-5E8A3C7B4F10} \"Test "
             "calculator\"\n",
             "  0x00000001 method  Add([in] long A, [in] long B, [out, retval] long* Sum)\n",
             "  0x00000002 propget Total([out, retval] long* Value)\n",
             "  0x00000002 propput Total([in] long)\n",
             "  0x00000003 method  Swap([in, out] long* A, [in, out] VARIANT* B, [out, retval] "
             "long* Old)\n",
             "  0x00000008 method  FillBytes([in] long Count, [in] VARIANT* Data, [out, retval] "
             "long* Result)\n",
             "  0x00000009 method  Describe([in] LPSTR Text, [in] int Flags, [out, retval] BSTR* "
             "Result)\n",
             "dispinterface ITestCalcEvents {6B1D54A2-0C3E-4F7A-9D21-5E8A3C7B4F11}",
             "  0x00000001 method  OnFirst()\n",
             "coclass TestCalc {6B1D54A2-0C3E-4F7A-9D21-5E8A3C7B4F12} \"Test calculator object\"\n",
             "  [default] interface ITestCalc\n",
             "  [default, source] dispinterface ITestCalcEvents\n",
         })
        EXPECT_NE(text.find(line), std::string::npos) << "missing: " << line << "\nin:\n" << text;
}

TEST(ComTypeLib, KeysRoundTripAndLeaveOthersAlone) {
    const auto& lib = comtest::testCalcLibrary();
    RegistryData d;
    const std::string lk = "HKCR\\TypeLib\\" + lib.libid.toString();
    const std::string ik = "HKCR\\Interface\\" + comtest::IID_ITestCalc.toString();
    ASSERT_EQ(d.setString(lk + "\\2.0", "", "a newer version someone else registered"), S_OK);
    ASSERT_EQ(d.setString("HKCR\\Unrelated", "", "x"), S_OK);

    ASSERT_EQ(addTypeLibKeys(d, lib, "/opt/lib/module.so"), S_OK);
    EXPECT_EQ(d.string(lk + "\\1.0"), "Test library");
    EXPECT_EQ(d.string(lk + "\\1.0\\409\\linux"), "/opt/lib/module.so");
    EXPECT_EQ(d.string(lk + "\\1.0\\HELPDIR"), "/opt/lib");
    EXPECT_EQ(d.string(ik), "ITestCalc");
    EXPECT_EQ(d.string(ik + "\\TypeLib"), lib.libid.toString());
    EXPECT_EQ(d.string(ik + "\\TypeLib", "Version"), "1.0");

    ASSERT_EQ(removeTypeLibKeys(d, lib), S_OK);
    EXPECT_FALSE(d.keyExists(lk + "\\1.0"));
    EXPECT_TRUE(d.keyExists(lk + "\\2.0")) << "another version was removed";
    EXPECT_FALSE(d.keyExists(ik));
    EXPECT_TRUE(d.keyExists("HKCR\\Unrelated"));

    // Without other versions the library key goes too; an interface now owned by another
    // library stays.
    ASSERT_EQ(d.deleteKey(lk + "\\2.0"), S_OK);
    ASSERT_EQ(addTypeLibKeys(d, lib, "/m.so"), S_OK);
    ASSERT_EQ(d.setString(ik + "\\TypeLib", "", "{00000000-0000-0000-0000-0000000000FF}"), S_OK);
    ASSERT_EQ(removeTypeLibKeys(d, lib), S_OK);
    EXPECT_FALSE(d.keyExists(lk));
    EXPECT_TRUE(d.keyExists(ik));
}

}  // namespace
