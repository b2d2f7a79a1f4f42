#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "tivlink/automation/DriverLog.h"
#include "tivlink/automation/TForm1.h"
#include "tivlink/protocol/DriverEngine.h"
#include "usb/Transport.h"

namespace tivlink {

// The driver object as the automation layer creates it: the log (switched on by the settings
// file), the debug window and the engine that writes into both. Create, call and destroy it
// on the client's thread.
class DriverObject {
public:
    // The interface version the start banner reports, as four hex digits.
    static constexpr std::uint32_t kInterfaceVersion = 545;

    struct Options {
        std::shared_ptr<usbio::Transport> transport;  // nullptr: the process transport
        std::span<const std::uint8_t> firmwareImage;  // the embedded image, empty if none
        // Unset: the settings file decides whether logging starts with the object.
        std::optional<bool> logFileOn;
        DriverLog::Echo logEcho;  // also sees every log line, for a console
    };

    explicit DriverObject(Options options);
    ~DriverObject();
    DriverObject(const DriverObject&) = delete;
    DriverObject& operator=(const DriverObject&) = delete;

    DriverEngine& Engine() { return *engine_; }
    TForm1& Form() { return *form_; }
    DriverLog& Log() { return *log_; }
    // What Label9 shows.
    std::uintptr_t Identity() const { return reinterpret_cast<std::uintptr_t>(this); }

    bool LogFileOn() const { return log_->LogFileOn(); }
    void SetLogFileOn(bool on) { log_->SetLogFileOn(on); }
    int ShowTestForm(int state) { return form_->ShowTestForm(state); }
    int HideTestForm() { return form_->HideTestForm(); }

private:
    std::shared_ptr<DriverLog> log_;
    std::shared_ptr<TForm1> form_;
    std::unique_ptr<DriverEngine> engine_;
};

}  // namespace tivlink
