#include "tivlink/automation/DriverLog.h"

#include <map>
#include <system_error>

#include "os/Profile.h"
#include "os/TimeUtil.h"

namespace tivlink {

namespace {

struct LogFileRegistry {
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<tLogFile>> files;  // by absolute path
};

LogFileRegistry& Registry() {
    // Never destroyed: driver objects in static storage may log during exit.
    static auto* registry = new LogFileRegistry;
    return *registry;
}

std::string RegistryKey(const std::filesystem::path& fileName) {
    std::error_code ec;
    const auto absolute = std::filesystem::absolute(fileName, ec);
    return ec ? fileName.string() : absolute.lexically_normal().string();
}

}  // namespace

bool ReadLogSetting(const std::filesystem::path& settingsFile) {
    const os::Profile profile(settingsFile);
    return profile.readInteger(kSettingsSection, kSettingsKeyOn, 0) != 0;
}

bool ReadLogSetting() {
    return ReadLogSetting(os::systemDirectory() / kSettingsFileName);
}

std::shared_ptr<tLogFile> AcquireLogFile(const std::filesystem::path& fileName) {
    auto& registry = Registry();
    const auto key = RegistryKey(fileName);
    std::lock_guard lock(registry.mutex);
    std::erase_if(registry.files, [](const auto& entry) { return entry.second.expired(); });
    if (auto it = registry.files.find(key); it != registry.files.end())
        if (auto file = it->second.lock(); file && file->Opened()) return file;
    auto file = std::make_shared<tLogFile>(fileName);
    if (file->Opened()) registry.files[key] = file;
    return file;
}

DriverLog::DriverLog(std::string fileName, Echo echo)
    : fileName_(std::move(fileName)), echo_(std::move(echo)) {}

DriverLog::~DriverLog() = default;

void DriverLog::Line(std::string_view text) {
    std::lock_guard lock(mutex_);
    // A writer that saw the flag before a switch-off ends here.
    if (!file_) return;
    WriteLocked(text);
}

void DriverLog::WriteLocked(std::string_view text) {
    std::string line = os::logStampNow();
    line += ',';
    line.append(text);
    file_->WriteLine(line);
    if (echo_) echo_(text);
}

void DriverLog::SetLogFileOn(bool on) {
    std::lock_guard lock(mutex_);
    on_ = on;
    if (on) {
        if (file_) return;
        file_ = AcquireLogFile(fileName_);
        WriteLocked("LOG-FILE open");
    } else if (file_) {
        WriteLocked("LOG-FILE closed");
        file_.reset();
    }
}

void DriverLog::CloseFile() {
    std::lock_guard lock(mutex_);
    if (!file_) return;
    WriteLocked("LOG-FILE closed");
    file_.reset();
}

bool DriverLog::FileOpen() const {
    std::lock_guard lock(mutex_);
    return file_ && file_->Opened();
}

}  // namespace tivlink
