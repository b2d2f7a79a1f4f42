#include "tivlink/automation/DriverObject.h"

#include <string>

#include "tivlink/core/Format.h"

namespace tivlink {

DriverObject::DriverObject(Options options)
    : log_(std::make_shared<DriverLog>(DefaultLogFileName(), std::move(options.logEcho))) {
    if (options.logFileOn.value_or(ReadLogSetting())) {
        log_->SetLogFileOn(true);
        log_->Line(std::string(60, '#'));
        log_->Line("TIV-Driver-Start");
        log_->Line("TIV-Driver-Version:" + Hex(kInterfaceVersion, 4));
    }
    form_ = std::make_shared<TForm1>(Identity());
    engine_ = std::make_unique<DriverEngine>(
        DriverEngine::Options{std::move(options.transport), options.firmwareImage, log_, form_});
}

DriverObject::~DriverObject() {
    // The engine logs its destroy lines and closes the window first.
    engine_.reset();
    log_->CloseFile();
}

}  // namespace tivlink
