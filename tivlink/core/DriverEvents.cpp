#include "tivlink/core/DriverEvents.h"

#include <string>

namespace tivlink {

std::optional<int> DispIdOfMessage(std::uint32_t message) {
    switch (message) {
        case kMsgResponse:
            return kOnResponse;
        case kMsgMvAvailable:
            return kOnMvAvailable;
        case kMsgOverrun:
            return kOnOverrun;
        case kMsgFirmwareLoaded:
            return kOnFirmwareLoaded;
        case kMsgStdLoaded:
            return kOnStdLoaded;
        case kMsgAdapterDiscon:
            return kOnAdapterDiscon;
        case kMsgTivConnected:
            return kOnTivConnected;
        case kMsgAdapterLoggedIn:
            return kOnAdapterLoggedIn;
        case kMsgDelayedResponse:
            return kOnDelayedResponse;
        case kMsgDataWasSent:
            return kOnDataWasSent;
        case kMsgAdapterLoggedOut:
            return kOnAdapterLoggedOut;
        case kMsgMarked:
            return kOnMarked;
        case kMsgDataReceived:
            return kOnDataReceived;
        case kMsgPointerOverrun:
            return kOnPointerOverrun;
        default:
            return std::nullopt;
    }
}

EventPoster::EventPoster(const Diagnostics& diagnostics)
    : diagnostics_(diagnostics),
      window_(std::make_unique<os::Window>([this](const os::Message& m) { Deliver(m); })),
      handle_(window_->handle()) {}

EventPoster::~EventPoster() {
    CloseWindow();
}

void EventPoster::Connect(std::shared_ptr<IDriverEventSink> sink) {
    std::lock_guard lock(mutex_);
    sink_ = std::move(sink);
}

std::shared_ptr<IDriverEventSink> EventPoster::Sink() const {
    std::lock_guard lock(mutex_);
    return sink_;
}

bool EventPoster::SinkConnected() const {
    return Sink() != nullptr;
}

void EventPoster::Post(std::uint32_t message, std::string_view text, std::string_view errorText,
                       std::uintptr_t wParam, std::intptr_t lParam) {
    const bool connected = SinkConnected();
    std::string line = connected ? "*****EVENT:" : "*****EVENT-ERROR:";
    line += connected || errorText.empty() ? text : errorText;
    // Logged before it is posted, so the log never lags behind what the client saw.
    diagnostics_.Show(line);
    diagnostics_.Log(line);
    if (connected && !closed_) handle_.post(message, wParam, lParam);
}

void EventPoster::PostSilent(std::uint32_t message, std::uintptr_t wParam) {
    if (SinkConnected() && !closed_) handle_.post(message, wParam);
}

void EventPoster::Close() {
    closed_ = true;
}

void EventPoster::InvokeDirect(int dispId) {
    if (auto sink = Sink()) sink->OnEvent(dispId);
}

void EventPoster::CloseWindow() {
    window_.reset();
}

void EventPoster::Deliver(const os::Message& m) {
    const auto dispId = DispIdOfMessage(m.msg);
    if (!dispId || closed_) return;
    if (auto sink = Sink()) {
        struct Restore {
            std::uintptr_t& param;
            std::uintptr_t saved;
            ~Restore() { param = saved; }
        } restore{delivering_, delivering_};
        delivering_ = m.msg == kMsgMvAvailable ? m.wParam : 0;
        sink->OnEvent(*dispId);
    }
}

}  // namespace tivlink
