#pragma once

// The hex text of the Tiv protocol documents: bytes to text and back.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "com/Variant.h"

namespace tivmate {

// Two characters per byte, either case; a last lone digit is a byte of its own ("ABC" gives
// AB 0C). Empty text gives no bytes; a character that is no hex digit gives nullopt.
std::optional<std::vector<std::uint8_t>> HexToBytes(std::string_view text);
// Two upper-case digits per byte, no separators.
std::string BytesToHex(std::span<const std::uint8_t> bytes);
// Upper-case hex padded to the width of the type: 2, 4 or 8 digits (negative values in two's
// complement). A variant is dispatched on its type; one that holds no integer gives "".
std::string ByteToHex(std::uint8_t value);
std::string ByteToHex(std::int16_t value);
std::string ByteToHex(std::int32_t value);
std::string ByteToHex(const com::Variant& value);

}  // namespace tivmate
