#pragma once

#include "os/MessageQueue.h"
#include "tivlink/core/Diagnostics.h"
#include "tivlink/core/DriverEvents.h"
#include "tivlink/core/DriverState.h"
#include "tivlink/protocol/LoginCounter.h"
#include "tivlink/usb/UsbDevice.h"

namespace tivlink {

// What the 100 ms timer does: the wait counters and the adapter's status poll.
class TimerDuties {
public:
    TimerDuties(DriverState& state, const Diagnostics& diagnostics, EventPoster& events,
                UsbDevice& usb, LoginCounter& login, os::MessageQueue& clientQueue)
        : state_(state),
          diagnostics_(diagnostics),
          events_(events),
          usb_(usb),
          login_(login),
          clientQueue_(clientQueue) {}

    // Timer thread.
    void Tick();

private:
    DriverState& state_;
    const Diagnostics& diagnostics_;
    EventPoster& events_;
    UsbDevice& usb_;
    LoginCounter& login_;
    os::MessageQueue& clientQueue_;
    UsbPacket statusArea_{};
};

}  // namespace tivlink
