// DTMMain against a recording driver registered in place of Tivlink.TivDriver: creation and
// its errors, destruction with the driver, the IDtm lifecycle, adapter start-up, status and
// driver events, persistence.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "DtmFakes.h"
#include "com/ErrorInfo.h"
#include "fdt/DualInterface.h"
#include "fdt/FdtInterfaces.h"
#include "fdt/PropertyBag.h"
#include "module/DTMMain.h"
#include "os/MessageBox.h"

namespace {

using namespace dtmtest;
using com::ComPtr;
using testing::ElementsAre;
using testing::HasSubstr;
using tivmate::DTMMain;

constexpr char kUserInfo[] =
    R"(<FDT xmlns="x-schema:FDTUserInformationSchema.xml"><FDTUserInformation userLevel="%s"/></FDT>)";

std::string UserInfo(const std::string& level) {
    std::string doc = kUserInfo;
    doc.replace(doc.find("%s"), 2, level);
    return doc;
}

ComPtr<DTMMain> MakeDtm(com::HRESULT* hr = nullptr) {
    ComPtr<DTMMain> dtm;
    const com::HRESULT r = DTMMain::createInstance(tivmate::IID__DTMMain, dtm.putVoid());
    if (hr) *hr = r;
    return dtm;
}

bool Vb(com::VARIANT_BOOL b) {
    return b != com::VARIANT_FALSE;
}

class DtmTest : public ::testing::Test {
protected:
    ~DtmTest() override { com::clearErrorInfo(); }

    // A DTM embedded in a frame, its persistence initialised from the shipped DTM.ini.
    ComPtr<DTMMain> Embedded() {
        auto dtm = MakeDtm();
        EXPECT_TRUE(dtm);
        EXPECT_EQ(dtm->InitNew(), com::S_OK);
        com::VARIANT_BOOL ok = com::VARIANT_FALSE;
        EXPECT_EQ(dtm->Environment("Tiv1", static_cast<fdt::IFdtContainer*>(frame.get()), &ok),
                  com::S_OK);
        EXPECT_TRUE(Vb(ok));
        return dtm;
    }

    std::vector<std::string> CallsSince(std::size_t from) const {
        const auto& all = World().calls;
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
    }

    DtmAppDir app;
    ScopedFakeDriver driver;
    ComPtr<FakeFrame> frame = FakeFrame::create();
};

TEST_F(DtmTest, CreationTakesTheDriversVersionOrFailsWithTheConversionError) {
    struct Row {
        std::int32_t version;
        com::HRESULT hr;
        const char* text;
    } rows[] = {
        {0x0105, com::S_OK, "1.05"},    {0x0A0B, com::S_OK, "0A.0B"},
        {0x1200, com::S_OK, "12.00"},   {70000, com::DISP_E_OVERFLOW, ""},
        {-1, com::DISP_E_OVERFLOW, ""},
    };
    for (const auto& row : rows) {
        World().script.version = row.version;
        com::HRESULT hr = com::S_OK;
        auto dtm = MakeDtm(&hr);
        EXPECT_EQ(hr, row.hr) << row.version;
        if (com::SUCCEEDED(hr)) {
            com::Variant v;
            dtm->get_DllVersionNumber(&v);
            EXPECT_EQ(v.bstr(), row.text);
        } else {
            auto info = com::takeErrorInfo();
            ASSERT_TRUE(info);
            EXPECT_THAT(info->description, HasSubstr(std::to_string(row.version)));
        }
    }
    // A DTM that failed to come up leaves no driver behind.
    EXPECT_EQ(World().made, World().destroyed + 0) << "a failed creation kept its driver";
}

TEST(DtmCreation, AnUnregisteredDriverReachesTheFrameWithItsOwnCode) {
    DtmAppDir app;
    testsupport::TempDir dir("dtm-reg");
    com::Registry::setPath(dir / "empty.reg");
    com::HRESULT hr = com::S_OK;
    auto dtm = MakeDtm(&hr);
    com::Registry::setPath({});
    EXPECT_FALSE(dtm);
    EXPECT_EQ(hr, com::REGDB_E_CLASSNOTREG);
    auto info = com::takeErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_FALSE(info->description.empty());
}

TEST_F(DtmTest, CreationWithoutANumericRecordSizeFailsNamingTheKey) {
    app.writeIni("[TimeCritical]\nCyclicRecordSaveSize=lots\n");
    com::HRESULT hr = com::S_OK;
    EXPECT_FALSE(MakeDtm(&hr));
    EXPECT_EQ(hr, com::DISP_E_TYPEMISMATCH);
    auto info = com::takeErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->description,
              "DTM.ini [TimeCritical] CyclicRecordSaveSize: \"lots\" is not a number");
}

