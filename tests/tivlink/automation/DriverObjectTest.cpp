// The driver object with its real log file and debug window: start-up and release as the
// log records them, the settings file, switching the log, shared files, and what reaches the
// message list.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "DiagnosticsSupport.h"
#include "support/EngineRig.h"
#include "tivlink/automation/DriverObject.h"

namespace {

using namespace diagtest;
using enginetest::PumpUntil;
using enginetest::SpySink;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;
using testsupport::FakeTransport;
using tivlink::DriverObject;

class DriverObjectTest : public ::testing::Test {
protected:
    std::unique_ptr<DriverObject> Make(std::optional<bool> logOn = std::nullopt) {
        DriverObject::Options options;
        options.transport = transport;
        options.firmwareImage = enginetest::Image();
        options.logFileOn = logOn;
        return std::make_unique<DriverObject>(std::move(options));
    }
    fs::path LogPath() const { return dir.Path() / tivlink::DefaultLogFileName(); }
    std::vector<std::string> Log() const { return LogTexts(LogPath()); }
    bool WaitForLogLine(const std::string& line) {
        return PumpUntil([&] { return Count(Log(), line) > 0; });
    }

    os::ScopedClock clock{std::make_shared<os::ScaledClock>(20.0)};
    ScratchDir dir;
    std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
};

const std::string kBanner(60, '#');

TEST_F(DriverObjectTest, SettingsFileDecidesWhetherTheLogStartsWithTheObject) {
    struct Case {
        std::optional<std::string> settings;  // nullopt: no file
        bool on;
    };
    const Case cases[] = {
        {"[LOGFILE]\nON=1\n", true},   {"[LOGFILE]\nON=0x1\n", true}, {"[LOGFILE]\nON=0\n", false},
        {"[LOGFILE]\nON=an\n", false}, {std::nullopt, false},
    };
    for (const auto& c : cases) {
        fs::remove(LogPath());
        fs::remove(dir.Path() / "Tivlink.ini");
        if (c.settings) dir.WriteSettings(*c.settings);
        {
            auto driver = Make();
            EXPECT_EQ(driver->LogFileOn(), c.on) << c.settings.value_or("(none)");
        }
        if (!c.on) {
            EXPECT_FALSE(fs::exists(LogPath())) << c.settings.value_or("(none)");
            continue;
        }
        const auto log = Log();
        ASSERT_GE(log.size(), 6u);
        EXPECT_THAT(std::vector(log.begin(), log.begin() + 5),
                    ElementsAre("LOG-FILE open", kBanner, "TIV-Driver-Start",
                                "TIV-Driver-Version:0221", "Entry:Initialize,----------"));
        EXPECT_EQ(log.back(), "LOG-FILE closed");
    }
    // The option of the program that creates the object wins over the file.
    fs::remove(dir.Path() / "Tivlink.ini");
    EXPECT_TRUE(Make(true)->LogFileOn());
    dir.WriteSettings("[LOGFILE]\nON=1\n");
    EXPECT_FALSE(Make(false)->LogFileOn());
}

// Handles and the timer id change from run to run; everything else is fixed.
bool SameLine(const std::string& expected, const std::string& actual) {
    const auto at = expected.find("<n>");
    if (at == std::string::npos) return expected == actual;
    std::string pattern;
    for (const char c : expected.substr(0, at)) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) pattern += '\\';
        pattern += c;
    }
    return std::regex_match(actual, std::regex(pattern + "[0-9]+.*"));
}

