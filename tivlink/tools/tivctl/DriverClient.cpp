#include "DriverClient.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <vector>

#include "Decode.h"
#include "com/ConnectionPoint.h"
#include "com/ErrorInfo.h"
#include "com/Variant.h"
#include "os/MessageQueue.h"
#include "os/NamedMutex.h"
#include "tivlink/LogFileName.h"

namespace tivctl {

using namespace std::chrono_literals;
using tivlink::TivDriverEvent;

namespace {

using tivlink::result::kFirmwareSilent;
constexpr std::int32_t kStatusReadFailed1 = 17;
constexpr std::int32_t kStatusReadFailed2 = 18;
constexpr std::int32_t kLockHeldElsewhere = 2;
constexpr std::int32_t kLockAccessDenied = 5;
// A failed USB transfer is usually a one-off; a few tries tell it from a lasting fault.
constexpr int kSelectAttempts = 4;
constexpr auto kSelectRetryPause = 50ms;
constexpr auto kFirmwareTimeout = 60s;
// How often the log echo looks at the file while messages run.
constexpr auto kEchoSlice = 100ms;
// How long the worker may take to notice a stop (nominal); it stops after its next packet.
constexpr auto kStopWait = 2s;
// How long reception may take to show as running after it was started (nominal).
constexpr auto kStartGrace = 1s;

// Why the driver cannot be writing `file` (it refuses symlinks and anything but a regular
// file), or empty.
std::string LogFileProblem(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return "cannot write the log file " + file.string() + " (" + std::strerror(errno) + ")";
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return regular ? std::string() : file.string() + " is not a regular file";
}

}  // namespace

// Follows the driver's log file: whatever the file gains after construction goes to stderr,
// a line at a time, as "LOG " + the line.
class DriverClient::LogEcho {
public:
    explicit LogEcho(std::filesystem::path file) : file_(std::move(file)) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(file_, ec);
        offset_ = ec ? 0 : static_cast<std::streamoff>(size);
    }

    void Poll() {
        std::ifstream in(file_, std::ios::binary);
        if (!in) return;
        in.seekg(0, std::ios::end);
        const std::streamoff end = in.tellg();
        // A file cut shorter by somebody else is followed from its new end.
        if (end < offset_) offset_ = end;
        if (end == offset_) return;
        std::string added(static_cast<std::size_t>(end - offset_), '\0');
        in.seekg(offset_);
        in.read(added.data(), static_cast<std::streamsize>(added.size()));
        added.resize(static_cast<std::size_t>(in.gcount()));
        offset_ += static_cast<std::streamoff>(added.size());
        partial_ += added;
        std::size_t start = 0;
        for (std::size_t nl; (nl = partial_.find('\n', start)) != std::string::npos;
             start = nl + 1) {
            std::string_view line(partial_.data() + start, nl - start);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            std::string text = "LOG ";
            text.append(line);
            text += '\n';
            std::fwrite(text.data(), 1, text.size(), stderr);
        }
        partial_.erase(0, start);
        std::fflush(stderr);
    }

private:
    std::filesystem::path file_;
    std::streamoff offset_ = 0;
    std::string partial_;  // a line not yet ended
};

void Error(const std::string& text) {
    std::cerr << "tivctl: " << text << std::endl;
}

void Check(std::string_view member, com::HRESULT hr) {
    if (com::SUCCEEDED(hr)) return;
    throw CallError(std::string(member) + " failed with " + ErrorText(hr));
}

std::vector<std::uint8_t> BytesOf(const com::Variant& value) {
    const com::Variant v = value.value();
    if (v.vt() != (com::VT_ARRAY | com::VT_UI1)) return {};
    const auto span = v.array().span<const std::uint8_t>();
    return {span.begin(), span.end()};
}

int InstallTransport(const GlobalOptions& options) {
    std::string error;
    if (host::InstallTransport(options, error)) return kExitOk;
    Error(error);
    return kExitUsage;
}

bool CreateDriver(const com::Guid& iid, void** out) {
    std::string error;
    if (host::CreateByProgId(tivlink::kTivDriverProgId, iid, out, error)) return true;
    Error(error);
    return false;
}

DriverClient::DriverClient()
    : counts_(std::make_shared<std::map<TivDriverEvent, int>>()),
      onEvent_(std::make_shared<std::function<void(TivDriverEvent)>>()) {}

DriverClient::~DriverClient() {
    if (driver_ && locked_) {
        std::int32_t ignored = 0;
        driver_->UnlockAdapter(&ignored);
    }
    if (driver_ && cookie_ != 0)
        com::unadvise(driver_.get(), tivlink::DIID_ITivDriverEvents, cookie_);
    // The last reference ends the object, which writes its last log lines.
    driver_.reset();
    if (echo_) echo_->Poll();
}

