#pragma once

#include <cstdint>
#include <vector>

#include "com/Variant.h"
#include "tivlink/core/ArrayConversion.h"

namespace tivlink {

// A client's data array as the engine reads it, copied so that it stays valid while a member
// lets messages run. Arrays of fixed-width elements keep their element type (the engine takes
// the low byte of each element by that width); arrays of variants or strings become one byte per
// element, the low byte of the number each holds (0 when it holds none). Anything that is not
// an array reads as an empty one under the variant's own type.
class ClientArray {
public:
    explicit ClientArray(const com::Variant& value);
    ClientArray(const ClientArray&) = delete;
    ClientArray& operator=(const ClientArray&) = delete;

    const ByteArrayArg& Arg() const { return arg_; }

private:
    std::vector<std::uint8_t> storage_;
    ByteArrayArg arg_;
};

}  // namespace tivlink
