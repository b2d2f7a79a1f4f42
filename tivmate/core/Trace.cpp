#include "core/Trace.h"

#include <cstdio>
#include <fstream>
#include <mutex>

#include "core/AppDirectory.h"
#include "core/Settings.h"
#include "os/Clock.h"
#include "os/TimeUtil.h"

namespace tivmate {

namespace {

std::mutex gModeMutex;
std::string gTraceMode;  // module level, as the DTM keeps it; empty until read

std::string traceMode() {
    std::lock_guard lock(gModeMutex);
    if (gTraceMode.empty()) gTraceMode = ReadIniString(IniPath(), "TimeCritical", "Trace");
    return gTraceMode;
}

}  // namespace

void ResetTraceMode() {
    std::lock_guard lock(gModeMutex);
    gTraceMode.clear();
}

std::filesystem::path TraceFilePath() {
    return ApplicationDirectory() / "TraceInfoFile.txt";
}

std::string TraceStamp(std::chrono::system_clock::time_point tp) {
    const os::SystemTime t = os::localSystemTime(tp);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02u %02u:%02u:%02u", unsigned{t.year},
                  unsigned{t.month}, unsigned{t.day}, unsigned{t.hour}, unsigned{t.minute},
                  unsigned{t.second});
    return buffer;
}

std::string TraceLine(std::string_view stamp, std::string_view FunctionName,
                      std::string_view Message) {
    std::string line;
    line.reserve(stamp.size() + FunctionName.size() + Message.size() + 20);
    line.append(stamp).append(" TIVAdapter: ").append(FunctionName).append(": ");
    line.append(Message).append("\r\n");
    return line;
}

void WriteTrace(std::string_view FunctionName, std::string_view Message) {
    try {
        if (traceMode() != "ExternalFile") return;
        const std::string line =
            TraceLine(TraceStamp(os::clock().systemNow()), FunctionName, Message);
        std::ofstream out(TraceFilePath(), std::ios::binary | std::ios::app);
        out.write(line.data(), static_cast<std::streamsize>(line.size()));
    } catch (...) {
        // Tracing never fails its caller.
    }
}

std::optional<std::int32_t> ParseIniLong(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    if (text.size() > 2 && text[0] == '&' && (text[1] == 'H' || text[1] == 'h')) {
        text.remove_prefix(2);
        if (text.size() > 8) return std::nullopt;
        std::uint32_t v = 0;
        for (char c : text) {
            int d;
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                d = c - 'A' + 10;
            else
                return std::nullopt;
            v = v * 16 + static_cast<std::uint32_t>(d);
        }
        return static_cast<std::int32_t>(v);
    }
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > 10) return std::nullopt;
    std::int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    if (negative) v = -v;
    if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
    return static_cast<std::int32_t>(v);
}

std::int64_t TraceFileSizeLimit(std::string_view TraceFileSizeInMB) {
    std::int64_t megabytes = ParseIniLong(TraceFileSizeInMB).value_or(0);
    if (megabytes > 1000) megabytes = 1000;
    return megabytes * 1000000;
}

bool ApplyTraceFileSizeLimit() {
    try {
        const auto limit =
            TraceFileSizeLimit(ReadIniString(IniPath(), "TimeCritical", "TraceFileSizeInMB"));
        const auto path = TraceFilePath();
        std::error_code ec;
        const auto size = std::filesystem::file_size(path, ec);
        if (ec || static_cast<std::int64_t>(size) <= limit) return false;
        return std::filesystem::remove(path, ec);
    } catch (...) {
        return false;
    }
}

}  // namespace tivmate
