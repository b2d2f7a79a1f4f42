#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "com/IUnknown.h"
#include "com/Variant.h"

namespace com {

struct InterfaceDesc;

using DISPID = std::int32_t;
using LCID = std::uint32_t;

inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_VALUE = 0;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;

inline constexpr std::uint16_t DISPATCH_METHOD = 1;
inline constexpr std::uint16_t DISPATCH_PROPERTYGET = 2;
inline constexpr std::uint16_t DISPATCH_PROPERTYPUT = 4;
inline constexpr std::uint16_t DISPATCH_PROPERTYPUTREF = 8;

inline constexpr LCID LOCALE_USER_DEFAULT = 0x400;

// Arguments of one Invoke, in reverse order as COM passes them: args[0] is the last
// argument. The first namedArgs.size() entries of args are the named ones, namedArgs[i] being
// the id of args[i] (DISPID_PROPERTYPUT for the value of a property put; otherwise a
// parameter's position as GetIDsOfNames gives it). The callee never changes the variants
// themselves, only what by-reference ones point to.
struct DispParams {
    std::span<const Variant> args;
    std::span<const DISPID> namedArgs;
};

// What a member that failed with DISP_E_EXCEPTION reports.
struct ExcepInfo {
    std::uint16_t code = 0;
    std::string source;
    std::string description;
    std::string helpFile;
    std::uint32_t helpContext = 0;
    SCODE scode = S_OK;
};

// Late-bound calls by dispatch id. Dual interfaces derive from it.
class IDispatch : public IUnknown {
public:
    static constexpr Guid iid = makeGuid("{00020400-0000-0000-C000-000000000046}");
    using Base = IUnknown;

    // 1 when GetTypeInfo can describe the object, else 0.
    virtual HRESULT GetTypeInfoCount(std::uint32_t* count) = 0;
    // The description of the object's dispatch interface (static data, no reference taken);
    // DISP_E_BADINDEX for an index other than 0, E_NOTIMPL when there is none.
    virtual HRESULT GetTypeInfo(std::uint32_t index, LCID lcid, const InterfaceDesc** info) = 0;
    // names[0] is a member name, the rest that member's parameter names; ids receives
    // names.size() ids. Names match without regard to (ASCII) case. DISP_E_UNKNOWNNAME when
    // any is unknown (its id is then DISPID_UNKNOWN, the others are still filled).
    virtual HRESULT GetIDsOfNames(std::span<const std::string_view> names, LCID lcid,
                                  DISPID* ids) = 0;
    // Calls a member. flags: METHOD, PROPERTYGET (both may be set), PROPERTYPUT or PROPERTYPUTREF
    // (an object assigned by reference). result (may be null) receives the return value; excepInfo
    // (may be null) is filled only when the result is DISP_E_EXCEPTION; argErr (may be null) gets
    // the index into params.args of the offending argument only for DISP_E_TYPEMISMATCH,
    // DISP_E_OVERFLOW, DISP_E_PARAMNOTFOUND and DISP_E_PARAMNOTOPTIONAL. Other codes:
    // DISP_E_MEMBERNOTFOUND, DISP_E_BADPARAMCOUNT, DISP_E_NONAMEDARGS.
    virtual HRESULT Invoke(DISPID dispId, std::uint16_t flags, const DispParams& params,
                           Variant* result, ExcepInfo* excepInfo, std::uint32_t* argErr) = 0;
};

inline constexpr const Guid& IID_IDispatch = IDispatch::iid;

// Client helpers.

// Arguments in natural order, handed to Invoke reversed.
class DispArgs {
public:
    DispArgs() = default;
    DispArgs(std::initializer_list<Variant> natural) : reversed_(natural.begin(), natural.end()) {
        std::reverse(reversed_.begin(), reversed_.end());
    }
    explicit DispArgs(std::vector<Variant> natural) : reversed_(std::move(natural)) {
        std::reverse(reversed_.begin(), reversed_.end());
    }
    // The value of a property put, passed as the named DISPID_PROPERTYPUT argument.
    static DispArgs propertyPut(Variant value) {
        DispArgs a;
        a.reversed_.push_back(std::move(value));
        a.named_.push_back(DISPID_PROPERTYPUT);
        return a;
    }
    DispParams params() const { return {reversed_, named_}; }
    // The argument at natural position i.
    const Variant& operator[](std::size_t i) const { return reversed_[reversed_.size() - 1 - i]; }

private:
    std::vector<Variant> reversed_;
    std::vector<DISPID> named_;
};

// GetIDsOfNames for one name, then Invoke. A put passes the single argument as the named
// DISPID_PROPERTYPUT value. Returns what they return.
HRESULT invokeByName(IDispatch* object, std::string_view name, std::uint16_t flags,
                     const DispArgs& args, Variant* result, ExcepInfo* excepInfo = nullptr,
                     std::uint32_t* argErr = nullptr);

}  // namespace com
