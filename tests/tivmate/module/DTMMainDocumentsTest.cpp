// DTMMain's documents, controls and channel as a frame reaches them through the FDT
// interfaces, against the recording driver.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "DtmFakes.h"
#include "com/ErrorInfo.h"
#include "core/Trace.h"
#include "module/DTMMain.h"
#include "xml/Document.h"
#include "xml/SchemaCache.h"

namespace {

using namespace dtmtest;
using com::ComPtr;
using testing::HasSubstr;
using tivmate::DTMMain;

std::string FunctionCall(const std::string& id) {
    return R"(<FDT xmlns="x-schema:DTMFunctionCallSchema.xml" xmlns:func="x-schema:DTMFunctionsSchema.xml"><FDTFunctionCall func:functionId=")" +
           id + R"("/></FDT>)";
}

xml::Document Reloaded(const std::string& text) {
    auto cache = std::make_shared<xml::SchemaCache>();
    cache->addDirectory(std::filesystem::path(TIVMATE_DATA_DIR) / "XMLSchemas");
    xml::Document doc;
    doc.setSchemas(cache);
    EXPECT_TRUE(doc.loadXML(text)) << doc.parseError().reason << "\n" << text;
    return doc;
}

class DtmDocuments : public ::testing::Test {
protected:
    explicit DtmDocuments(const std::string& ini = DtmAppDir::ShippedIni()) : app(ini) {}
    ~DtmDocuments() override { com::clearErrorInfo(); }

    ComPtr<DTMMain> Embedded() {
        ComPtr<DTMMain> dtm;
        EXPECT_EQ(DTMMain::createInstance(tivmate::IID__DTMMain, dtm.putVoid()), com::S_OK);
        EXPECT_EQ(dtm->InitNew(), com::S_OK);
        com::VARIANT_BOOL ok = com::VARIANT_FALSE;
        dtm->Environment("Top", static_cast<fdt::IFdtContainer*>(frame.get()), &ok);
        EXPECT_TRUE(ok);
        return dtm;
    }

    DtmAppDir app;
    ScopedFakeDriver driver;
    ComPtr<FakeFrame> frame = FakeFrame::create();
};

TEST_F(DtmDocuments, DocumentationRowsByFunctionInTheSelectedLanguage) {
    auto dtm = Embedded();
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    ASSERT_EQ(dtm->SetLanguage(0x0407, &ok), com::S_OK);
    dtm->put_PersistentDelay(com::VARIANT_FALSE);
    const struct {
        const char* id;
        std::size_t rows;
    } rows[] = {{"10", 5}, {"010", 5}, {"20", 0}, {"60", 0}, {"ten", 0}};
    for (const auto& row : rows) {
        std::string text;
        ASSERT_EQ(dtm->GetDocumentation(FunctionCall(row.id), &text), com::S_OK) << row.id;
        auto doc = Reloaded(text);
        const auto vars = doc.selectNodes("FDT/DocumentVariables/DocumentVariable");
        ASSERT_EQ(vars.size(), row.rows) << row.id;
        EXPECT_EQ(doc.selectSingleNode("FDT/fdt:VersionInformation").getAttribute("name"),
                  "Tivmate");
        if (row.rows == 0) continue;
        EXPECT_EQ(vars[0].getAttribute("fdt:name"), "Adapternummer");
        EXPECT_EQ(vars[1].getAttribute("fdt:display"), "1000 [ms]");
        EXPECT_EQ(vars[4].getAttribute("fdt:display"), "nein");
    }
    // A call without the function's identifier fails the call, with the reason.
    std::string text = "untouched";
    EXPECT_TRUE(com::FAILED(dtm->GetDocumentation(
        R"(<FDT xmlns="x-schema:DTMFunctionCallSchema.xml"><FDTFunctionCall/></FDT>)", &text)));
    EXPECT_EQ(text, "untouched");
    auto info = com::takeErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_THAT(info->description, HasSubstr("FDTFunctionCall"));
}

TEST_F(DtmDocuments, ControlsByFunctionAndTheirRegisteredClasses) {
    testsupport::TempDir dir("dtm-controls");
    std::ofstream(dir / "r.reg") << "REGEDIT4\n\n[HKEY_CLASSES_ROOT\\Tivmate.ctlAbout\\CLSID]\n"
                                    "@=\"{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}\"\n";
    com::Registry::setPath(dir / "r.reg");
    auto dtm = Embedded();
    const struct {
        const char* id;
        const char* progId;
        const char* guid;
    } rows[] = {
        {"10", "Tivmate.ctlOfflineParam", ""},
        {"20", "Tivmate.ctlDiagnosis", ""},
        {"30", "Tivmate.ctlMonitor", ""},
        {"40", "Tivmate.ctlTest", ""},
        {"50", "Tivmate.ctlAbout", "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"},
        {"60", "", ""},
        {"010", "", ""},
    };
    for (const auto& row : rows) {
        std::string progId, guid;
        EXPECT_EQ(dtm->GetActiveXProgId(FunctionCall(row.id), &progId), com::S_OK);
        EXPECT_EQ(dtm->GetActiveXGuid(FunctionCall(row.id), &guid), com::S_OK);
        EXPECT_EQ(progId, row.progId) << row.id;
        EXPECT_EQ(guid, row.guid) << row.id;
    }
    com::Registry::setPath({});
}

