#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tivlink/core/ArrayConversion.h"
#include "tivlink/core/Diagnostics.h"
#include "tivlink/core/DriverState.h"
#include "tivlink/usb/CommandPipe.h"
#include "tivlink/usb/UsbDevice.h"

namespace tivlink {

// The adapter firmware's memory download and upload commands (client calls).
//
// DlLoadAdapter: 0; 130 for Len outside 1..65536; 255 when the adapter stopped answering (a
// state query could not be written or read); when a chunk stays busy for 2 s (nominal) the
// last state the adapter reported. Missing data bytes are sent as 0. The state queries: the
// reply's byte 0, 255 when nothing came (lastAddr then untouched). UlReadAdapter: Len / 64,
// or 129, 130, 128.
class AdapterMemory {
public:
    // `stopReception` asks the worker to end a running reception; the transfers need pipe 1
    // and the adapter to themselves.
    AdapterMemory(DriverState& state, const Diagnostics& diagnostics, UsbDevice& usb,
                  CommandPipe& pipe, std::function<void()> stopReception)
        : state_(state),
          diagnostics_(diagnostics),
          usb_(usb),
          pipe_(pipe),
          stopReception_(std::move(stopReception)) {}

    int DlLockAdapter();
    int DlUnlockAdapter();
    int DlStart(int startAddr, int stopAddr);
    int DlStop();
    int DlLoadAdapter(int len, const ByteArrayArg& data);
    int DlGetState(std::int32_t& lastAddr);
    int UlStart(int startAddr, int stopAddr);
    int UlStop();
    int UlGetState(std::int32_t& lastAddr);
    int UlReadAdapter(int startAddr, int len, std::vector<std::uint8_t>& data);

private:
    int TransferState(std::uint8_t command, std::int32_t& lastAddr, int* transferCode);
    int SendRange(std::uint8_t command, int startAddr, int stopAddr);
    void StopReceptionAndWait();
    void Log(const std::string& line) const { diagnostics_.Log(line); }

    DriverState& state_;
    const Diagnostics& diagnostics_;
    UsbDevice& usb_;
    CommandPipe& pipe_;
    std::function<void()> stopReception_;
};

}  // namespace tivlink
