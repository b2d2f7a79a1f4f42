#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tivmate {

// The DTM's trace writer. The mode is read from [TimeCritical] Trace of DTM.ini at the first
// call and kept once it is not empty (an absent key is looked up again at every call). Only
// "ExternalFile", exactly so, appends a line to TraceInfoFile.txt in the application directory:
//   yyyy-mm-dd hh:mm:ss TIVAdapter: <function>: <message>CR LF
// The file is opened and closed per line; a line that cannot be written is lost. Never fails.
void WriteTrace(std::string_view FunctionName, std::string_view Message);

// Forgets the kept mode, as a fresh load of the module starts without one.
void ResetTraceMode();

std::filesystem::path TraceFilePath();

// Local time, locale-free: "yyyy-mm-dd hh:mm:ss".
std::string TraceStamp(std::chrono::system_clock::time_point tp);
std::string TraceLine(std::string_view stamp, std::string_view FunctionName,
                      std::string_view Message);

// A whole number as the settings write them: decimal with an optional sign, or "&H" hex (which
// wraps into the negative range like a 32-bit conversion). Blanks around it are allowed.
std::optional<std::int32_t> ParseIniLong(std::string_view text);

// The trace file limit in bytes for a TraceFileSizeInMB text: capped at 1000, times 1,000,000.
// A text that is not a number counts as 0.
std::int64_t TraceFileSizeLimit(std::string_view TraceFileSizeInMB);

// At DTM creation: deletes the trace file when it is longer than the limit read from DTM.ini
// (so an absent or zero value deletes any non-empty file). Errors are ignored. True when the
// file was deleted.
bool ApplyTraceFileSizeLimit();

}  // namespace tivmate
