#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "usb/Transport.h"

namespace usbio {

// A USB vendor and product id pair an adapter may show.
struct UsbId {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
};

// The adapter as it comes out of reset, before its firmware runs.
constexpr UsbId kAdapterId{0x0547, 0x2131};

// Parses "VVVV:PPPP[,VVVV:PPPP…]" (hexadecimal); nullopt for anything else.
std::optional<std::vector<UsbId>> parseUsbIds(std::string_view text);

// Real adapters through libusb-1.0. "\\.\ezusb-N" is the N-th attached device with one of
// `ids` (default: kAdapterId), in the order bus number, then port path. The argument of the
// "libusb" backend spec is an id list for parseUsbIds.
std::shared_ptr<Transport> makeLibusbTransport(std::string_view argument, std::string& error);

// The message for a device node the user may not open: names the udev rule that grants it.
std::string permissionHint(const std::string& deviceNode);

inline constexpr const char* kUdevRuleFile = "60-tivlink-adapter.rules";

}  // namespace usbio
