// tivctl as users run it: the real binary on the in-process simulated adapter (and on a
// tivsim daemon where state must outlive one run), plus its frame decoding on bad input.

#include <signal.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "Decode.h"
#include "simulator/FirmwareImage.h"
#include "support/ChildProcess.h"
#include "support/TivctlRun.h"
#include "tivlink/TelegramCodec.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using namespace tivctltest;

struct Run {
    int code = -1;
    std::string out;
    std::string err;

    json Json() const {
        const auto j = json::parse(out, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << "not one JSON object: " << out;
        return j;
    }
};

// Runs tivctl under a ten times faster clock.
Run Tivctl(const std::vector<std::string>& args) {
    const auto result = RunTivctl(args);
    if (result.started) {
        EXPECT_TRUE(result.Exited()) << "tivctl did not end by itself; stderr: " << result.err;
    }
    return {result.Code(), result.out, result.err};
}

// tivctl refuses `args` as bad usage: exit code 2, nothing on stdout, a reason on stderr.
void ExpectBadUsage(const std::vector<std::string>& args) {
    std::string line;
    for (const auto& a : args) line += " " + a;
    const auto run = Tivctl(args);
    EXPECT_EQ(run.code, 2) << "tivctl" << line << "\n" << run.err;
    EXPECT_EQ(run.out, "") << "tivctl" << line;
    EXPECT_FALSE(run.err.empty()) << "tivctl" << line;
}

// Scenario files written once for the suite.
class TivctlTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/tivctl-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        // The demo device's objects without cyclic traffic: a cyclic telegram between a
        // request and its answer is an error of its own, which would make reads flaky.
        const std::string objects = R"("objects": [
            { "obj": 1217, "sub": 29, "value": "0A0B0C0D", "writable": true },
            { "obj": 100, "sub": 1, "value": "01020304" },
            { "obj": 1300, "sub": 1, "error": 132 },
            { "obj": 1301, "sub": 2, "delayed": 5, "value": "2A" } ])";
        Write("quiet.json", R"({ "adapters": [ { "device": 0, "firmware": "none" } ],
            "devices": [ { "name": "t", )" +
                                objects + "} ] }");
        Write("running.json", R"({ "adapters": [ { "device": 0, "firmware": "running" } ],
            "devices": [ { "name": "t", )" +
                                  objects + "} ] }");
        Write("two.json", R"({ "adapters": [
            { "device": 0, "port": 255, "firmware": "none" },
            { "device": 3, "port": 239, "firmware": "running" } ] })");
        Write("bad-field.json",
              R"({ "devices": [ { "objects": [ { "obj": 1, "sub": 256 } ] } ] })");
        Write("not-json.json", "{ \"adapters\": [");
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    static void Write(const std::string& name, const std::string& text) {
        std::ofstream(dir_ / name) << text;
    }
    static std::string File(const std::string& name) { return (dir_ / name).string(); }

    // A tivsim daemon on `scenario`, serving its adapters in `sockets`.
    static void StartDaemon(proctest::Child& daemon, const fs::path& sockets,
                            const std::string& scenario) {
        fs::create_directories(sockets);
        ASSERT_TRUE(daemon.Start(
            {TIVSIM_PATH, "--scenario", File(scenario), "--dir", sockets.string(), "--scale", "10"},
            {.env = kOwnTransport}));
        ASSERT_TRUE(daemon.WaitFor("ready\n", 20s)) << daemon.out << daemon.err;
    }

    static fs::path dir_;
};

fs::path TivctlTest::dir_;

// ---- scan ----------------------------------------------------------------------------

