#include <gtest/gtest.h>

#include "fdt/PropertyBag.h"

namespace {

TEST(FdtPropertyBag, ReadsConvertAbsentNamesAreInvalidArgAndWritesReplace) {
    auto bag = fdt::PropertyBag::create();
    auto log = fdt::ErrorLog::create();
    ASSERT_EQ(bag->Write("PersistentCommTimeoutValue", com::Variant(std::string("2000"))),
              com::S_OK);
    ASSERT_EQ(bag->Write("PersistentDelay", com::Variant(true)), com::S_OK);
    ASSERT_EQ(bag->Write("PresistentTrace", com::Variant(std::string("None"))), com::S_OK);
    ASSERT_EQ(bag->Write("PersistentMaxStackValue", com::Variant(std::string("ten"))), com::S_OK);
    EXPECT_EQ(bag->Write("", com::Variant(1)), com::E_INVALIDARG);

    const struct {
        const char* name;
        com::VARTYPE wanted;
        com::HRESULT hr;
        com::Variant value;
    } cases[] = {
        {"PersistentCommTimeoutValue", com::VT_I2, com::S_OK, com::Variant::fromI2(2000)},
        {"persistentcommtimeoutvalue", com::VT_EMPTY, com::S_OK, com::Variant(std::string("2000"))},
        {"PersistentDelay", com::VT_BOOL, com::S_OK, com::Variant(true)},
        {"PersistentDelay", com::VT_BSTR, com::S_OK, com::Variant(std::string("True"))},
        {"m_ChannelUUID", com::VT_BSTR, com::E_INVALIDARG, com::Variant(std::string("sentinel"))},
    };
    for (const auto& c : cases) {
        com::Variant v = c.hr == com::S_OK ? com::Variant() : c.value;
        if (c.wanted != com::VT_EMPTY && c.hr == com::S_OK)
            com::ChangeType(v, com::Variant(0), c.wanted);
        EXPECT_EQ(bag->Read(c.name, &v, log.get()), c.hr) << c.name;
        EXPECT_EQ(v, c.value) << c.name << ": " << v.describe();
    }
    EXPECT_TRUE(log->entries().empty());

    com::Variant number = com::Variant::fromI2(7);
    EXPECT_TRUE(com::FAILED(bag->Read("PersistentMaxStackValue", &number, log.get())));
    EXPECT_EQ(number, com::Variant::fromI2(7));
    ASSERT_EQ(log->entries().size(), 1u);
    EXPECT_EQ(log->entries()[0].propertyName, "PersistentMaxStackValue");
    EXPECT_TRUE(com::FAILED(log->entries()[0].info.scode));

    ASSERT_EQ(bag->Write("PERSISTENTDELAY", com::Variant(false)), com::S_OK);
    ASSERT_EQ(bag->entries().size(), 4u);
    EXPECT_EQ(bag->entries()[1].first, "PersistentDelay");  // keeps its place and first spelling
    EXPECT_EQ(bag->entries()[1].second, com::Variant(false));
}

}  // namespace
