// The document object's readers over the shipped templates and schemas, and the text
// conversions the DTM core relies on.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "ScopedAppDir.h"
#include "com/HResult.h"
#include "core/TextConversions.h"
#include "core/XMLHelp.h"
#include "os/MessageBox.h"
#include "support/TempDir.h"

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

std::shared_ptr<xml::SchemaCache> AllSchemas() {
    auto cache = std::make_shared<xml::SchemaCache>();
    cache->addDirectory(kData / "XMLSchemas");
    return cache;
}

// The text loaded and validated again, as a frame reads what the DTM returns.
xml::Document Reloaded(const std::string& text) {
    xml::Document doc;
    doc.setSchemas(AllSchemas());
    EXPECT_TRUE(doc.loadXML(text)) << doc.parseError().reason << "\n" << text;
    EXPECT_FALSE(text.empty());
    return doc;
}

std::string FunctionCall(const std::string& attribute) {
    return R"(<FDT xmlns="x-schema:DTMFunctionCallSchema.xml" xmlns:func="x-schema:DTMFunctionsSchema.xml"><FDTFunctionCall )" +
           attribute + "/></FDT>";
}

TEST(XMLHelp, BuiltDocumentsLoadAgainWithTheirValues) {
    XMLHelp help(kData / "XMLData", "/opt/tiv & co");
    help.InitXMLSchemaCache(kData / "XMLSchemas");

    // Rows are appended in the documents' namespace, after the graphic, texts escaped.
    const std::vector<tivmate::clsDataElement> rows = {{"Adapter <number>", "", "0", ""},
                                                       {"Delay & \"more\"", "", "1000 [ms]", ""}};
    auto doc = Reloaded(help.GetDTMDocumentationDoc(rows));
    const auto vars = doc.selectNodes("FDT/DocumentVariables/DocumentVariable");
    ASSERT_EQ(vars.size(), 2u);
    EXPECT_EQ(vars[0].getAttribute("fdt:name"), rows[0].name);
    EXPECT_EQ(vars[1].getAttribute("fdt:display"), rows[1].display);
    EXPECT_EQ(doc.selectSingleNode("FDT/DocumentVariables").getAttribute("fdt:name"), "Tivmate");
    EXPECT_THAT(
        doc.selectSingleNode("FDT/fdt:VersionInformation").getAttribute("descriptor").value_or(""),
        HasSubstr("DTM"));
    EXPECT_EQ(doc.selectSingleNode("FDT/DocumentVariables/GraphicReference").getAttribute("path"),
              "/opt/tiv & co/Resources/device.gif");
    EXPECT_TRUE(Reloaded(help.GetDTMDocumentationDoc({}))
                    .selectSingleNode("FDT/fdt:VersionInformation")
                    .getAttribute("version"));

    auto channel = Reloaded(
        help.FdtBasicChannelParameter(com::Variant("Top<1>"), com::Variant("TIVChannel1")));
    EXPECT_EQ(channel.selectSingleNode("FDT/FDTBasicChannel").getAttribute("fdt:tag"), "Top<1>");
    EXPECT_EQ(channel.selectSingleNode("FDT/FDTBasicChannel").getAttribute("fdt:id"),
              "TIVChannel1");
    EXPECT_EQ(
        channel.selectSingleNode("FDT/FDTChannelType/fdt:VersionInformation").getAttribute("name"),
        "Tivmate");

    EXPECT_EQ(Reloaded(help.GetDTMInformationDoc())
                  .selectSingleNode("FDT/DtmInfo/DtmDeviceTypes/fdt:DtmDeviceType/fdt:DeviceIcon")
                  .getAttribute("path"),
              "/opt/tiv & co/Resources/device.ico");
    Reloaded(help.GetDTMParametersDoc());
    Reloaded(help.GetDTMFunctionsDoc("1"));
    Reloaded(help.OnParameterChanged("PersistentDelay", "True"));

    // setAttribut changes an attribute in place; addNode takes an explicit namespace.
    auto edited = help.LoadText(help.OnParameterChanged("A", "B"));
    auto changed = edited->selectSingleNode("FDT/ChangedParameter");
    XMLHelp::setAttribut("NewValue", com::Variant(std::int32_t{7}), changed);
    EXPECT_EQ(changed.getAttribute("NewValue"), "7");
    EXPECT_EQ(XMLHelp::addNode("x", changed).namespaceURI(),
              "x-schema:DTMOnParameterChangedSchema.xml");
    EXPECT_EQ(XMLHelp::addNode("x", changed, "urn:other").namespaceURI(), "urn:other");
}

TEST(XMLHelp, ReadersOfFunctionCallsAndConnectRequests) {
    XMLHelp help(kData / "XMLData", "/");
    help.InitXMLSchemaCache(kData / "XMLSchemas");
    const std::string connect =
        R"(<FDT xmlns="x-schema:FDTTivCommunicationSchema.xml" xmlns:fdt="x-schema:FDTDataTypesSchema.xml"><ConnectRequest fdt:tag="Dev1"><DeviceInformation CNumber="0A1B"/></ConnectRequest></FDT>)";
    EXPECT_EQ(help.GetFdtTag(connect), "Dev1");
    EXPECT_EQ(help.GetCNumber(connect), "0A1B");
    // A frame without schemas of ours writing the upper-case spelling.
    EXPECT_EQ(help.GetFdtTag(R"(<FDT xmlns:fdt="urn:x"><ConnectRequest fdt:Tag="Dev2"/></FDT>)"),
              "Dev2");
    EXPECT_EQ(help.GetProgId(FunctionCall(R"(func:functionId="010")")), "010");
    EXPECT_EQ(help.DocFunctionID(FunctionCall(R"(func:functionId="20")")), com::Variant("20"));
    for (const std::string& bad :
         {FunctionCall(""), FunctionCall(R"(functionId="10")"), std::string("not xml")})
        EXPECT_THROW(help.GetProgId(bad), com::ComError) << bad;
    EXPECT_THROW(help.GetCNumber(R"(<FDT><ConnectRequest/></FDT>)"), com::ComError);
}

