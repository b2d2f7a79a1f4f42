#pragma once

#include <cstdint>
#include <span>

namespace tivlink {

// The adapter firmware image linked into the driver (the "BIXCODE" resource); empty when
// the build embedded none.
std::span<const std::uint8_t> FirmwareResource();

}  // namespace tivlink
