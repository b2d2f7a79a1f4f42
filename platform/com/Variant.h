#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "com/HResult.h"

namespace com {

class IUnknown;
class IDispatch;
class Variant;

using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
using DATE = double;  // days since 1899-12-30, time as the fraction

inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

inline constexpr VARTYPE VT_EMPTY = 0;
inline constexpr VARTYPE VT_NULL = 1;
inline constexpr VARTYPE VT_I2 = 2;
inline constexpr VARTYPE VT_I4 = 3;
inline constexpr VARTYPE VT_R4 = 4;
inline constexpr VARTYPE VT_R8 = 5;
inline constexpr VARTYPE VT_CY = 6;  // named for completeness; not held
inline constexpr VARTYPE VT_DATE = 7;
inline constexpr VARTYPE VT_BSTR = 8;
inline constexpr VARTYPE VT_DISPATCH = 9;
inline constexpr VARTYPE VT_ERROR = 10;
inline constexpr VARTYPE VT_BOOL = 11;
inline constexpr VARTYPE VT_VARIANT = 12;
inline constexpr VARTYPE VT_UNKNOWN = 13;
inline constexpr VARTYPE VT_DECIMAL = 14;  // named for completeness; not held
inline constexpr VARTYPE VT_I1 = 16;
inline constexpr VARTYPE VT_UI1 = 17;
inline constexpr VARTYPE VT_UI2 = 18;
inline constexpr VARTYPE VT_UI4 = 19;
inline constexpr VARTYPE VT_INT = 22;
inline constexpr VARTYPE VT_UINT = 23;
inline constexpr VARTYPE VT_ARRAY = 0x2000;
inline constexpr VARTYPE VT_BYREF = 0x4000;
inline constexpr VARTYPE VT_TYPEMASK = 0x0FFF;

// "VT_I4", "VT_ARRAY|VT_UI1", "VT_BYREF|VT_VARIANT", "VT_0x0063" for unknown codes.
std::string vartypeName(VARTYPE vt);

// A one-dimensional automation array: element type, lower bound (usually 0) and count. A value
// type: copies are deep. Supported element types: VT_UI1, VT_I1, VT_I2, VT_UI2, VT_I4, VT_UI4,
// VT_INT, VT_UINT, VT_R4, VT_R8, VT_DATE, VT_ERROR, VT_BOOL, VT_BSTR, VT_VARIANT.
// Storage per element type (what span<T>() takes):
//   UI1 uint8_t, I1 int8_t, I2 and BOOL int16_t, UI2 uint16_t, I4, INT and ERROR int32_t,
//   UI4 and UINT uint32_t, R4 float, R8 and DATE double, BSTR std::string, VARIANT Variant.
class SafeArray {
public:
    // An empty array of bytes.
    SafeArray();
    // `count` zero / empty elements. Throws ComError(DISP_E_BADVARTYPE) for an unsupported
    // element type, ComError(E_INVALIDARG) when the upper bound would overflow.
    explicit SafeArray(VARTYPE elementType, std::uint32_t count = 0, std::int32_t lowerBound = 0);
    SafeArray(const SafeArray&);
    SafeArray(SafeArray&&) noexcept;
    SafeArray& operator=(const SafeArray&);
    SafeArray& operator=(SafeArray&&) noexcept;
    ~SafeArray();

    static SafeArray fromBytes(std::span<const std::uint8_t> bytes);
    static SafeArray fromInt16s(std::span<const std::int16_t> values);  // VT_I2
    static SafeArray fromInt32s(std::span<const std::int32_t> values);  // VT_I4
    static bool supports(VARTYPE elementType);

    VARTYPE elementType() const { return vt_; }
    std::uint32_t count() const;
    bool empty() const { return count() == 0; }
    std::int32_t lowerBound() const { return lower_; }
    // lowerBound() - 1 for an empty array.
    std::int32_t upperBound() const { return lower_ + static_cast<std::int32_t>(count()) - 1; }
    // Bytes per element in storage (sizeof of the storage type).
    std::size_t elementSize() const;

    // New elements are zero / empty; throws like the constructor when the bound would overflow.
    void resize(std::uint32_t count);

    // The first element (host byte order, see the storage list above); nullptr when empty.
    const void* data() const;
    void* data();

    // The elements as their storage type; throws ComError(DISP_E_TYPEMISMATCH) when T is not
    // the storage type of the element type.
    template <class T>
    std::span<T> span() {
        check(storageTag<T>());
        return {static_cast<T*>(data()), count()};
    }
    template <class T>
    std::span<const T> span() const {
        check(storageTag<std::remove_const_t<T>>());
        return {static_cast<const T*>(data()), count()};
    }

    // Elements by index counted from lowerBound(); DISP_E_BADINDEX outside the bounds.
    // getElement gives a variant of the element type (a VARIANT array's element as it is);
    // putElement converts the value to the element type (ChangeType errors).
    HRESULT getElement(std::int32_t index, Variant& out) const;
    HRESULT putElement(std::int32_t index, const Variant& value);