TEST_F(DriverObjectTest, StartUpDrvFreeAndDestructionWriteTheExpectedLogLines) {
    dir.WriteSettings("[LOGFILE]\r\nON=1\r\n");
    auto driver = Make();
    EXPECT_EQ(driver->Engine().DrvFree(), 0);
    driver.reset();

    const std::vector<std::string> expected = {
        "LOG-FILE open",
        kBanner,
        "TIV-Driver-Start",
        "TIV-Driver-Version:0221",
        "Entry:Initialize,----------",
        "Call:Initialize->Set_BufferSize,Size:12800",
        "Return:Initialize->Set_BufferSize",
        "Call:Initialize->InitBuffer,Size:12800",
        "Entry:InitBuffer, ----------",
        "InitBuffer->AvailPhys:<n>",
        "InitBuffer->GetMem:12800",
        "InitBuffer->\"reserved memory initialized\"",
        "Exit:InitBuffer:0 ++++++++++",
        "Return:Initialize->InitBuffer:0",
        "Call:Initialize->CreateThread",
        "Entry:CreateThread, ----------",
        "Call:CreateThread->InstantThread",
        "Return:CreateThread->InstantThread",
        "CreateThread->\"thread ok\", priority:3",
        "Exit:CreateThread:0 ++++++++++",
        "Return:Initialize->CreateThread:0",
        "Initialize->TimeSetEvent:<n>",
        "Call:Initialize->ScanUSB",
        "Return:Initialize->ScanUSB:1",
        "Call:Initialize->SetIntAdapterName, 1",
        "Return:Initialize->SetIntAdapterName",
        "Call:Initialize->ReadVID_PID",
        "Return:Initialize->ReadVID_PID: VID:0547H,PID:2131H",
        "Call:Initialize->FindResource,resource-module handle:<n>",
        "Return:Initialize->FindResource:resource handle:<n>",
        "Call:Initialize->LoadResource,resource-module handle:<n>",
        "Return:Initialize->LoadResource: memory handle:<n>",
        "Call:Initialize->LockResource,lock resource handle:<n>",
        "1:Return:Initialize->LockResource:",
        "2:Return:Initialize->LockResource: bix pointer:<n>",
        "Exit:Initialize: ++++++++++",
        // The client's DrvFree.
        "Entry:DrvFree,----------",
        "Call:DrvFree->StopRec",
        "Return:DrvFree->StopRec",
        "Call:DrvFree->StopFileRec",
        "Return:DrvFree->StopFileRec",
        "Call:DrvFree->CloseRecFile",
        "Return:DrvFree->CloseRecFile",
        "Call:DrvFree->TimeKillEvent",
        "Return:DrvFree->TimeKillEvent",
        "DrvFree->\"destroy thread\"",
        "DrvFree->FreeMem",
        "DrvFree->OnFree",
        "Exit:DrvFree: ++++++++++",
        // Destruction runs DrvFree again, which finds everything released.
        "Entry:Destroy, ----------",
        "Call:Destroy->DrvFree",
        "Entry:DrvFree,----------",
        "Call:DrvFree->StopRec",
        "Return:DrvFree->StopRec",
        "Call:DrvFree->StopFileRec",
        "Return:DrvFree->StopFileRec",
        "Call:DrvFree->CloseRecFile",
        "Return:DrvFree->CloseRecFile",
        "DrvFree->OnFree",
        "Exit:DrvFree: ++++++++++",
        "Return:Destroy->DrvFree",
        "Exit:Destroy: ++++++++++ \"call inherited destroy\" ++++++++++",
        "LOG-FILE closed",
    };
    const auto actual = Log();
    for (std::size_t i = 0; i < std::max(expected.size(), actual.size()); ++i) {
        const std::string e = i < expected.size() ? expected[i] : "(nothing)";
        const std::string a = i < actual.size() ? actual[i] : "(nothing)";
        ASSERT_TRUE(SameLine(e, a))
            << "line " << i + 1 << ": expected \"" << e << "\", got \"" << a << "\"";
    }
}

TEST_F(DriverObjectTest, SwitchingTheLogOffAndOnLeavesAGapInTheSameFile) {
    auto driver = Make(true);
    auto& engine = driver->Engine();
    driver->SetLogFileOn(false);
    EXPECT_FALSE(driver->LogFileOn());
    engine.SetTimerIntervall(7);
    std::vector<std::uint8_t> version;
    engine.SelectAdapter(1, 0, version);  // logs when the log is on
    driver->SetLogFileOn(true);
    driver->SetLogFileOn(true);
    EXPECT_TRUE(driver->LogFileOn());
    const auto before = Log();
    driver.reset();

    auto log = Log();
    const auto closed = std::find(log.begin(), log.end(), "LOG-FILE closed");
    ASSERT_NE(closed, log.end());
    // Straight from "closed" to "open": nothing of SelectAdapter in between.
    ASSERT_NE(closed + 1, log.end());
    EXPECT_EQ(*(closed + 1), "LOG-FILE open");
    EXPECT_EQ(before.back(), "LOG-FILE open");
    EXPECT_EQ(Count(log, "LOG-FILE open"), 2u);
    EXPECT_EQ(Count(log, "LOG-FILE closed"), 2u);
    EXPECT_EQ(Count(log, "TIV-Driver-Start"), 1u);  // the banner is not repeated
    EXPECT_EQ(log.back(), "LOG-FILE closed");
    // Destruction lines follow the reopening.
    EXPECT_THAT(log, Contains("Entry:Destroy, ----------"));
}

