#include "com/Variant.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include "com/ComPtr.h"
#include "com/IDispatch.h"

namespace com {

namespace {

constexpr int kMaxRefDepth = 16;

bool isObject(VARTYPE vt) {
    return vt == VT_DISPATCH || vt == VT_UNKNOWN;
}

std::string_view baseName(VARTYPE t) {
    switch (t) {
        case VT_EMPTY:
            return "VT_EMPTY";
        case VT_NULL:
            return "VT_NULL";
        case VT_I2:
            return "VT_I2";
        case VT_I4:
            return "VT_I4";
        case VT_R4:
            return "VT_R4";
        case VT_R8:
            return "VT_R8";
        case VT_CY:
            return "VT_CY";
        case VT_DATE:
            return "VT_DATE";
        case VT_BSTR:
            return "VT_BSTR";
        case VT_DISPATCH:
            return "VT_DISPATCH";
        case VT_ERROR:
            return "VT_ERROR";
        case VT_BOOL:
            return "VT_BOOL";
        case VT_VARIANT:
            return "VT_VARIANT";
        case VT_UNKNOWN:
            return "VT_UNKNOWN";
        case VT_DECIMAL:
            return "VT_DECIMAL";
        case VT_I1:
            return "VT_I1";
        case VT_UI1:
            return "VT_UI1";
        case VT_UI2:
            return "VT_UI2";
        case VT_UI4:
            return "VT_UI4";
        case VT_INT:
            return "VT_INT";
        case VT_UINT:
            return "VT_UINT";
        default:
            return {};
    }
}

[[noreturn]] void mismatch(const char* getter, VARTYPE actual) {
    throw ComError(DISP_E_TYPEMISMATCH,
                   std::string("variant holds ") + vartypeName(actual) + ", not " + getter);
}

bool isIntegerType(VARTYPE t) {
    switch (t) {
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

bool isFloatType(VARTYPE t) {
    return t == VT_R4 || t == VT_R8 || t == VT_DATE;
}

struct Range {
    std::int64_t min;
    std::int64_t max;
};

Range rangeOf(VARTYPE t) {
    switch (t) {
        case VT_I1:
            return {-128, 127};
        case VT_UI1:
            return {0, 255};
        case VT_I2:
            return {-32768, 32767};
        case VT_UI2:
            return {0, 65535};
        case VT_I4:
        case VT_INT:
            return {std::numeric_limits<std::int32_t>::min(),
                    std::numeric_limits<std::int32_t>::max()};
        default:
            return {0, std::numeric_limits<std::uint32_t>::max()};
    }
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto l = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
        if (l(a[i]) != l(b[i])) return false;
    }
    return true;
}

// Where the first significant digit of a decimal literal sits (0 for the units, -1 for tenths):
// out of a double's range, that tells an underflow from an overflow.
long decimalExponent(std::string_view s) {
    long position = 0;
    bool seenPoint = false, significant = false;
    std::size_t i = 0;
    for (; i < s.size() && s[i] != 'e' && s[i] != 'E'; ++i) {
        if (s[i] == '.') {
            seenPoint = true;
        } else if (!significant) {
            if (s[i] != '0') significant = true;
            if (seenPoint) --position;
        } else if (!seenPoint) {
            ++position;
        }
    }
    long exponent = 0;
    if (i + 1 < s.size()) {
        std::string_view e = s.substr(i + 1);
        const bool minus = e.front() == '-';
        if (e.front() == '+' || minus) e.remove_prefix(1);
        for (const char c : e) exponent = std::min(exponent * 10 + (c - '0'), 100000L);
        if (minus) exponent = -exponent;
    }
    return position + exponent;
}

// Text as a number: decimal integer, "&H" hex, or a floating literal. Nothing when it is none.
std::optional<double> parseNumber(std::string_view text) {
    auto s = trim(text);
    if (s.empty() || s.size() > 400) return std::nullopt;
    if (s.size() > 2 && s[0] == '&' && (s[1] == 'H' || s[1] == 'h')) {
        std::uint64_t v = 0;
        const auto digits = s.substr(2);
        if (digits.size() > 8) return std::nullopt;
        for (const char c : digits) {
            const int d = detail::hexValue(c);
            if (d < 0) return std::nullopt;
            v = v * 16 + static_cast<std::uint64_t>(d);
        }
        // Hex literals are 32-bit two's complement, as in the automation languages.
        return static_cast<double>(static_cast<std::int32_t>(static_cast<std::uint32_t>(v)));
    }
    for (const char c : s)
        if (!((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E'))
            return std::nullopt;
    // from_chars ignores the C locale (a Qt program sets it from the environment, and a German
    // one would read "1.5" as 1) but takes no leading '+'.
    const bool negative = s.front() == '-';
    if (s.front() == '+' || negative) s.remove_prefix(1);
    if (s.empty() || s.front() == '+' || s.front() == '-') return std::nullopt;
    double v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (end != s.data() + s.size()) return std::nullopt;
    if (ec == std::errc::result_out_of_range) {
        v = decimalExponent(s) < 0 ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (ec != std::errc()) {
        return std::nullopt;
    }
    return negative ? -v : v;
}

// "%.*G" without the locale's decimal separator.
std::string formatDouble(double v, int digits) {
    char buf[64];
    const auto [end, ec] =
        std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, digits);
    if (ec != std::errc()) return "0";
    std::string out(buf, end);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

Variant makeInteger(VARTYPE t, std::int64_t v) {
    switch (t) {
        case VT_I1:
            return Variant::fromI1(static_cast<std::int8_t>(v));
        case VT_UI1:
            return Variant::fromUI1(static_cast<std::uint8_t>(v));
        case VT_I2:
            return Variant::fromI2(static_cast<std::int16_t>(v));
        case VT_UI2:
            return Variant::fromUI2(static_cast<std::uint16_t>(v));
        case VT_I4:
            return Variant::fromI4(static_cast<std::int32_t>(v));
        case VT_INT:
            return Variant::fromInt(static_cast<std::int32_t>(v));
        case VT_UI4:
            return Variant::fromUI4(static_cast<std::uint32_t>(v));
        default:
            return Variant::fromUInt(static_cast<std::uint32_t>(v));
    }
}

// Scalar conversion of a value that is neither by reference nor an array.
HRESULT convertScalar(const Variant& s, VARTYPE to, Variant& r) {
    const VARTYPE from = s.vt();
    if (to == VT_VARIANT) {
        r = s;
        return S_OK;
    }
    if (to == VT_EMPTY) {
        r = Variant();
        return S_OK;
    }
    if (from == to) {
        r = s;
        return S_OK;
    }
    if (to == VT_NULL || to == VT_ERROR) return DISP_E_TYPEMISMATCH;
    if (isObject(to)) {
        if (!isObject(from)) return DISP_E_TYPEMISMATCH;
        IUnknown* unk = from == VT_DISPATCH ? static_cast<IUnknown*>(s.dispatch()) : s.unknown();
        if (to == VT_UNKNOWN) {
            r = Variant(unk);
            return S_OK;
        }
        if (!unk) {
            r = Variant(static_cast<IDispatch*>(nullptr));
            return S_OK;
        }
        ComPtr<IDispatch> d;
        if (FAILED(unk->QueryInterface(IDispatch::iid, d.putVoid()))) return DISP_E_TYPEMISMATCH;
        r = Variant(d.get());
        return S_OK;
    }
    if (from == VT_NULL || from == VT_ERROR || isObject(from)) return DISP_E_TYPEMISMATCH;

    if (to == VT_BSTR) {
        if (from == VT_EMPTY) {
            r = Variant(std::string());
        } else if (from == VT_BOOL) {
            r = Variant(s.boolVal() ? "True" : "False");
        } else if (from == VT_R4) {
            r = Variant(formatDouble(s.r4(), 7));
        } else if (isFloatType(from)) {
            r = Variant(formatDouble(*s.toDouble(), 15));
        } else if (isIntegerType(from)) {
            r = Variant(std::to_string(*s.toInt64()));
        } else {
            return DISP_E_TYPEMISMATCH;
        }
        return S_OK;
    }

    // Numeric targets: get the source as an exact integer or as a double.
    std::optional<std::int64_t> asInt;
    std::optional<double> asDouble;
    if (from == VT_EMPTY) {
        asInt = 0;
    } else if (from == VT_BOOL) {
        asInt = s.boolVal() ? -1 : 0;
    } else if (isIntegerType(from)) {
        asInt = s.toInt64();
    } else if (isFloatType(from)) {
        asDouble = *s.toDouble();
    } else if (from == VT_BSTR) {
        if (to == VT_BOOL) {
            const auto t = trim(s.bstr());
            if (equalNoCase(t, "true")) asInt = -1;
            if (equalNoCase(t, "false")) asInt = 0;
        }
        if (!asInt) {
            asDouble = parseNumber(s.bstr());
            if (!asDouble) return DISP_E_TYPEMISMATCH;
        }
    } else {
        return DISP_E_TYPEMISMATCH;
    }

    if (to == VT_BOOL) {
        const bool v = asInt ? *asInt != 0 : *asDouble != 0.0;
        r = Variant::fromBool(v);
        return S_OK;
    }
    if (isFloatType(to)) {
        const double v = asInt ? static_cast<double>(*asInt) : *asDouble;
        if (to == VT_R4) {
            if (std::isfinite(v) && std::fabs(v) > std::numeric_limits<float>::max())
                return DISP_E_OVERFLOW;
            r = Variant::fromR4(static_cast<float>(v));
        } else {
            r = to == VT_DATE ? Variant::fromDate(v) : Variant::fromR8(v);
        }
        return S_OK;
    }
    if (!isIntegerType(to)) return DISP_E_BADVARTYPE;

    const Range range = rangeOf(to);
    std::int64_t v = 0;
    if (asInt) {
        v = *asInt;
        // True is all bits set in an unsigned target, as the cast gives.
        if (from == VT_BOOL && v == -1 && range.min == 0) v = range.max;
    } else {
        const double d = std::nearbyint(*asDouble);  // ties to even in the default mode
        if (!std::isfinite(d) || d < static_cast<double>(range.min) ||
            d > static_cast<double>(range.max))
            return DISP_E_OVERFLOW;
        v = static_cast<std::int64_t>(d);
    }
    if (v < range.min || v > range.max) return DISP_E_OVERFLOW;
    r = makeInteger(to, v);
    return S_OK;
}

}  // namespace

std::string vartypeName(VARTYPE vt) {
    std::string out;
    if (vt & VT_BYREF) out += "VT_BYREF|";
    if (vt & VT_ARRAY) out += "VT_ARRAY|";
    const auto base = static_cast<VARTYPE>(vt & VT_TYPEMASK);
    const auto name = baseName(base);
    if (!name.empty() && (vt & ~(VT_BYREF | VT_ARRAY | VT_TYPEMASK)) == 0) {
        out += name;
    } else {
        char buf[16];
        std::snprintf(buf, sizeof buf, "VT_0x%04X", static_cast<unsigned>(vt));
        out = buf;
    }
    return out;
}

// Copy, move and destruction

Variant::Variant(const Variant& o) : vt_(o.vt_), s_(o.s_), str_(o.str_) {
    if (o.array_) array_ = std::make_unique<SafeArray>(*o.array_);
    if (isObject(vt_) && s_.p) static_cast<IUnknown*>(s_.p)->AddRef();
}

Variant::Variant(Variant&& o) noexcept
    : vt_(std::exchange(o.vt_, VT_EMPTY)),
      s_(std::exchange(o.s_, Scalar{})),
      str_(std::move(o.str_)),
      array_(std::move(o.array_)) {
    o.str_.clear();
}

Variant& Variant::operator=(const Variant& o) {
    if (this != &o) {
        Variant copy(o);
        swap(copy);
    }
    return *this;
}

Variant& Variant::operator=(Variant&& o) noexcept {
    if (this != &o) {
        Variant moved(std::move(o));
        swap(moved);
    }
    return *this;
}

Variant::~Variant() {
    clear();
}

void Variant::swap(Variant& o) noexcept {
    std::swap(vt_, o.vt_);
    std::swap(s_, o.s_);
    str_.swap(o.str_);
    array_.swap(o.array_);
}

void Variant::clear() noexcept {
    if (isObject(vt_) && s_.p) static_cast<IUnknown*>(s_.p)->Release();
    vt_ = VT_EMPTY;
    s_ = Scalar{};
    str_.clear();
    array_.reset();
}

// Construction

Variant::Variant(SafeArray array)
    : vt_(static_cast<VARTYPE>(VT_ARRAY | array.elementType())),
      array_(std::make_unique<SafeArray>(std::move(array))) {}

Variant::Variant(IDispatch* p) : vt_(VT_DISPATCH) {
    s_.p = static_cast<IUnknown*>(p);
    if (p) p->AddRef();
}

Variant::Variant(IUnknown* p) : vt_(VT_UNKNOWN) {
    s_.p = p;
    if (p) p->AddRef();
}

#define TIV_VARIANT_INT_FACTORY(Name, Type, Code) \
    Variant Variant::Name(Type v) {               \
        Variant r;                                \
        r.vt_ = Code;                             \
        r.s_.i = v;                               \
        return r;                                 \
    }
TIV_VARIANT_INT_FACTORY(fromI1, std::int8_t, VT_I1)
TIV_VARIANT_INT_FACTORY(fromUI1, std::uint8_t, VT_UI1)
TIV_VARIANT_INT_FACTORY(fromI2, std::int16_t, VT_I2)
TIV_VARIANT_INT_FACTORY(fromUI2, std::uint16_t, VT_UI2)
TIV_VARIANT_INT_FACTORY(fromI4, std::int32_t, VT_I4)
TIV_VARIANT_INT_FACTORY(fromUI4, std::uint32_t, VT_UI4)
TIV_VARIANT_INT_FACTORY(fromInt, std::int32_t, VT_INT)
TIV_VARIANT_INT_FACTORY(fromUInt, std::uint32_t, VT_UINT)
TIV_VARIANT_INT_FACTORY(fromError, SCODE, VT_ERROR)
#undef TIV_VARIANT_INT_FACTORY

Variant Variant::null() {
    Variant r;
    r.vt_ = VT_NULL;
    return r;
}

Variant Variant::fromR4(float v) {
    Variant r;
    r.vt_ = VT_R4;
    r.s_.f = v;
    return r;
}

Variant Variant::fromR8(double v) {
    return Variant(v);
}

Variant Variant::fromDate(DATE v) {
    Variant r(v);
    r.vt_ = VT_DATE;
    return r;
}

Variant Variant::fromBool(bool v) {
    return Variant(v);
}
Variant Variant::fromBStr(std::string_view s) {
    return Variant(s);
}
Variant Variant::fromBytes(std::span<const std::uint8_t> bytes) {
    return Variant(SafeArray::fromBytes(bytes));
}
Variant Variant::missing() {
    return fromError(DISP_E_PARAMNOTFOUND);
}

Variant Variant::reference(VARTYPE vt, void* target) {
    Variant r;
    r.vt_ = static_cast<VARTYPE>(VT_BYREF | vt);
    r.s_.p = target;
    return r;
}

Variant Variant::byRef(Variant* target) {
    return reference(VT_VARIANT, target);
}

Variant Variant::byRef(std::int32_t* target, VARTYPE vt) {
    if (vt != VT_I4 && vt != VT_INT && vt != VT_ERROR)
        throw ComError(DISP_E_BADVARTYPE, "32-bit reference to " + vartypeName(vt));
    return reference(vt, target);
}

Variant Variant::byRef(std::int16_t* target, VARTYPE vt) {
    if (vt != VT_I2 && vt != VT_BOOL)
        throw ComError(DISP_E_BADVARTYPE, "16-bit reference to " + vartypeName(vt));
    return reference(vt, target);
}

Variant Variant::byRef(std::uint8_t* target) {
    return reference(VT_UI1, target);
}

Variant Variant::byRef(double* target, VARTYPE vt) {
    if (vt != VT_R8 && vt != VT_DATE)
        throw ComError(DISP_E_BADVARTYPE, "double reference to " + vartypeName(vt));
    return reference(vt, target);
}

Variant Variant::byRef(std::string* target) {
    return reference(VT_BSTR, target);
}

Variant Variant::byRef(SafeArray* target) {
    return reference(static_cast<VARTYPE>(VT_ARRAY | (target ? target->elementType() : VT_UI1)),
                     target);
}

Variant Variant::byRef(IDispatch** target) {
    return reference(VT_DISPATCH, target);
}

Variant Variant::byRef(IUnknown** target) {
    return reference(VT_UNKNOWN, target);
}

// Exact getters

#define TIV_VARIANT_GETTER(Name, Type, Code, Field) \
    Type Variant::Name() const {                    \
        if (vt_ != Code) mismatch(#Code, vt_);      \
        return static_cast<Type>(s_.Field);         \
    }
TIV_VARIANT_GETTER(i1, std::int8_t, VT_I1, i)
TIV_VARIANT_GETTER(ui1, std::uint8_t, VT_UI1, i)
TIV_VARIANT_GETTER(i2, std::int16_t, VT_I2, i)
TIV_VARIANT_GETTER(ui2, std::uint16_t, VT_UI2, i)
TIV_VARIANT_GETTER(i4, std::int32_t, VT_I4, i)
TIV_VARIANT_GETTER(ui4, std::uint32_t, VT_UI4, i)
TIV_VARIANT_GETTER(intVal, std::int32_t, VT_INT, i)
TIV_VARIANT_GETTER(uintVal, std::uint32_t, VT_UINT, i)
TIV_VARIANT_GETTER(r4, float, VT_R4, f)
TIV_VARIANT_GETTER(r8, double, VT_R8, d)
TIV_VARIANT_GETTER(date, DATE, VT_DATE, d)
TIV_VARIANT_GETTER(boolVal, VARIANT_BOOL, VT_BOOL, i)
TIV_VARIANT_GETTER(scode, SCODE, VT_ERROR, i)
#undef TIV_VARIANT_GETTER

const std::string& Variant::bstr() const {
    if (vt_ != VT_BSTR) mismatch("VT_BSTR", vt_);
    return str_;
}

const SafeArray& Variant::array() const {
    if (!array_ || isByRef()) mismatch("VT_ARRAY", vt_);
    return *array_;
}

SafeArray& Variant::array() {
    if (!array_ || isByRef()) mismatch("VT_ARRAY", vt_);
    return *array_;
}

IDispatch* Variant::dispatch() const {
    if (vt_ != VT_DISPATCH) mismatch("VT_DISPATCH", vt_);
    return static_cast<IDispatch*>(static_cast<IUnknown*>(s_.p));
}

IUnknown* Variant::unknown() const {
    if (vt_ != VT_UNKNOWN) mismatch("VT_UNKNOWN", vt_);
    return static_cast<IUnknown*>(s_.p);
}

Variant* Variant::refVariant() const {
    if (vt_ != (VT_BYREF | VT_VARIANT)) mismatch("VT_BYREF|VT_VARIANT", vt_);
    return static_cast<Variant*>(s_.p);
}

void* Variant::refPointer() const {
    if (!isByRef()) mismatch("VT_BYREF", vt_);
    return s_.p;
}

bool Variant::isMissing() const noexcept {
    return vt_ == VT_ERROR && static_cast<SCODE>(s_.i) == DISP_E_PARAMNOTFOUND;
}

// Resolution

const Variant& Variant::deref() const {
    const Variant* v = this;
    for (int depth = 0; depth < kMaxRefDepth && v->vt_ == (VT_BYREF | VT_VARIANT) && v->s_.p;
         ++depth)
        v = static_cast<const Variant*>(v->s_.p);
    return *v;
}

Variant Variant::value() const {
    const Variant& v = deref();
    if (!v.isByRef()) return v;
    if (!v.s_.p || v.vt_ == (VT_BYREF | VT_VARIANT)) return Variant();  // null or too deep
    const auto base = static_cast<VARTYPE>(v.vt_ & ~VT_BYREF);
    if (base & VT_ARRAY) return Variant(*static_cast<const SafeArray*>(v.s_.p));
    switch (base) {
        case VT_I4:
            return fromI4(*static_cast<const std::int32_t*>(v.s_.p));
        case VT_INT:
            return fromInt(*static_cast<const std::int32_t*>(v.s_.p));
        case VT_ERROR:
            return fromError(*static_cast<const std::int32_t*>(v.s_.p));
        case VT_I2:
            return fromI2(*static_cast<const std::int16_t*>(v.s_.p));
        case VT_BOOL:
            return fromBool(*static_cast<const std::int16_t*>(v.s_.p) != 0);
        case VT_UI1:
            return fromUI1(*static_cast<const std::uint8_t*>(v.s_.p));
        case VT_R8:
            return fromR8(*static_cast<const double*>(v.s_.p));
        case VT_DATE:
            return fromDate(*static_cast<const double*>(v.s_.p));
        case VT_BSTR:
            return Variant(*static_cast<const std::string*>(v.s_.p));
        case VT_DISPATCH:
            return Variant(*static_cast<IDispatch* const*>(v.s_.p));
        case VT_UNKNOWN:
            return Variant(*static_cast<IUnknown* const*>(v.s_.p));
        default:
            return Variant();
    }
}

std::optional<std::int64_t> Variant::toInt64() const {
    const Variant& d = deref();
    if (d.isByRef()) {
        if (d.isArray()) return std::nullopt;
        return d.value().toInt64();
    }
    switch (d.vt_) {
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_BOOL:
            return d.s_.i;
        case VT_R4:
        case VT_R8:
        case VT_DATE: {
            const double x = std::nearbyint(d.vt_ == VT_R4 ? d.s_.f : d.s_.d);
            // 2^63 as a double: anything at or beyond it does not fit.
            if (!std::isfinite(x) || x >= 9223372036854775808.0 || x < -9223372036854775808.0)
                return std::nullopt;
            return static_cast<std::int64_t>(x);
        }
        default:
            return std::nullopt;
    }
}

std::optional<double> Variant::toDouble() const {
    const Variant& d = deref();
    if (d.isByRef()) {
        if (d.isArray()) return std::nullopt;
        return d.value().toDouble();
    }
    switch (d.vt_) {
        case VT_R4:
            return d.s_.f;
        case VT_R8:
        case VT_DATE:
            return d.s_.d;
        default: {
            if (isIntegerType(d.vt_) || d.vt_ == VT_BOOL) return static_cast<double>(d.s_.i);
            return std::nullopt;
        }
    }
}

const SafeArray* Variant::arrayPtr() const {
    const Variant& d = deref();
    if (!d.isArray()) return nullptr;
    if (d.isByRef()) return static_cast<const SafeArray*>(d.s_.p);
    return d.array_.get();
}

SafeArray* Variant::arrayPtr() {
    return const_cast<SafeArray*>(std::as_const(*this).arrayPtr());
}

HRESULT Variant::storeThroughRef(const Variant& v) const {
    if (!isByRef()) return E_INVALIDARG;
    if (!s_.p) return E_POINTER;
    const auto base = static_cast<VARTYPE>(vt_ & ~VT_BYREF);
    if (base == VT_VARIANT) {
        *static_cast<Variant*>(s_.p) = v.value();
        return S_OK;
    }
    Variant c;
    if (const HRESULT hr = ChangeType(c, v, base); FAILED(hr)) return hr;
    void* p = s_.p;
    if (base & VT_ARRAY) {
        *static_cast<SafeArray*>(p) = std::move(*c.array_);
        return S_OK;
    }
    switch (base) {
        case VT_I4:
        case VT_INT:
        case VT_ERROR:
            *static_cast<std::int32_t*>(p) = static_cast<std::int32_t>(c.s_.i);
            break;
        case VT_I2:
        case VT_BOOL:
            *static_cast<std::int16_t*>(p) = static_cast<std::int16_t>(c.s_.i);
            break;
        case VT_UI1:
            *static_cast<std::uint8_t*>(p) = static_cast<std::uint8_t>(c.s_.i);
            break;
        case VT_R8:
        case VT_DATE:
            *static_cast<double*>(p) = c.s_.d;
            break;
        case VT_BSTR:
            *static_cast<std::string*>(p) = std::move(c.str_);
            break;
        case VT_DISPATCH:
        case VT_UNKNOWN: {
            // Both are IUnknown-derived pointers in a slot of their own type; c keeps its
            // reference, the slot takes a new one.
            auto* next = static_cast<IUnknown*>(c.s_.p);
            if (next) next->AddRef();
            IUnknown* old = nullptr;
            if (base == VT_DISPATCH) {
                auto& slot = *static_cast<IDispatch**>(p);
                old = slot;
                slot = static_cast<IDispatch*>(next);
            } else {
                auto& slot = *static_cast<IUnknown**>(p);
                old = slot;
                slot = next;
            }
            if (old) old->Release();
            break;
        }
        default:
            return DISP_E_BADVARTYPE;
    }
    return S_OK;
}

Variant Variant::converted(VARTYPE vt) const {
    Variant r;
    if (const HRESULT hr = ChangeType(r, *this, vt); FAILED(hr))
        throw ComError(hr, "cannot convert " + vartypeName(vt_) + " to " + vartypeName(vt) + ": " +
                               hresultText(hr));
    return r;
}

std::string Variant::describe() const {
    std::string out = vartypeName(vt_);
    if (isByRef()) {
        const Variant v = value();
        return out + " -> " + (s_.p ? v.describe() : std::string("null"));
    }
    if (isArray()) {
        const auto& a = *array_;
        out += " [";
        constexpr std::uint32_t kShown = 64;
        for (std::uint32_t i = 0; i < a.count() && i < kShown; ++i) {
            if (i) out += ' ';
            Variant e;
            a.getElement(a.lowerBound() + static_cast<std::int32_t>(i), e);
            if (a.elementType() == VT_UI1) {
                char buf[4];
                std::snprintf(buf, sizeof buf, "%02X", e.ui1());
                out += buf;
            } else {
                Variant t;
                out += SUCCEEDED(ChangeType(t, e, VT_BSTR)) ? t.str_ : e.describe();
            }
        }
        if (a.count() > kShown) out += " ...";
        return out + "]";
    }
    switch (vt_) {
        case VT_EMPTY:
        case VT_NULL:
            return out;
        case VT_BSTR:
            return out + " \"" + str_ + "\"";
        case VT_DISPATCH:
        case VT_UNKNOWN:
            return out + (s_.p ? " object" : " null");
        case VT_ERROR:
            return out + " " + hresultText(static_cast<SCODE>(s_.i));
        default: {
            Variant t;
            if (SUCCEEDED(ChangeType(t, *this, VT_BSTR))) return out + " " + t.str_;
            return out;
        }
    }
}

bool operator==(const Variant& a, const Variant& b) {
    if (a.vt_ != b.vt_) return false;
    if (a.isByRef() || isObject(a.vt_)) return a.s_.p == b.s_.p;
    if (a.isArray()) return *a.array_ == *b.array_;
    switch (a.vt_) {
        case VT_EMPTY:
        case VT_NULL:
            return true;
        case VT_BSTR:
            return a.str_ == b.str_;
        case VT_R4:
            return a.s_.f == b.s_.f;
        case VT_R8:
        case VT_DATE:
            return a.s_.d == b.s_.d;
        default:
            return a.s_.i == b.s_.i;
    }
}

HRESULT ChangeType(Variant& dest, const Variant& src, VARTYPE vt) {
    try {
        if (vt & VT_BYREF) return DISP_E_BADVARTYPE;
        const Variant& d = src.deref();
        // A null reference, or a chain of references too long to follow.
        if (d.isByRef() && (!d.s_.p || d.vt_ == (VT_BYREF | VT_VARIANT))) return E_POINTER;
        const Variant resolved = d.isByRef() ? d.value() : Variant();
        const Variant& s = d.isByRef() ? resolved : d;
        Variant r;
        if (vt & VT_ARRAY) {
            const auto elem = static_cast<VARTYPE>(vt & VT_TYPEMASK);
            if ((vt & ~(VT_ARRAY | VT_TYPEMASK)) != 0 || !SafeArray::supports(elem))
                return DISP_E_BADVARTYPE;
            if (!s.isArray()) return DISP_E_TYPEMISMATCH;
            const SafeArray& a = *s.array_;
            if (a.elementType() == elem) {
                r = s;
            } else {
                SafeArray out(elem, a.count(), a.lowerBound());
                for (std::uint32_t i = 0; i < a.count(); ++i) {
                    const auto index = a.lowerBound() + static_cast<std::int32_t>(i);
                    Variant e;
                    a.getElement(index, e);
                    if (const HRESULT hr = out.putElement(index, e); FAILED(hr)) return hr;
                }
                r = Variant(std::move(out));
            }
        } else if (s.isArray()) {
            if (vt != VT_VARIANT) return DISP_E_TYPEMISMATCH;
            r = s;
        } else {
            if (const HRESULT hr = convertScalar(s, vt, r); FAILED(hr)) return hr;
        }
        dest = std::move(r);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const ComError& e) {
        return e.hr();
    }
}

}  // namespace com
