// tivctl's adapter commands as users run them: load, select and lock, the real binary on the
// in-process simulated adapter.

#include <signal.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/ChildProcess.h"
#include "support/TivctlRun.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using ::testing::HasSubstr;
using namespace tivctltest;

struct Run {
    int code = -1;
    std::string out;
    std::string err;
    std::vector<json> lines;
};

Run Tivctl(const std::vector<std::string>& args) {
    const auto result = RunTivctl(args);
    Run run{result.Code(), result.out, result.err, {}};
    const bool json = std::find(args.begin(), args.end(), "--json") != args.end();
    if (json && (run.code == 0 || run.code == 1)) run.lines = JsonLines(run.out);
    return run;
}

// Scenario files and a lock directory of the suite's own.
class TivctlAdapter : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/tivctl-adapter-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::create_directories(dir_ / "locks");
        ::setenv("TIV_LOCK_DIR", (dir_ / "locks").c_str(), 1);
        // Device 3 answers at bus address 10 and runs its firmware; device 7 (address 1)
        // has none.
        std::ofstream(dir_ / "two.json") << R"({ "adapters": [
            { "device": 3, "port": 95, "firmware": "running", "token": 5, "nextToken": 6 },
            { "device": 7, "port": 239, "firmware": "none" } ] })";
        std::ofstream(dir_ / "none.json") << R"({ "adapters": [] })";
    }
    static void TearDownTestSuite() {
        ::unsetenv("TIV_LOCK_DIR");
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    static std::string File(const std::string& name) { return (dir_ / name).string(); }

    static fs::path dir_;
};

fs::path TivctlAdapter::dir_;

TEST_F(TivctlAdapter, LoadReportsTheEventsAndTheFirmwareItBrought) {
    const auto run = Tivctl({"--json", "load"});
    ASSERT_EQ(run.code, 0) << run.err;
    ASSERT_EQ(run.lines.size(), 3u) << run.out;
    EXPECT_EQ(run.lines[0], json::parse(R"({ "event": "OnStdLoaded" })"));
    EXPECT_EQ(run.lines[1], json::parse(R"({ "event": "OnFirmwareLoaded" })"));
    const auto& result = run.lines[2];
    EXPECT_EQ(result["result"], 0);
    EXPECT_EQ(result["loaded"], true);
    EXPECT_GT(result["seconds"].get<double>(), 0.0);
    EXPECT_EQ(result["adapter"], 1);
    EXPECT_EQ(result["build"].size(), 2u);
    // Not a terminal: one plain line instead of a bar.
    EXPECT_THAT(run.err, HasSubstr("firmware download: done after "));
    EXPECT_THAT(run.err, ::testing::Not(HasSubstr("\r")));

    const auto human = Tivctl({"load"});
    ASSERT_EQ(human.code, 0) << human.err;
    EXPECT_THAT(human.out, HasSubstr("event OnStdLoaded\nevent OnFirmwareLoaded\n"));
    EXPECT_THAT(human.out, HasSubstr("load result 0: firmware running"));

    // Nothing to load into.
    const auto none = Tivctl({"--scenario", File("none.json"), "load"});
    EXPECT_EQ(none.code, 1);
    EXPECT_THAT(none.err, HasSubstr("adapter 1: not present"));
}

TEST_F(TivctlAdapter, SelectByNumberAndByBusAddress) {
    const auto scenario = File("two.json");
    const auto byAddress =
        Tivctl({"--json", "--scenario", scenario, "select", "10", "--by-address"});
    ASSERT_EQ(byAddress.code, 0) << byAddress.err;
    ASSERT_EQ(byAddress.lines.size(), 1u);
    const auto& j = byAddress.lines[0];
    EXPECT_EQ(j["result"], 0);
    EXPECT_EQ(j["mode"], 1);
    EXPECT_EQ(j["adapter"], 1);
    EXPECT_EQ(j["name"], "Adapter-0");
    EXPECT_EQ(j["address"], 10);
    EXPECT_EQ(j["adapterToken"], 5);
    EXPECT_EQ(j["nextToken"], 6);
    EXPECT_EQ(j["version"].get<std::string>().substr(16), "5357");  // "S" "W"

    // Address 1 is the second adapter, whose firmware does not answer: the record says
    // why (128, then the failed write's code).
    const auto silent = Tivctl({"--json", "--scenario", scenario, "select", "1", "--by-address"});
    EXPECT_EQ(silent.code, 1);
    ASSERT_EQ(silent.lines.size(), 1u);
    EXPECT_EQ(silent.lines[0]["result"], 128);
    EXPECT_EQ(silent.lines[0]["adapter"], 2);
    EXPECT_EQ(silent.lines[0]["version"], "80130000000000000000");
    EXPECT_THAT(silent.err, HasSubstr("adapter 2: firmware does not answer"));

    const auto human = Tivctl({"--scenario", scenario, "select", "1"});
    EXPECT_EQ(human.code, 0) << human.err;
    EXPECT_THAT(human.out, HasSubstr("select adapter 1: result 0"));
    EXPECT_THAT(human.out, HasSubstr("address 10  tokens 5/6"));

    const auto nobody = Tivctl({"--json", "--scenario", scenario, "select", "5", "--by-address"});
    EXPECT_EQ(nobody.code, 1);
    EXPECT_EQ(nobody.lines.at(0)["result"], 16);
    EXPECT_THAT(nobody.err, HasSubstr("no adapter at bus address 5"));
    const auto absent = Tivctl({"--json", "--scenario", scenario, "select", "3"});
    EXPECT_EQ(absent.code, 1);
    EXPECT_EQ(absent.lines.at(0)["result"], 32);

    for (const auto& bad : std::vector<std::vector<std::string>>{{"select", "0"},
                                                                 {"select", "17"},
                                                                 {"select", "16", "--by-address"},
                                                                 {"select", "-1", "--by-address"},
                                                                 {"select", "x"},
                                                                 {"select"},
                                                                 {"load", "--timeout", "0"},
                                                                 {"lock", "--seconds", "-1"}}) {
        const auto run = Tivctl(bad);
        EXPECT_EQ(run.code, 2) << bad[0] << " " << (bad.size() > 1 ? bad[1] : "");
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(run.err.empty());
    }
    for (const auto& command : {"load", "select", "lock"}) {
        const auto help = Tivctl({command, "--help"});
        EXPECT_EQ(help.code, 0) << command;
        EXPECT_THAT(help.out, HasSubstr("Usage")) << command;
    }
}