TEST_F(DriverObjectTest, TwoObjectsInOneProcessLogIntoOneFile) {
    auto first = Make(true);
    auto second = Make(true);
    EXPECT_EQ(first->Log().FileName(), second->Log().FileName());
    first.reset();  // the other object's file stays open
    second->Engine().SetTraDelay(20);
    std::vector<std::uint8_t> version;
    second->Engine().SelectAdapter(1, 0, version);
    second.reset();

    const auto lines = ReadLog(LogPath());  // every line with its own stamp
    std::vector<std::string> texts;
    for (const auto& l : lines) texts.push_back(l.text);
    EXPECT_EQ(Count(texts, "TIV-Driver-Start"), 2u);
    EXPECT_EQ(Count(texts, "Exit:Initialize: ++++++++++"), 2u);
    EXPECT_EQ(Count(texts, "LOG-FILE closed"), 2u);
    EXPECT_EQ(texts.back(), "LOG-FILE closed");
    // The second object's lines after the first one closed its share of the file.
    const auto firstClosed = std::find(texts.begin(), texts.end(), "LOG-FILE closed");
    EXPECT_NE(std::find(firstClosed, texts.end(),
                        "Exit:Destroy: ++++++++++ \"call inherited "
                        "destroy\" ++++++++++"),
              texts.end());
}

TEST_F(DriverObjectTest, HiddenWindowListsNoEventsThatTheLogStillRecords) {
    auto driver = Make(true);
    auto& engine = driver->Engine();
    auto sink = std::make_shared<SpySink>();
    engine.ConnectSink(sink);
    auto& form = driver->Form();
    ASSERT_EQ(engine.StartReception(false), 0);

    transport->SetIdleFlags(0x04);  // the bus goes away
    const std::string lost = "*****EVENT:Thread->OnTivConnected,\"no connection\"";
    ASSERT_TRUE(WaitForLogLine(lost));
    EXPECT_THAT(form.Lines(), Not(Contains(lost)));

    EXPECT_EQ(driver->ShowTestForm(0), 0);
    transport->SetIdleFlags(0x10);
    const std::string back = "*****EVENT:Thread->OnTivConnected,\"connection OK\"";
    ASSERT_TRUE(WaitForLogLine(back));
    EXPECT_THAT(form.Lines(), Contains(back));
    EXPECT_TRUE(PumpUntil([&] { return sink->Count(tivlink::kOnTivConnected) == 2; }));
    engine.StopReception();
}

TEST_F(DriverObjectTest, FilenameIsListedEvenWhileTheWindowIsHidden) {
    auto driver = Make();
    ASSERT_FALSE(driver->Form().Visible());
    driver->Engine().SetFilename("load.bix");
    driver->Engine().SetFilename("/opt/other.bix");
    EXPECT_THAT(driver->Form().Lines(), ElementsAre("load.bix", "/opt/other.bix"));
}

TEST_F(DriverObjectTest, WindowShowsTheEnginesCountersAndIdentity) {
    auto driver = Make();
    auto& form = driver->Form();
    EXPECT_EQ(form.CurrentLabels().label9, std::to_string(driver->Identity()));
    EXPECT_EQ(driver->ShowTestForm(3), 0);
    EXPECT_TRUE(form.Visible());
    EXPECT_EQ(form.State(), 3);
    ASSERT_EQ(driver->Engine().StartReception(false), 0);
    enginetest::Packet p{};
    p[0] = 1;
    p[1] = 0x10;
    for (int i = 0; i < 3; ++i) transport->QueuePacket(p);
    // The timer ticks and the telegrams reach the labels through Timer1's refresh.
    ASSERT_TRUE(PumpUntil([&] {
        const auto l = form.CurrentLabels();
        return l.label2 == "3" && l.label8 != "0ms";
    }));
    EXPECT_EQ(form.CurrentLabels().label9, std::to_string(driver->Identity()));
    driver->Engine().StopReception();

    EXPECT_EQ(driver->HideTestForm(), 0);
    EXPECT_FALSE(form.Visible());
    // DrvFree closes the window for good.
    driver->Engine().DrvFree();
    EXPECT_TRUE(form.Closed());
    EXPECT_EQ(driver->ShowTestForm(1), 0);
    EXPECT_FALSE(form.Visible());
    EXPECT_EQ(driver->HideTestForm(), 0);
}

}  // namespace
