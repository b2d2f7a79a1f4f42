#include "tivlink/core/ArrayConversion.h"

#include <algorithm>
#include <bit>

#include "tivlink/core/Diagnostics.h"
#include "tivlink/core/Format.h"

namespace tivlink {

std::size_t ElementWidth(std::uint16_t varType) {
    switch (varType & kVtTypeMask) {
        case kVtI2:
        case kVtUi2:
            return 2;
        case kVtI4:
        case kVtUi4:
        case kVtInt:
        case kVtUint:
            return 4;
        default:
            return 1;
    }
}

std::size_t CopyLowBytes(const ByteArrayArg& array, std::size_t n, std::uint8_t* dest) {
    if (array.data == nullptr || dest == nullptr) return 0;
    const std::size_t count = std::min(n, array.count);
    const auto* src = static_cast<const std::uint8_t*>(array.data);
    const std::size_t width = ElementWidth(array.varType);
    if (width == 1) {
        std::copy_n(src, count, dest);
        return count;
    }
    // Elements are in host order; the low byte leads on little-endian machines.
    const std::size_t low = std::endian::native == std::endian::little ? 0 : width - 1;
    for (std::size_t i = 0; i < count; ++i) dest[i] = src[i * width + low];
    return count;
}

std::size_t VariantToRecord(const Diagnostics& diagnostics, const ByteArrayArg& data,
                            std::uint8_t* dest, std::size_t size) {
    diagnostics.Log("Entry:VariantToRecord,DestPtr:" + Ptr(dest) +
                    ", Size:" + std::to_string(size) + "----------");
    const std::size_t width = ElementWidth(data.varType);
    const std::size_t copied = CopyLowBytes(data, size, dest);
    const std::uint16_t elementType = data.varType & kVtTypeMask;
    diagnostics.Log("1:VariantToRecord,VarType:" + Hex(elementType, 2) + "H, DestPtr:" + Ptr(dest) +
                    ", VarPtr:" + Ptr(data.data) + ", TypeSize:" + std::to_string(width) +
                    ", CreateSize:" + std::to_string(copied));
    diagnostics.Log("Exit:VariantToRecord:" + std::to_string(width * 256 + elementType) +
                    " ++++++++++");
    return copied;
}

}  // namespace tivlink
