#include "tivlink/core/Diagnostics.h"

namespace tivlink {

Diagnostics::Diagnostics()
    : log_(std::make_shared<MemoryLog>()), window_(std::make_shared<MemoryWindow>()) {}

void Diagnostics::SetLog(std::shared_ptr<IDriverLog> log) {
    std::lock_guard lock(mutex_);
    log_ = log ? std::move(log) : std::make_shared<MemoryLog>();
}

void Diagnostics::SetWindow(std::shared_ptr<IDebugWindow> window) {
    std::lock_guard lock(mutex_);
    window_ = window ? std::move(window) : std::make_shared<MemoryWindow>();
    windowGeneration_.fetch_add(1);
}

std::shared_ptr<IDriverLog> Diagnostics::LogSink() const {
    std::lock_guard lock(mutex_);
    return log_;
}

std::shared_ptr<IDebugWindow> Diagnostics::WindowSink() const {
    std::lock_guard lock(mutex_);
    return window_;
}

bool Diagnostics::LogOn() const {
    return LogSink()->Enabled();
}

void Diagnostics::Log(std::string_view text) const {
    const auto log = LogSink();
    if (log->Enabled()) log->Line(text);
}

void Diagnostics::Show(std::string_view text) const {
    const auto window = WindowSink();
    if (window->Visible()) window->Add(text);
}

bool Diagnostics::WindowVisible() const {
    return WindowSink()->Visible();
}

}  // namespace tivlink
