#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "tivlink/LogFileName.h"
#include "tivlink/automation/TLogFile.h"
#include "tivlink/core/Diagnostics.h"

namespace tivlink {

// The settings file, section and key that decide whether logging starts with the driver.
inline constexpr const char* kSettingsFileName = "Tivlink.ini";
inline constexpr const char* kSettingsSection = "LOGFILE";
inline constexpr const char* kSettingsKeyOn = "ON";

// "ON" read as an integer (decimal or 0x hex); nonzero is on. A word, a missing key or a
// missing or unreadable file is off.
bool ReadLogSetting(const std::filesystem::path& settingsFile);
// The same for "Tivlink.ini" in the system directory.
bool ReadLogSetting();

// The open log file for a name, shared by every driver object of the process that logs into
// it; the file closes when the last one lets go. A file that could not be opened is not kept
// for others, so the next one tries again.
std::shared_ptr<tLogFile> AcquireLogFile(const std::filesystem::path& fileName);

// The driver's log: the LogFileOn flag and, while it is on, the shared log file. Lines are
// written as time stamp + "," + text. Any thread may write; switching belongs to the client.
class DriverLog final : public IDriverLog {
public:
    // Sees every line written while the flag is on, without the time stamp (also when the
    // file could not be opened).
    using Echo = std::function<void(std::string_view text)>;

    // Takes the flag as given: no file is opened and nothing written until SetLogFileOn(true).
    explicit DriverLog(std::string fileName = DefaultLogFileName(), Echo echo = {});
    ~DriverLog() override;
    DriverLog(const DriverLog&) = delete;
    DriverLog& operator=(const DriverLog&) = delete;

    // IDriverLog: Enabled() is LogFileOn.
    bool Enabled() const override { return on_.load(); }
    void Line(std::string_view text) override;

    bool LogFileOn() const { return on_.load(); }
    // On: opens the file when it is not open and writes "LOG-FILE open". Off: writes
    // "LOG-FILE closed" and lets the file go, so a later switch-on appends again.
    void SetLogFileOn(bool on);
    // What destruction of the driver object does: "LOG-FILE closed" and close, when open.
    void CloseFile();

    const std::string& FileName() const { return fileName_; }
    // Whether a file object exists and could be opened.
    bool FileOpen() const;

private:
    void WriteLocked(std::string_view text);

    const std::string fileName_;
    const Echo echo_;
    std::atomic<bool> on_{false};
    mutable std::mutex mutex_;        // orders switching against writers
    std::shared_ptr<tLogFile> file_;  // guarded by mutex_; present exactly while on
};

}  // namespace tivlink
