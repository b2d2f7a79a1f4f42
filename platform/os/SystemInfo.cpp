#include "os/SystemInfo.h"

#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace os {

namespace {

// A "Name: N kB" line of /proc/meminfo in bytes, 0 when missing.
std::uint64_t meminfo(const char* name) {
    std::FILE* f = std::fopen("/proc/meminfo", "re");
    if (!f) return 0;
    const std::size_t nameLength = std::strlen(name);
    char line[256];
    std::uint64_t bytes = 0;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, name, nameLength) != 0 || line[nameLength] != ':') continue;
        unsigned long long kb = 0;
        if (std::sscanf(line + nameLength + 1, "%llu", &kb) == 1) bytes = kb * 1024;
        break;
    }
    std::fclose(f);
    return bytes;
}

}  // namespace

std::uint64_t availablePhysicalMemory() {
    if (const auto bytes = meminfo("MemAvailable")) return bytes;
    struct sysinfo info {};
    if (::sysinfo(&info) != 0) return 0;
    return (std::uint64_t{info.freeram} + info.bufferram) * info.mem_unit;
}

std::uint64_t totalPhysicalMemory() {
    if (const auto bytes = meminfo("MemTotal")) return bytes;
    struct sysinfo info {};
    if (::sysinfo(&info) != 0) return 0;
    return std::uint64_t{info.totalram} * info.mem_unit;
}

std::string computerName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    std::string host(name);
    return host.substr(0, host.find('.'));
}

std::uint32_t currentThreadId() {
    thread_local const auto id = static_cast<std::uint32_t>(::syscall(SYS_gettid));
    return id;
}

}  // namespace os