    // Same element type, bounds and elements.
    friend bool operator==(const SafeArray& a, const SafeArray& b);

private:
    enum class Tag { U8, I8, I16, U16, I32, U32, F32, F64, Str, Var, None };
    template <class T>
    static constexpr Tag storageTag() {
        if constexpr (std::is_same_v<T, std::uint8_t>)
            return Tag::U8;
        else if constexpr (std::is_same_v<T, std::int8_t>)
            return Tag::I8;
        else if constexpr (std::is_same_v<T, std::int16_t>)
            return Tag::I16;
        else if constexpr (std::is_same_v<T, std::uint16_t>)
            return Tag::U16;
        else if constexpr (std::is_same_v<T, std::int32_t>)
            return Tag::I32;
        else if constexpr (std::is_same_v<T, std::uint32_t>)
            return Tag::U32;
        else if constexpr (std::is_same_v<T, float>)
            return Tag::F32;
        else if constexpr (std::is_same_v<T, double>)
            return Tag::F64;
        else if constexpr (std::is_same_v<T, std::string>)
            return Tag::Str;
        else if constexpr (std::is_same_v<T, Variant>)
            return Tag::Var;
        else
            return Tag::None;
    }
    void check(Tag t) const;
    bool indexOk(std::int32_t index, std::size_t& pos) const;

    VARTYPE vt_ = VT_UI1;
    std::int32_t lower_ = 0;
    std::variant<std::vector<std::uint8_t>, std::vector<std::int8_t>, std::vector<std::int16_t>,
                 std::vector<std::uint16_t>, std::vector<std::int32_t>, std::vector<std::uint32_t>,
                 std::vector<float>, std::vector<double>, std::vector<std::string>>
        fixed_;
    std::vector<Variant> variants_;  // VT_VARIANT arrays only
};

// An automation variant. Strings (VT_BSTR) are UTF-8 std::string. VT_UNKNOWN / VT_DISPATCH
// hold a reference (AddRef on copy). VT_ARRAY|t owns a SafeArray. VT_BYREF|t points to storage
// the variant does not own, so a callee can write an in/out argument:
//   VT_BYREF|VT_VARIANT  -> Variant          VT_BYREF|VT_I4, VT_INT, VT_ERROR -> int32_t
//   VT_BYREF|VT_I2, VT_BOOL -> int16_t       VT_BYREF|VT_UI1 -> uint8_t
//   VT_BYREF|VT_R8, VT_DATE -> double        VT_BYREF|VT_BSTR -> std::string
//   VT_BYREF|VT_ARRAY|t  -> SafeArray (of element type t)
//   VT_BYREF|VT_DISPATCH -> IDispatch*       VT_BYREF|VT_UNKNOWN -> IUnknown*
//     (the pointer there holds a reference; a store releases the one it replaces)
// Copying a by-reference variant copies the pointer. Exact getters throw
// ComError(DISP_E_TYPEMISMATCH) when vt() is not their type and do not follow references.
class Variant {
public:
    Variant() noexcept {}
    Variant(const Variant& o);
    Variant(Variant&& o) noexcept;
    Variant& operator=(const Variant& o);
    Variant& operator=(Variant&& o) noexcept;
    ~Variant();

    Variant(std::int32_t v) : vt_(VT_I4) { s_.i = v; }  // long
    Variant(double v) : vt_(VT_R8) { s_.d = v; }
    template <class B>
    requires std::same_as<B, bool> Variant(B v) : vt_(VT_BOOL) {
        s_.i = v ? VARIANT_TRUE : VARIANT_FALSE;
    }
    Variant(const char* s) : vt_(VT_BSTR), str_(s ? s : "") {}
    Variant(std::string s) : vt_(VT_BSTR), str_(std::move(s)) {}
    Variant(std::string_view s) : vt_(VT_BSTR), str_(s) {}
    Variant(SafeArray array);
    Variant(IDispatch* p);  // VT_DISPATCH, AddRef; null allowed
    Variant(IUnknown* p);   // VT_UNKNOWN, AddRef; null allowed

    static Variant null();
    static Variant fromI1(std::int8_t v);
    static Variant fromUI1(std::uint8_t v);
    static Variant fromI2(std::int16_t v);
    static Variant fromUI2(std::uint16_t v);
    static Variant fromI4(std::int32_t v);
    static Variant fromUI4(std::uint32_t v);
    static Variant fromInt(std::int32_t v);
    static Variant fromUInt(std::uint32_t v);
    static Variant fromR4(float v);
    static Variant fromR8(double v);
    static Variant fromDate(DATE v);
    static Variant fromBool(bool v);
    static Variant fromError(SCODE v);
    static Variant fromBStr(std::string_view s);
    static Variant fromBytes(std::span<const std::uint8_t> bytes);  // VT_ARRAY|VT_UI1, from 0
    // VT_ERROR with DISP_E_PARAMNOTFOUND: an omitted optional argument.
    static Variant missing();