TEST_F(DtmTest, ReleasedDtmsAreDestroyedWithTheirDrivers) {
    for (bool released : {false, true}) {
        const int before = World().destroyed;
        {
            auto dtm = Embedded();
            ComPtr<com::IDispatch> channels;
            dtm->GetChannels(channels.put());
            if (released) {
                com::VARIANT_BOOL ok = com::VARIANT_FALSE;
                dtm->PrepareToRelease(&ok);
                EXPECT_TRUE(Vb(ok));
            }
            // The channel list outlives the DTM here; its entry must not keep it.
        }
        EXPECT_EQ(World().destroyed, before + 1) << "released=" << released;
        EXPECT_EQ(World().live, nullptr);
    }
}

TEST_F(DtmTest, EnvironmentAcceptsOnceWithATagAndAFrameWithEvents) {
    auto dtm = MakeDtm();
    auto plainContainer = FakeFrame::create();
    com::VARIANT_BOOL ok = com::VARIANT_TRUE;
    EXPECT_EQ(dtm->Environment("", static_cast<fdt::IFdtContainer*>(frame.get()), &ok), com::S_OK);
    EXPECT_FALSE(Vb(ok));
    EXPECT_EQ(dtm->Environment("Tiv1", nullptr, &ok), com::S_OK);
    EXPECT_FALSE(Vb(ok));
    EXPECT_EQ(dtm->Environment("Tiv1", static_cast<fdt::IFdtContainer*>(frame.get()), &ok),
              com::S_OK);
    EXPECT_TRUE(Vb(ok));
    EXPECT_EQ(dtm->Environment("Tiv2", static_cast<fdt::IFdtContainer*>(frame.get()), &ok),
              com::S_OK);
    EXPECT_FALSE(Vb(ok));
    EXPECT_EQ(dtm->SystemTag(), "Tiv1");
}

TEST_F(DtmTest, ConfigMapsUserLevelsExactly) {
    auto dtm = Embedded();
    struct Row {
        const char* level;
        bool accepted;
        std::int16_t stored;
    } rows[] = {{"maintenance", true, 2},
                {"Operator", false, 2},
                {"observer", true, 0},
                {"PLANNINGENGINEER", false, 0},
                {"planningEngineer", true, 3}};
    for (const auto& row : rows) {
        com::VARIANT_BOOL ok = com::VARIANT_FALSE;
        EXPECT_EQ(dtm->Config(UserInfo(row.level), &ok), com::S_OK) << row.level;
        EXPECT_EQ(Vb(ok), row.accepted) << row.level;
        EXPECT_EQ(dtm->UserLevel(), row.stored) << row.level;
    }
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    EXPECT_NE(dtm->Config("<FDT/>", &ok), com::S_OK) << "a document without the node";
}

