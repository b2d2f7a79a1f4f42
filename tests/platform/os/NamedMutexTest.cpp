#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "os/NamedMutex.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kChildResultFd = 3;
constexpr int kChildReleaseFd = 4;
constexpr const char* kChildNameVar = "TIV_MUTEX_CHILD_NAME";
constexpr const char* kChildTest = "NamedMutexChild.HoldsANameUntilReleased";

// Another process holding a name: this test binary re-run with a filter for the helper below.
class Holder {
public:
    explicit Holder(const std::string& name) {
        int result[2], release[2];
        if (::pipe2(result, O_CLOEXEC) != 0) return;
        if (::pipe2(release, O_CLOEXEC) != 0) {
            ::close(result[0]);
            ::close(result[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, result[1], kChildResultFd);
        posix_spawn_file_actions_adddup2(&actions, release[0], kChildReleaseFd);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);

        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        env.push_back(std::string(kChildNameVar) + "=" + name);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string exe = "/proc/self/exe";
        std::string filter = std::string("--gtest_filter=") + kChildTest;
        char* argv[] = {exe.data(), filter.data(), nullptr};

        if (::posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(result[1]);
        ::close(release[0]);
        resultFd_ = result[0];
        releaseFd_ = release[1];
    }
    ~Holder() { release(); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    // The last error the child's create() left, or -1 if it never said.
    long createError() {
        if (pid_ < 0) return -1;
        std::string text;
        pollfd p{resultFd_, POLLIN, 0};
        while (::poll(&p, 1, 30'000) == 1) {
            char buffer[32];
            const auto n = ::read(resultFd_, buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
            if (text.find('\n') != std::string::npos) return std::stol(text);
        }
        return -1;
    }

    // Lets the child exit; returns its exit status.
    int release() {
        if (releaseFd_ >= 0) ::close(releaseFd_);
        if (resultFd_ >= 0) ::close(resultFd_);
        releaseFd_ = resultFd_ = -1;
        if (pid_ < 0) return -1;
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int resultFd_ = -1;
    int releaseFd_ = -1;
};

TEST(NamedMutexChild, HoldsANameUntilReleased) {
    const char* name = std::getenv(kChildNameVar);
    if (!name) GTEST_SKIP() << "helper process of the cross-process tests";
    os::NamedMutex::create(name);
    const std::string line = std::to_string(os::getLastError()) + "\n";
    ASSERT_EQ(::write(kChildResultFd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    char c;
    while (::read(kChildReleaseFd, &c, 1) > 0) {
    }
    // Exits holding the handle: the process's death must let go of it.
}

class NamedMutexTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tiv-mutex-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        lockDir_ = root_ / "shared" / "locks";
        if (const char* old = std::getenv("TIV_LOCK_DIR")) saved_ = old;
        ::setenv("TIV_LOCK_DIR", lockDir_.c_str(), 1);
    }
    void TearDown() override {
        if (saved_)
            ::setenv("TIV_LOCK_DIR", saved_->c_str(), 1);
        else
            ::unsetenv("TIV_LOCK_DIR");
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    fs::path root_;
    fs::path lockDir_;
    std::optional<std::string> saved_;
};

TEST_F(NamedMutexTest, SecondProcessSeesTheNameUntilTheHolderDies) {
    const std::string name = "Adapter-0_mtx_UsbDevice__AD";
    Holder child(name);
    ASSERT_EQ(child.createError(), static_cast<long>(os::kErrorSuccess));

    const auto h = os::NamedMutex::create(name);
    EXPECT_NE(h, os::kNullMutexHandle);
    EXPECT_EQ(os::getLastError(), os::kErrorAlreadyExists);
    EXPECT_TRUE(os::NamedMutex::close(h));
    ASSERT_EQ(child.release(), 0);

    const auto again = os::NamedMutex::create(name);
    EXPECT_NE(again, os::kNullMutexHandle);
    EXPECT_EQ(os::getLastError(), os::kErrorSuccess);
    EXPECT_TRUE(os::NamedMutex::close(again));
}

TEST_F(NamedMutexTest, NameStaysWhileAnyProcessHasAHandle) {
    const std::string name = "Adapter-1_mtx_UsbDevice__AD";
    Holder creator(name);
    ASSERT_EQ(creator.createError(), static_cast<long>(os::kErrorSuccess));
    const auto h = os::NamedMutex::create(name);
    EXPECT_EQ(os::getLastError(), os::kErrorAlreadyExists);
    ASSERT_EQ(creator.release(), 0);

    // The creator is gone but this process still holds the object.
    Holder second(name);
    EXPECT_EQ(second.createError(), static_cast<long>(os::kErrorAlreadyExists));
    ASSERT_EQ(second.release(), 0);

    EXPECT_TRUE(os::NamedMutex::close(h));
    Holder third(name);
    EXPECT_EQ(third.createError(), static_cast<long>(os::kErrorSuccess));
}

TEST_F(NamedMutexTest, HandlesInOneProcessShareTheObject) {
    const auto first = os::NamedMutex::create("Adapter-0_mtx_UsbDevice__AD");
    ASSERT_NE(first, os::kNullMutexHandle);
    EXPECT_EQ(os::getLastError(), os::kErrorSuccess);
    const auto second = os::NamedMutex::create("Adapter-0_mtx_UsbDevice__AD");
    ASSERT_NE(second, os::kNullMutexHandle);
    EXPECT_NE(second, first);
    EXPECT_EQ(os::getLastError(), os::kErrorAlreadyExists);
    // Names are case-sensitive.
    const auto other = os::NamedMutex::create("adapter-0_mtx_usbdevice__ad");
    EXPECT_EQ(os::getLastError(), os::kErrorSuccess);

    os::setLastError(99);
    EXPECT_TRUE(os::NamedMutex::wait(first, 0));
    EXPECT_EQ(os::getLastError(), os::kErrorSuccess);

    EXPECT_TRUE(os::NamedMutex::close(first));
    EXPECT_FALSE(os::NamedMutex::wait(first, 0));
    EXPECT_EQ(os::getLastError(), os::kErrorInvalidHandle);
    // The second handle keeps it in existence.
    const auto third = os::NamedMutex::create("Adapter-0_mtx_UsbDevice__AD");
    EXPECT_EQ(os::getLastError(), os::kErrorAlreadyExists);
    EXPECT_TRUE(os::NamedMutex::close(second));
    EXPECT_TRUE(os::NamedMutex::close(third));
    EXPECT_TRUE(os::NamedMutex::close(other));

    const auto fresh = os::NamedMutex::create("Adapter-0_mtx_UsbDevice__AD");
    EXPECT_EQ(os::getLastError(), os::kErrorSuccess);
    EXPECT_TRUE(os::NamedMutex::close(fresh));
}

TEST_F(NamedMutexTest, InvalidHandlesFailWithError6) {
    for (const os::MutexHandle h :
         {os::kNullMutexHandle, os::MutexHandle{12345}, ~os::MutexHandle{0}}) {
        os::setLastError(0);
        EXPECT_FALSE(os::NamedMutex::wait(h, 0));
        EXPECT_EQ(os::getLastError(), os::kErrorInvalidHandle);
        os::setLastError(0);
        EXPECT_FALSE(os::NamedMutex::close(h));
        EXPECT_EQ(os::getLastError(), os::kErrorInvalidHandle);
    }
    const auto h = os::NamedMutex::create("x");
    EXPECT_TRUE(os::NamedMutex::close(h));
    EXPECT_FALSE(os::NamedMutex::close(h));
    EXPECT_EQ(os::getLastError(), os::kErrorInvalidHandle);
}

TEST_F(NamedMutexTest, UnnamedObjectsAreAlwaysNew) {
    const auto a = os::NamedMutex::create("");
    EXPECT_EQ(os::getLastError(), os::kErrorSuccess);
    const auto b = os::NamedMutex::create("");
    EXPECT_EQ(os::getLastError(), os::kErrorSuccess);
    EXPECT_NE(a, b);
    EXPECT_TRUE(os::NamedMutex::close(a));
    EXPECT_TRUE(os::NamedMutex::close(b));
}

TEST_F(NamedMutexTest, NamesBecomeDistinctFilesInsideTheStickyLockDirectory) {
    const std::string longA(1000, 'a');
    const std::string longB = std::string(999, 'a') + "b";
    const std::vector<std::string> names = {"a/b",     "a_b",       "a%2Fb",  "../escape",
                                            ".hidden", "Global\\x", "sp ace", longA,
                                            longB,     "\xff\x01"};
    std::vector<os::MutexHandle> handles;
    for (const auto& n : names) {
        handles.push_back(os::NamedMutex::create(n));
        EXPECT_NE(handles.back(), os::kNullMutexHandle) << n;
        EXPECT_EQ(os::getLastError(), os::kErrorSuccess) << n << " collided with another name";
    }
    std::set<std::string> files;
    for (const auto& entry : fs::directory_iterator(lockDir_)) {
        EXPECT_TRUE(entry.is_regular_file()) << entry.path();
        EXPECT_LE(entry.path().filename().string().size(), 255u);
        files.insert(entry.path().filename().string());
    }
    EXPECT_EQ(files.size(), names.size());
    EXPECT_FALSE(fs::exists(lockDir_.parent_path() / "escape.lock"));

    struct stat st {};
    ASSERT_EQ(::stat(lockDir_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);
    for (const auto h : handles) EXPECT_TRUE(os::NamedMutex::close(h));
}

TEST_F(NamedMutexTest, UnusableLockDirectoryFailsWithAnError) {
    const auto file = root_ / "not-a-directory";
    std::ofstream(file) << "x";
    ::setenv("TIV_LOCK_DIR", file.c_str(), 1);
    os::setLastError(0);
    EXPECT_EQ(os::NamedMutex::create("name"), os::kNullMutexHandle);
    EXPECT_NE(os::getLastError(), os::kErrorSuccess);
}

// Lock callers read errors 2 and 3 as "another holder" and "unknown state", so no failure of
// the lock directory may come back as either; a planted FIFO or symlink must neither block
// nor be followed.
TEST_F(NamedMutexTest, LockDirectoryFailuresAreNeitherHolderNorUnknownState) {
    const auto planted = lockDir_ / "planted";
    fs::create_directories(lockDir_);
    ASSERT_EQ(::mkfifo((lockDir_ / os::NamedMutex::fileName("fifo")).c_str(), 0666), 0);
    std::ofstream(planted) << "x";
    fs::create_symlink(planted, lockDir_ / os::NamedMutex::fileName("link"));

    struct Case {
        std::string dir;
        std::string name;
    };
    std::vector<Case> cases = {{lockDir_.string(), "fifo"},
                               {lockDir_.string(), "link"},
                               {"/proc/self/no-such-dir/locks", "name"}};
    // Root writes anywhere; sysfs refuses even root, with the same errors as a directory
    // without write permission.
    const auto readOnly = root_ / "read-only";
    if (::geteuid() != 0) {
        fs::create_directories(readOnly);
        fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec);
        cases.push_back({readOnly.string(), "name"});
    } else if (fs::is_directory("/sys/kernel")) {
        cases.push_back({"/sys/kernel", "tivlink-test"});
    }
    for (const auto& c : cases) {
        ::setenv("TIV_LOCK_DIR", c.dir.c_str(), 1);
        os::setLastError(0);
        EXPECT_EQ(os::NamedMutex::create(c.name), os::kNullMutexHandle) << c.dir << " " << c.name;
        const auto error = os::getLastError();
        EXPECT_NE(error, os::kErrorSuccess) << c.dir;
        EXPECT_NE(error, os::kErrorFileNotFound) << c.dir;
        EXPECT_NE(error, os::kErrorPathNotFound) << c.dir;
    }
    EXPECT_EQ(fs::file_size(planted), 1u);
    if (fs::exists(readOnly)) fs::permissions(readOnly, fs::perms::owner_all);
}

TEST(LastError, BelongsToTheCallingThread) {
    os::setLastError(os::kErrorAlreadyExists);
    std::thread([] {
        EXPECT_EQ(os::getLastError(), os::kErrorSuccess);
        os::setLastError(os::kErrorInvalidHandle);
    }).join();
    EXPECT_EQ(os::getLastError(), os::kErrorAlreadyExists);
}

}  // namespace
