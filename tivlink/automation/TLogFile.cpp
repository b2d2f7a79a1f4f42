#include "tivlink/automation/TLogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace tivlink {

namespace {

// The file lies in a directory others may write to: a symlink planted under its name would
// make us append to the link's target, and a FIFO would block the open, so neither is used.
int OpenForAppend(const std::filesystem::path& name) {
    int fd;
    do {
        fd = ::open(name.c_str(),
                    O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK,
                    0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fd;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, O_APPEND);
    return fd;
}

}  // namespace

tLogFile::tLogFile(const std::filesystem::path& fileName)
    : fileName_(fileName), fd_(fileName.empty() ? -1 : OpenForAppend(fileName)) {}

tLogFile::~tLogFile() {
    if (fd_ >= 0) ::close(fd_);
}

void tLogFile::WriteLine(std::string_view text) {
    if (fd_ < 0) return;
    std::string line;
    line.reserve(text.size() + 2);
    line.append(text);
    line += "\r\n";
    std::lock_guard lock(mutex_);
    // A full disk or a vanished file loses the line; logging never stops the driver.
    const char* at = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const auto n = ::write(fd_, at, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        at += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace tivlink
