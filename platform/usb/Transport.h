#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace usbio {

using Handle = std::intptr_t;
constexpr Handle kInvalidHandle = -1;

// One boundary between the driver and an adapter's kernel driver: open a device name,
// issue I/O control requests on the handle, close it. Calls may come from several threads
// at once, each with its own handle; none throws.
class Transport {
public:
    virtual ~Transport() = default;

    // Opens a device name ("\\.\ezusb-N"); kInvalidHandle when there is no such device.
    virtual Handle open(std::string_view deviceName) = 0;

    // One I/O control request, as DeviceIoControl: `in` is read; `out` is written for
    // buffered and out-direct requests and read for in-direct ones (bulk write, firmware
    // download pass their data there). Returns false when the request failed.
    // A bulk read on pipe 1 returns as soon as data is there, else after up to about 10 ms
    // with an empty packet (ten USB frames: an idle reader wakes 100 times a second); every
    // backend keeps to that, and nothing else blocks longer.
    virtual bool ioControl(Handle handle, std::uint32_t code, const void* in, std::uint32_t inSize,
                           void* out, std::uint32_t outSize, std::uint32_t* bytesReturned) = 0;

    // Closes a handle; closing kInvalidHandle or an unknown handle does nothing.
    virtual void close(Handle handle) = 0;
};

// Makes a transport from a short spec: "sim", "sim:SCENARIO-FILE", "socket:DIR", "libusb",
// "libusb:VVVV:PPPP,...".
// Returns nullptr and sets `error` when the spec names no known backend or the backend
// cannot be created.
using BackendFactory =
    std::function<std::shared_ptr<Transport>(std::string_view argument, std::string& error)>;
void registerBackend(std::string name, BackendFactory factory);
std::shared_ptr<Transport> makeTransport(std::string_view spec, std::string& error);

// The process-wide transport: the installed one, else the one made from $TIV_USB
// (default "sim"). Returns nullptr with `error` set when that cannot be made.
std::shared_ptr<Transport> processTransport(std::string* error = nullptr);
// A host program (or a test) installs its own; nullptr returns to $TIV_USB.
void installProcessTransport(std::shared_ptr<Transport> transport);

}  // namespace usbio
