#pragma once

// The vocabulary of interface member tables written once as an X-macro file, one line a member:
//
//   TIV_MEMBER(dispId, kind, Name, (TIV_P(direction, type, name), ...))
//     kind       method | propget | propput | propputref
//     direction  in | inout | retval, and for VARIANT and VARIANT_PTR also optin and optinout
//                (optional)
//     type       long | int | short | BYTE | VARIANT_BOOL | double | BSTR | VARIANT
//                | VARIANT_PTR (VARIANT*) | LPSTR | IDispatch | IUnknown
//
// From one file an interface header makes the pure virtual members, with
//   TIV_P(dir, type, name)              TIV_COM_CT(dir, type) name
//   TIV_MEMBER(id, kind, name, params)  virtual com::HRESULT TIV_COM_NAME(kind, name) params = 0;
// and the implementation its dispatch table (com::memberThunk, DispatchThunk.h), with
//   TIV_P(dir, type, name)              TIV_COM_PARAM(dir, type, name)
//   TIV_MEMBER(id, kind, name, params)  com::MemberDesc{id, #name, TIV_COM_KIND(kind),
//       {{TIV_COM_UNPACK params}}, &com::memberThunk<Impl, &Itf::TIV_COM_NAME(kind, name)>},
// Optional parameters follow the required ones; a left-out one reaches the C++ member as
// Variant::missing().

#include <cstdint>
#include <string>

#include "com/IDispatch.h"
#include "com/TypeInfo.h"
#include "com/Variant.h"

#define TIV_COM_UNPACK(...) __VA_ARGS__

// C++ parameter types (direction_type).
#define TIV_COM_CT(dir, type) TIV_COM_CT_##dir##_##type
#define TIV_COM_CT_in_long std::int32_t
#define TIV_COM_CT_in_int std::int32_t
#define TIV_COM_CT_in_short std::int16_t
#define TIV_COM_CT_in_BYTE std::uint8_t
#define TIV_COM_CT_in_VARIANT_BOOL ::com::VARIANT_BOOL
#define TIV_COM_CT_in_double double
#define TIV_COM_CT_in_BSTR const std::string&
#define TIV_COM_CT_in_VARIANT const ::com::Variant&
#define TIV_COM_CT_in_VARIANT_PTR ::com::Variant*
#define TIV_COM_CT_in_LPSTR const char*
#define TIV_COM_CT_in_IDispatch ::com::IDispatch*
#define TIV_COM_CT_in_IUnknown ::com::IUnknown*
#define TIV_COM_CT_inout_long std::int32_t*
#define TIV_COM_CT_inout_int std::int32_t*
#define TIV_COM_CT_inout_short std::int16_t*
#define TIV_COM_CT_inout_BYTE std::uint8_t*
#define TIV_COM_CT_inout_VARIANT_BOOL ::com::VARIANT_BOOL*
#define TIV_COM_CT_inout_double double*
#define TIV_COM_CT_inout_BSTR std::string*
#define TIV_COM_CT_inout_VARIANT ::com::Variant*
#define TIV_COM_CT_inout_IDispatch ::com::IDispatch**
#define TIV_COM_CT_inout_IUnknown ::com::IUnknown**
#define TIV_COM_CT_optin_VARIANT TIV_COM_CT_in_VARIANT
#define TIV_COM_CT_optin_VARIANT_PTR TIV_COM_CT_in_VARIANT_PTR
#define TIV_COM_CT_optinout_VARIANT TIV_COM_CT_inout_VARIANT
#define TIV_COM_CT_retval_long TIV_COM_CT_inout_long
#define TIV_COM_CT_retval_int TIV_COM_CT_inout_int
#define TIV_COM_CT_retval_short TIV_COM_CT_inout_short
#define TIV_COM_CT_retval_BYTE TIV_COM_CT_inout_BYTE
#define TIV_COM_CT_retval_VARIANT_BOOL TIV_COM_CT_inout_VARIANT_BOOL
#define TIV_COM_CT_retval_double TIV_COM_CT_inout_double
#define TIV_COM_CT_retval_BSTR TIV_COM_CT_inout_BSTR
#define TIV_COM_CT_retval_VARIANT TIV_COM_CT_inout_VARIANT
#define TIV_COM_CT_retval_IDispatch TIV_COM_CT_inout_IDispatch
#define TIV_COM_CT_retval_IUnknown TIV_COM_CT_inout_IUnknown

// The C++ name of a member by its kind.
#define TIV_COM_NAME(kind, name) TIV_COM_NAME_##kind(name)
#define TIV_COM_NAME_method(name) name
#define TIV_COM_NAME_propget(name) get_##name
#define TIV_COM_NAME_propput(name) put_##name
#define TIV_COM_NAME_propputref(name) putref_##name

// The description of a parameter and of a member's kind.
#define TIV_COM_PARAM(dir, type, name)                                   \
    ::com::ParamDesc {                                                   \
#name, TIV_COM_DIR_##dir, TIV_COM_TYPE_##type, TIV_COM_OPT_##dir \
    }
#define TIV_COM_KIND(kind) TIV_COM_KIND_##kind
#define TIV_COM_DIR_in ::com::ParamDir::In
#define TIV_COM_DIR_optin ::com::ParamDir::In
#define TIV_COM_DIR_inout ::com::ParamDir::InOut
#define TIV_COM_DIR_optinout ::com::ParamDir::InOut
#define TIV_COM_DIR_retval ::com::ParamDir::RetVal
#define TIV_COM_OPT_in false
#define TIV_COM_OPT_optin true
#define TIV_COM_OPT_inout false
#define TIV_COM_OPT_optinout true
#define TIV_COM_OPT_retval false
#define TIV_COM_TYPE_long ::com::AutoType::Long
#define TIV_COM_TYPE_int ::com::AutoType::Int
#define TIV_COM_TYPE_short ::com::AutoType::Short
#define TIV_COM_TYPE_BYTE ::com::AutoType::Byte
#define TIV_COM_TYPE_VARIANT_BOOL ::com::AutoType::Bool
#define TIV_COM_TYPE_double ::com::AutoType::Double
#define TIV_COM_TYPE_BSTR ::com::AutoType::BStr
#define TIV_COM_TYPE_VARIANT ::com::AutoType::Variant
#define TIV_COM_TYPE_VARIANT_PTR ::com::AutoType::VariantPtr
#define TIV_COM_TYPE_LPSTR ::com::AutoType::LpStr
#define TIV_COM_TYPE_IDispatch ::com::AutoType::Dispatch
#define TIV_COM_TYPE_IUnknown ::com::AutoType::Unknown
#define TIV_COM_KIND_method ::com::MemberKind::Method
#define TIV_COM_KIND_propget ::com::MemberKind::PropertyGet
#define TIV_COM_KIND_propput ::com::MemberKind::PropertyPut
#define TIV_COM_KIND_propputref ::com::MemberKind::PropertyPutRef