TEST_F(DtmDocuments, ABrokenTemplateEmptiesParametersAndFailsTheOtherCalls) {
    auto dtm = Embedded();
    for (const char* file : {"DTMParameters.xml", "FDTBasicChannelParameter.xml"})
        std::ofstream(app / ("XMLData/" + std::string(file)), std::ios::trunc)
            << "<FDT xmlns=\"x-schema:DTMParameterSchema.xml\"><Bogus/></FDT>";
    std::string text = "x";
    ASSERT_EQ(dtm->GetParameters("", &text), com::S_OK);
    EXPECT_EQ(text, "");
    EXPECT_TRUE(com::FAILED(dtm->GetChannelParameters("", "", &text)));
    EXPECT_TRUE(com::takeErrorInfo());
}

// Trace on, and the setting for several children as the parameter gives it ("": absent).
std::string ChannelIni(const std::string& multiple) {
    std::string ini = DtmAppDir::ShippedIni();
    ini.replace(ini.find("\nTrace=None"), 11, "\nTrace=ExternalFile");
    const std::string key = "IsMultipleDeviceConnection=False";
    ini.replace(ini.find(key), key.size(),
                multiple.empty() ? "" : "IsMultipleDeviceConnection=" + multiple);
    return ini;
}

class DtmChannel : public DtmDocuments, public ::testing::WithParamInterface<const char*> {
protected:
    DtmChannel() : DtmDocuments(ChannelIni(GetParam())) {}
};

// The frame's way: the channel named "TIVChannel1" (any case) of GetChannels.
TEST_P(DtmChannel, TheNamedChannelAnswersPathParametersAndChildren) {
    const bool many = std::string(GetParam()) == "tRUE";
    auto dtm = Embedded();
    ComPtr<com::IDispatch> list, item;
    ASSERT_EQ(dtm->GetChannels(list.put()), com::S_OK);
    ComPtr<fdt::IFdtChannelCollection> channels;
    list->QueryInterface(fdt::IFdtChannelCollection::iid, channels.putVoid());
    ASSERT_EQ(channels->Item(com::Variant("tivchannel1"), item.put()), com::S_OK);
    ComPtr<fdt::IFdtChannel> channel;
    ComPtr<fdt::IFdtChannelSubTopology> topology;
    ASSERT_EQ(item->QueryInterface(fdt::IFdtChannel::iid, channel.putVoid()), com::S_OK);
    ASSERT_EQ(item->QueryInterface(fdt::IFdtChannelSubTopology::iid, topology.putVoid()),
              com::S_OK);

    std::string path, parameters;
    ASSERT_EQ(channel->GetChannelPath(&path), com::S_OK);
    EXPECT_EQ(path, "Top/TIVChannel1");
    ASSERT_EQ(channel->GetChannelParameters("", "", &parameters), com::S_OK);
    EXPECT_EQ(Reloaded(parameters).selectSingleNode("FDT/FDTBasicChannel").getAttribute("fdt:id"),
              "TIVChannel1");

    auto valid = [&] {
        com::VARIANT_BOOL ok = com::VARIANT_FALSE;
        EXPECT_EQ(topology->ValidateAddChild("Dev", &ok), com::S_OK);
        return ok != com::VARIANT_FALSE;
    };
    com::VARIANT_BOOL ignored = com::VARIANT_FALSE;
    EXPECT_TRUE(valid());
    topology->OnAddChild("A", &ignored);
    EXPECT_EQ(valid(), many);
    topology->OnRemoveChild("A", &ignored);
    EXPECT_TRUE(valid());

    const std::string trace = tivmatetest::readFile(tivmate::TraceFilePath());
    const std::string lines[] = {
        "IFdtChannel_GetChannelPath: Top/TIVChannel1",
        "IFdtChannel_GetChannelParameters: entry",
        "IFdtChannel_GetChannelParameters: TIVChannel1",
        "IFdtChannelSubTopology_ValidateAddChild: entry",
        std::string("IFdtChannelSubTopology_ValidateAddChild: ") + (many ? "TRUE" : "FALSE"),
        "IFdtChannelSubTopology_OnAddChild: A",
        "IFdtChannelSubTopology_OnRemoveChild: A"};
    for (const auto& line : lines) EXPECT_THAT(trace, HasSubstr(line));
}

INSTANTIATE_TEST_SUITE_P(Setting, DtmChannel, ::testing::Values("", "False", "tRUE"));

}  // namespace
