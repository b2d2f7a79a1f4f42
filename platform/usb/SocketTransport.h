#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "usb/Transport.h"

namespace usbio {

// Client of the simulator daemon: device "\\.\ezusb-N" is the Unix socket DIR/ezusb-N.
// An open is a connection; each I/O control request is one framed exchange on it.
std::shared_ptr<Transport> makeSocketTransport(std::string_view directory, std::string& error);

}  // namespace usbio
