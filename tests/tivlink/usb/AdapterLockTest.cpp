// The adapter lock: one handle for the whole process, and a named object that other
// processes see.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "os/LastError.h"
#include "os/NamedMutex.h"
#include "usb/AdapterRig.h"

using namespace adaptertest;

namespace {

namespace fs = std::filesystem;

const std::string kFirstName = "Adapter-0_mtx_UsbDevice__AD";

// Another process that opens and closes named objects on request. Forked before the test
// starts any thread, so the child inherits no lock held by one. Every wait is bounded, and
// a peer left behind is killed.
class Peer {
public:
    Peer() {
        int toPeer[2];
        int fromPeer[2];
        if (::pipe2(toPeer, O_CLOEXEC) != 0 || ::pipe2(fromPeer, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(toPeer[1]);
            ::close(fromPeer[0]);
            Serve(toPeer[0], fromPeer[1]);
        }
        ::close(toPeer[0]);
        ::close(fromPeer[1]);
        to_ = toPeer[1];
        from_ = fromPeer[0];
    }
    ~Peer() {
        if (to_ >= 0) ::close(to_);
        if (from_ >= 0) ::close(from_);
        if (pid_ > 0) {
            // The closed pipe ends the peer; a stuck one is killed.
            for (int i = 0; i < 500 && ::waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
                pollfd none{-1, 0, 0};
                ::poll(&none, 0, 10);
                if (i == 499) {
                    ::kill(pid_, SIGKILL);
                    ::waitpid(pid_, nullptr, 0);
                }
            }
        }
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool Started() const { return pid_ > 0; }
    // Opens the object and keeps it; the last error of the creation.
    std::optional<int> Hold(const std::string& name) { return Ask('h', name); }
    // Closes what Hold opened.
    std::optional<int> Release() { return Ask('r', ""); }
    // Opens and closes at once; the last error of the creation tells whether it existed.
    std::optional<int> Probe(const std::string& name) { return Ask('p', name); }

private:
    [[noreturn]] static void Serve(int in, int out) {
        os::MutexHandle held = os::kNullMutexHandle;
        for (;;) {
            char command = 0;
            char name[128] = {};
            unsigned char length = 0;
            if (::read(in, &command, 1) != 1 || ::read(in, &length, 1) != 1) ::_exit(0);
            if (length > 0 && ::read(in, name, length) != length) ::_exit(1);
            unsigned char reply = 0;
            if (command == 'h') {
                held = os::NamedMutex::create(std::string_view(name, length));
                reply = static_cast<unsigned char>(os::getLastError());
            } else if (command == 'r') {
                os::NamedMutex::close(held);
                held = os::kNullMutexHandle;
                reply = static_cast<unsigned char>(os::getLastError());
            } else if (command == 'p') {
                const auto h = os::NamedMutex::create(std::string_view(name, length));
                reply = static_cast<unsigned char>(os::getLastError());
                os::NamedMutex::close(h);
            }
            if (::write(out, &reply, 1) != 1) ::_exit(1);
        }
    }

    std::optional<int> Ask(char command, const std::string& name) {
        if (to_ < 0 || name.size() > 127) return std::nullopt;
        std::string message(1, command);
        message += static_cast<char>(name.size());
        message += name;
        if (::write(to_, message.data(), message.size()) != static_cast<ssize_t>(message.size()))
            return std::nullopt;
        pollfd p{from_, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1) return std::nullopt;
        unsigned char reply = 0;
        if (::read(from_, &reply, 1) != 1) return std::nullopt;
        return reply;
    }

    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
};

// Each test process gets a lock directory of its own: parallel runs must not meet.
class AdapterLock : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/tiv-lock-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ::setenv("TIV_LOCK_DIR", dir_.c_str(), 1);
    }
    static void TearDownTestSuite() {
        ::unsetenv("TIV_LOCK_DIR");
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // The handle a window line "lock:NAME-HANDLE" shows; empty when there is none.
    static std::string ShownHandle(const std::vector<std::string>& items, const std::string& name,
                                   int occurrence = 0) {
        const std::string prefix = "lock:" + name + "-";
        for (const auto& item : items)
            if (item.rfind(prefix, 0) == 0 && occurrence-- == 0) return item.substr(prefix.size());
        return {};
    }

    static fs::path dir_;
};

fs::path AdapterLock::dir_;

TEST_F(AdapterLock, OneHandleForTheWholeProcess) {
    AdapterRig r(OneAdapter(true));
    EXPECT_EQ(r.engine->LockAdapter(), 0);
    const std::string handle = ShownHandle(r.window->Items(), kFirstName);
    ASSERT_FALSE(handle.empty());
    EXPECT_NE(handle, "0");
    EXPECT_TRUE(fs::exists(dir_ / os::NamedMutex::fileName(kFirstName)));
    EXPECT_EQ(r.engine->LockAdapter(), 1);

    // A second driver object in the process shares the handle: it holds the lock already
    // and can release it for the first.
    tivlink::DriverEngine other({r.transport, enginetest::Image(), nullptr, nullptr});
    EXPECT_EQ(other.LockAdapter(), 1);
    EXPECT_EQ(other.UnlockAdapter(), 0);
    EXPECT_EQ(r.engine->UnlockAdapter(), 1);

    EXPECT_EQ(r.engine->LockAdapter(), 0);
    const std::string again = ShownHandle(r.window->Items(), kFirstName, 1);
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(r.engine->UnlockAdapter(), 0);
    EXPECT_TRUE(enginetest::HasLine(r.window->Items(), "unlock:-" + again));
    EXPECT_EQ(r.engine->UnlockAdapter(), 1);
    EXPECT_TRUE(enginetest::HasLine(r.log->Lines(), "Exit:UnlockAdapter:1 ++++++++++"));
}

TEST_F(AdapterLock, NameFollowsTheSelectedAdapter) {
    AdapterRig r(TwoAdapters());
    ASSERT_EQ(r.Select(2), 0);
    EXPECT_EQ(r.engine->LockAdapter(), 0);
    EXPECT_FALSE(ShownHandle(r.window->Items(), "Adapter-1_mtx_UsbDevice__AD").empty());
    EXPECT_TRUE(ShownHandle(r.window->Items(), kFirstName).empty());
    EXPECT_EQ(r.engine->UnlockAdapter(), 0);
}

TEST_F(AdapterLock, AnotherProcessHoldingTheNameGivesTwo) {
    Peer peer;  // before the rig starts any thread
    ASSERT_TRUE(peer.Started());
    AdapterRig r(OneAdapter(true));
    ASSERT_EQ(peer.Hold(kFirstName), 0);

    EXPECT_EQ(r.engine->LockAdapter(), 2);
    // The attempt is shown, and its handle was closed: trying again is not "held already".
    EXPECT_FALSE(ShownHandle(r.window->Items(), kFirstName).empty());
    EXPECT_EQ(r.engine->LockAdapter(), 2);
    EXPECT_EQ(r.engine->UnlockAdapter(), 1);

    ASSERT_EQ(peer.Release(), 0);
    EXPECT_EQ(r.engine->LockAdapter(), 0);
    // Now the other process finds the name taken, until we let go.
    EXPECT_EQ(peer.Probe(kFirstName), 183);
    EXPECT_EQ(r.engine->UnlockAdapter(), 0);
    EXPECT_EQ(peer.Probe(kFirstName), 0);
}

}  // namespace
