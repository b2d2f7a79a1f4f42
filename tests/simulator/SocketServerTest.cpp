// The simulator's socket server against greedy and idle peers, and the control protocol's
// answers to lines that are no command.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "simulator/Scenario.h"
#include "simulator/Simulator.h"
#include "simulator/SocketServer.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kWait = 10s;  // how long a test waits for the server to act

int Connect(const std::filesystem::path& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The next reply line, or nullopt when the server closed the connection or kWait passed.
std::optional<std::string> Line(int fd) {
    std::string line;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, std::chrono::milliseconds(kWait).count()) != 1) return std::nullopt;
        char c;
        if (::recv(fd, &c, 1, 0) != 1) return std::nullopt;
        if (c == '\n') return line;
        line += c;
    }
}

std::optional<std::string> Ask(int fd, const std::string& line) {
    if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
        return std::nullopt;
    return Line(fd);
}

// Whether the server hangs up on `fd` within kWait.
bool ClosedByServer(int fd) {
    pollfd p{fd, POLLIN, 0};
    char c;
    return ::poll(&p, 1, std::chrono::milliseconds(kWait).count()) == 1 &&
           ::recv(fd, &c, 1, 0) == 0;
}

struct Server {
    explicit Server(std::chrono::milliseconds idle = 60s)
        : dir("sock", "/tmp"),
          server(std::make_shared<sim::Simulator>(sim::demoScenario()), dir.path() / "s") {
        server.setIdleTimeout(idle);
        std::string error;
        started = server.start(&error);
        EXPECT_TRUE(started) << error;
    }
    testsupport::TempDir dir;
    sim::SocketServer server;
    bool started = false;
};

TEST(SimSocketServer, OneGreedyPeerLeavesSlotsForOthers) {
    Server s;
    ASSERT_TRUE(s.started);
    const auto control = s.server.controlSocketPath();
    std::vector<int> mine;
    for (std::size_t i = 0; i < sim::SocketServer::kMaxPerProcess; ++i) {
        mine.push_back(Connect(control));
        ASSERT_GE(mine.back(), 0);
    }
    // Each of ours is served; one more from the same process is turned away.
    ASSERT_EQ(Ask(mine.back(), "list\n").value_or("").rfind("ok", 0), 0u);
    const int extra = Connect(control);
    ASSERT_GE(extra, 0);
    EXPECT_TRUE(ClosedByServer(extra));
    ::close(extra);

    // Another process still gets in. The child of a threaded process sticks to system calls.
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = Connect(control);
        char reply[2] = {};
        pollfd p{fd, POLLIN, 0};
        const bool ok = fd >= 0 && ::send(fd, "list\n", 5, MSG_NOSIGNAL) == 5 &&
                        ::poll(&p, 1, 10000) == 1 && ::recv(fd, reply, 2, MSG_WAITALL) == 2 &&
                        reply[0] == 'o' && reply[1] == 'k';
        ::_exit(ok ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (const int fd : mine) ::close(fd);
}

TEST(SimSocketServer, IdleConnectionsAreClosedAndNewOnesServed) {
    Server s(200ms);
    ASSERT_TRUE(s.started);
    const int idle = Connect(s.server.controlSocketPath());
    const int device = Connect(s.server.deviceSocketPath(0));
    ASSERT_GE(idle, 0);
    ASSERT_GE(device, 0);
    EXPECT_TRUE(ClosedByServer(idle));
    EXPECT_TRUE(ClosedByServer(device));
    ::close(idle);
    ::close(device);

    const int fresh = Connect(s.server.controlSocketPath());
    EXPECT_EQ(Ask(fresh, "list\n").value_or("").rfind("ok", 0), 0u);
    ::close(fresh);
}

TEST(SimSocketServer, EveryControlLineIsAnsweredAtOnce) {
    Server s;
    ASSERT_TRUE(s.started);
    const int fd = Connect(s.server.controlSocketPath());
    ASSERT_GE(fd, 0);
    const struct {
        std::string line;
        std::string reply;
    } cases[] = {
        {"\n", "error: empty command (try help)"},
        {"  \r\n", "error: empty command (try help)"},
        {"no-such-command\n", "error: "},
        {"list\n", "ok"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto reply = Ask(fd, c.line);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->substr(0, c.reply.size()), c.reply);
    }
    ::close(fd);
}

}  // namespace