    // By-reference variants; the target must outlive every use of the variant.
    static Variant byRef(Variant* target);
    static Variant byRef(std::int32_t* target, VARTYPE vt = VT_I4);  // VT_I4, VT_INT, VT_ERROR
    static Variant byRef(std::int16_t* target, VARTYPE vt = VT_I2);  // VT_I2, VT_BOOL
    static Variant byRef(std::uint8_t* target);
    static Variant byRef(double* target, VARTYPE vt = VT_R8);  // VT_R8, VT_DATE
    static Variant byRef(std::string* target);
    static Variant byRef(SafeArray* target);  // element type taken from the array now
    static Variant byRef(IDispatch** target);
    static Variant byRef(IUnknown** target);

    VARTYPE vt() const noexcept { return vt_; }
    bool isEmpty() const noexcept { return vt_ == VT_EMPTY; }
    bool isByRef() const noexcept { return (vt_ & VT_BYREF) != 0; }
    bool isArray() const noexcept { return (vt_ & VT_ARRAY) != 0; }
    // An omitted argument (VT_ERROR DISP_E_PARAMNOTFOUND).
    bool isMissing() const noexcept;
    void clear() noexcept;

    std::int8_t i1() const;
    std::uint8_t ui1() const;
    std::int16_t i2() const;
    std::uint16_t ui2() const;
    std::int32_t i4() const;
    std::uint32_t ui4() const;
    std::int32_t intVal() const;
    std::uint32_t uintVal() const;
    float r4() const;
    double r8() const;
    DATE date() const;
    VARIANT_BOOL boolVal() const;
    SCODE scode() const;
    const std::string& bstr() const;
    const SafeArray& array() const;  // VT_ARRAY|t held by value
    SafeArray& array();
    IDispatch* dispatch() const;  // no AddRef
    IUnknown* unknown() const;    // no AddRef
    Variant* refVariant() const;  // VT_BYREF|VT_VARIANT target
    void* refPointer() const;     // any by-reference target

    // Follows VT_BYREF|VT_VARIANT references to the variant they end in (itself otherwise).
    const Variant& deref() const;
    // A copy with every reference resolved (a VT_BYREF|VT_I4 becomes a VT_I4 of the target).
    Variant value() const;

    // Numbers from any numeric type, BOOL (-1/0) included, following references. Floating
    // values are rounded half to even; nothing when the value is not a finite number that fits.
    std::optional<std::int64_t> toInt64() const;
    std::optional<double> toDouble() const;
    // The array held by value or through a reference (also behind VT_BYREF|VT_VARIANT);
    // nullptr when there is none.
    const SafeArray* arrayPtr() const;
    SafeArray* arrayPtr();

    // Writes `v` into this by-reference variant's target, converted to the target's type (a
    // VT_BYREF|VT_VARIANT target receives v.value()). E_INVALIDARG when this is not by
    // reference; ChangeType's codes when the value does not fit; the target is unchanged then.
    HRESULT storeThroughRef(const Variant& v) const;

    // ChangeType(*this -> vt), throwing ComError on failure.
    Variant converted(VARTYPE vt) const;

    // For messages and dumps: "VT_I4 5", "VT_BSTR \"text\"", "VT_ARRAY|VT_UI1 [01 AB]".
    std::string describe() const;

    // Same type and value (deep for arrays; by-reference variants compare their pointers).
    friend bool operator==(const Variant& a, const Variant& b);

private:
    friend class SafeArray;
    friend HRESULT ChangeType(Variant& dest, const Variant& src, VARTYPE vt);
    void swap(Variant& o) noexcept;
    // A by-reference variant of type VT_BYREF | `vt` pointing at `target`.
    static Variant reference(VARTYPE vt, void* target);

    VARTYPE vt_ = VT_EMPTY;
    union Scalar {
        std::int64_t i;
        double d;
        float f;
        void* p;
    } s_{};
    std::string str_;                   // VT_BSTR
    std::unique_ptr<SafeArray> array_;  // VT_ARRAY
};

// Converts `src` (references followed) to `vt` into `dest` (which may be `src` itself).
// Targets: VT_EMPTY, the integer types, VT_R4, VT_R8, VT_DATE, VT_BOOL, VT_BSTR, VT_ERROR
// (from VT_ERROR only), VT_VARIANT (a plain copy of the value), VT_DISPATCH / VT_UNKNOWN (from
// themselves; a null VT_UNKNOWN to VT_DISPATCH), and VT_ARRAY|t (element by element).
//  - numbers to integers: out of range -> DISP_E_OVERFLOW; floating values rounded half to even
//  - VT_BOOL from numbers: non-zero is VARIANT_TRUE (-1); to numbers: -1 / 0 (all bits for
//    unsigned targets, as the cast gives)
//  - VT_BSTR to numbers: decimal text with optional sign and blanks around, "&H" hex, or a
//    floating-point literal for floating targets; to BOOL also "True"/"False" (any case)
//  - numbers to VT_BSTR: decimal; doubles with up to 15 significant digits; BOOL "True"/"False"
//  - VT_EMPTY converts to 0, "" and False; VT_NULL, objects and arrays to scalars ->
//    DISP_E_TYPEMISMATCH; an unknown target type -> DISP_E_BADVARTYPE
// On failure `dest` is left unchanged.
HRESULT ChangeType(Variant& dest, const Variant& src, VARTYPE vt);

}  // namespace com
