// The tivsim program: serving a scenario to the socket backend, switching faults with
// `tivsim ctl`, a clean shutdown on a signal, and its refusals of bad input.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "simulator/Probe.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "usb/IoctlCodes.h"
#include "usb/SocketTransport.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kTivsim = TIVSIM_PATH;
const fs::path kScenarios = TIV_SCENARIO_DIR;

// Socket paths have a length limit: their directories stay short.
const std::filesystem::path kSocketParent = "/tmp";
using testsupport::TempDir;

proctest::Result ctl(const fs::path& dir, std::vector<std::string> words) {
    std::vector<std::string> args{kTivsim, "ctl", "--dir", dir.string()};
    args.insert(args.end(), words.begin(), words.end());
    return proctest::RunTool(args);
}

bool descriptorOk(const std::shared_ptr<usbio::Transport>& t, int device) {
    std::uint8_t d[18] = {};
    std::uint32_t n = 0;
    sim::probe::DeviceAccess dev(t, device);
    return dev.request(usbio::kIoctlGetDeviceDescriptor, nullptr, 0, d, sizeof d, &n) && n == 18 &&
           (d[8] | d[9] << 8) == 0x0547 && (d[10] | d[11] << 8) == 0x2131;
}

}  // namespace

TEST(TivsimDaemon, ServesAScenarioUntilTerminated) {
    TempDir dir{"tivsim-test", kSocketParent};
    const auto sockets = dir.path() / "sockets";  // created by tivsim
    proctest::Child daemon;
    ASSERT_TRUE(daemon.Start({kTivsim, "--scenario", (kScenarios / "two-adapters.json").string(),
                              "--dir", sockets.string(), "--scale", "10"}));
    ASSERT_TRUE(daemon.WaitForLine("ready", 10s)) << daemon.out << daemon.err;
    EXPECT_NE(daemon.out.find("adapter 3: " + (sockets / "ezusb-3").string()), std::string::npos)
        << daemon.out;
    EXPECT_NE(daemon.out.find("adapter 7: "), std::string::npos) << daemon.out;

    std::string error;
    const auto transport = usbio::makeSocketTransport(sockets.string(), error);
    ASSERT_NE(transport, nullptr) << error;
    EXPECT_TRUE(descriptorOk(transport, 3));
    EXPECT_TRUE(descriptorOk(transport, 7));
    sim::probe::DeviceAccess seven(transport, 7);
    std::uint32_t n = 0;
    ASSERT_TRUE(seven.bulkRead(3, &n)) << "firmware runs from the start in this scenario";
    EXPECT_EQ(n, 64u);

    auto r = ctl(sockets, {"unplug", "3"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "ok\n");
    EXPECT_FALSE(sim::probe::DeviceAccess(transport, 3).present());
    EXPECT_FALSE(fs::exists(sockets / "ezusb-3"));
    EXPECT_TRUE(descriptorOk(transport, 7));

    r = ctl(sockets, {"replug", "3"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(descriptorOk(transport, 3));

    // Refused commands exit 1 with the simulator's reason; "-1" is a word, not an option.
    r = ctl(sockets, {"unplug", "9"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out.rfind("error: ", 0), 0u) << r.out;
    r = ctl(sockets, {"usb-errors", "-1", "7"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_FALSE(seven.bulkRead(3));
    EXPECT_EQ(ctl(sockets, {"clear"}).exitCode, 0);
    EXPECT_TRUE(seven.bulkRead(3));

    // A second daemon on the same directory refuses and leaves the first alone.
    const auto rival = proctest::RunTool({kTivsim, "--dir", sockets.string()});
    EXPECT_EQ(rival.exitCode, 1);
    EXPECT_NE(rival.err.find("already served"), std::string::npos) << rival.err;
    EXPECT_TRUE(descriptorOk(transport, 3));

    ASSERT_TRUE(daemon.Signal(SIGTERM));
    EXPECT_EQ(daemon.Wait(10s), 0) << daemon.err;
    EXPECT_TRUE(fs::is_empty(sockets)) << "every socket file is removed";
    EXPECT_FALSE(descriptorOk(transport, 7));
    EXPECT_EQ(ctl(sockets, {"list"}).exitCode, 2) << "no daemon any more";
}

TEST(TivsimDaemon, DemoScenarioWithoutAFileAndSigint) {
    TempDir dir{"tivsim-test", kSocketParent};
    proctest::Child daemon;
    ASSERT_TRUE(daemon.Start({kTivsim, "--dir", dir.path().string()}));
    ASSERT_TRUE(daemon.WaitForLine("ready", 10s)) << daemon.out << daemon.err;
    EXPECT_NE(daemon.out.find("adapter 0: "), std::string::npos) << daemon.out;
    EXPECT_NE(daemon.out.find("firmware none"), std::string::npos) << daemon.out;

    std::string error;
    const auto transport = usbio::makeSocketTransport(dir.path().string(), error);
    ASSERT_NE(transport, nullptr) << error;
    EXPECT_TRUE(descriptorOk(transport, 0));
    EXPECT_FALSE(sim::probe::DeviceAccess(transport, 0).bulkRead(3)) << "no firmware yet";
    const auto list = ctl(dir.path(), {"list"});
    EXPECT_EQ(list.out, "ok 0:plugged\n");

    ASSERT_TRUE(daemon.Signal(SIGINT));
    EXPECT_EQ(daemon.Wait(10s), 0) << daemon.err;
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(TivsimCommandLine, BadInputAndUsage) {
    TempDir dir{"tivsim-test", kSocketParent};
    const auto bad = dir.path() / "bad.json";
    std::ofstream(bad) << R"({"devices": [{"objects": [{"obj": 1, "sub": 300}]}]})";

    auto r = proctest::RunTool({kTivsim, "--scenario", bad.string(), "--dir", dir.path().string()});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("devices[0].objects[0].sub: must be 0..255"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir.path() / "control")) << "nothing is served for a bad scenario";

    r = proctest::RunTool({kTivsim, "check", bad.string()});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find(bad.string() + ": devices[0].objects[0].sub"), std::string::npos) << r.err;
    r = proctest::RunTool({kTivsim, "check", (dir.path() / "missing.json").string()});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("missing.json"), std::string::npos) << r.err;
    r = proctest::RunTool({kTivsim, "check", (kScenarios / "demo.json").string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;

    EXPECT_EQ(proctest::RunTool({kTivsim, "--help"}).exitCode, 0);
    EXPECT_EQ(proctest::RunTool({kTivsim, "ctl", "--help"}).exitCode, 0);
    EXPECT_EQ(proctest::RunTool({kTivsim, "check", "--help"}).exitCode, 0);
    EXPECT_EQ(proctest::RunTool({kTivsim}).exitCode, 2) << "serving needs --dir";
    EXPECT_EQ(proctest::RunTool({kTivsim, "--bogus"}).exitCode, 2);
    EXPECT_EQ(proctest::RunTool({kTivsim, "check"}).exitCode, 2);
    EXPECT_EQ(proctest::RunTool({kTivsim, "--dir", dir.path().string(), "--scale", "0"}).exitCode,
              2);
    EXPECT_EQ(ctl(dir.path(), {}).exitCode, 2);
    r = ctl(dir.path() / "nobody", {"list"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("no simulator"), std::string::npos) << r.err;

    // A directory that cannot hold sockets is a runtime failure.
    r = proctest::RunTool({kTivsim, "--dir", bad.string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(bad.string()), std::string::npos) << r.err;
}
