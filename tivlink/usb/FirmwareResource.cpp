#include "tivlink/usb/FirmwareResource.h"

extern "C" const std::uint8_t tivlink_bixcode_begin[];
extern "C" const std::uint8_t tivlink_bixcode_end[];

namespace tivlink {

std::span<const std::uint8_t> FirmwareResource() {
    return {tivlink_bixcode_begin, tivlink_bixcode_end};
}

}  // namespace tivlink
