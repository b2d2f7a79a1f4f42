#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "os/MessageQueue.h"
#include "tivlink/TivEvents.h"
#include "tivlink/core/Diagnostics.h"

namespace tivlink {

// Dispatch ids of the driver's events.
enum EventDispId : int {
#define TIVLINK_EVENT_DISPID(id, name) k##name = id,
    TIVLINK_EVENTS(TIVLINK_EVENT_DISPID)
#undef TIVLINK_EVENT_DISPID
};

// Window messages that carry the events from the worker thread and the timer.
enum EventMessage : std::uint32_t {
    kMsgResponse = os::WM_USER + 0x01,
    kMsgMvAvailable = os::WM_USER + 0x02,
    kMsgOverrun = os::WM_USER + 0x03,
    kMsgFirmwareLoaded = os::WM_USER + 0x05,
    kMsgStdLoaded = os::WM_USER + 0x06,
    kMsgAdapterDiscon = os::WM_USER + 0x07,
    kMsgTivConnected = os::WM_USER + 0x08,
    kMsgAdapterLoggedIn = os::WM_USER + 0x09,
    kMsgDelayedResponse = os::WM_USER + 0x0A,
    kMsgDataWasSent = os::WM_USER + 0x0B,
    kMsgAdapterLoggedOut = os::WM_USER + 0x0C,
    kMsgMarked = os::WM_USER + 0x0D,
    kMsgDataReceived = os::WM_USER + 0x0E,
    kMsgPointerOverrun = os::WM_USER + 0x0F,
};

// The dispatch id a message stands for; nullopt for other messages.
std::optional<int> DispIdOfMessage(std::uint32_t message);

// The client's event sink: events arrive without arguments, on the client's thread.
class IDriverEventSink {
public:
    virtual ~IDriverEventSink() = default;
    virtual void OnEvent(int dispId) = 0;
};

// The hidden window that carries events to the thread that created the driver object. The
// rule "events fire only on the client thread" lives here: everything else only posts.
class EventPoster {
public:
    explicit EventPoster(const Diagnostics& diagnostics);
    ~EventPoster();

    void Connect(std::shared_ptr<IDriverEventSink> sink);
    bool SinkConnected() const;

    // Any thread. Posts when a sink is connected and logs "*****EVENT:" + text, or without
    // a sink logs "*****EVENT-ERROR:" + errorText (text when empty) and posts nothing. The
    // text also goes to the debug window when it is visible.
    void Post(std::uint32_t message, std::string_view text, std::string_view errorText = {},
              std::uintptr_t wParam = 0, std::intptr_t lParam = 0);

    // Any thread: posts when a sink is connected, without a log line (the buffer's and
    // the measured values' events leave none).
    void PostSilent(std::uint32_t message, std::uintptr_t wParam = 0);

    // Client thread: the wParam of the OnMvAvailable being invoked, 0 outside one.
    std::uintptr_t DeliveringParam() const { return delivering_; }

    // Client thread: invokes an event on the sink at once (OnFree), also once closed.
    void InvokeDirect(int dispId);

    // Released driver: nothing posted from now on reaches the sink, nor does anything still
    // queued. Posting keeps writing its log lines.
    void Close();

    // Client thread: destroys the hidden window; messages still queued are dropped.
    void CloseWindow();

private:
    void Deliver(const os::Message& m);
    std::shared_ptr<IDriverEventSink> Sink() const;

    const Diagnostics& diagnostics_;
    mutable std::mutex mutex_;
    std::shared_ptr<IDriverEventSink> sink_;
    std::atomic<bool> closed_{false};
    std::uintptr_t delivering_ = 0;
    std::unique_ptr<os::Window> window_;
    os::WindowHandle handle_;
};

}  // namespace tivlink