TEST_F(TivctlTest, ScanListsTheAdaptersAndTheSelectedOnesFirmware) {
    const auto demo = Tivctl({"--json", "scan"});
    ASSERT_EQ(demo.code, 0) << demo.err;
    EXPECT_EQ(demo.Json(), json::parse(R"({
        "adapters": [ { "number": 1, "address": 0, "firmware": { "loaded": false } } ],
        "firmware": { "adapter": 1, "loaded": false } })"));

    // Entries follow discovery order; the address comes from the port byte.
    const auto two = Tivctl({"--json", "--scenario", File("two.json"), "--adapter", "2", "scan"});
    ASSERT_EQ(two.code, 0) << two.err;
    const auto j = two.Json();
    ASSERT_EQ(j["adapters"].size(), 2u);
    EXPECT_EQ(j["adapters"][1]["name"], "Adapter-1");
    EXPECT_EQ(j["adapters"][1]["address"], 1);
    const auto record = sim::defaultVersionRecord();
    EXPECT_EQ(j["firmware"]["adapter"], 2);
    EXPECT_EQ(j["firmware"]["loaded"], true);
    EXPECT_EQ(j["firmware"]["version"], std::string(record.begin(), record.begin() + 6));
    EXPECT_EQ(j["firmware"]["build"], json::array({record[6], record[7]}));

    const auto human = Tivctl({"--scenario", File("two.json"), "scan"});
    ASSERT_EQ(human.code, 0) << human.err;
    EXPECT_THAT(human.out, HasSubstr("2 adapter(s)"));
    EXPECT_THAT(human.out, HasSubstr("adapter 1: firmware not loaded"));

    // An adapter number the scan did not find is a failure, not a crash or a silent success.
    const auto missing = Tivctl({"--adapter", "5", "scan"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_THAT(missing.err, HasSubstr("adapter 5"));
}

TEST_F(TivctlTest, LogOptionShowsTheDriverLog) {
    const auto run = Tivctl({"--log", "scan"});
    ASSERT_EQ(run.code, 0);
    EXPECT_THAT(run.err, HasSubstr(",LOG-FILE open\n"));
    EXPECT_THAT(run.err, HasSubstr(",Exit:SelectAdapter:128 ++++++++++\n"));
    EXPECT_THAT(run.err, HasSubstr(",LOG-FILE closed\n"));
    EXPECT_THAT(run.out, ::testing::Not(HasSubstr("LOG ")));
    EXPECT_THAT(Tivctl({"scan"}).err, ::testing::Not(HasSubstr("LOG ")));
}

// ---- send ----------------------------------------------------------------------------

TEST_F(TivctlTest, SendReadsAfterDownloadingTheFirmware) {
    const auto run = Tivctl(
        {"--json", "--scenario", File("quiet.json"), "send", "--obj", "1217", "--sub", "29"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_THAT(run.err, HasSubstr("downloading"));
    const auto j = run.Json();
    EXPECT_EQ(j["result"], 0);
    EXPECT_EQ(j["subNo"], 29);
    EXPECT_EQ(j["objNo"], 1217);
    EXPECT_EQ(j["control"], 0x41);
    EXPECT_EQ(j["dataSize"], 8);
    EXPECT_EQ(j["telType"].get<int>() >> 5, 6);
    EXPECT_EQ(j["data"], "0A0B0C0D");
    // The checksum is split off the data and matches the answer the adapter reported.
    const std::vector<std::uint8_t> answer = {static_cast<std::uint8_t>(j["telType"].get<int>()),
                                              8,
                                              29,
                                              1217 & 0xFF,
                                              1217 >> 8,
                                              0x41,
                                              0x0A,
                                              0x0B,
                                              0x0C,
                                              0x0D};
    const auto sum = tivlink::TelegramChecksum(answer, true);
    EXPECT_EQ(j["checksum"], tivctl::HexBytes(std::array{static_cast<std::uint8_t>(sum & 0xFF),
                                                         static_cast<std::uint8_t>(sum >> 8)}));
    EXPECT_FALSE(j.contains("delayed"));
}

TEST_F(TivctlTest, DeviceErrorsAndMissingAnswersExitWithOne) {
    const auto scenario = File("running.json");
    const auto error =
        Tivctl({"--json", "--scenario", scenario, "send", "--obj", "1300", "--sub", "1"});
    EXPECT_EQ(error.code, 1);
    EXPECT_EQ(error.Json()["result"], 255);
    EXPECT_EQ(error.Json()["control"], 132);

    // Writing needs no --ctrl: data alone makes it a write, which a read-only object refuses.
    const auto readOnly = Tivctl(
        {"--json", "--scenario", scenario, "send", "--obj", "100", "--sub", "1", "--data", "00"});
    EXPECT_EQ(readOnly.code, 1);
    EXPECT_EQ(readOnly.Json()["control"], 0x82);

    // An explicit --ctrl wins over the write default.
    const auto ctrl = Tivctl({"--json", "--scenario", scenario, "send", "--obj", "100", "--sub",
                              "1", "--data", "00", "--ctrl", "0xC0"});
    EXPECT_EQ(ctrl.code, 0) << ctrl.err;
    EXPECT_EQ(ctrl.Json()["data"], "01020304");

    // Nobody listens on this sub number: the engine's transaction time-out ends the wait.
    const auto silent =
        Tivctl({"--json", "--scenario", scenario, "send", "--obj", "1217", "--sub", "77"});
    EXPECT_EQ(silent.code, 1);
    EXPECT_EQ(silent.Json()["result"], 1);

    const auto human = Tivctl({"--scenario", scenario, "send", "--obj", "1300", "--sub", "1"});
    EXPECT_EQ(human.code, 1);
    EXPECT_THAT(human.out, HasSubstr("result 255"));
    EXPECT_THAT(human.out, HasSubstr("control 0x84"));
}

TEST_F(TivctlTest, SendWaitsForTheDelayedAnswer) {
    const auto run = Tivctl(
        {"--json", "--scenario", File("running.json"), "send", "--obj", "1301", "--sub", "2"});
    ASSERT_EQ(run.code, 0) << run.err << run.out;
    const auto j = run.Json();
    EXPECT_EQ(j["result"], 6);
    EXPECT_EQ(j["control"], 0x01);
    EXPECT_EQ(j["data"], "05");  // the wait time in ticks
    ASSERT_TRUE(j.contains("delayed")) << run.out;
    EXPECT_EQ(j["delayed"]["result"], 0);
    EXPECT_EQ(j["delayed"]["control"], 0x41);
    EXPECT_EQ(j["delayed"]["data"], "2A");
    EXPECT_EQ(j["delayed"]["subNo"], 2);
    EXPECT_EQ(j["delayed"]["objNo"], 1301);
    EXPECT_EQ(j["delayed"]["telType"].get<int>() >> 5, 7);

    // Our own bound, far below the announced wait, ends it with "still waiting".
    const auto early = Tivctl({"--json", "--scenario", File("running.json"), "send", "--obj",
                               "1301", "--sub", "2", "--timeout-ms", "1"});
    EXPECT_EQ(early.code, 1);
    EXPECT_EQ(early.Json()["delayed"]["result"], 1);
}

// State that must outlive one tivctl run lives in a tivsim daemon.
TEST_F(TivctlTest, WriteThenReadBackThroughTheDaemon) {
    const fs::path sockets = dir_ / "daemon";
    proctest::Child daemon;
    ASSERT_NO_FATAL_FAILURE(StartDaemon(daemon, sockets, "quiet.json"));
    const std::string usb = "socket:" + sockets.string();

    const auto write = Tivctl(
        {"--json", "--usb", usb, "send", "--obj", "1217", "--sub", "29", "--data", "de:ad:be:ef"});
    ASSERT_EQ(write.code, 0) << write.err;
    EXPECT_EQ(write.Json()["data"], "");
    EXPECT_EQ(write.Json()["dataSize"], 4);

    const auto read = Tivctl({"--json", "--usb", usb, "send", "--obj", "1217", "--sub", "29"});
    ASSERT_EQ(read.code, 0) << read.err;
    EXPECT_EQ(read.Json()["data"], "DEADBEEF");
    // The first run left the firmware running.
    EXPECT_THAT(read.err, ::testing::Not(HasSubstr("downloading")));

    daemon.Signal(SIGTERM);
    EXPECT_EQ(daemon.Wait(20s), 0);
}

// A few failed USB transfers must not pass for silent firmware: a download would replace the
// running firmware. tivctl retries them and says so.
TEST_F(TivctlTest, FailedTransfersAreRetriedNotTakenForSilentFirmware) {
    const fs::path sockets = dir_ / "usb-errors";
    proctest::Child daemon;
    ASSERT_NO_FATAL_FAILURE(StartDaemon(daemon, sockets, "running.json"));
    const std::string usb = "socket:" + sockets.string();
    const auto ctl = [&](const std::string& count) {
        const auto r =
            proctest::RunTool({TIVSIM_PATH, "ctl", "--dir", sockets.string(), "usb-errors", count});
        ASSERT_EQ(r.Code(), 0) << r.out << r.err;
    };

    ctl("3");
    const auto send = Tivctl({"--json", "--usb", usb, "send", "--obj", "1217", "--sub", "29"});
    EXPECT_EQ(send.code, 0) << send.err;
    EXPECT_THAT(send.err, ::testing::Not(HasSubstr("downloading")));
    EXPECT_THAT(send.err, HasSubstr("went through on retry"));

    ctl("3");
    const auto scanRetried = Tivctl({"--usb", usb, "scan"});
    EXPECT_EQ(scanRetried.code, 0) << scanRetried.err;
    EXPECT_THAT(scanRetried.out, HasSubstr("adapter 1: firmware running"));

    ctl("0");
    const auto after = Tivctl({"--usb", usb, "scan"});
    EXPECT_EQ(after.code, 0) << after.err;
    EXPECT_THAT(after.out, HasSubstr("adapter 1: firmware running"));

    daemon.Signal(SIGTERM);
    EXPECT_EQ(daemon.Wait(20s), 0);
}

TEST_F(TivctlTest, LoadEndsAtOnceWhenTheDownloadFails) {
    const fs::path sockets = dir_ / "unplugged";
    proctest::Child daemon;
    ASSERT_NO_FATAL_FAILURE(StartDaemon(daemon, sockets, "quiet.json"));

    // The adapter goes away during the second stage: the download fails without
    // OnFirmwareLoaded, and only LoadResult tells; tivctl must not wait out its time-out. A
    // slower clock leaves the second stage (3.65 s nominal) time enough for the unplug.
    proctest::Child load;
    ASSERT_TRUE(load.Start(
        {TIVCTL_PATH, "--clock-scale", "2", "--usb", "socket:" + sockets.string(), "load"},
        kTivctlOptions));
    ASSERT_TRUE(load.WaitFor("event OnStdLoaded\n", 20s)) << load.err;
    const auto unplug =
        proctest::RunTool({TIVSIM_PATH, "ctl", "--dir", sockets.string(), "unplug", "0"});
    ASSERT_EQ(unplug.Code(), 0) << unplug.out << unplug.err;
    EXPECT_EQ(load.Wait(20s), 1) << load.err;
    EXPECT_THAT(load.err, HasSubstr("firmware download: failed ("));
    EXPECT_THAT(load.out, ::testing::Not(HasSubstr("OnFirmwareLoaded")));

    daemon.Signal(SIGTERM);
    EXPECT_EQ(daemon.Wait(20s), 0);
}

// ---- monitor -------------------------------------------------------------------------

TEST_F(TivctlTest, MonitorDecodesTheDemoCyclicValues) {
    const auto run = Tivctl({"--json", "monitor", "--seconds", "1"});
    ASSERT_EQ(run.code, 0) << run.err;
    std::istringstream lines(run.out);
    std::map<int, json> last;  // by object
    double previous = -1;
    int count = 0;
    for (std::string line; std::getline(lines, line);) {
        const auto j = json::parse(line, nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << line;
        ++count;
        EXPECT_EQ(j["checksumOk"], true) << line;
        EXPECT_GE(j["timeMs"].get<double>(), previous);
        previous = j["timeMs"].get<double>();
        if (j["kind"] == "cyclic") last[j["objNo"].get<int>()] = j;
    }
    EXPECT_GT(count, 5);
    EXPECT_LE(previous, 1000.0);
    ASSERT_TRUE(last.count(3) && last.count(4) && last.count(5)) << run.out;
    // Object 3: type 0 (float and time stamp), 4: type 1 (float), 5: type 2 (double).
    EXPECT_EQ(last[3]["telType"], 0);
    EXPECT_TRUE(last[3].contains("timeStamp"));
    EXPECT_EQ(last[4]["telType"], 1);
    EXPECT_EQ(last[4]["status"], 1);
    EXPECT_EQ(last[4]["value"], -7.25);
    EXPECT_FALSE(last[4].contains("timeStamp"));
    EXPECT_EQ(last[5]["telType"], 2);
    EXPECT_GT(last[5]["value"].get<double>(), 21.5);  // rises by 0.1 per telegram
}

// The bus going away is news for whoever watches it; one failed USB read is not an unplug
// (the monitor restarts reception), while a real unplug ends the monitor.
TEST_F(TivctlTest, MonitorReportsBusChangesAndTellsAFailedReadFromAnUnplug) {
    const fs::path sockets = dir_ / "monitored";
    proctest::Child daemon;
    ASSERT_NO_FATAL_FAILURE(StartDaemon(daemon, sockets, "running.json"));
    const auto ctl = [&](std::vector<std::string> words) {
        std::vector<std::string> args = {TIVSIM_PATH, "ctl", "--dir", sockets.string()};
        args.insert(args.end(), words.begin(), words.end());
        const auto r = proctest::RunTool(args);
        EXPECT_EQ(r.Code(), 0) << r.out << r.err;
    };
    proctest::Child monitor;
    ASSERT_TRUE(monitor.Start(
        TivctlArgs({"--usb", "socket:" + sockets.string(), "monitor", "--seconds", "0"}),
        kTivctlOptions));
    // Reception may not run yet: switch until the monitor has seen it.
    bool seen = false;
    for (int i = 0; i < 100 && !seen; ++i) {
        ctl({"bus-disconnect"});
        seen = monitor.WaitFor("bus disconnected\n", 200ms);
        ctl({"bus-connect"});
    }
    ASSERT_TRUE(seen) << monitor.err;
    EXPECT_TRUE(monitor.WaitFor("bus connected\n", 20s)) << monitor.err;

    ctl({"usb-errors", "1"});
    // Still watching: the next change shows.
    ctl({"bus-disconnect"});
    EXPECT_TRUE(monitor.WaitFor("bus disconnected\nbus connected\nbus disconnected\n", 20s))
        << monitor.out << monitor.err;

    ctl({"unplug", "0"});
    EXPECT_EQ(monitor.Wait(20s), 1) << monitor.err;
    const auto& err = monitor.err;
    const auto first = err.find("adapter disconnected");
    ASSERT_NE(first, std::string::npos) << err;
    EXPECT_EQ(err.find("adapter disconnected", first + 1), std::string::npos) << err;

    daemon.Signal(SIGTERM);
    EXPECT_EQ(daemon.Wait(20s), 0);
}

TEST_F(TivctlTest, MonitorStopsOnInterrupt) {
    proctest::Child child;
    ASSERT_TRUE(child.Start(TivctlArgs({"--json", "monitor", "--seconds", "0"}), kTivctlOptions));
    ASSERT_TRUE(child.WaitFor("\n", 30s)) << child.err;
    child.Signal(SIGINT);
    EXPECT_EQ(child.Wait(30s), 0) << child.err;
    EXPECT_THAT(child.err, HasSubstr("interrupted"));
}

// ---- usage ---------------------------------------------------------------------------

TEST_F(TivctlTest, BadUsageAndBadScenariosExitWithTwo) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"send", "--sub", "1"},
        {"send", "--obj", "1", "--sub", "256"},
        {"send", "--obj", "65536", "--sub", "1"},
        {"send", "--obj", "1", "--sub", "1", "--type", "6"},
        {"send", "--obj", "1", "--sub", "1", "--data", "ABC"},
        {"send", "--obj", "1", "--sub", "1", "--data", "0G"},
        {"send", "--obj", "1", "--sub", "1", "--data", std::string(258, 'A')},
        {"send", "--obj", "1", "--sub", "1", "--ctrl", "300"},
        {"--adapter", "17", "scan"},
        {"monitor", "--seconds", "-1"},
        {"monitor", "--seconds", "nan"},
        {"monitor", "--seconds", "inf"},
        {"values", "--seconds", "nan"},
        {"record", "x.rec", "--seconds", "-nan"},
        {"--clock-scale", "nan", "scan"},
        {"--clock-scale", "inf", "scan"},
        {"--clock-scale", "0", "scan"},
        {"--clock-scale", "-1", "scan"},
        {"--usb", "nonsense", "scan"},
        {"--usb", "socket:/nonexistent/dir", "scan"},
        {"--usb", "libusb:0547", "scan"},
        {"--usb", "libusb:0547:2131,", "scan"},
        {"--usb", "libusb:0547:21g1", "scan"},
        {"--usb", "socket:/tmp", "--scenario", File("quiet.json"), "scan"},
        {"--scenario", File("missing.json"), "scan"},
        {"--scenario", File("not-json.json"), "scan"},
    };
    for (const auto& args : bad) ExpectBadUsage(args);

    // The message names the file and the offending field.
    const auto field = Tivctl({"--scenario", File("bad-field.json"), "scan"});
    EXPECT_EQ(field.code, 2);
    EXPECT_THAT(field.err, HasSubstr(File("bad-field.json") + ": devices[0].objects[0].sub"));
    const auto broken = Tivctl({"--scenario", File("not-json.json"), "scan"});
    EXPECT_THAT(broken.err, HasSubstr(File("not-json.json") + ": JSON"));

    for (const auto& command : {"scan", "send", "monitor"}) {
        const auto help = Tivctl({command, "--help"});
        EXPECT_EQ(help.code, 0) << command;
        EXPECT_THAT(help.out, HasSubstr("Usage")) << command;
    }
    const auto help = Tivctl({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_THAT(help.out, HasSubstr("--clock-scale"));
}

// ---- decoding ------------------------------------------------------------------------

std::vector<std::uint8_t> Frame(const std::vector<std::uint8_t>& record, bool crc = true,
                                std::uint16_t spoil = 0) {
    const std::uint16_t sum = tivlink::TelegramChecksum(record, crc) ^ spoil;
    std::vector<std::uint8_t> f(record.size() + 6);
    f[0] = 0xFA;
    f[1] = static_cast<std::uint8_t>(record.size() + 2);
    f[2] = crc ? 0x80 : 0;
    std::copy(record.begin(), record.end(), f.begin() + 3);
    f[record.size() + 3] = static_cast<std::uint8_t>(sum & 0xFF);
    f[record.size() + 4] = static_cast<std::uint8_t>(sum >> 8);
    f[record.size() + 5] = 0xFB;
    return f;
}

TEST(TivctlDecode, HexTextIsStrict) {
    std::string error;
    EXPECT_EQ(tivctl::ParseHex("0x0a0B", error), (std::vector<std::uint8_t>{0x0A, 0x0B}));
    EXPECT_EQ(tivctl::ParseHex("de ad:be-ef", error),
              (std::vector<std::uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(tivctl::ParseHex("", error), std::vector<std::uint8_t>{});
    for (const char* bad : {"A", "A B", "0xG0", "12 3", "1,2", "x12", "0x0x12"}) {
        error.clear();
        EXPECT_FALSE(tivctl::ParseHex(bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(TivctlDecode, FramesDecodeByType) {
    // Cyclic type 0: float 2.5 and time stamp 0x01020304; object in bits 4..0.
    auto t = tivctl::DecodeFrame(Frame({0x03, 7, 0x00, 0x00, 0x20, 0x40, 0x04, 0x03, 0x02, 0x01}));
    ASSERT_EQ(t.kind, tivctl::BusTelegram::Kind::cyclic);
    EXPECT_EQ(t.objNo, 3);
    EXPECT_EQ(t.status, 7);
    EXPECT_EQ(t.value, 2.5);
    EXPECT_EQ(t.timeStamp, 0x01020304u);
    EXPECT_TRUE(t.checksumOk);

    // Type 2: a double, with the byte-sum method.
    t = tivctl::DecodeFrame(Frame({0x45, 0, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F}, false));
    EXPECT_EQ(t.objNo, 5);
    EXPECT_EQ(t.value, 1.5);
    EXPECT_TRUE(t.checksumOk);
    EXPECT_FALSE(t.crc);

    // Types 3 and 4 have no value layout: the bytes are shown as they are.
    t = tivctl::DecodeFrame(Frame({0x61, 0, 0xAB}));
    EXPECT_EQ(t.type, 3);
    EXPECT_FALSE(t.value);
    EXPECT_EQ(t.raw, std::vector<std::uint8_t>{0xAB});

    // Acyclic answer with data; a spoiled checksum is reported, not hidden.
    t = tivctl::DecodeFrame(Frame({0xC2, 6, 29, 0xC1, 0x04, 0x41, 0x0A, 0x0B}, true, 0x0101));
    ASSERT_EQ(t.kind, tivctl::BusTelegram::Kind::acyclic);
    EXPECT_EQ(t.subNo, 29);
    EXPECT_EQ(t.objNo, 1217);
    EXPECT_EQ(t.control, 0x41);
    EXPECT_EQ(t.data, (std::vector<std::uint8_t>{0x0A, 0x0B}));
    EXPECT_FALSE(t.checksumOk);
    EXPECT_THAT(tivctl::TelegramText(t, 1.0), HasSubstr("CHECKSUM ERROR"));
    EXPECT_EQ(tivctl::TelegramJson(t, 1.0)["checksumOk"], false);
}

TEST(TivctlDecode, BadFramesNeverReadPastTheirEnd) {
    using Kind = tivctl::BusTelegram::Kind;
    const std::vector<std::vector<std::uint8_t>> malformed = {
        {},
        {0xFA, 0xFB},
        {0xFA, 3, 0x80, 0x00, 0x00, 0x00},          // no end byte
        {0xFA, 200, 0x80, 0x00, 0x00, 0x00, 0xFB},  // length beyond the frame
        {0xFA, 2, 0x80, 0x00, 0x00, 0x00, 0xFB},    // length without a record
        {0x00, 3, 0x80, 0x00, 0x00, 0x00, 0xFB},    // no start byte
        Frame({0xC2, 4, 1, 2}),                     // acyclic header cut short
        Frame({0x01}),                              // cyclic without status
    };
    for (const auto& f : malformed) {
        const auto t = tivctl::DecodeFrame(f);
        EXPECT_EQ(t.kind, Kind::malformed) << tivctl::HexBytes(f);
        EXPECT_FALSE(t.problem.empty());
        EXPECT_THAT(tivctl::TelegramText(t, 0), HasSubstr("malformed"));
        EXPECT_EQ(tivctl::TelegramJson(t, 0)["kind"], "malformed");
    }

    // A size byte larger than the record: only the bytes that are there count as data.
    auto t = tivctl::DecodeFrame(Frame({0xC2, 132, 1, 0, 0, 0x41, 0x55}));
    ASSERT_EQ(t.kind, Kind::acyclic);
    EXPECT_EQ(t.data, std::vector<std::uint8_t>{0x55});
    // A size byte below the header leaves no data.
    t = tivctl::DecodeFrame(Frame({0xC2, 1, 1, 0, 0, 0x41, 0x55}));
    EXPECT_TRUE(t.data.empty());
    // Too short for its type's value: shown as bytes, never read beyond.
    t = tivctl::DecodeFrame(Frame({0x43, 0, 1, 2, 3}));
    EXPECT_EQ(t.kind, Kind::cyclic);
    EXPECT_FALSE(t.value);
    EXPECT_EQ(t.raw.size(), 3u);
    // NaN stays out of JSON, which cannot carry it.
    t = tivctl::DecodeFrame(Frame({0x24, 0, 0x00, 0x00, 0xC0, 0x7F}));
    ASSERT_TRUE(t.value);
    EXPECT_FALSE(tivctl::TelegramJson(t, 0).contains("value"));
}

TEST(TivctlDecode, StoredFramesSplitAtTheirLengthBytes) {
    // What the receive buffer holds of a frame: its bytes between the start and end bytes.
    const auto stored = [](const std::vector<std::uint8_t>& frame) {
        return std::vector<std::uint8_t>(frame.begin() + 1, frame.end() - 1);
    };
    const auto cyclic = Frame({0x03, 7, 0x00, 0x00, 0x20, 0x40, 0x04, 0x03, 0x02, 0x01});
    const auto acyclic = Frame({0xC2, 6, 29, 0xC1, 0x04, 0x41, 0x0A, 0x0B});
    std::vector<std::uint8_t> buffer = stored(cyclic);
    const auto second = stored(acyclic);
    buffer.insert(buffer.end(), second.begin(), second.end());

    const auto frames = tivctl::SplitStoredFrames(buffer);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], cyclic);
    EXPECT_EQ(frames[1], acyclic);
    EXPECT_EQ(tivctl::DecodeFrame(frames[1]).objNo, 1217);
    EXPECT_TRUE(tivctl::SplitStoredFrames({}).empty());

    // Bytes that are no frame come out as one malformed run, and the frames behind them are
    // found again: the length byte is never trusted on its own.
    const auto run = [&](std::vector<std::uint8_t> junk) {
        std::vector<std::uint8_t> b = junk;
        b.insert(b.end(), second.begin(), second.end());
        return b;
    };
    const struct {
        const char* what;
        std::vector<std::uint8_t> junk;
    } cases[] = {
        {"zero length", {0, 0, 0}},
        {"length beyond any record", {200, 0x80, 1, 2, 3}},
        {"largest length with nothing behind", {136, 0x80}},
        {"length one short of a record", {2, 0x80, 0, 0}},
        {"length that swallows the next frame", {12, 0x80, 0x20}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto split = tivctl::SplitStoredFrames(run(c.junk));
        ASSERT_EQ(split.size(), 2u);
        EXPECT_EQ(tivctl::DecodeFrame(split[0]).kind, tivctl::BusTelegram::Kind::malformed);
        EXPECT_EQ(split[1], acyclic);
    }

    // A length byte that promises more than is there ends the split with one malformed frame.
    buffer.push_back(40);
    buffer.push_back(0x80);
    const auto cut = tivctl::SplitStoredFrames(buffer);
    ASSERT_EQ(cut.size(), 3u);
    EXPECT_EQ(cut[2], (std::vector<std::uint8_t>{0xFA, 40, 0x80, 0xFB}));
    EXPECT_EQ(tivctl::DecodeFrame(cut[2]).kind, tivctl::BusTelegram::Kind::malformed);
}

// ---- record and values ---------------------------------------------------------------

std::vector<std::uint8_t> ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Splits a record file of frames (0xFA, length L, L bytes from the flags to the checksum,
// 0xFB) and checks each one's CRC; an empty list with `problem` set when any does not parse.
std::vector<std::vector<std::uint8_t>> RecordedFrames(const std::vector<std::uint8_t>& bytes,
                                                      std::string& problem) {
    std::vector<std::vector<std::uint8_t>> frames;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::string where = "frame at byte " + std::to_string(at) + " (" +
                                  tivctl::HexBytes(std::span(bytes).subspan(
                                      at, std::min<std::size_t>(16, bytes.size() - at))) +
                                  ")";
        if (bytes[at] != 0xFA || at + 1 >= bytes.size()) {
            problem = where + ": no start";
            return {};
        }
        const std::size_t total = bytes[at + 1] + 4u;
        if (bytes[at + 1] < 3 || at + total > bytes.size() || bytes[at + total - 1] != 0xFB) {
            problem = where + ": bad length or end";
            return {};
        }
        const std::vector<std::uint8_t> f(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                          bytes.begin() + static_cast<std::ptrdiff_t>(at + total));
        const std::span<const std::uint8_t> record(f.data() + 3, total - 6);
        const std::uint16_t sum = f[total - 3] | f[total - 2] << 8;
        if (!(f[2] & 0x80) || tivlink::TelegramChecksum(record, true) != sum) {
            problem = where + ": checksum";
            return {};
        }
        frames.push_back(f);
        at += total;
    }
    return frames;
}

TEST_F(TivctlTest, RecordWritesWhatEachModeSelects) {
    std::map<int, std::vector<std::uint8_t>> files;
    for (int mode = 1; mode <= 5; ++mode) {
        const auto file = dir_ / ("mode" + std::to_string(mode) + ".rec");
        const auto run = Tivctl(
            {"--json", "record", file.string(), "--mode", std::to_string(mode), "--seconds", "1"});
        ASSERT_EQ(run.code, 0) << "mode " << mode << ": " << run.err;
        const auto j = run.Json();
        files[mode] = ReadFile(file);
        EXPECT_EQ(j["file"], file.string());
        EXPECT_EQ(j["mode"], mode);
        EXPECT_NEAR(j["seconds"].get<double>(), 1.0, 0.5);
        // The summary is taken before the file is closed, yet after the last write.
        EXPECT_EQ(j["bytes"].get<std::size_t>(), files[mode].size()) << "mode " << mode;
        EXPECT_GT(j["packets"].get<int>(), 0);
        EXPECT_GT(j["telegrams"].get<int>(), 0);
        if (mode <= 2) {
            EXPECT_GT(files[mode].size(), 0u);
            EXPECT_EQ(files[mode].size() % 64, 0u) << "mode " << mode;
            continue;
        }
        std::string problem;
        const auto frames = RecordedFrames(files[mode], problem);
        ASSERT_FALSE(frames.empty()) << "mode " << mode << ": " << problem;
        // The file starts after reception: a few early or late telegrams may miss it.
        EXPECT_LE(frames.size(), j["telegrams"].get<std::size_t>()) << "mode " << mode;
        EXPECT_GE(frames.size() + 3, j["telegrams"].get<std::size_t>()) << "mode " << mode;
        if (mode == 4) {
            for (const auto& f : frames) EXPECT_LE(f[3] >> 5, 2) << tivctl::HexBytes(f);
        }
    }

    // Mode 1 keeps the empty polls as well, mode 2 only packets that carried data.
    const auto packets = [](const std::vector<std::uint8_t>& file, bool withData) {
        std::size_t n = 0;
        for (std::size_t at = 0; at + 64 <= file.size(); at += 64) n += (file[at] != 0) == withData;
        return n;
    };
    EXPECT_GT(packets(files[1], false), 0u);
    EXPECT_GT(packets(files[1], true), 0u);
    EXPECT_EQ(packets(files[2], false), 0u);
}

TEST_F(TivctlTest, RecordFilterDecidesWhatModeFiveStores) {
    // Filter type 1 stores telegrams of type 0 only, 2 those of type 1: the demo's objects 3
    // and 4.
    for (const auto& [filter, type, obj] : {std::tuple{1, 0, 3}, std::tuple{2, 1, 4}}) {
        const auto file = dir_ / ("filter" + std::to_string(filter) + ".rec");
        const auto run = Tivctl({"--json", "record", file.string(), "--mode", "5", "--filter",
                                 std::to_string(filter), "--seconds", "1"});
        ASSERT_EQ(run.code, 0) << run.err;
        std::string problem;
        const auto frames = RecordedFrames(ReadFile(file), problem);
        ASSERT_FALSE(frames.empty()) << "filter " << filter << ": " << problem;
        for (const auto& f : frames) {
            EXPECT_EQ(f[3] >> 5, type) << "filter " << filter << ": " << tivctl::HexBytes(f);
            EXPECT_EQ(f[3] & 0x1F, obj) << "filter " << filter << ": " << tivctl::HexBytes(f);
        }
    }

    // Text output: one summary line naming the file.
    const auto file = dir_ / "text.rec";
    const auto text = Tivctl({"record", file.string(), "--seconds", "1"});
    ASSERT_EQ(text.code, 0) << text.err;
    EXPECT_THAT(text.out,
                HasSubstr("recorded " + std::to_string(fs::file_size(file)) + " bytes (mode 3)"));
    EXPECT_THAT(text.out, HasSubstr(file.string()));
}

TEST_F(TivctlTest, RecordUntilInterruptClosesTheFile) {
    const auto file = dir_ / "until-interrupt.rec";
    proctest::Child child;
    ASSERT_TRUE(child.Start(TivctlArgs({"--json", "record", file.string(), "--seconds", "0"}),
                            kTivctlOptions));
    // Frames reach the file as they come; wait for the first.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    std::error_code ec;
    while (!(fs::exists(file, ec) && fs::file_size(file, ec) > 0) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ASSERT_GT(fs::file_size(file, ec), 0u) << "nothing recorded";
    child.Signal(SIGINT);
    ASSERT_EQ(child.Wait(30s), 0) << child.err;
    EXPECT_THAT(child.err, HasSubstr("interrupted"));
    const auto j = json::parse(child.out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << child.out;
    const auto bytes = ReadFile(file);
    EXPECT_EQ(j["bytes"].get<std::size_t>(), bytes.size());
    std::string problem;
    EXPECT_FALSE(RecordedFrames(bytes, problem).empty()) << problem;
}

TEST_F(TivctlTest, ValuesShowEachSlotAsItArrives) {
    const auto run = Tivctl({"--json", "values", "--seconds", "1"});
    ASSERT_EQ(run.code, 0) << run.err;
    std::map<int, std::vector<json>> bySlot;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        const auto j = json::parse(line, nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << line;
        bySlot[j["slot"].get<int>()].push_back(j);
    }
    ASSERT_EQ(bySlot.size(), 3u) << run.out;
    // Slot 1: type 0, object 3, rising by 0.25 with a time stamp; slot 3: type 2, object 5,
    // rising by 0.1. Values that arrive together must each show once, none stale again.
    for (const auto& [slot, type, obj] : {std::tuple{1, 0, 3}, std::tuple{3, 2, 5}}) {
        const auto& values = bySlot[slot];
        EXPECT_GE(values.size(), 3u) << "slot " << slot << "\n" << run.out;
        for (std::size_t i = 0; i < values.size(); ++i) {
            EXPECT_EQ(values[i]["msgType"], type);
            EXPECT_EQ(values[i]["obj"], obj);
            EXPECT_EQ(values[i].contains("timeStamp"), type == 0) << values[i];
            if (i > 0) {
                EXPECT_GT(values[i]["value"].get<double>(), values[i - 1]["value"].get<double>())
                    << "slot " << slot << "\n"
                    << run.out;
            }
            if (i > 0 && type == 0) {
                EXPECT_GT(values[i]["timeStamp"].get<std::int64_t>(),
                          values[i - 1]["timeStamp"].get<std::int64_t>());
            }
        }
    }
    // Slot 2: type 1, object 4, always -7.25 with status 1.
    ASSERT_FALSE(bySlot[2].empty());
    EXPECT_EQ(bySlot[2][0], json::parse(R"({"slot": 2, "msgType": 1, "obj": 4, "status": 1,
                                           "value": -7.25})"));

    // Given slots replace the default ones; a slot no telegram fills stays silent.
    const auto own =
        Tivctl({"--json", "values", "--slot", "4:1:4", "--slot", "7:0:9", "--seconds", "1"});
    ASSERT_EQ(own.code, 0) << own.err;
    std::istringstream ownLines(own.out);
    int count = 0;
    for (std::string line; std::getline(ownLines, line); ++count) {
        const auto j = json::parse(line, nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << line;
        EXPECT_EQ(j["slot"], 4) << line;
        EXPECT_EQ(j["value"], -7.25) << line;
    }
    EXPECT_GE(count, 1);

    const auto text = Tivctl({"values", "--seconds", "1"});
    ASSERT_EQ(text.code, 0) << text.err;
    EXPECT_THAT(text.out, HasSubstr("slot  2  type 1  obj  4  status 0x01  value -7.25\n"));
    EXPECT_THAT(text.out, HasSubstr("time stamp"));
}

TEST_F(TivctlTest, RecordAndValuesRefuseBadInput) {
    const std::vector<std::vector<std::string>> bad = {
        {"record"},
        {"record", (dir_ / "x.rec").string(), "--mode", "0"},
        {"record", (dir_ / "x.rec").string(), "--mode", "6"},
        {"record", (dir_ / "x.rec").string(), "--filter", "17"},
        {"record", (dir_ / "x.rec").string(), "--seconds", "-1"},
        {"record", (dir_ / "x.rec").string(), "--format", "pcap"},
        // A capture holds every telegram the filter passes: a record mode means nothing there.
        {"record", (dir_ / "x.pcapng").string(), "--mode", "3"},
        {"record", (dir_ / "x.rec").string(), "--format", "pcapng", "--mode", "5"},
        {"monitor", "--pcapng"},
        {"values", "--slot", "0:0:3"},
        {"values", "--slot", "11:0:3"},
        {"values", "--slot", "1:3:3"},
        {"values", "--slot", "1:0:0"},
        {"values", "--slot", "1:0:31"},
        {"values", "--slot", "1:0"},
        {"values", "--slot", "1:0:3:4"},
        {"values", "--slot", "a:b:c"},
        {"values", "--slot", "1:0:3x"},
        {"values", "--slot", ""},
        {"values", "--slot", "1:0:3", "--slot", "1:1:4"},
        {"values", "--seconds", "-1"},
    };
    for (const auto& args : bad) ExpectBadUsage(args);

    // A file that cannot be created is named, and nothing is recorded.
    for (const auto& file : {(dir_ / "no-such-dir" / "x.rec").string(), dir_.string(),
                             (dir_ / "no-such-dir" / "x.pcapng").string()}) {
        const auto run = Tivctl({"--json", "record", file, "--seconds", "1"});
        EXPECT_EQ(run.code, 2) << file;
        EXPECT_EQ(run.out, "") << file;
        EXPECT_THAT(run.err, HasSubstr(file + ": cannot create"));
    }

    for (const auto& command : {"record", "values"}) {
        const auto help = Tivctl({command, "--help"});
        EXPECT_EQ(help.code, 0) << command;
        EXPECT_THAT(help.out, HasSubstr("--seconds")) << command;
    }
}

}  // namespace
