#include <algorithm>
#include <limits>
#include <utility>

#include "com/Variant.h"

namespace com {

namespace {

// Index into SafeArray's storage variant; -1 for VARIANT arrays, -2 for unsupported types.
int storageIndex(VARTYPE vt) {
    switch (vt) {
        case VT_UI1:
            return 0;
        case VT_I1:
            return 1;
        case VT_I2:
        case VT_BOOL:
            return 2;
        case VT_UI2:
            return 3;
        case VT_I4:
        case VT_INT:
        case VT_ERROR:
            return 4;
        case VT_UI4:
        case VT_UINT:
            return 5;
        case VT_R4:
            return 6;
        case VT_R8:
        case VT_DATE:
            return 7;
        case VT_BSTR:
            return 8;
        case VT_VARIANT:
            return -1;
        default:
            return -2;
    }
}

template <std::size_t I, class V>
void emplaceAt(V& v, std::size_t index, std::size_t count) {
    if constexpr (I < std::variant_size_v<V>) {
        if (index == I)
            v.template emplace<I>(count);
        else
            emplaceAt<I + 1>(v, index, count);
    }
}

void checkBounds(std::uint32_t count, std::int32_t lowerBound) {
    if (count > 0 && static_cast<std::int64_t>(lowerBound) + count - 1 >
                         std::numeric_limits<std::int32_t>::max())
        throw ComError(E_INVALIDARG, "array bounds out of range");
}

}  // namespace

SafeArray::SafeArray() = default;
SafeArray::SafeArray(const SafeArray&) = default;
SafeArray::SafeArray(SafeArray&&) noexcept = default;
SafeArray& SafeArray::operator=(const SafeArray&) = default;
SafeArray& SafeArray::operator=(SafeArray&&) noexcept = default;
SafeArray::~SafeArray() = default;

SafeArray::SafeArray(VARTYPE elementType, std::uint32_t count, std::int32_t lowerBound)
    : vt_(elementType), lower_(lowerBound) {
    const int index = storageIndex(elementType);
    if (index == -2)
        throw ComError(DISP_E_BADVARTYPE,
                       "unsupported array element type " + vartypeName(elementType));
    checkBounds(count, lowerBound);
    if (index == -1)
        variants_.resize(count);
    else
        emplaceAt<0>(fixed_, static_cast<std::size_t>(index), count);
}

SafeArray SafeArray::fromBytes(std::span<const std::uint8_t> bytes) {
    SafeArray a(VT_UI1, static_cast<std::uint32_t>(bytes.size()));
    std::copy(bytes.begin(), bytes.end(), a.span<std::uint8_t>().begin());
    return a;
}

SafeArray SafeArray::fromInt16s(std::span<const std::int16_t> values) {
    SafeArray a(VT_I2, static_cast<std::uint32_t>(values.size()));
    std::copy(values.begin(), values.end(), a.span<std::int16_t>().begin());
    return a;
}

SafeArray SafeArray::fromInt32s(std::span<const std::int32_t> values) {
    SafeArray a(VT_I4, static_cast<std::uint32_t>(values.size()));
    std::copy(values.begin(), values.end(), a.span<std::int32_t>().begin());
    return a;
}

bool SafeArray::supports(VARTYPE elementType) {
    return storageIndex(elementType) != -2;
}

std::uint32_t SafeArray::count() const {
    if (vt_ == VT_VARIANT) return static_cast<std::uint32_t>(variants_.size());
    return static_cast<std::uint32_t>(std::visit([](const auto& v) { return v.size(); }, fixed_));
}

std::size_t SafeArray::elementSize() const {
    if (vt_ == VT_VARIANT) return sizeof(Variant);
    return std::visit(
        [](const auto& v) { return sizeof(typename std::decay_t<decltype(v)>::value_type); },
        fixed_);
}

void SafeArray::resize(std::uint32_t n) {
    checkBounds(n, lower_);
    if (vt_ == VT_VARIANT)
        variants_.resize(n);
    else
        std::visit([n](auto& v) { v.resize(n); }, fixed_);
}

const void* SafeArray::data() const {
    if (empty()) return nullptr;
    if (vt_ == VT_VARIANT) return variants_.data();
    return std::visit([](const auto& v) -> const void* { return v.data(); }, fixed_);
}

void* SafeArray::data() {
    return const_cast<void*>(std::as_const(*this).data());
}

void SafeArray::check(Tag t) const {
    static constexpr Tag kTags[] = {Tag::U8,  Tag::I8,  Tag::I16, Tag::U16, Tag::I32,
                                    Tag::U32, Tag::F32, Tag::F64, Tag::Str};
    const int index = storageIndex(vt_);
    const Tag mine = index == -1 ? Tag::Var : kTags[index];
    if (t != mine)
        throw ComError(DISP_E_TYPEMISMATCH,
                       "array of " + vartypeName(vt_) + " accessed as another element type");
}

bool SafeArray::indexOk(std::int32_t index, std::size_t& pos) const {
    const std::int64_t p = static_cast<std::int64_t>(index) - lower_;
    if (p < 0 || p >= static_cast<std::int64_t>(count())) return false;
    pos = static_cast<std::size_t>(p);
    return true;
}

HRESULT SafeArray::getElement(std::int32_t index, Variant& out) const {
    std::size_t i = 0;
    if (!indexOk(index, i)) return DISP_E_BADINDEX;
    switch (vt_) {
        case VT_UI1:
            out = Variant::fromUI1(std::get<0>(fixed_)[i]);
            break;
        case VT_I1:
            out = Variant::fromI1(std::get<1>(fixed_)[i]);
            break;
        case VT_I2:
            out = Variant::fromI2(std::get<2>(fixed_)[i]);
            break;
        case VT_BOOL:
            out = Variant::fromBool(std::get<2>(fixed_)[i] != 0);
            break;
        case VT_UI2:
            out = Variant::fromUI2(std::get<3>(fixed_)[i]);
            break;
        case VT_I4:
            out = Variant::fromI4(std::get<4>(fixed_)[i]);
            break;
        case VT_INT:
            out = Variant::fromInt(std::get<4>(fixed_)[i]);
            break;
        case VT_ERROR:
            out = Variant::fromError(std::get<4>(fixed_)[i]);
            break;
        case VT_UI4:
            out = Variant::fromUI4(std::get<5>(fixed_)[i]);
            break;
        case VT_UINT:
            out = Variant::fromUInt(std::get<5>(fixed_)[i]);
            break;
        case VT_R4:
            out = Variant::fromR4(std::get<6>(fixed_)[i]);
            break;
        case VT_R8:
            out = Variant::fromR8(std::get<7>(fixed_)[i]);
            break;
        case VT_DATE:
            out = Variant::fromDate(std::get<7>(fixed_)[i]);
            break;
        case VT_BSTR:
            out = Variant::fromBStr(std::get<8>(fixed_)[i]);
            break;
        case VT_VARIANT:
            out = variants_[i];
            break;
        default:
            return DISP_E_BADVARTYPE;
    }
    return S_OK;
}

HRESULT SafeArray::putElement(std::int32_t index, const Variant& value) {
    std::size_t i = 0;
    if (!indexOk(index, i)) return DISP_E_BADINDEX;
    if (vt_ == VT_VARIANT) {
        variants_[i] = value.value();
        return S_OK;
    }
    Variant v;
    if (const HRESULT hr = ChangeType(v, value, vt_); FAILED(hr)) return hr;
    switch (vt_) {
        case VT_UI1:
            std::get<0>(fixed_)[i] = v.ui1();
            break;
        case VT_I1:
            std::get<1>(fixed_)[i] = v.i1();
            break;
        case VT_I2:
            std::get<2>(fixed_)[i] = v.i2();
            break;
        case VT_BOOL:
            std::get<2>(fixed_)[i] = v.boolVal();
            break;
        case VT_UI2:
            std::get<3>(fixed_)[i] = v.ui2();
            break;
        case VT_I4:
            std::get<4>(fixed_)[i] = v.i4();
            break;
        case VT_INT:
            std::get<4>(fixed_)[i] = v.intVal();
            break;
        case VT_ERROR:
            std::get<4>(fixed_)[i] = v.scode();
            break;
        case VT_UI4:
            std::get<5>(fixed_)[i] = v.ui4();
            break;
        case VT_UINT:
            std::get<5>(fixed_)[i] = v.uintVal();
            break;
        case VT_R4:
            std::get<6>(fixed_)[i] = v.r4();
            break;
        case VT_R8:
            std::get<7>(fixed_)[i] = v.r8();
            break;
        case VT_DATE:
            std::get<7>(fixed_)[i] = v.date();
            break;
        case VT_BSTR:
            std::get<8>(fixed_)[i] = v.bstr();
            break;
        default:
            return DISP_E_BADVARTYPE;
    }
    return S_OK;
}

bool operator==(const SafeArray& a, const SafeArray& b) {
    if (a.vt_ != b.vt_ || a.lower_ != b.lower_) return false;
    if (a.vt_ == VT_VARIANT) return a.variants_ == b.variants_;
    return a.fixed_ == b.fixed_;
}

}  // namespace com
