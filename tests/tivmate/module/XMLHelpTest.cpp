// The document object's readers over the shipped templates and schemas, and the text
// conversions the DTM core relies on.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "com/HResult.h"
#include "core/TextConversions.h"
#include "core/XMLHelp.h"

namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;
using tivmate::XMLHelp;

const fs::path kData = TIVMATE_DATA_DIR;

std::string DeviceType(const std::string& name, const std::string& bus) {
    return R"(<FDT xmlns="x-schema:DTMInitSchema.xml" xmlns:fdt="x-schema:FDTDataTypesSchema.xml">)"
           R"(<fdt:DtmDeviceType manufacturerId="Tiv" classificationId="c" deviceTypeInformation="d">)"
           R"(<fdt:VersionInformation name=")" +
           name +
           R"(" vendor="v" version="1" date="2026-01-01" descriptor="x"/>)"
           R"(<fdt:DeviceIcon path="p"/><fdt:SupportedLanguages><fdt:LanguageId localeId="0009"/></fdt:SupportedLanguages>)"
           R"(<fdt:BusCategories><fdt:BusCategory busCategory=")" +
           bus + R"(" busCategoryName="b"/></fdt:BusCategories></fdt:DtmDeviceType></FDT>)";
}

TEST(XMLHelp, ReadersOfFrameAndOwnDocuments) {
    for (bool schemas : {false, true}) {
        XMLHelp help(kData / "XMLData", "/opt/tiv & co");
        if (schemas) help.InitXMLSchemaCache(kData / "XMLSchemas");
        const std::string tiv = "81684E65-6385-4690-ACCF-49995B3B4E8B";
        struct Row {
            std::string name, bus;
            bool mine;
        } rows[] = {{"TIV Driver", "other", true},
                    {"Other", tiv, true},
                    {"Other", "other", false},
                    {"TIV Driver ", tiv.substr(1), false}};
        for (const auto& row : rows)
            EXPECT_EQ(help.CheckInitInformation(DeviceType(row.name, row.bus)), row.mine)
                << row.name << "/" << row.bus << " schemas=" << schemas;
        EXPECT_THROW(help.CheckInitInformation("<FDT/>"), com::ComError);

        // The icon path goes in as text, whether the template is parsed or not.
        const std::string info = help.GetDTMInformationDoc();
        EXPECT_THAT(info, HasSubstr("path=\"/opt/tiv &amp; co/Resources/device.ico\""));
        EXPECT_EQ(info.find("$("), std::string::npos);

        const std::string changed = help.OnParameterChanged("PersistentDelay", "a<b");
        EXPECT_THAT(changed, HasSubstr("ParamName=\"PersistentDelay\" NewValue=\"a&lt;b\""));
        EXPECT_EQ(help.GetAttributeFromXML(changed, "FDT/ChangedParameter", "NewValue"), "a<b");
        EXPECT_EQ(help.GetAttributeFromXML(changed, "FDT/Nothing", "NewValue"), "");
        EXPECT_THROW(help.GetAttributeFromXML(changed, "FDT/ChangedParameter", "Missing"),
                     com::ComError);
    }
}

TEST(XMLHelp, NextElementSkipsEverythingElse) {
    XMLHelp help(kData / "XMLData", "/");
    auto doc = help.LoadText("<r><a/>text<!--c--><?p x?><b/></r>", false);
    const xml::Node a = doc->selectSingleNode("r/a");
    const xml::Node b = XMLHelp::GetNextElement(a);
    ASSERT_TRUE(b);
    EXPECT_EQ(b.name(), "b");
    EXPECT_FALSE(XMLHelp::GetNextElement(b));
    EXPECT_FALSE(XMLHelp::GetNextElement(xml::Node()));
}

TEST(TextConversions, VersionRecordsAndNumbers) {
    struct Record {
        std::vector<std::uint8_t> bytes;
        std::string text;
    } records[] = {
        {{'V', '2', '.', '2', '1', ' ', 0, 0, 0, 0}, "V2.21 "},
        {{'V', 0, 1, '2', 0x1F, 0x80, 9, 9, 9, 9}, "V2\xE2\x82\xAC"},  // controls out, CP-1252 in
        {{0xE9, 'a', 0, 0, 0, 0},
         "\xC3\xA9"
         "a"},
        {{1, 2, 3}, ""},
    };
    for (const auto& r : records) EXPECT_EQ(tivmate::VersionRecordText(r.bytes), r.text);

    struct Number {
        const char* text;
        std::optional<std::int16_t> value;
    } numbers[] = {{"12", 12},    {" -3 ", -3}, {"&H10", 16}, {"32767", 32767},
                   {"32768", {}}, {"2.5", {}},  {"", {}},     {"1e3", {}}};
    for (const auto& n : numbers) EXPECT_EQ(tivmate::ParseInt16(n.text), n.value) << n.text;

    EXPECT_EQ(tivmate::ParseBoolText("tRuE"), true);
    EXPECT_EQ(tivmate::ParseBoolText("0"), false);
    EXPECT_EQ(tivmate::ParseBoolText("-1"), true);
    EXPECT_EQ(tivmate::ParseBoolText("yes"), std::nullopt);
}

}  // namespace