TEST_F(DtmTest, InitUBSAdapterFollowsTheSelectionResult) {
    struct Row {
        std::int32_t select;
        std::int32_t connect;
        const char* info;  // USBSWInfo afterwards
        bool firmware, bus;
        bool settingsApplied;
    } rows[] = {
        {0, 0, "Adapter firmware: V2.21 ", true, true, true},
        {16, 0, "msg_SelectedAddressNotAvailable", false, false, false},
        {32, 0, "msg_AdapterNotAvailable", false, false, false},
        {64, 0, "msg_NumberOutOfRange", false, false, false},
        {128, 64, "msg_LoadingAdapterFirmware", false, true, false},
        {128, 1, "msg_FirmwareFileNotFound", false, true, false},
        {128, 18, "err_USBPortError", false, true, false},
        {128, 128, "msg_DefictiveFirmware", false, true, false},
        // A failed status read does not leave an earlier "connected" behind.
        {17, 0, "Adapter firmware: V2.21 ", false, false, false},
    };
    for (const auto& row : rows) {
        auto dtm = Embedded();  // selects with result 0 first: firmware and bus up
        World().script.selectResult = row.select;
        World().script.connectResult = row.connect;
        const auto mark = World().calls.size();
        EXPECT_EQ(dtm->InitUBSAdapter(), com::S_OK);
        std::string info;
        dtm->get_USBSWInfo(&info);
        const auto key = std::string(row.info);
        EXPECT_EQ(info, key.starts_with("Adapter") ? key : dtm->DictionaryText(key))
            << row.select << "/" << row.connect;
        com::Variant fw, bus;
        dtm->get_TIVAdapterFirmwareLoaded(&fw);
        dtm->get_TIVBusConnected(&bus);
        EXPECT_EQ(fw.boolVal() != 0, row.firmware) << row.select;
        EXPECT_EQ(bus.boolVal() != 0, row.bus) << row.select;
        const auto calls = CallsSince(mark);
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "SetToken(2,3)"), row.settingsApplied)
            << row.select;
        std::int32_t colour = 0;
        dtm->get_USBAdapterFirmwareLoadedColor(&colour);
        EXPECT_EQ(colour, row.firmware ? tivmate::kColorGreen : tivmate::kColorRed);
        World().script = DriverScript{};
    }
}

TEST_F(DtmTest, DriverSettingsGoOverInTheirOrder) {
    struct Row {
        std::int32_t setToken;
        std::int16_t bufferSize;
        bool delay;
        std::vector<std::string> calls;
    } rows[] = {
        {0,
         200,
         true,
         {"SetToken(2,3)", "put_FilterType", "FilterOn", "DelayOn", "put_BufferMode",
          "put_BufferSize", "InitBuffer"}},
        {0,
         0,
         false,
         {"SetToken(2,3)", "put_FilterType", "FilterOn", "DelayOff", "put_BufferMode",
          "InitBuffer"}},
        {5, 200, true, {"SetToken(2,3)"}},
    };
    for (const auto& row : rows) {
        auto dtm = Embedded();
        World().script.setTokenResult = row.setToken;
        dtm->put_PersistentBufferSizeValue(row.bufferSize);
        dtm->put_PersistentDelay(row.delay ? com::VARIANT_TRUE : com::VARIANT_FALSE);
        const auto mark = World().calls.size();
        EXPECT_EQ(dtm->ApplyDriverSettings(), row.setToken == 0);
        EXPECT_EQ(CallsSince(mark), row.calls);
        World().script = DriverScript{};
    }
}