TEST_F(TivctlAdapter, LockHeldByAnotherRunGivesTwoUntilReleased) {
    proctest::Child holder;
    ASSERT_TRUE(holder.Start(TivctlArgs({"--json", "lock"}), kTivctlOptions));
    ASSERT_TRUE(holder.WaitFor("\n", kRunTimeout)) << holder.err;
    // The lock's name comes from the adapter, which says it only while its firmware runs.
    ASSERT_EQ(json::parse(holder.out),
              json::parse(R"({ "command": "lock", "result": 0, "adapter": 1 })"));

    const auto second = Tivctl({"--json", "lock", "--seconds", "0.1"});
    EXPECT_EQ(second.code, 1);
    ASSERT_EQ(second.lines.size(), 1u) << second.out;
    EXPECT_EQ(second.lines[0]["result"], 2);
    EXPECT_THAT(second.err, HasSubstr("another program holds the lock"));

    // Another adapter's lock is another name.
    const auto other =
        Tivctl({"--scenario", File("two.json"), "--adapter", "2", "lock", "--seconds", "0.1"});
    EXPECT_EQ(other.code, 0) << other.err;
    EXPECT_THAT(other.out, HasSubstr("lock adapter 2: result 0 (locked)"));

    holder.Signal(SIGINT);
    ASSERT_EQ(holder.Wait(kRunTimeout), 0) << holder.err;
    EXPECT_THAT(holder.out, HasSubstr(R"({"command":"unlock","result":0})"));
    EXPECT_THAT(holder.err, HasSubstr("interrupted"));

    const auto free = Tivctl({"lock", "--seconds", "0.1"});
    EXPECT_EQ(free.code, 0) << free.err;
    EXPECT_THAT(free.out, HasSubstr("unlock: result 0"));

    const auto missing = Tivctl({"--adapter", "4", "lock"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_THAT(missing.err, HasSubstr("adapter 4"));
}

// Two programs on one adapter interleave their transfers; every command that uses the adapter
// refuses while another program holds its lock, with an exit code of its own.
TEST_F(TivctlAdapter, AdapterCommandsRefuseWhileAnotherProgramHoldsTheLock) {
    proctest::Child holder;
    ASSERT_TRUE(holder.Start(TivctlArgs({"lock"}), kTivctlOptions));
    ASSERT_TRUE(holder.WaitFor("\n", kRunTimeout)) << holder.err;

    const auto record = (dir_ / "refused.rec").string();
    const std::vector<std::vector<std::string>> commands = {
        {"scan"},
        {"load"},
        {"select", "1"},
        {"send", "--obj", "1217", "--sub", "29"},
        {"monitor", "--seconds", "1"},
        {"values", "--seconds", "1"},
        {"record", record, "--seconds", "1"},
    };
    for (const auto& command : commands) {
        SCOPED_TRACE(command[0]);
        const auto run = Tivctl(command);
        EXPECT_EQ(run.code, 3) << run.err;
        EXPECT_THAT(run.err, HasSubstr("another program holds the lock"));
    }
    // Only the adapter held: the second one is free.
    EXPECT_EQ(Tivctl({"--scenario", File("two.json"), "--adapter", "2", "load"}).code, 0);

    holder.Signal(SIGINT);
    ASSERT_EQ(holder.Wait(kRunTimeout), 0) << holder.err;
}

// A lock directory nobody may write to is no holder: the error says so and has its own code.
TEST_F(TivctlAdapter, UnusableLockDirectoryIsNotReportedAsAnotherHolder) {
    // Root writes anywhere; sysfs refuses even root.
    const std::string readOnly = "/sys/kernel";
    if (::geteuid() == 0 && !fs::is_directory(readOnly)) GTEST_SKIP() << "no read-only directory";
    const auto own = dir_ / "read-only";
    if (::geteuid() != 0) {
        fs::create_directories(own);
        fs::permissions(own, fs::perms::owner_read | fs::perms::owner_exec);
    }
    ::setenv("TIV_LOCK_DIR", ::geteuid() == 0 ? readOnly.c_str() : own.c_str(), 1);
    for (const auto& command : std::vector<std::vector<std::string>>{
             {"lock", "--seconds", "0.1"}, {"send", "--obj", "1217", "--sub", "29"}}) {
        SCOPED_TRACE(command[0]);
        const auto run = Tivctl(command);
        EXPECT_EQ(run.code, 4) << run.err;
        EXPECT_THAT(run.err, HasSubstr("no access to the lock directory"));
        EXPECT_THAT(run.err, ::testing::Not(HasSubstr("another program")));
    }
    ::setenv("TIV_LOCK_DIR", (dir_ / "locks").c_str(), 1);
}

}  // namespace
