#include "os/NamedMutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <system_error>
#include <unordered_map>

#include "os/Clock.h"

namespace os {

namespace {

constexpr const char* kDefaultLockDir = "/tmp/tivlink-locks";
constexpr std::size_t kMaxFileNameStem = 200;
// Owner and group: only processes of the group that shares the adapters can hold a name
// (umask permitting); anybody else's open fails with access denied.
constexpr mode_t kLockFileMode = 0660;
// Another process holds the directory guard only for the few calls of its create().
constexpr auto kGuardTimeout = std::chrono::seconds(5);
constexpr auto kGuardRetry = std::chrono::milliseconds(1);

// One descriptor per lock file per process: a second open() of the same file would hold a
// separate lock that conflicts with our own first one.
struct Object {
    int fd = -1;
    std::size_t handles = 0;
};

struct Registry {
    std::mutex mutex;
    std::map<std::string, Object> objects;  // by lock file path; private objects by serial
    std::unordered_map<MutexHandle, std::string> handles;
    MutexHandle lastHandle = 0;
    std::uint64_t privateSerial = 0;

    MutexHandle addHandle(const std::string& key) {
        do {
            ++lastHandle;
        } while (lastHandle == kNullMutexHandle || handles.count(lastHandle));
        handles.emplace(lastHandle, key);
        return lastHandle;
    }
};

Registry& registry() {
    // Never destroyed: handles may still be closed from other static destructors.
    static auto* r = new Registry;
    return *r;
}

MutexHandle fail(int err) {
    auto code = errorFromErrno(err);
    // The lock's callers read 2 and 3 as "another holder" and "unknown state"; a missing
    // lock directory must not pass for either.
    if (code == kErrorSuccess) code = kErrorGenFailure;
    if (code == kErrorFileNotFound || code == kErrorPathNotFound) code = kErrorBadPathname;
    setLastError(code);
    return kNullMutexHandle;
}

// Sticky and world-writable like /tmp, so every user may create names in it; who may hold a
// name is up to the lock file's own mode (see create()).
int ensureDirectory(const std::filesystem::path& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (errno != ENOENT) return errno;
    std::error_code ec;
    if (dir.has_parent_path()) std::filesystem::create_directories(dir.parent_path(), ec);
    if (::mkdir(dir.c_str(), 01777) == 0) {
        ::chmod(dir.c_str(), 01777);  // mkdir's mode went through the umask
        return 0;
    }
    return errno == EEXIST ? 0 : errno;
}

// Serialises create() across processes so the lock below can change from exclusive to shared
// without a gap in which a newcomer would think it was first.
class DirectoryGuard {
public:
    explicit DirectoryGuard(const std::filesystem::path& dir)
        : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_ < 0) return;
        const auto deadline = clock().now() + kGuardTimeout;
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || clock().now() >= deadline) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
            clock().sleepFor(kGuardRetry);
        }
    }
    ~DirectoryGuard() {
        if (fd_ >= 0) ::close(fd_);
    }
    DirectoryGuard(const DirectoryGuard&) = delete;
    DirectoryGuard& operator=(const DirectoryGuard&) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_;
};

int flockRetry(int fd, int op) {
    int rc;
    do {
        rc = ::flock(fd, op);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// Takes this process's share of the object's existence; true if nobody else had one.
bool takeLock(int fd, const std::filesystem::path& dir) {
    const DirectoryGuard guard(dir);
    if (flockRetry(fd, LOCK_EX | LOCK_NB) == 0) {
        // Shared from now on, so later openers can hold the object alive after we exit.
        // Without the guard the change would open a gap; then stay exclusive.
        if (guard.held()) flockRetry(fd, LOCK_SH);
        return true;
    }
    flockRetry(fd, LOCK_SH | LOCK_NB);  // fails only against an exclusive holder: still exists
    return false;
}

std::uint64_t fnv1a(std::string_view s) {
    std::uint64_t h = 14695981039346656037ull;
    for (const unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

}  // namespace

std::filesystem::path NamedMutex::lockDirectory() {
    const char* env = std::getenv("TIV_LOCK_DIR");
    return (env && *env) ? std::filesystem::path(env) : std::filesystem::path(kDefaultLockDir);
}

std::string NamedMutex::fileName(std::string_view name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string stem;
    stem.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '_' || c == '-' || (c == '.' && i > 0);
        if (plain) {
            stem += static_cast<char>(c);
        } else {
            stem += '%';
            stem += kHex[c >> 4];
            stem += kHex[c & 0xF];
        }
    }
    if (stem.size() > kMaxFileNameStem) {
        char tail[18];
        std::uint64_t h = fnv1a(name);
        tail[0] = '~';
        for (int i = 16; i >= 1; --i, h >>= 4) tail[i] = kHex[h & 0xF];
        stem.resize(kMaxFileNameStem - 17);
        stem.append(tail, 17);
    }
    return stem + ".lock";
}

MutexHandle NamedMutex::create(std::string_view name) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (name.empty()) {
        const std::string key = std::string(1, '\0') + std::to_string(++r.privateSerial);
        r.objects[key].handles = 1;
        setLastError(kErrorSuccess);
        return r.addHandle(key);
    }

    const auto dir = lockDirectory();
    if (const int err = ensureDirectory(dir)) return fail(err);
    const std::string path = (dir / fileName(name)).string();

    if (const auto it = r.objects.find(path); it != r.objects.end()) {
        ++it->second.handles;
        setLastError(kErrorAlreadyExists);
        return r.addHandle(path);
    }

    // O_NOFOLLOW and O_NONBLOCK: the directory is shared, and a planted symlink or FIFO must
    // neither redirect nor block us.
    constexpr int kFlags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | kFlags, kLockFileMode);
    if (fd < 0 && errno == EACCES) {
        // A file we may read is enough to hold the name; a directory we may not write into,
        // without the file, is a plain access error.
        fd = ::open(path.c_str(), O_RDONLY | kFlags);
        if (fd < 0 && errno == ENOENT) errno = EACCES;
    }
    if (fd < 0) return fail(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(EACCES);
    }

    const bool first = takeLock(fd, dir);
    r.objects[path] = Object{fd, 1};
    setLastError(first ? kErrorSuccess : kErrorAlreadyExists);
    return r.addHandle(path);
}

bool NamedMutex::wait(MutexHandle handle, std::uint32_t /*timeoutMs*/) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    const bool valid = r.handles.count(handle) != 0;
    setLastError(valid ? kErrorSuccess : kErrorInvalidHandle);
    return valid;
}

bool NamedMutex::close(MutexHandle handle) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    const auto it = r.handles.find(handle);
    if (it == r.handles.end()) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    const auto obj = r.objects.find(it->second);
    if (obj != r.objects.end() && --obj->second.handles == 0) {
        // The file stays: removing it would let a newcomer lock a fresh inode while an old
        // holder still holds the unlinked one.
        if (obj->second.fd >= 0) ::close(obj->second.fd);
        r.objects.erase(obj);
    }
    r.handles.erase(it);
    setLastError(kErrorSuccess);
    return true;
}

}  // namespace os
