// tivctl's adapter commands as users run them: load, select and lock, the real binary on the
// in-process simulated adapter.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

constexpr auto kRunTimeout = 60s;  // real time; a hang fails the test, not the suite

// tivctl in a process of its own with its output captured; every wait is bounded and a child
// still running at the end is killed.
class Tool {
public:
    Tool() = default;
    Tool(const Tool&) = delete;
    Tool& operator=(const Tool&) = delete;
    ~Tool() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (const int fd : {out_, err_})
            if (fd >= 0) ::close(fd);
    }

    bool Start(std::vector<std::string> args) {
        args.insert(args.begin(), {TIVCTL_PATH, "--clock-scale", "10"});
        int outPipe[2];
        int errPipe[2];
        if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        // The caller's transport choice must not leak into the run.
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "TIV_USB=", 8) != 0 && std::strncmp(*e, "TIV_SCENARIO=", 13) != 0)
                env.emplace_back(*e);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        const int r = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        out_ = outPipe[0];
        err_ = errPipe[0];
        if (r != 0) pid_ = -1;
        return r == 0;
    }

    // Reads until stdout holds `text`; false on time-out or end of output.
    bool WaitFor(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + kRunTimeout;
        while (out.find(text) == std::string::npos)
            if (!Pump(deadline)) return false;
        return true;
    }

    // Reads everything and reaps the child: its exit code, or -1 on time-out or a signal.
    int Wait() {
        const auto deadline = std::chrono::steady_clock::now() + kRunTimeout;
        while (Pump(deadline)) {
        }
        if (out_ >= 0 || err_ >= 0 || pid_ <= 0) return -1;
        int status = 0;
        if (::waitpid(pid_, &status, 0) != pid_) return -1;
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void Signal(int sig) const {
        if (pid_ > 0 && !reaped_) ::kill(pid_, sig);
    }

    // stdout as JSON objects, one a line.
    std::vector<json> Lines() const {
        std::vector<json> lines;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(json::parse(line, nullptr, false));
            EXPECT_FALSE(lines.back().is_discarded()) << line;
        }
        return lines;
    }

    std::string out;
    std::string err;

private:
    bool Pump(std::chrono::steady_clock::time_point deadline) {
        if (out_ < 0 && err_ < 0) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= 0ms) return false;
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) return true;
        const auto drain = [](int& fd, short revents, std::string& into) {
            if (fd < 0 || !(revents & (POLLIN | POLLHUP | POLLERR))) return;
            char buf[4096];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                into.append(buf, static_cast<std::size_t>(n));
            } else {
                ::close(fd);
                fd = -1;
            }
        };
        drain(out_, fds[0].revents, out);
        drain(err_, fds[1].revents, err);
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool reaped_ = false;
};

struct Run {
    int code = -1;
    std::string out;
    std::string err;
    std::vector<json> lines;
};

Run Tivctl(const std::vector<std::string>& args) {
    Tool tool;
    Run run;
    if (!tool.Start(args)) {
        ADD_FAILURE() << "cannot start " << TIVCTL_PATH;
        return run;
    }
    run.code = tool.Wait();
    run.out = tool.out;
    run.err = tool.err;
    const bool json = std::find(args.begin(), args.end(), "--json") != args.end();
    if (json && (run.code == 0 || run.code == 1)) run.lines = tool.Lines();
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
    EXPECT_EQ(result["packets"], 365);
    EXPECT_EQ(result["adapter"], 1);
    EXPECT_EQ(result["build"].size(), 2u);
    // Not a terminal: one plain line instead of a bar.
    EXPECT_THAT(run.err, HasSubstr("firmware download: 365 of 365 packets sent"));
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
    EXPECT_EQ(j["device"], "\\\\.\\ezusb-3");
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
    Tool holder;
    ASSERT_TRUE(holder.Start({"--json", "lock"}));
    ASSERT_TRUE(holder.WaitFor("\n")) << holder.err;
    ASSERT_EQ(json::parse(holder.out), json::parse(R"({ "command": "lock", "result": 0,
                               "name": "Adapter-0_mtx_UsbDevice__AD" })"));

    const auto second = Tivctl({"--json", "lock", "--seconds", "0.1"});
    EXPECT_EQ(second.code, 1);
    ASSERT_EQ(second.lines.size(), 1u) << second.out;
    EXPECT_EQ(second.lines[0]["result"], 2);
    EXPECT_THAT(second.err, HasSubstr("another program holds the lock"));

    // Another adapter's lock is another name.
    const auto other =
        Tivctl({"--scenario", File("two.json"), "--adapter", "2", "lock", "--seconds", "0.1"});
    EXPECT_EQ(other.code, 0) << other.err;
    EXPECT_THAT(other.out, HasSubstr("lock Adapter-1_mtx_UsbDevice__AD: result 0 (locked)"));

    holder.Signal(SIGINT);
    ASSERT_EQ(holder.Wait(), 0) << holder.err;
    EXPECT_THAT(holder.out, HasSubstr(R"({"command":"unlock","result":0})"));
    EXPECT_THAT(holder.err, HasSubstr("interrupted"));

    const auto free = Tivctl({"lock", "--seconds", "0.1"});
    EXPECT_EQ(free.code, 0) << free.err;
    EXPECT_THAT(free.out, HasSubstr("unlock: result 0"));

    const auto missing = Tivctl({"--adapter", "4", "lock"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_THAT(missing.err, HasSubstr("adapter 4"));
}

}  // namespace
