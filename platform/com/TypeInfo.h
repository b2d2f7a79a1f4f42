#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "com/Guid.h"
#include "com/HResult.h"

namespace com {

class DispCall;
using DISPID = std::int32_t;

// Type descriptions as static data: one table per interface gives the C++ interface's shape,
// the generic IDispatch implementation (DispatchTable.h) and the type library (TypeLib.h).

// PropertyPutRef is the by-reference assignment of an object (DISPATCH_PROPERTYPUTREF); a
// property may have a put, a put-ref or both, and each call reaches only its own kind.
enum class MemberKind : std::uint8_t { Method, PropertyGet, PropertyPut, PropertyPutRef };
enum class ParamDir : std::uint8_t { In, Out, InOut, RetVal };

// Automation types of parameters and their C++ form in interface methods:
//   Long     long          std::int32_t   (std::int32_t* when out / in-out / retval)
//   Int      int           std::int32_t   (INT kind in variants: VT_INT)
//   Short    short         std::int16_t   (VT_I2)
//   Byte     unsigned char std::uint8_t   (VT_UI1)
//   Bool     VARIANT_BOOL  VARIANT_BOOL   (std::int16_t, -1 / 0)
//   Double   double        double
//   BStr     BSTR          const std::string& in, std::string* out
//   Variant  VARIANT       const Variant& in, Variant* in-out / out / retval
//   VariantPtr VARIANT*    Variant* (an in parameter the callee may write through)
//   LpStr    LPSTR         const char* (zero-terminated 8-bit text)
//   Dispatch IDispatch*    IDispatch* in (borrowed, may be null), IDispatch** out / in-out /
//                          retval (the callee stores a pointer it has AddRef'ed, and releases
//                          an in-out's old one when it replaces it)
//   Unknown  IUnknown*     as Dispatch, with IUnknown
enum class AutoType : std::uint8_t {
    None,
    Long,
    Int,
    Bool,
    Double,
    BStr,
    Variant,
    VariantPtr,
    LpStr,
    Short,
    Byte,
    Dispatch,
    Unknown
};

// An optional parameter (Variant or VariantPtr, as automation allows) may be left out by the
// caller: by passing fewer arguments, by not naming it, or by passing Variant::missing(). The
// member then sees Variant::missing() (and DispCall::isMissing). Optional parameters follow the
// required ones.
struct ParamDesc {
    std::string_view name;  // may be empty (the value of a property put)
    ParamDir dir = ParamDir::In;
    AutoType type = AutoType::None;  // None ends the list
    bool optional = false;
};

constexpr ParamDesc inParam(std::string_view name, AutoType t) {
    return {name, ParamDir::In, t};
}
constexpr ParamDesc optParam(std::string_view name, AutoType t) {
    return {name, ParamDir::In, t, true};
}
constexpr ParamDesc outParam(std::string_view name, AutoType t) {
    return {name, ParamDir::Out, t};
}
constexpr ParamDesc inOutParam(std::string_view name, AutoType t) {
    return {name, ParamDir::InOut, t};
}
constexpr ParamDesc retParam(std::string_view name, AutoType t) {
    return {name, ParamDir::RetVal, t};
}

inline constexpr std::size_t kMaxParams = 8;

// Calls one member on the object given to DispatchTable::invoke (see DispCall).
using DispThunk = HRESULT (*)(void* self, DispCall& call);

// One member. The parameters are listed in declaration order, the retval (at most one) last;
// the list ends at the first entry of type None. Methods and getters with a result have a
// retval; a property put or put-ref has exactly one required In parameter.
struct MemberDesc {
    constexpr MemberDesc() = default;
    // {dispId, "Name", MemberKind::Method, {inParam(...), retParam(...)}, thunk}
    constexpr MemberDesc(DISPID id, std::string_view memberName, MemberKind memberKind,
                         std::array<ParamDesc, kMaxParams> parameters = {},
                         DispThunk call = nullptr, std::string_view help = {})
        : dispId(id),
          name(memberName),
          kind(memberKind),
          params(parameters),
          thunk(call),
          helpString(help) {}

    DISPID dispId = -1;
    std::string_view name;
    MemberKind kind = MemberKind::Method;
    std::array<ParamDesc, kMaxParams> params{};
    DispThunk thunk = nullptr;  // null in pure descriptions: Invoke gives E_NOTIMPL
    std::string_view helpString;

    constexpr std::size_t paramCount() const {
        std::size_t n = 0;
        while (n < params.size() && params[n].type != AutoType::None) ++n;
        return n;
    }
    constexpr bool hasRetval() const {
        const auto n = paramCount();
        return n > 0 && params[n - 1].dir == ParamDir::RetVal;
    }
    // Parameters a caller passes: all but the retval.
    constexpr std::size_t argCount() const { return paramCount() - (hasRetval() ? 1 : 0); }
    // Parameters a caller must pass: those before the first optional one.
    constexpr std::size_t requiredCount() const {
        std::size_t n = 0;
        while (n < argCount() && !params[n].optional) ++n;
        return n;
    }
};

enum class InterfaceKind : std::uint8_t {
    Dual,           // derives from IDispatch; members also in the C++ virtual table
    DispInterface,  // dispatch only (event interfaces)
};

struct InterfaceDesc {
    std::string_view name;
    Guid iid;
    InterfaceKind kind = InterfaceKind::Dual;
    std::string_view helpString;
    std::span<const MemberDesc> members;
};

struct CoClassInterface {
    const InterfaceDesc* itf = nullptr;
    bool isDefault = false;
    bool isSource = false;  // an outgoing (event) interface
};

struct CoClassDesc {
    std::string_view name;
    Guid clsid;
    std::string_view helpString;
    bool creatable = true;
    std::span<const CoClassInterface> interfaces;
};

struct TypeLibDesc {
    std::string_view name;
    Guid libid;
    std::uint16_t majorVersion = 1;
    std::uint16_t minorVersion = 0;
    std::uint32_t lcid = 0;
    std::string_view helpString;
    std::span<const std::string_view> importedLibs;  // by name, e.g. "stdole2"
    std::span<const InterfaceDesc* const> interfaces;
    std::span<const CoClassDesc> coclasses;
};

}  // namespace com
