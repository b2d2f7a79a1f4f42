#include "tivlink/automation/TivlinkTypeLib.h"

#include <cstddef>
#include <string>

#include "com/DispatchTable.h"
#include "com/DispatchThunk.h"
#include "com/MemberTable.h"
#include "tivlink/ITivDriver.h"
#include "tivlink/automation/TTivDriver.h"

namespace tivlink {

namespace {

constexpr com::MemberDesc kMembers[] = {
// clang-format off
#define TIV_P(dir, type, name) TIV_COM_PARAM(dir, type, name)
#define TIV_MEMBER(dispId, kind, name, params)                                         \
    com::MemberDesc{dispId, #name, TIV_COM_KIND(kind), {{TIV_COM_UNPACK params}},       \
                    &com::memberThunk<TTivDriver, &ITivDriver::TIV_COM_NAME(kind, name)>, {}},
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
