#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "com/IDispatch.h"
#include "com/TypeInfo.h"

namespace com {

// The arguments of one call as the member's thunk sees them, indexed by parameter position in
// declaration order (the retval is the last index). In parameters hold the argument already
// converted to the declared type; Out, InOut and RetVal parameters are variables whose value is
// written back to the caller when the thunk succeeds. Accessors check the declared type and
// throw std::logic_error on a mismatch (a table bug; Invoke reports it as E_UNEXPECTED).
//
//   HRESULT (void* self, DispCall& c) {
//       return static_cast<Driver*>(self)->ReadData(c.lng(0), &c.lng(1), c.varPtr(2), &c.lng(3));
//   }
class DispCall {
public:
    DispCall() = default;
    DispCall(const DispCall&) = delete;
    DispCall& operator=(const DispCall&) = delete;

    const MemberDesc& member() const { return *member_; }

    std::int32_t& lng(std::size_t i);      // Long, Int
    std::int16_t& i2(std::size_t i);       // Short
    std::uint8_t& ui1(std::size_t i);      // Byte
    VARIANT_BOOL& boolean(std::size_t i);  // Bool
    double& dbl(std::size_t i);            // Double
    std::string& str(std::size_t i);       // BStr, LpStr
    const char* lpstr(std::size_t i);      // LpStr as the pointer the interface takes
    Variant& var(std::size_t i);           // Variant
    // VariantPtr, and Variant in/out: the caller's own variant when the argument was
    // VT_BYREF|VT_VARIANT, else a copy of the argument.
    Variant* varPtr(std::size_t i);
    // Dispatch / Unknown. The call holds a reference to what is stored here and releases it
    // when it ends; a member storing an out value hands over a reference it took.
    IDispatch*& dispatch(std::size_t i);
    IUnknown*& unknown(std::size_t i);
    // An optional parameter the caller left out: its value is Variant::missing(), and what the
    // member writes to it is dropped.
    bool isMissing(std::size_t i) const;

private:
    friend class DispatchTable;
    struct Slot {
        Slot() = default;
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;
        ~Slot();

        std::int32_t l = 0;
        std::int16_t i2 = 0;
        std::uint8_t u8 = 0;
        VARIANT_BOOL b = 0;
        double d = 0;
        std::string s;
        Variant v;
        Variant* target = nullptr;  // the caller's variant for by-reference variants
        IDispatch* disp = nullptr;  // owned
        IUnknown* unk = nullptr;    // owned
        bool missing = false;
    };
    Slot& slot(std::size_t i, AutoType a, AutoType b = AutoType::None);
    const Slot& anySlot(std::size_t i) const;

    const MemberDesc* member_ = nullptr;
    std::array<Slot, kMaxParams> slots_{};
};

// IDispatch over a static member table. Lookups are linear over the table (a few hundred
// entries at most); nothing is allocated to build it, so tables can be constexpr.
//
// Invoke: finds the member by dispatch id and kind (DISPATCH_PROPERTYPUTREF -> the put-ref, else
// with DISPATCH_PROPERTYPUT also set -> the put; DISPATCH_PROPERTYPUT -> the put;
// DISPATCH_METHOD -> the method, else with DISPATCH_PROPERTYGET also set -> the getter;
// DISPATCH_PROPERTYGET -> the getter), checks the argument count (the retval is not passed,
// optional parameters may be left out), takes named arguments by parameter position (a put's
// value as DISPID_PROPERTYPUT or positional), treats an optional parameter without an argument
// or with Variant::missing() as missing (a required one gives DISP_E_PARAMNOTOPTIONAL),
// converts In arguments with ChangeType, runs the thunk, then writes Out / InOut
// values through by-reference arguments (converted to the referenced type) and the retval
// into *result. Arguments passed by value for Out / InOut parameters are accepted; what the
// member writes to them is dropped. A thunk that returns a failure gives DISP_E_EXCEPTION with
// excepInfo->scode = that failure and source / description from the thread's error info (which
// is taken), or the failure's text when none is set. A thunk that throws ComError is treated
// like one returning its code with its description; any other exception like E_UNEXPECTED.
class DispatchTable {
public:
    constexpr explicit DispatchTable(std::span<const MemberDesc> members) : members_(members) {}
    constexpr explicit DispatchTable(const InterfaceDesc& itf) : members_(itf.members) {}

    std::span<const MemberDesc> members() const { return members_; }
    const MemberDesc* find(DISPID id, MemberKind kind) const;
    // The first member with the name, without regard to case.
    const MemberDesc* findByName(std::string_view name) const;

    HRESULT getIDsOfNames(std::span<const std::string_view> names, DISPID* ids) const;
    HRESULT invoke(void* self, DISPID id, std::uint16_t flags, const DispParams& params,
                   Variant* result, ExcepInfo* excepInfo, std::uint32_t* argErr) const;

    // Table consistency: unique (dispId, kind), one dispId per name, retval last and only
    // once, getters with a retval, puts with one In parameter. Empty when fine, else the first
    // problem.
    std::string validate() const;

private:
    std::span<const MemberDesc> members_;
};

// IDispatch for a class from its interface description:
//   class Driver : public com::ComObject<Driver, com::DispatchImpl<Driver, ITivDriver>, ...>
// with
//   static const com::InterfaceDesc& interfaceDesc();   // members with thunks taking Driver*
// `Interface` is the dual interface (or IDispatch itself for a sink). The thunks receive
// static_cast<Derived*>(this) as `self`.
template <class Derived, class Interface>
class DispatchImpl : public Interface {
public:
    using Implemented = Interface;  // what ComObject's QueryInterface hands out

    HRESULT GetTypeInfoCount(std::uint32_t* count) override {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    HRESULT GetTypeInfo(std::uint32_t index, LCID, const InterfaceDesc** info) override {
        if (!info) return E_POINTER;
        *info = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        *info = &Derived::interfaceDesc();
        return S_OK;
    }
    HRESULT GetIDsOfNames(std::span<const std::string_view> names, LCID, DISPID* ids) override {
        return DispatchTable(Derived::interfaceDesc()).getIDsOfNames(names, ids);
    }
    HRESULT Invoke(DISPID dispId, std::uint16_t flags, const DispParams& params, Variant* result,
                   ExcepInfo* excepInfo, std::uint32_t* argErr) override {
        return DispatchTable(Derived::interfaceDesc())
            .invoke(static_cast<Derived*>(this), dispId, flags, params, result, excepInfo, argErr);
    }
};

}  // namespace com
