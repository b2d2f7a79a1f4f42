#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tivlink {

// Automation variant type codes of the client arrays the engine accepts. The engine has no
// COM types; the automation layer passes the code through unchanged.
inline constexpr std::uint16_t kVtI2 = 2;
inline constexpr std::uint16_t kVtI4 = 3;
inline constexpr std::uint16_t kVtR4 = 4;
inline constexpr std::uint16_t kVtError = 10;
inline constexpr std::uint16_t kVtBool = 11;
inline constexpr std::uint16_t kVtI1 = 16;
inline constexpr std::uint16_t kVtUi1 = 17;
inline constexpr std::uint16_t kVtUi2 = 18;
inline constexpr std::uint16_t kVtUi4 = 19;
inline constexpr std::uint16_t kVtInt = 22;
inline constexpr std::uint16_t kVtUint = 23;
inline constexpr std::uint16_t kVtArray = 0x2000;
inline constexpr std::uint16_t kVtByRef = 0x4000;
inline constexpr std::uint16_t kVtTypeMask = 0x0FFF;

// A one-dimensional client array as the engine sees it: `count` elements of the width its
// element type implies, stored in host byte order. Null data means an empty array.
struct ByteArrayArg {
    std::uint16_t varType = kVtArray | kVtUi1;
    const void* data = nullptr;
    std::size_t count = 0;

    static ByteArrayArg Bytes(std::span<const std::uint8_t> bytes) {
        return {kVtArray | kVtUi1, bytes.data(), bytes.size()};
    }
    static ByteArrayArg Int16s(std::span<const std::int16_t> values) {
        return {kVtArray | kVtI2, values.data(), values.size()};
    }
    static ByteArrayArg Int32s(std::span<const std::int32_t> values) {
        return {kVtArray | kVtI4, values.data(), values.size()};
    }
};

// Bytes per element: 2 for 16-bit integers, 4 for 32-bit integers, 1 for everything else
// (booleans, floats and error codes included: those arrays are read byte by byte).
// The array and by-reference flags are ignored.
std::size_t ElementWidth(std::uint16_t varType);

// Copies the low byte of each of the first `n` elements to `dest`, never more elements than
// the array holds. Returns how many bytes were written.
std::size_t CopyLowBytes(const ByteArrayArg& array, std::size_t n, std::uint8_t* dest);

class Diagnostics;

// CopyLowBytes into a record or packet of `size` bytes, with the driver's log lines.
std::size_t VariantToRecord(const Diagnostics& diagnostics, const ByteArrayArg& data,
                            std::uint8_t* dest, std::size_t size);

}  // namespace tivlink