int DriverClient::Open(const GlobalOptions& options) {
    adapter_ = options.adapter.value_or(1);
    if (const int code = InstallTransport(options); code != kExitOk) return code;
    host::ChooseRegistry(options.registry);
    if (options.log) echo_ = std::make_unique<LogEcho>(tivlink::DefaultLogFileName());
    if (!CreateDriver(tivlink::ITivDriver::iid, driver_.putVoid())) return kExitFailure;

    sink_ = com::EventSink::create(tivlink::DIID_ITivDriverEvents,
                                   [counts = counts_, onEvent = onEvent_](
                                       com::DISPID id, const com::DispParams&, com::Variant*) {
                                       const auto event = static_cast<TivDriverEvent>(id);
                                       ++(*counts)[event];
                                       if (*onEvent) (*onEvent)(event);
                                       return com::S_OK;
                                   });
    const com::HRESULT hr = com::advise(driver_.get(), tivlink::DIID_ITivDriverEvents,
                                        static_cast<com::IDispatch*>(sink_.get()), &cookie_);
    if (com::FAILED(hr)) {
        Error("cannot advise the event sink: " + ErrorText(hr));
        return kExitFailure;
    }
    if (options.log) {
        TIVCTL_PUT(*this, LogFileOn, com::VARIANT_TRUE);
        // The driver keeps quiet when it cannot write its file; the user asked for it.
        if (const auto problem = LogFileProblem(tivlink::DefaultLogFileName()); !problem.empty()) {
            Error("--log: " + problem);
            return kExitFailure;
        }
        EchoLog();
    }
    return kExitOk;
}

int DriverClient::Count(TivDriverEvent event) const {
    const auto it = counts_->find(event);
    return it == counts_->end() ? 0 : it->second;
}

void DriverClient::OnEvent(std::function<void(TivDriverEvent)> onEvent) {
    *onEvent_ = std::move(onEvent);
}

void DriverClient::EchoLog() {
    if (echo_) echo_->Poll();
}

bool DriverClient::PumpUntil(const std::function<bool()>& done, os::Clock::duration timeout) {
    return host::PumpUntil(done, timeout, echo_ ? kEchoSlice : os::Clock::duration::zero(),
                           [this] { EchoLog(); });
}

DriverClient::Selection DriverClient::Select(int number) {
    Selection s;
    for (int attempt = 1;; ++attempt) {
        com::Variant version;
        s.result = TIVCTL_CALL(*this, SelectAdapter, number, 0, &version);
        s.version = BytesOf(version);
        s.transferError = 0;
        // The version query puts 128 and the failing code into the record when the exchange
        // failed; a valid answer without the firmware's mark leaves the record alone.
        if (s.result == kFirmwareSilent && s.version.size() >= 2 && s.version[0] == kFirmwareSilent)
            s.transferError = s.version[1] != 0 ? s.version[1] : kFirmwareSilent;
        else if (s.result == kStatusReadFailed1 || s.result == kStatusReadFailed2)
            s.transferError = s.result;
        if (s.transferError == 0 || attempt == kSelectAttempts || Interrupted()) return s;
        ++s.failedTries;
        os::clock().sleepFor(kSelectRetryPause);
    }
}

int DriverClient::Lock() {
    if (locked_) return kExitOk;
    const std::int32_t result = TIVCTL_CALL(*this, LockAdapter);
    if (result == 0 || result == 1) {
        locked_ = result == 0;
        return kExitOk;
    }
    Error("adapter " + std::to_string(adapter_) + ": " + LockText(result));
    return result == kLockHeldElsewhere ? kExitLocked : kExitLockFailed;
}

