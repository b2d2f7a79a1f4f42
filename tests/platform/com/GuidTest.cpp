#include <gtest/gtest.h>

#include <set>
#include <unordered_set>

#include "com/Guid.h"
#include "com/HResult.h"

namespace {

using com::Guid;

constexpr Guid kDriver = com::makeGuid("{FEC124C9-0C9D-4A6D-AB91-02A18CCA2A21}");
static_assert(kDriver.data1 == 0xFEC124C9 && kDriver.data2 == 0x0C9D && kDriver.data4[7] == 0x21);

TEST(ComGuid, ParsesWithAndWithoutBracesInAnyCaseAndFormatsUpperCase) {
    for (const char* text :
         {"{fec124c9-0c9d-4a6d-ab91-02a18cca2a21}", "FEC124C9-0C9D-4A6D-AB91-02A18CCA2A21",
          "{FeC124c9-0C9d-4a6D-aB91-02A18ccA2A21}"}) {
        const auto g = Guid::parse(text);
        ASSERT_TRUE(g) << text;
        EXPECT_EQ(*g, kDriver) << text;
        EXPECT_EQ(g->toString(), "{FEC124C9-0C9D-4A6D-AB91-02A18CCA2A21}");
    }
    EXPECT_EQ(Guid::parse(kDriver.toString()), kDriver);
    EXPECT_EQ(Guid{}.toString(), "{00000000-0000-0000-0000-000000000000}");
}

TEST(ComGuid, RejectsMalformedText) {
    for (const char* text : {
             "", "{}",
             "{FEC124C9-0C9D-4A6D-AB91-02A18CCA2A21",     // no closing brace
             "FEC124C9-0C9D-4A6D-AB91-02A18CCA2A21}",     // no opening brace
             "(FEC124C9-0C9D-4A6D-AB91-02A18CCA2A21)",    // wrong brackets
             "{FEC124C9-0C9D-4A6D-AB91-02A18CCA2A2}",     // a digit short
             "{FEC124C9-0C9D-4A6D-AB91-02A18CCA2A211}",   // a digit long
             "FEC124C90C9D4A6DAB9102A18CCA2A21",          // no dashes
             "FEC124C9-0C9D-4A6D-AB9102-A18CCA2A21",      // dash misplaced
             "{FEC124C9-0C9D-4A6D-AB91-02A18CCA2A2G}",    // not hex
             "{FEC124C9-0C9D-4A6D-AB91 02A18CCA2A21}",    // blank for a dash
             " FEC124C9-0C9D-4A6D-AB91-02A18CCA2A21 ",    // blanks around
             "{-EC124C9-0C9D-4A6D-AB91-02A18CCA2A21}",    // sign where a digit goes
             "{FEC124C9-0C9D-4A6D-AB91-02A18CCA2A21}\n",  // trailing newline
         })
        EXPECT_FALSE(Guid::parse(text)) << '"' << text << '"';
    // Embedded NUL: the length is right, the content is not.
    EXPECT_FALSE(Guid::parse(std::string_view("{FEC124C9-0C9D-4A6D-AB91-02A18CCA2A2\0}", 38)));
}

TEST(ComGuid, CreatedIdsAreVersionFourAndDistinct) {
    std::set<Guid> seen;
    std::unordered_set<Guid> hashed;
    for (int i = 0; i < 1000; ++i) {
        const Guid g = Guid::create();
        EXPECT_EQ(g.data3 >> 12, 4);
        EXPECT_EQ(g.data4[0] & 0xC0, 0x80);
        EXPECT_TRUE(seen.insert(g).second);
        hashed.insert(g);
        EXPECT_EQ(Guid::parse(g.toString()), g);
    }
    EXPECT_EQ(hashed.size(), seen.size());
    EXPECT_TRUE(Guid{}.isNull());
    EXPECT_FALSE(kDriver.isNull());
}

TEST(ComGuid, OrdersByFieldsAndHashesEqualIdsAlike) {
    const Guid a = com::makeGuid("{00000001-0000-0000-0000-000000000000}");
    const Guid b = com::makeGuid("{00000000-FFFF-FFFF-FFFF-FFFFFFFFFFFF}");
    EXPECT_LT(b, a);  // data1 decides first
    EXPECT_EQ(std::hash<Guid>{}(kDriver), std::hash<Guid>{}(*Guid::parse(kDriver.toString())));
}

TEST(ComHResult, NamesTextAndErrors) {
    EXPECT_EQ(com::hresultHex(com::E_UNEXPECTED), "0x8000FFFF");
    EXPECT_EQ(com::hresultText(com::DISP_E_TYPEMISMATCH), "DISP_E_TYPEMISMATCH (0x80020005)");
    EXPECT_EQ(com::hresultText(0x12345), "0x00012345");
    EXPECT_TRUE(com::FAILED(com::REGDB_E_CLASSNOTREG));
    EXPECT_TRUE(com::SUCCEEDED(com::S_FALSE));
    const com::ComError e(com::E_FAIL);
    EXPECT_EQ(e.hr(), com::E_FAIL);
    EXPECT_STREQ(e.what(), "E_FAIL (0x80004005)");
    EXPECT_EQ(com::ComError(com::E_FAIL, "broken").description(), "broken");
}

}  // namespace