TEST_F(DtmTest, DriverEventsMoveTheStatus) {
    auto dtm = Embedded();
    auto diagnosis = FakeControl::create();
    dtm->putref_CtlDiagnosisPointer(static_cast<fdt::IDiagnosisView*>(diagnosis.get()));
    auto status = [&] {
        com::Variant v;
        dtm->get_CommStatus(&v);
        return v.i4();
    };
    EXPECT_EQ(status(), 0);

    World().live->Fire(tivlink::TivDriverEvent::OnAdapterDiscon);
    EXPECT_EQ(status(), 1);
    EXPECT_EQ(diagnosis->calls.back(),
              "SetDiagnosisStatus(1," + dtm->DictionaryText("msg_Disconnected") + ",)");

    // Firmware loaded: selected again, and the version number stays with later reads.
    World().live->Fire(tivlink::TivDriverEvent::OnFirmwareLoaded);
    EXPECT_EQ(status(), 0);
    com::Variant info;
    dtm->get_AdapterSWNumberInfo(&info);
    EXPECT_EQ(info.bstr(), dtm->DictionaryText("msg_AdapterFirmwareVersion") + "V2.21 ");
    std::string swInfo;
    dtm->get_USBSWInfo(&swInfo);
    EXPECT_EQ(swInfo, info.bstr());

    // A failed download names its cause; the driver posts none of these today.
    for (const auto& [load, key] : std::initializer_list<std::pair<int, const char*>>{
             {1, "msg_FirmwareFileNotFound"},
             {2, "err_DownloadErrorInStandardRegion"},
             {3, "err_USBPortError"},
             {4, "err_USBPortError"},
             {17, "err_USBPortError"},
             {18, "err_USBPortError"},
             {128, "msg_DefectiveFirmware"}}) {
        World().script.loadResult = load;
        World().live->Fire(tivlink::TivDriverEvent::OnFirmwareLoaded);
        dtm->get_USBSWInfo(&swInfo);
        EXPECT_EQ(swInfo, dtm->DictionaryText(key)) << load;
        EXPECT_FALSE(swInfo.empty()) << key;
    }

    World().script.connected = false;
    World().live->Fire(tivlink::TivDriverEvent::OnTivConnected);
    std::int32_t busColour = 0;
    dtm->get_TIVBusActiveColor(&busColour);
    EXPECT_EQ(busColour, tivmate::kColorRed);
}

// A device DTM's side of a connection: what it was answered.
class DeviceEvents final
    : public com::ComObject<DeviceEvents,
                            fdt::DualImpl<DeviceEvents, fdt::IFdtCommunicationEvents>> {
public:
    int connects = 0, disconnects = 0;
    com::HRESULT OnAbort(const std::string&) override { return com::S_OK; }
    com::HRESULT OnConnectResponse(const std::string&, const std::string&) override {
        ++connects;
        return com::S_OK;
    }
    com::HRESULT OnDisconnectResponse(const std::string&, const std::string&) override {
        ++disconnects;
        return com::S_OK;
    }
    com::HRESULT OnTransactionResponse(const std::string&, const std::string&) override {
        return com::S_OK;
    }
};

// A connect taken while the adapter's firmware does not answer waits unanswered; it must not
// stay so for the life of the DTM: the firmware coming up answers it, a disconnect ends it.
TEST_F(DtmTest, ConnectWaitingForTheFirmwareIsAnsweredOrGivenUp) {
    constexpr char kProtocol[] = "81684E65-6385-4690-ACCF-49995B3B4E8B";
    for (const bool giveUp : {false, true}) {
        SCOPED_TRACE(giveUp ? "disconnect" : "firmware loaded");
        auto dtm = Embedded();
        ASSERT_EQ(dtm->InitUBSAdapter(), com::S_OK);
        auto device = DeviceEvents::create();
        auto* events = static_cast<fdt::IFdtCommunicationEvents*>(device.get());
        World().script.firmwareLoaded = false;
        com::VARIANT_BOOL ok = com::VARIANT_FALSE;
        dtm->ConnectRequest(events, "c1", kProtocol, "<FDT/>", &ok);
        ASSERT_TRUE(Vb(ok));
        EXPECT_EQ(device->connects, 0);
        World().script.firmwareLoaded = true;
        if (giveUp) {
            dtm->DisconnectRequest("d1", "", &ok);
            EXPECT_TRUE(Vb(ok));
            EXPECT_EQ(device->disconnects, 1);
            dtm->ConnectRequest(events, "c2", kProtocol, "<FDT/>", &ok);
            EXPECT_TRUE(Vb(ok));
        } else {
            World().live->Fire(tivlink::TivDriverEvent::OnFirmwareLoaded);
        }
        EXPECT_EQ(device->connects, 1);
    }
}

