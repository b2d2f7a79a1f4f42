#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <string>

#include "ScopedAppDir.h"
#include "core/Settings.h"
#include "core/clsDictionary.h"
#include "xml/Document.h"
#include "xml/SchemaCache.h"

namespace {

namespace fs = std::filesystem;
using tivmatetest::ScopedAppDir;

const fs::path kData = TIVMATE_DATA_DIR;

std::shared_ptr<xml::SchemaCache> ownSchemas() {
    auto cache = std::make_shared<xml::SchemaCache>();
    cache->addDirectory(kData / "XMLSchemas");
    return cache;
}

std::vector<fs::path> templates() {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(kData / "XMLData"))
        if (e.path().filename() != "DTMDictionary.xml") out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

xml::Document validated(const std::shared_ptr<xml::SchemaCache>& cache, const std::string& text) {
    xml::Document d;
    d.setSchemas(cache);
    EXPECT_TRUE(d.loadXML(text)) << d.parseError().reason << " line " << d.parseError().line << "\n"
                                 << text;
    return d;
}

TEST(TivmateData, EverySchemaCompilesAndEveryTemplateValidates) {
    const auto cache = ownSchemas();
    EXPECT_EQ(cache->size(), 13u);
    for (const auto& key : cache->keys())
        EXPECT_NE(cache->compiled(key), nullptr) << key << ": " << cache->compileError(key);

    const auto files = templates();
    EXPECT_EQ(files.size(), 15u);
    for (const auto& file : files) {
        xml::Document d;
        d.setSchemas(cache);
        ASSERT_TRUE(d.load(file)) << file << ": " << d.parseError().reason << " line "
                                  << d.parseError().line;
        // Validated, not merely well-formed: the root's namespace has a schema.
        EXPECT_NE(cache->compiled(d.documentElement().namespaceURI()), nullptr) << file;
        validated(cache, d.xml());  // and what we write of it loads again
    }
}

TEST(TivmateData, DocumentsTheDtmBuildsStayValid) {
    const auto cache = ownSchemas();

    // Documentation rows are appended after the graphic, named through the in-scope prefix.
    xml::Document doc;
    doc.setSchemas(cache);
    ASSERT_TRUE(doc.load(kData / "XMLData" / "DTMDocumentation.xml"));
    auto vars = doc.selectSingleNode("FDT/DocumentVariables");
    vars.setAttribute("fdt:name", "Tivmate");
    for (const char* name : {"Adapter number", "Delay <on> & \"off\""}) {
        auto row = vars.appendChild(doc.createElement("DocumentVariable", vars.namespaceURI()));
        row.setAttribute("fdt:name", name);
        row.setAttribute("fdt:display", "1000 [ms]");
    }
    doc.selectSingleNode("FDT/DocumentVariables/GraphicReference").setAttribute("path", "/x/y.gif");
    auto again = validated(cache, doc.xml());
    EXPECT_EQ(again.selectNodes("FDT/DocumentVariables/DocumentVariable").size(), 2u);

    // Functions: the test function's flag, then the labels translated into XML.
    ScopedAppDir app;
    tivmate::clsDictionary dict;
    ASSERT_TRUE(dict.LoadDictionary(kData / "XMLData" / "DTMDictionary.xml"));
    xml::Document functions;
    functions.setSchemas(cache);
    ASSERT_TRUE(functions.load(kData / "XMLData" / "DTMFunctions.xml"));
    auto test = functions.selectSingleNode(R"(FDT/Functions/Function[@fdt:name = "Test"])");
    ASSERT_TRUE(test);
    test.selectSingleNode("Status").setAttribute("hidden", "1");
    const auto translated = validated(cache, dict.TranslateStringTagsForXml(functions.xml()));
    EXPECT_EQ(translated.xml().find("$("), std::string::npos);

    // Every communication template takes the attributes the DTM sets, prefixes bound.
    xml::Document connect;
    ASSERT_TRUE(connect.load(kData / "XMLData" / "TIVConnectResponse.xml"));
    connect.selectSingleNode("FDT/ConnectResponse").setAttribute("fdt:tag", "T1");
    validated(cache, connect.xml());

    // What the frame sends (its schemas are ours): device type, user information, a call.
    xml::Document info;
    ASSERT_TRUE(info.load(kData / "XMLData" / "DTMInformation.xml"));
    std::string deviceType = info.xml();
    deviceType = deviceType.substr(deviceType.find("<fdt:DtmDeviceType"));
    deviceType = deviceType.substr(0, deviceType.find("</DtmDeviceTypes>"));
    const std::string frameDocs[] = {
        "<FDT xmlns=\"x-schema:DTMInitSchema.xml\" xmlns:fdt=\"x-schema:FDTDataTypesSchema.xml\">" +
            deviceType + "</FDT>",
        R"(<FDT xmlns="x-schema:FDTUserInformationSchema.xml"><FDTUserInformation userLevel="planningEngineer" userName="u" projectName="p"/></FDT>)",
        R"(<FDT xmlns="x-schema:DTMFunctionCallSchema.xml" xmlns:func="x-schema:DTMFunctionsSchema.xml" xmlns:appId="x-schema:FDTApplicationIdSchema.xml"><FDTFunctionCall func:functionId="10"><appId:ApplicationId id="frame"/></FDTFunctionCall></FDT>)",
    };
    for (const auto& text : frameDocs) validated(cache, text);
    auto init = validated(cache, frameDocs[0]);
    EXPECT_EQ(
        init.selectSingleNode("FDT/fdt:DtmDeviceType/fdt:VersionInformation").getAttribute("name"),
        "TIV Driver");
    EXPECT_EQ(init.selectSingleNode("FDT/fdt:DtmDeviceType/fdt:BusCategories/fdt:BusCategory")
                  .getAttribute("busCategory"),
              "81684E65-6385-4690-ACCF-49995B3B4E8B");
    xml::Document badLevel;
    badLevel.setSchemas(cache);
    EXPECT_FALSE(badLevel.loadXML(
        R"(<FDT xmlns="x-schema:FDTUserInformationSchema.xml"><FDTUserInformation userLevel="Operator"/></FDT>)"));
}

TEST(TivmateData, ShippedSettingsHaveEveryKeyWithAWorkingValue) {
    const fs::path ini = kData / "Resources" / "DTM.ini";
    const struct {
        const char* section;
        const char* key;
        const char* value;
    } keys[] = {
        {"InitialValues", "PersistentFilterTypeValue", "0"},
        {"InitialValues", "PersistentBufferSizeValue", "200"},
        {"InitialValues", "PersistentBufferModeValue", "0"},
        {"InitialValues", "PersistentCommTimeoutValue", "1000"},
        {"InitialValues", "PersistentCommRetriesValue", "3"},
        {"InitialValues", "PersistentMaxStackValue", "10"},
        {"InitialValues", "PersistentDelay", "True"},
        {"InitialValues", "PersistentProtocolFilter", "True"},
        {"InitialValues", "PersistentInterfaceFilter", "True"},
        {"InitialValues", "PersistentAdapterAddress", "0"},
        {"InitialValues", "PersistentDisplayCyclicVal", "0"},
        {"TimeCritical", "PresistentTrace", "None"},
        {"TimeCritical", "CyclicRecordSaveSize ", "4096"},
        {"TimeCritical", "TraceFileSizeInMB", "10"},
        {"TimeCritical", "Trace", "None"},
        {"Advanced", "IsTestControlAvailable", "True"},
        {"Advanced", "IsMultipleDeviceConnection", "False"},
    };
    for (const auto& k : keys)
        EXPECT_EQ(tivmate::ReadIniString(ini, k.section, k.key), k.value) << k.key;
    const std::string text = tivmatetest::readFile(ini);
    EXPECT_FALSE(text.starts_with("\xEF\xBB\xBF"));
    for (const char* picture :
         {"device.ico", "device.gif", "Device_small.gif", "connected_13x52.gif",
          "disconn_13x52.gif", "error_13x52.gif", "manufacturer_logo.bmp"}) {
        const auto size = fs::file_size(kData / "Resources" / picture);
        EXPECT_GT(size, 0u) << picture;
        EXPECT_LT(size, 16384u) << picture;
    }
}

// Every key the DTM looks up: the fixed list, (Get)DictionaryText("…") literals in the sources
// and "$(…)" tags in the templates, in both languages.
TEST(TivmateData, EveryKeyUsedIsInBothLanguages) {
    std::set<std::string> used = {"err_adding_second_driver_prompt",
                                  "err_adding_second_driver_title",
                                  "err_DownloadErrorInStandardRegion",
                                  "err_USBPortError",
                                  "msg_AdapterFirmwareVersion",
                                  "msg_AdapterFirmwareNotLoaded",
                                  "msg_SelectedAddressNotAvailable",
                                  "msg_AdapterNotAvailable",
                                  "msg_NumberOutOfRange",
                                  "msg_TransactionSucceeded",
                                  "msg_FirmwareFileNotFound",
                                  "msg_LoadingAdapterFirmware",
                                  "msg_DefictiveFirmware",
                                  "msg_DefectiveFirmware",
                                  "msg_Connected",
                                  "msg_Disconnected",
                                  "msg_ConnectionError",
                                  "msg_RequestDelayed",
                                  "msg_DataInProcess",
                                  "msg_FatalErrorData",
                                  "msg_FatalErrorDescription",
                                  "msg_Func_Data_RequestProcessed",
                                  "msg_NoDescriptionAvailable",
                                  "msg_WrongAccessRight",
                                  "msg_Func_DataCannotBeExecuted",
                                  "msg_Func_DataNotSupported",
                                  "msg_ErrorInTesting",
                                  "str_TIVDriver",
                                  "str_yes",
                                  "str_no",
                                  "question_warning_message",
                                  "question_warning_title",
                                  "ctlOfflineParam_lblAdapterNumber",
                                  "ctlOfflineParam_lblCommunicationTimeout",
                                  "ctlOfflineParam_lblCommunicationRetries",
                                  "ctlOfflineParam_lblMaximumStackSize",
                                  "ctlOfflineParam_chkUSBDelayOn",
                                  "ctlOfflineParam_lblHeadlineTitle",
                                  "ctlAbout_lblTitle",
                                  "ctlAbout_lblVersion",
                                  "ctlAbout_lblDllVersion"};
    const std::regex literal(R"re(DictionaryText\("([^"]+)"\))re");
    for (const auto& e : fs::recursive_directory_iterator(TIVMATE_SOURCE_DIR)) {
        const auto ext = e.path().extension();
        if (ext != ".cpp" && ext != ".h") continue;
        const std::string text = tivmatetest::readFile(e.path());
        for (std::sregex_iterator it(text.begin(), text.end(), literal), end; it != end; ++it)
            used.insert((*it)[1]);
    }
    const std::regex tag(R"(\$\(([^)]*)\))");
    for (const auto& file : templates()) {
        const std::string text = tivmatetest::readFile(file);
        for (std::sregex_iterator it(text.begin(), text.end(), tag), end; it != end; ++it)
            if ((*it)[1] != "PathToDeviceIcon") used.insert((*it)[1]);  // not a text: the path
    }
    EXPECT_TRUE(used.count("str_FunctionTest"));

    ScopedAppDir app;
    tivmate::clsDictionary dict;
    ASSERT_TRUE(dict.LoadDictionary(kData / "XMLData" / "DTMDictionary.xml"));
    EXPECT_EQ(dict.GetDefaultLanguageId(), 9);
    std::map<std::int32_t, std::set<std::string>> keysOf;
    for (std::int32_t language : {9, 7}) {
        ASSERT_TRUE(dict.SelectLanguage(language, false));
        for (const auto& key : used)
            EXPECT_TRUE(dict.GetTextEntry("keys", key, "text")) << key << " in " << language;
        for (const auto& entry : dict.GetCategories("keys").at(0).children())
            keysOf[language].insert(entry.name());
    }
    EXPECT_EQ(keysOf[9], keysOf[7]);
    EXPECT_EQ(dict.GetTextEntry("keys", "msg_DefictiveFirmware", "text"),
              dict.GetTextEntry("keys", "msg_DefectiveFirmware", "text"));
    ASSERT_TRUE(dict.SelectLanguage(9, false));
    EXPECT_TRUE(dict.GetTextEntry("keys", "msg_AdapterFirmwareVersion", "text")->ends_with(": "));
    EXPECT_NE(dict.GetTextEntry("keys", "question_warning_message", "text")->find("---"),
              std::string::npos);
}

}  // namespace

// The about page shows the build's version; the information document must name the same.
TEST(TivmateData, InformationCarriesTheBuildsVersion) {
    xml::Document doc;
    doc.validateOnParse = false;
    ASSERT_TRUE(doc.load(kData / "XMLData" / "DTMInformation.xml"));
    std::optional<std::string> version;
    for (const auto& n : doc.selectNodes("FDT/DtmInfo/fdt:VersionInformation"))
        if (n.getAttribute("name") == "Tivmate") version = n.getAttribute("version");
    EXPECT_EQ(version, std::optional<std::string>(TIVMATE_VERSION));
}
