#pragma once

// What the DTM benchmarks share: the DTM brought up on the simulated adapter and a device DTM
// connected to it.

#include <chrono>
#include <string>

#include "com/Variant.h"
#include "fdt/FdtInterfaces.h"
#include "module/DTMMain.h"
#include "os/MessageQueue.h"

namespace benchsupport {

// Starts the adapter, waits for the bus and connects `device`; false when either fails.
inline bool ConnectDevice(tivmate::DTMMain& dtm, fdt::IFdtCommunicationEvents* device,
                          os::MessageQueue& queue) {
    using namespace std::chrono_literals;
    dtm.InitUBSAdapter();
    const bool ready = queue.runUntil(
        [&] {
            com::Variant bus;
            dtm.get_TIVBusConnected(&bus);
            return bus.toInt64().value_or(0) != 0;
        },
        10s, 1ms);
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    dtm.ConnectRequest(device, "c", "81684E65-6385-4690-ACCF-49995B3B4E8B", "", &ok);
    return ready && ok;
}

}  // namespace benchsupport