// A connect that fails half-way (its answer cannot be built) is undone: the next one is taken.
TEST_F(DtmTest, FailedConnectLeavesNoHalfMadeConnection) {
    constexpr char kProtocol[] = "81684E65-6385-4690-ACCF-49995B3B4E8B";
    auto dtm = Embedded();
    ASSERT_EQ(dtm->InitUBSAdapter(), com::S_OK);
    auto device = DeviceEvents::create();
    auto* events = static_cast<fdt::IFdtCommunicationEvents*>(device.get());
    std::vector<std::string> boxes;
    os::ScopedMessageBoxHandler box(
        [&](const std::string& text, const std::string&, std::uint32_t) {
            boxes.push_back(text);
            return os::IDOK;
        });
    const auto answer = app / "XMLData" / "TIVConnectResponse.xml";
    const auto aside = app / "TIVConnectResponse.xml";
    std::filesystem::rename(answer, aside);
    com::VARIANT_BOOL ok = com::VARIANT_TRUE;
    dtm->ConnectRequest(events, "c1", kProtocol, "<FDT/>", &ok);
    EXPECT_FALSE(Vb(ok));
    EXPECT_EQ(boxes.size(), 1u);
    std::filesystem::rename(aside, answer);
    dtm->ConnectRequest(events, "c2", kProtocol, "<FDT/>", &ok);
    EXPECT_TRUE(Vb(ok));
    EXPECT_EQ(device->connects, 1);
}

TEST_F(DtmTest, NothingReachesTheDriverAfterPrepareToRelease) {
    auto dtm = Embedded();
    FakeDriver* fake = World().live;
    ComPtr<FakeDriver> keep(fake);  // so the test can still fire on it
    dtm->TimeoutTimer().SetEnabled(true);
    dtm->RecordTimer().SetEnabled(true);

    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    EXPECT_EQ(dtm->PrepareToRelease(&ok), com::S_OK);
    EXPECT_TRUE(Vb(ok));
    EXPECT_EQ(World().calls.back(), "DrvFree");
    EXPECT_FALSE(dtm->TimeoutTimer().Enabled());
    EXPECT_FALSE(dtm->RecordTimer().Enabled());
    EXPECT_EQ(fake->SinkCount(), 0u);

    const auto mark = World().calls.size();
    for (auto e :
         {tivlink::TivDriverEvent::OnFirmwareLoaded, tivlink::TivDriverEvent::OnTivConnected,
          tivlink::TivDriverEvent::OnAdapterDiscon})
        fake->Fire(e);
    dtm->InitUBSAdapter();
    EXPECT_EQ(dtm->PrepareToRelease(&ok), com::S_OK);
    EXPECT_TRUE(Vb(ok)) << "a second release is accepted again";
    EXPECT_TRUE(CallsSince(mark).empty());
    EXPECT_EQ(std::count(frame->calls.begin(), frame->calls.end(), "OnPreparedToRelease"), 2);

    // A released DTM refuses a new device and communication.
    std::vector<std::string> boxes;
    os::ScopedMessageBoxHandler box(
        [&](const std::string& text, const std::string&, std::uint32_t) {
            boxes.push_back(text);
            return os::IDOK;
        });
    EXPECT_EQ(dtm->InitNew("<FDT/>", &ok), com::S_OK);
    EXPECT_FALSE(Vb(ok));
    EXPECT_THAT(boxes, ElementsAre(dtm->DictionaryText("err_adding_second_driver_prompt")));
    EXPECT_EQ(dtm->SetCommunication(nullptr, &ok), com::S_OK);
    EXPECT_FALSE(Vb(ok));
}

