#pragma once

// Dual interfaces written once as member lists. A list is a macro taking X (a member) and
// P (a parameter), in the vocabulary of com/MemberTable.h:
//
//   #define FDT_MEMBERS_IFoo(X, P)
//       X(IFoo, 1, method, Bar, (P(in, BSTR, text), P(retval, VARIANT_BOOL, result)))
//   FDT_DUAL_INTERFACE(IFoo, FDT_MEMBERS_IFoo)
//
// gives the C++ interface IFoo (iid fdt::IID_IFoo, pure virtual members in list order),
// IFoo::Table<Impl>::desc, its dispatch description calling Impl through the virtual table, and
// IFooDescription::desc, the description alone.
// fdt::DualImpl<Impl, IFoo> is the IDispatch of that interface inside a class implementing
// several: each dual interface of an object dispatches its own members.

#include <cstdint>
#include <string_view>

#include "com/DispatchTable.h"
#include "com/DispatchThunk.h"
#include "com/IDispatch.h"
#include "com/MemberTable.h"
#include "fdt/FdtIds.h"

#define FDT_CPP_PARAM(dir, type, name) TIV_COM_CT(dir, type) name
#define FDT_DECLARE(itf, id, kind, name, params) \
    virtual ::com::HRESULT TIV_COM_NAME(kind, name) params = 0;
#define FDT_DESCRIBE(itf, id, kind, name, params)                                \
    ::com::MemberDesc{id,                                                        \
                      #name,                                                     \
                      TIV_COM_KIND(kind),                                        \
                      {{TIV_COM_UNPACK params}},                                 \
                      &::com::memberThunk<Impl, &itf::TIV_COM_NAME(kind, name)>, \
                      {}},

#define FDT_DESCRIBE_ONLY(itf, id, kind, name, params) \
    ::com::MemberDesc{id, #name, TIV_COM_KIND(kind), {{TIV_COM_UNPACK params}}, nullptr, {}},

#define FDT_DUAL_INTERFACE(Name, Members)                                                          \
    class Name : public ::com::IDispatch {                                                         \
    public:                                                                                        \
        static constexpr ::com::Guid iid = ::fdt::IID_##Name;                                      \
        using Base = ::com::IDispatch;                                                             \
        Members(FDT_DECLARE, FDT_CPP_PARAM) template <class Impl>                                  \
        struct Table {                                                                             \
            static constexpr ::com::MemberDesc members[] = {Members(FDT_DESCRIBE, TIV_COM_PARAM)}; \
            static constexpr ::com::InterfaceDesc desc{                                            \
                #Name, ::fdt::IID_##Name, ::com::InterfaceKind::Dual, {}, members};                \
        };                                                                                         \
    };                                                                                             \
    /* The same without calls: for type libraries, clients and checks. */                          \
    struct Name##Description {                                                                     \
        static constexpr ::com::MemberDesc members[] = {                                           \
            Members(FDT_DESCRIBE_ONLY, TIV_COM_PARAM)};                                            \
        static constexpr ::com::InterfaceDesc desc{                                                \
            #Name, ::fdt::IID_##Name, ::com::InterfaceKind::Dual, {}, members};                    \
    }

namespace fdt {

template <class Derived, class Interface>
class DualImpl : public Interface {
public:
    using Implemented = Interface;

    static const com::InterfaceDesc& dualDesc() { return Interface::template Table<Derived>::desc; }

    com::HRESULT GetTypeInfoCount(std::uint32_t* count) override {
        if (!count) return com::E_POINTER;
        *count = 1;
        return com::S_OK;
    }
    com::HRESULT GetTypeInfo(std::uint32_t index, com::LCID,
                             const com::InterfaceDesc** info) override {
        if (!info) return com::E_POINTER;
        *info = nullptr;
        if (index != 0) return com::DISP_E_BADINDEX;
        *info = &dualDesc();
        return com::S_OK;
    }
    com::HRESULT GetIDsOfNames(std::span<const std::string_view> names, com::LCID,
                               com::DISPID* ids) override {
        return com::DispatchTable(dualDesc()).getIDsOfNames(names, ids);
    }
    com::HRESULT Invoke(com::DISPID dispId, std::uint16_t flags, const com::DispParams& params,
                        com::Variant* result, com::ExcepInfo* excepInfo,
                        std::uint32_t* argErr) override {
        return com::DispatchTable(dualDesc())
            .invoke(static_cast<Derived*>(this), dispId, flags, params, result, excepInfo, argErr);
    }
};

}  // namespace fdt
