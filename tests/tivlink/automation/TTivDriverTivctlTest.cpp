// tivctl's automation commands: the registered type library as a table, and members called by
// name through the module, with arguments converted and results printed.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "DiagnosticsSupport.h"
#include "ModulePaths.h"
#include "TTivDriverSupport.h"

namespace {

using diagtest::RunProgram;
using diagtest::RunResult;
using diagtest::ScratchDir;
using ::testing::HasSubstr;

class TTivDriverTivctl : public ::testing::Test {
protected:
    void SetUp() override {
        const auto reg = RunProgram(
            {comdrv::RegSvrPath(), "--registry", registry.string(), comdrv::ModulePath()},
            dir.Path());
        ASSERT_EQ(reg.code, 0) << reg.err;
    }

    RunResult Tivctl(std::vector<std::string> args, bool registered = true) {
        args.insert(args.begin(), TIVCTL_PATH);
        return RunProgram(args, dir.Path(),
                          {{"TIV_REGISTRY", registered ? registry.string() : "/nonexistent/r.reg"},
                           {"TIV_USB", std::nullopt},
                           {"TIV_SCENARIO", std::nullopt}});
    }

    static std::vector<nlohmann::json> JsonLines(const std::string& out) {
        std::vector<nlohmann::json> lines;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) lines.push_back(nlohmann::json::parse(line));
        return lines;
    }

    ScratchDir dir;
    std::filesystem::path registry = dir.Path() / "registry.reg";
};

TEST_F(TTivDriverTivctl, MembersListsTheRegisteredTypeLibrary) {
    const auto text = Tivctl({"members"});
    ASSERT_EQ(text.code, 0) << text.err;
    EXPECT_THAT(text.out, HasSubstr("dual interface ITivDriver"));
    EXPECT_THAT(text.out, HasSubstr("0x10    ReadData"));
    EXPECT_THAT(text.out, HasSubstr("in long Pos, in/out long Bytes, in VARIANT* Data"));
    EXPECT_THAT(text.out, HasSubstr("dispinterface ITivDriverEvents"));

    const auto json = Tivctl({"members", "--json"});
    ASSERT_EQ(json.code, 0) << json.err;
    const auto rows = JsonLines(json.out);
    ASSERT_EQ(rows.size(), 148u + 15u);
    EXPECT_EQ(rows[0]["name"], "LoadAdapter");
    EXPECT_EQ(rows[0]["result"]["name"], "Param2");
    EXPECT_EQ(rows[147]["name"], "EnablePointerOverrunEvent");
    EXPECT_EQ(rows[147]["kind"], "put");
    EXPECT_EQ(rows[148]["kind"], "event");
    EXPECT_EQ(rows[148]["name"], "OnOverrun");

    // Nothing registered where it looks: a runtime failure, said so.
    const auto missing = Tivctl({"members"}, false);
    EXPECT_EQ(missing.code, 1);
    EXPECT_THAT(missing.err, HasSubstr("tivregsvr"));
}

TEST_F(TTivDriverTivctl, CallConvertsArgumentsAndPrintsWhatCameBack) {
    const auto version = Tivctl({"--json", "call", "version"});
    ASSERT_EQ(version.code, 0) << version.err;
    const auto v = JsonLines(version.out);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]["member"], "Version");
    EXPECT_EQ(v[0]["result"]["Value"], 545);

    // A by-reference VARIANT comes back as hex bytes: the version query finds no firmware.
    const auto select = Tivctl({"--json", "call", "SelectAdapter", "1", "0", "-"});
    ASSERT_EQ(select.code, 0) << select.err;
    const auto s = JsonLines(select.out);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0]["result"]["Param2"], 128);
    EXPECT_EQ(s[0]["out"]["VerStr"], "80130000000000000000");

    // A data array in hex, negative and hex numbers.
    const auto crc = Tivctl({"call", "CheckArrayCRC", "313233", "3"});
    ASSERT_EQ(crc.code, 0) << crc.err;
    EXPECT_THAT(crc.out, HasSubstr("CheckArrayCRC: Param3 = "));
    const auto bad = Tivctl({"call", "CheckArrayCRC", "313233", "-1"});
    ASSERT_EQ(bad.code, 0) << bad.err;
    EXPECT_THAT(bad.out, HasSubstr("Param3 = -1"));
    const auto put = Tivctl({"call", "TraDelay", "0x20"});
    ASSERT_EQ(put.code, 0) << put.err;
    EXPECT_THAT(put.out, HasSubstr("TraDelay: set"));
}

TEST_F(TTivDriverTivctl, CallRefusesWhatDoesNotFit) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"call", "NoSuchMember"}, "no member NoSuchMember"},
        {{"call", "SendAcyclic", "5", "4"}, "takes 6 argument(s)"},
        {{"call", "SetMarker", "many"}, "not a 32-bit number"},
        {{"call", "SetMarker", "99999999999"}, "not a 32-bit number"},
        {{"call", "LogFileOn", "maybe"}, "not true or false"},
        {{"call", "WriteData", "0G"}, "Data"},
        {{"--usb", "nowhere", "call", "Version"}, "nowhere"},
    };
    for (const auto& c : cases) {
        const auto r = Tivctl(c.args);
        EXPECT_EQ(r.code, 2) << c.args[1];
        EXPECT_THAT(r.err, HasSubstr(c.message));
    }
    const auto unregistered = Tivctl({"call", "Version"}, false);
    EXPECT_EQ(unregistered.code, 1);
    EXPECT_THAT(unregistered.err, HasSubstr("not registered"));
}

TEST_F(TTivDriverTivctl, DemoRunsThroughTheInterfaceOnTheSimulatedAdapter) {
    // Every wait in the demo waits for an event with a time-out; the faster clock only
    // shortens the firmware download and the measuring time.
    const auto demo = Tivctl({"--clock-scale", "10", "demo", "--registry", registry.string()});
    ASSERT_EQ(demo.code, 0) << demo.out << demo.err;
    EXPECT_THAT(demo.out, HasSubstr("<- event OnStdLoaded"));
    EXPECT_THAT(demo.out, HasSubstr("<- event OnFirmwareLoaded"));
    EXPECT_THAT(demo.out, HasSubstr("firmware loaded after"));
    EXPECT_THAT(demo.out, HasSubstr("the device kept what was written"));
    EXPECT_THAT(demo.out, HasSubstr("error answer, control 0x84"));
    EXPECT_THAT(demo.out, HasSubstr("<- event OnDelayedResponse"));
    EXPECT_THAT(demo.out, HasSubstr("ReceiveAcyclicDelayed() = 0: delayed answer obj 1301"));
    EXPECT_THAT(demo.out, HasSubstr("<- OnMvAvailable  ValueNr"));
    EXPECT_THAT(demo.out, HasSubstr("Value1 "));
    EXPECT_THAT(demo.out, HasSubstr("<- event OnFree"));
    EXPECT_THAT(demo.out, HasSubstr("every step worked"));

    // Nothing registered where it was told to look: a runtime failure, said so.
    const auto missing = Tivctl({"demo", "--registry", (dir.Path() / "none.reg").string()});
    EXPECT_EQ(missing.code, 1);
    EXPECT_THAT(missing.err, HasSubstr("not registered"));
}

}  // namespace
