#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>

#include "os/MessageQueue.h"
#include "tivlink/core/Diagnostics.h"
#include "tivlink/core/DriverEvents.h"
#include "tivlink/core/DriverState.h"
#include "tivlink/core/TOSInstantThread.h"
#include "tivlink/protocol/FrameAssembler.h"
#include "tivlink/protocol/LoginCounter.h"
#include "tivlink/protocol/Recorder.h"
#include "tivlink/protocol/ResponseMatcher.h"
#include "tivlink/usb/AdapterLoader.h"
#include "tivlink/usb/UsbDevice.h"

namespace tivlink {

// The worker thread's body: the firmware download when asked for, else reading pipe 1,
// the connection and login state it reports, and its frames to the matcher and recorder.
class Reception {
public:
    using FrameTap = std::function<void(std::span<const std::uint8_t> frame)>;

    Reception(DriverState& state, const Diagnostics& diagnostics, EventPoster& events,
              UsbDevice& usb, AdapterLoader& loader, LoginCounter& login, ResponseMatcher& matcher,
              Recorder& recorder, os::MessageQueue& clientQueue)
        : state_(state),
          events_(events),
          usb_(usb),
          loader_(loader),
          login_(login),
          matcher_(matcher),
          recorder_(recorder),
          clientQueue_(clientQueue),
          window_(diagnostics) {}

    // Worker thread: one turn of the run loop.
    void Body(TOSInstantThread& self);

    // Sees every assembled frame before matching. Set it while reception is off.
    void SetFrameTap(FrameTap tap) { frameTap_ = std::move(tap); }

private:
    void Pass();
    void OnFrame(std::span<const std::uint8_t> frame);

    DriverState& state_;
    EventPoster& events_;
    UsbDevice& usb_;
    AdapterLoader& loader_;
    LoginCounter& login_;
    ResponseMatcher& matcher_;
    Recorder& recorder_;
    os::MessageQueue& clientQueue_;
    // All worker thread only.
    WindowCache window_;
    FrameTap frameTap_;
    FrameAssembler assembler_;
    UsbPacket receiveArea_{};
    bool matched_ = false;  // a frame of this packet changed what a waiting client looks at
};

}  // namespace tivlink