int DriverClient::BringUp() {
    const int number = adapter_;
    Selection selected = Select(number);
    if (selected.recovered()) Error(RecoveredText(number, selected));
    if (selected.result != 0 && !selected.silent()) {
        Error(SelectErrorText(number, selected.result));
        return kExitFailure;
    }
    if (const int code = Lock(); code != kExitOk) return code;
    if (selected.silent()) {
        Error("adapter " + std::to_string(number) + ": firmware does not answer" +
              (selected.transferError
                   ? " (" + std::to_string(kSelectAttempts) + " tries, transfer code " +
                         std::to_string(selected.transferError) + ")"
                   : std::string()) +
              ", downloading it...");
        // The download runs in the driver's worker thread; the end shows as OnFirmwareLoaded,
        // or, when it failed, as a nonzero LoadResult.
        const int before = Count(TivDriverEvent::OnFirmwareLoaded);
        TIVCTL_CALL(*this, ConnectAdapter, 1);
        std::int32_t loaded = 0;
        const bool ended = PumpUntil(
            [&] {
                loaded = TIVCTL_GET(*this, LoadResult);
                return Count(TivDriverEvent::OnFirmwareLoaded) > before || loaded != 0;
            },
            kFirmwareTimeout);
        if (!ended || loaded != 0) {
            Error("adapter " + std::to_string(number) + ": firmware download failed (" +
                  (ended ? std::to_string(loaded) : std::string("no end in time")) + ")");
            return kExitFailure;
        }
        Error("adapter " + std::to_string(number) + ": firmware loaded");
        selected = Select(number);
        if (selected.recovered()) Error(RecoveredText(number, selected));
    }
    if (selected.result == 0) return kExitOk;
    Error(SelectErrorText(number, selected.result));
    return kExitFailure;
}

bool DriverClient::Present() {
    return TIVCTL_CALL(*this, IsAdapterPresent) != com::VARIANT_FALSE;
}

int Reception::Start(int filterType) {
    filterType_ = filterType;
    TIVCTL_PUT(client_, BufferMode, 1);
    TIVCTL_CALL(client_, FilterOn);
    TIVCTL_PUT(client_, FilterType, filterType);
    if (const auto started = TIVCTL_CALL(client_, StartRec); started != 0) {
        Error("reception does not start (" + std::to_string(started) + ")");
        return kExitFailure;
    }
    started_ = os::clock().now();
    return kExitOk;
}

std::string Reception::Problem() {
    recoverable_ = false;
    const bool running = TIVCTL_GET(client_, RecState) != 0;
    // The worker posts a disconnect before it goes idle: hear it before judging the stop.
    if (!running) os::MessageQueue::current().processMessages();
    const auto lastError = TIVCTL_GET(client_, LastError);
    // Codes 1..15 are failed USB transfers; a stop with one is a failed read even when the
    // adapter was not ready enough for a disconnect event.
    const bool readFailed = client_.Count(TivDriverEvent::OnAdapterDiscon) > disconnects_ ||
                            (!running && lastError >= 1 && lastError <= 15);
    if (readFailed) {
        if (!client_.Present()) return "adapter disconnected";
        recoverable_ = true;
        return "USB read failed (adapter error " + std::to_string(lastError) +
               "); the adapter is still there";
    }
    seenRunning_ = seenRunning_ || running;
    if (running || (!seenRunning_ && os::clock().now() - started_ < kStartGrace)) return {};
    return "reception stopped (adapter error " + std::to_string(lastError) + ")";
}

bool Reception::Restart() {
    disconnects_ = client_.Count(TivDriverEvent::OnAdapterDiscon);
    seenRunning_ = false;
    recoverable_ = false;
    if (!client_.Select(client_.AdapterNumber()).running()) return false;
    return Start(filterType_) == kExitOk;
}

void Reception::Stop() {
    TIVCTL_CALL(client_, StopRec);
    client_.PumpUntil([&] { return TIVCTL_GET(client_, RecState) == 0; }, kStopWait);
}

std::string DriverClient::AdapterName() {
    com::Variant name;
    if (TIVCTL_CALL(*this, GetAdapterName, &name) != 0) return {};
    auto bytes = BytesOf(name);
    bytes.erase(std::find(bytes.begin(), bytes.end(), std::uint8_t{0}), bytes.end());
    return Printable(bytes);
}

std::string SelectErrorText(int number, int result) {
    const std::string which = "adapter " + std::to_string(number);
    switch (result) {
        case 16:
            return which + ": no such adapter";
        case 32:
            return which + ": not present";
        case 64:
            return which + ": number out of range";
        case kFirmwareSilent:
            return which + ": firmware does not answer";
        default:
            return which + ": cannot be selected (" + std::to_string(result) + ")";
    }
}

std::string RecoveredText(int number, const DriverClient::Selection& selection) {
    return "adapter " + std::to_string(number) + ": a USB transfer failed " +
           std::to_string(selection.failedTries) + " time(s) and went through on retry";
}

std::string LockText(int result) {
    switch (result) {
        case 0:
            return "locked";
        case 1:
            return "this process holds the lock already";
        case kLockHeldElsewhere:
            return "another program holds the lock";
        case 3:
            return "the lock is in an unknown state";
        case kLockAccessDenied:
            return "the lock cannot be taken: no access to the lock directory " +
                   os::NamedMutex::lockDirectory().string() + " or its lock file";
        default:
            return "the lock cannot be taken (error " + std::to_string(result) + ")";
    }
}

}  // namespace tivctl