TEST_F(DtmTest, LanguageMonitorAndCaptions) {
    auto dtm = Embedded();
    auto control = FakeControl::create();
    dtm->putref_CtlMonitorPointer(static_cast<fdt::IMonitorView*>(control.get()));

    // Primary language 7 from either id; the second switch changes nothing.
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    EXPECT_EQ(dtm->SetLanguage(0x0407, &ok), com::S_OK);
    EXPECT_TRUE(Vb(ok));
    EXPECT_EQ(dtm->SetLanguage(0x0007, &ok), com::S_OK);
    EXPECT_TRUE(Vb(ok));
    EXPECT_EQ(std::count(control->calls.begin(), control->calls.end(), "UpdateLanguage"), 1);
    EXPECT_EQ(dtm->SetLanguage(0x0413, &ok), com::S_OK);
    EXPECT_FALSE(Vb(ok)) << "a language the dictionary lacks";

    control->calls.clear();
    const std::string longName(60, 'F');
    dtm->MonitorMsg(longName, "text", 255, 2);
    dtm->MonitorMsg("Other", "text", 255, 1);
    dtm->put_PersistentProtocolFilter(com::VARIANT_FALSE);
    dtm->MonitorMsg("Protocol", "hidden", 255, 0);
    EXPECT_THAT(control->calls, ElementsAre("MessageLine(" + std::string(50, 'F') + "- text,255)"));

    control->children = {{"lblAdapterNumber", {}, "old"},
                         {"optMode", com::Variant(1), "old"},
                         {"broken", {}, "old", true},
                         {"lblNoSuchKey", {}, "old"}};
    EXPECT_EQ(dtm->TranslateControls("ctlOfflineParam_",
                                     static_cast<fdt::IControlCaptions*>(control.get())),
              com::S_OK);
    EXPECT_EQ(control->children[0].caption,
              dtm->DictionaryText("ctlOfflineParam_lblAdapterNumber"));
    EXPECT_FALSE(control->children[0].caption.empty());
    EXPECT_EQ(control->children[2].caption, "old") << "a control whose name fails is skipped";
    EXPECT_EQ(control->children[3].caption, "");
}

TEST_F(DtmTest, ParameterChangesAreKeptEvenWithoutAFrame) {
    auto dtm = MakeDtm();
    EXPECT_EQ(dtm->IsDirty(), com::S_FALSE);
    auto diagnosis = FakeControl::create();
    dtm->putref_CtlDiagnosisPointer(static_cast<fdt::IDiagnosisView*>(diagnosis.get()));
    EXPECT_EQ(dtm->PersistentParamChanged("PersistentMaxStackValue", "7"), com::S_OK);
    EXPECT_EQ(dtm->IsDirty(), com::S_OK);
    EXPECT_THAT(diagnosis->calls, ElementsAre("MaxStackSize(7)"));

    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    dtm->Environment("Tiv1", static_cast<fdt::IFdtContainer*>(frame.get()), &ok);
    EXPECT_EQ(dtm->PersistentParamChanged("PersistentCommRetries", "4"), com::S_OK);
    EXPECT_THAT(frame->calls, ElementsAre("OnParameterChanged"));
}

TEST_F(DtmTest, PersistenceRoundTripsAndNeverHalfLoads) {
    auto first = MakeDtm();
    ASSERT_EQ(first->InitNew(), com::S_OK);
    EXPECT_EQ(first->Persistent().m_ChannelUUID, "TIVChannel1");
    first->put_PersistentCommTimeoutValue(2000);
    first->put_PersistentProtocolFilter(com::VARIANT_FALSE);
    auto bag = fdt::PropertyBag::create();
    ASSERT_EQ(first->Save(bag.get(), true, true), com::S_OK);
    EXPECT_EQ(first->IsDirty(), com::S_FALSE);
    ASSERT_EQ(bag->entries().size(), 13u);
    EXPECT_EQ(bag->entries()[0].first, "PresistentTrace");
    EXPECT_EQ(bag->entries()[4].second.bstr(), "2000");

    auto second = MakeDtm();
    ASSERT_EQ(second->Load(bag.get(), nullptr), com::S_OK);
    const auto& a = first->Persistent();
    const auto& b = second->Persistent();
    EXPECT_EQ(b.PersistentCommTimeoutValue, 2000);
    EXPECT_EQ(b.PersistentProtocolFilter, false);
    EXPECT_EQ(std::tie(a.PresistentTrace, a.PersistentBufferSizeValue, a.PersistentDelay,
                       a.PersistentAdapterAddress, a.m_ChannelUUID),
              std::tie(b.PresistentTrace, b.PersistentBufferSizeValue, b.PersistentDelay,
                       b.PersistentAdapterAddress, b.m_ChannelUUID));

    // A value that is not a number: an error naming it, and nothing of the bag taken.
    auto bad = fdt::PropertyBag::create();
    bad->Write("PersistentFilterTypeValue", com::Variant("5"));
    bad->Write("PersistentCommTimeoutValue", com::Variant("abc"));
    auto log = fdt::ErrorLog::create();
    EXPECT_EQ(second->Load(bad.get(), log.get()), com::DISP_E_TYPEMISMATCH);
    auto info = com::takeErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->description,
              "property bag PersistentCommTimeoutValue: \"abc\" is not a number");
    ASSERT_EQ(log->entries().size(), 1u);
    EXPECT_EQ(log->entries()[0].propertyName, "PersistentCommTimeoutValue");
    EXPECT_EQ(second->Persistent().PersistentFilterTypeValue, b.PersistentFilterTypeValue);
    EXPECT_EQ(second->Persistent().PersistentCommTimeoutValue, 2000);

    // A bag without the channel id restores the default one.
    auto sparse = fdt::PropertyBag::create();
    ASSERT_EQ(second->Load(sparse.get(), nullptr), com::S_OK);
    EXPECT_EQ(second->Persistent().m_ChannelUUID, "290C3644-7618-46fC-8398-33B8BB47D92B");
}

