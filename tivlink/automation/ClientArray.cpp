#include "tivlink/automation/ClientArray.h"

#include <cstring>
#include <string>

namespace tivlink {

namespace {

std::uint8_t LowByteOf(const com::Variant& element) {
    auto n = element.toInt64();
    if (!n && element.deref().vt() == com::VT_BSTR) {
        com::Variant number;
        if (com::SUCCEEDED(com::ChangeType(number, element, com::VT_I4))) n = number.i4();
    }
    return n ? static_cast<std::uint8_t>(static_cast<std::uint64_t>(*n) & 0xFF) : 0;
}

}  // namespace

ClientArray::ClientArray(const com::Variant& value) {
    const com::Variant& v = value.deref();
    arg_.varType = static_cast<std::uint16_t>(v.vt() & ~com::VT_BYREF);
    arg_.data = nullptr;
    arg_.count = 0;
    const com::SafeArray* array = v.arrayPtr();
    if (array == nullptr) return;
    const com::VARTYPE element = array->elementType();
    arg_.varType = static_cast<std::uint16_t>(com::VT_ARRAY | element);
    if (element == com::VT_VARIANT) {
        for (const auto& e : array->span<const com::Variant>()) storage_.push_back(LowByteOf(e));
    } else if (element == com::VT_BSTR) {
        for (const auto& s : array->span<const std::string>())
            storage_.push_back(LowByteOf(com::Variant(s)));
    } else {
        const std::size_t bytes = std::size_t{array->count()} * array->elementSize();
        storage_.resize(bytes);
        if (bytes != 0) std::memcpy(storage_.data(), array->data(), bytes);
        arg_.data = storage_.data();
        arg_.count = array->count();
        return;
    }
    arg_.data = storage_.data();
    arg_.count = storage_.size();
}

}  // namespace tivlink