// A template that does not validate: the parameter document is empty, every other builder
// fails. Before any schema is cached the information document is still the text.
TEST(XMLHelp, ATemplateThatDoesNotValidate) {
    using Build = std::function<std::string(const XMLHelp&)>;
    const struct {
        const char* file;
        Build build;
    } rows[] = {
        {"DTMParameters.xml", [](const XMLHelp& h) { return h.GetDTMParametersDoc(); }},
        {"DTMInformation.xml", [](const XMLHelp& h) { return h.GetDTMInformationDoc(); }},
        {"DTMInformation.xml", [](const XMLHelp& h) { return h.GetDTMDocumentationDoc({}); }},
        {"DTMDocumentation.xml", [](const XMLHelp& h) { return h.GetDTMDocumentationDoc({}); }},
        {"DTMFunctions.xml", [](const XMLHelp& h) { return h.GetDTMFunctionsDoc("0"); }},
        {"DTMOnParameterChanged.xml",
         [](const XMLHelp& h) { return h.OnParameterChanged("a", "b"); }},
        {"FDTBasicChannelParameter.xml",
         [](const XMLHelp& h) {
             return h.FdtBasicChannelParameter(com::Variant("T"), com::Variant("C"));
         }},
    };
    for (const auto& row : rows) {
        testsupport::TempDir dir("xmlhelp-broken");
        std::filesystem::copy(kData / "XMLData", dir.path());
        std::string text = tivmatetest::readFile(kData / "XMLData" / row.file);
        text.insert(text.find('>', text.find("<FDT")) + 1, "<Bogus/>");
        std::ofstream(dir / row.file, std::ios::trunc) << text;

        XMLHelp plain(dir.path(), "/app");
        if (std::string(row.file) == "DTMInformation.xml") {
            EXPECT_THAT(plain.GetDTMInformationDoc(), HasSubstr("/app/Resources/device.ico"));
        }
        XMLHelp help(dir.path(), "/app");
        help.InitXMLSchemaCache(kData / "XMLSchemas");
        if (std::string(row.file) == "DTMParameters.xml")
            EXPECT_EQ(row.build(help), "");
        else
            EXPECT_THROW(row.build(help), com::ComError) << row.file;
    }
}

TEST(XMLHelp, ValueToTextIsInvariantForEveryType) {
    std::int32_t referenced = -7;
    com::SafeArray variants(com::VT_VARIANT, 6);
    auto v = variants.span<com::Variant>();
    v[0] = com::Variant::fromUI1(10);
    v[1] = com::Variant(std::int32_t{-1});
    v[2] = com::Variant::fromI2(3);
    v[3] = com::Variant(2.6);
    v[4] = com::Variant("x");
    v[5] = com::Variant(true);
    const std::int16_t shorts[] = {-1, 2};
    const std::int32_t longs[] = {255};
    const std::uint8_t bytes[] = {1, 171};
    const struct {
        com::Variant value;
        const char* text;
    } rows[] = {
        {com::Variant::fromI2(-300), "-300"},
        {com::Variant(std::int32_t{2000000}), "2000000"},
        {com::Variant::fromUI1(200), "200"},
        {com::Variant::byRef(&referenced), "-7"},
        {com::Variant(1.5), "1.5"},
        {com::Variant(-0.25), "-0.25"},
        {com::Variant(1e20), "1E+20"},
        {com::Variant::fromR4(0.1f), "0.1"},
        {com::Variant::fromDate(45000.0), "2023-03-15"},
        {com::Variant::fromDate(45000.0 + (10 * 3600 + 5 * 60 + 9) / 86400.0),
         "2023-03-15 10:05:09"},
        {com::Variant::fromDate(-1.25), "1899-12-29 06:00:00"},
        {com::Variant("a<b"), "a<b"},
        {com::Variant(true), "1"},
        {com::Variant(false), "0"},
        {com::Variant::fromBytes(bytes), "01AB"},
        {com::Variant(com::SafeArray::fromInt16s(shorts)), "FFFF0002"},
        {com::Variant(com::SafeArray::fromInt32s(longs)), "000000FF"},
        {com::Variant(variants), "0AFFFFFFFF00030003FFFF"},
        {com::Variant(), ""},
        {com::Variant::null(), ""},
        {com::Variant::fromError(5), ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(XMLHelp::ValueToText(row.value), row.text) << row.value.describe();
}

TEST(XMLHelp, LoadErrorMessageWordForWord) {
    const xml::ParseError error{5, "Extra content", 3, 7, 42, "<a/><b/>", "/x/DTMParameters.xml"};
    std::string text, caption;
    std::uint32_t flags = 0;
    os::ScopedMessageBoxHandler box(
        [&](const std::string& t, const std::string& c, std::uint32_t f) {
            text = t;
            caption = c;
            flags = f;
            return os::IDOK;
        });
    XMLHelp::ShowXmlLoadError(error);
    EXPECT_EQ(text,
              "Your XML Document failed to load due the following error:\r\n\r\n"
              "Error: \r\n5: Extra content\r\nLine: 3\r\nLine Position: 7\r\n"
              "Position In File: 42\r\n\r\nSource Text: <a/><b/>\r\n\r\n"
              "Document URL: /x/DTMParameters.xml");
    EXPECT_EQ(caption, "Tivmate");
    EXPECT_EQ(flags & os::MB_ICONMASK, os::MB_ICONWARNING);
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