TEST_F(DtmTest, InitialisationFromIniFailsWholeOnABadValue) {
    struct Row {
        const char* replace;
        const char* by;
        const char* error;  // empty: accepted
    } rows[] = {
        {"PersistentCommTimeoutValue=1000", "PersistentCommTimeoutValue=",
         "DTM.ini [InitialValues] PersistentCommTimeoutValue: \"\" is not a number"},
        {"PersistentDelay=True", "PersistentDelay=maybe",
         "DTM.ini [InitialValues] PersistentDelay: \"maybe\" is not a boolean"},
        {"PersistentMaxStackValue=10", "PersistentMaxStackValue=2.5",
         "DTM.ini [InitialValues] PersistentMaxStackValue: \"2.5\" is not a number"},
        {"PersistentCommTimeoutValue=1000", "PersistentCommTimeoutValue=2000", ""},
        {"PersistentDelay=True", "PersistentDelay=0", ""},
    };
    for (const auto& row : rows) {
        std::string ini = DtmAppDir::ShippedIni();
        ini.replace(ini.find(row.replace), std::string_view(row.replace).size(), row.by);
        app.writeIni(ini);
        auto dtm = MakeDtm();
        ASSERT_TRUE(dtm);
        const auto before = dtm->Persistent();
        const com::HRESULT hr = dtm->InitNew();
        if (*row.error) {
            EXPECT_EQ(hr, com::DISP_E_TYPEMISMATCH) << row.by;
            auto info = com::takeErrorInfo();
            ASSERT_TRUE(info);
            EXPECT_EQ(info->description, row.error);
            EXPECT_EQ(dtm->Persistent().PersistentFilterTypeValue,
                      before.PersistentFilterTypeValue);
            EXPECT_EQ(dtm->Persistent().m_ChannelUUID, before.m_ChannelUUID);
        } else {
            EXPECT_EQ(hr, com::S_OK) << row.by;
        }
    }
}

TEST_F(DtmTest, FunctionsShowTheTestFunctionByTheSetting) {
    for (const char* setting : {"true", "False"}) {
        std::string ini = DtmAppDir::ShippedIni();
        ini.replace(ini.find("IsTestControlAvailable=True"), 27,
                    std::string("IsTestControlAvailable=") + setting);
        app.writeIni(ini);
        auto dtm = MakeDtm();
        std::string doc;
        ASSERT_EQ(dtm->GetFunctions("", &doc), com::S_OK);
        const auto test = doc.find("fdt:name=\"Test\"");
        ASSERT_NE(test, std::string::npos);
        const bool shown = doc.find("hidden=\"0\"", test) < doc.find("</Function>", test);
        EXPECT_EQ(shown, std::string(setting) == "true") << setting;
        EXPECT_EQ(doc.find("$("), std::string::npos) << "tags left in " << doc;
    }
}

}  // namespace
