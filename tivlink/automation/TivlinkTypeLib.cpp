#include "tivlink/automation/TivlinkTypeLib.h"

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>

#include "com/DispatchTable.h"
#include "tivlink/ITivDriver.h"
#include "tivlink/automation/TTivDriver.h"

namespace tivlink {

namespace {

// ---- dispatch thunks --------------------------------------------------------------------------

template <class>
inline constexpr bool kUnsupported = false;

// Argument i of a call in the C++ form the interface declares for it.
template <class A>
A Arg(com::DispCall& call, std::size_t i) {
    if constexpr (std::is_same_v<A, std::int32_t>)
        return call.lng(i);
    else if constexpr (std::is_same_v<A, std::int32_t*>)
        return &call.lng(i);
    else if constexpr (std::is_same_v<A, com::VARIANT_BOOL>)
        return call.boolean(i);
    else if constexpr (std::is_same_v<A, com::VARIANT_BOOL*>)
        return &call.boolean(i);
    else if constexpr (std::is_same_v<A, double>)
        return call.dbl(i);
    else if constexpr (std::is_same_v<A, double*>)
        return &call.dbl(i);
    else if constexpr (std::is_same_v<A, const std::string&>)
        return call.str(i);
    else if constexpr (std::is_same_v<A, std::string*>)
        return &call.str(i);
    else if constexpr (std::is_same_v<A, const com::Variant&>)
        return call.var(i);
    else if constexpr (std::is_same_v<A, com::Variant*>)
        return call.varPtr(i);
    else if constexpr (std::is_same_v<A, const char*>)
        return call.lpstr(i);
    else
        static_assert(kUnsupported<A>, "a parameter type the dispatch table cannot pass");
}

template <class... Args, std::size_t... I>
com::HRESULT CallMember(ITivDriver* object, com::HRESULT (ITivDriver::*member)(Args...),
                        com::DispCall& call, std::index_sequence<I...>) {
    return (object->*member)(Arg<Args>(call, I)...);
}

// Calls the member through the virtual table, so a late-bound call is the early-bound one.
template <auto Member>
com::HRESULT Thunk(void* self, com::DispCall& call) {
    auto* object = static_cast<ITivDriver*>(static_cast<TTivDriver*>(self));
    return
        []<class... Args>(ITivDriver* o, com::HRESULT (ITivDriver::*m)(Args...), com::DispCall& c) {
            return CallMember(o, m, c, std::index_sequence_for<Args...>{});
        }(object, Member, call);
}

// ---- the description --------------------------------------------------------------------------

#define TIV_DIR_in com::ParamDir::In
#define TIV_DIR_inout com::ParamDir::InOut
#define TIV_DIR_retval com::ParamDir::RetVal
#define TIV_TYPE_long com::AutoType::Long
#define TIV_TYPE_int com::AutoType::Int
#define TIV_TYPE_VARIANT_BOOL com::AutoType::Bool
#define TIV_TYPE_double com::AutoType::Double
#define TIV_TYPE_BSTR com::AutoType::BStr
#define TIV_TYPE_VARIANT com::AutoType::Variant
#define TIV_TYPE_VARIANT_PTR com::AutoType::VariantPtr
#define TIV_TYPE_LPSTR com::AutoType::LpStr
#define TIV_KIND_method com::MemberKind::Method
#define TIV_KIND_propget com::MemberKind::PropertyGet
#define TIV_KIND_propput com::MemberKind::PropertyPut
#define TIV_UNPACK(...) __VA_ARGS__

constexpr com::MemberDesc kMembers[] = {
// clang-format off
#define TIV_P(dir, type, name) com::ParamDesc{#name, TIV_DIR_##dir, TIV_TYPE_##type}
#define TIV_MEMBER(dispId, kind, name, params)                                    \
    com::MemberDesc{dispId, #name, TIV_KIND_##kind, {{TIV_UNPACK params}},         \
                    &Thunk<&ITivDriver::TIVLINK_NAME_##kind(name)>, {}},
// clang-format on
#include "tivlink/ITivDriverMembers.def"
};

constexpr com::MemberDesc kEvents[] = {
#define TIV_EVENT(id, name) com::MemberDesc{id, #name, com::MemberKind::Method, {}, nullptr, {}},
    TIVLINK_EVENTS(TIV_EVENT)
#undef TIV_EVENT
};

static_assert(std::size(kMembers) == 148);
static_assert(std::size(kEvents) == 15);

constexpr com::InterfaceDesc kITivDriver{"ITivDriver", IID_ITivDriver, com::InterfaceKind::Dual,
                                         "Dispatch-Schnittstelle für TivDriver-Objekt", kMembers};
constexpr com::InterfaceDesc kITivDriverEvents{
    "ITivDriverEvents", DIID_ITivDriverEvents, com::InterfaceKind::DispInterface,
    "Ereignis-Schnittstelle für TivDriver-Objekt", kEvents};

constexpr com::CoClassInterface kCoClassInterfaces[] = {
    {&kITivDriver, true, false},
    {&kITivDriverEvents, true, true},
};
constexpr com::CoClassDesc kCoClasses[] = {
    {"TivDriver", CLSID_TivDriver, "TivDriver Objekt", true, kCoClassInterfaces},
};
constexpr std::string_view kImports[] = {"stdole2"};
constexpr const com::InterfaceDesc* kInterfaces[] = {&kITivDriver, &kITivDriverEvents};
constexpr com::TypeLibDesc kTypeLib{"Tivlink",        LIBID_Tivlink,   kTivlinkLibMajor,
                                    kTivlinkLibMinor, kTivlinkLibLcid, "Tivlink Bibliothek",
                                    kImports,         kInterfaces,     kCoClasses};

}  // namespace

const com::InterfaceDesc& ITivDriverDesc() {
    return kITivDriver;
}

const com::InterfaceDesc& ITivDriverEventsDesc() {
    return kITivDriverEvents;
}

const com::CoClassDesc& TivDriverCoClassDesc() {
    return kCoClasses[0];
}

const com::TypeLibDesc& TivlinkTypeLib() {
    return kTypeLib;
}

}  // namespace tivlink
