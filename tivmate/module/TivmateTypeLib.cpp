#include "module/TivmateTypeLib.h"

#include <string_view>

#include "com/DispatchThunk.h"
#include "com/MemberTable.h"
#include "module/DTMMain.h"

namespace tivmate {

namespace {

constexpr com::MemberDesc kMembers[] = {
// clang-format off
#define TIV_P(dir, type, name) TIV_COM_PARAM(dir, type, name)
#define TIV_MEMBER(dispId, kind, name, params)                                      \
    com::MemberDesc{dispId, #name, TIV_COM_KIND(kind), {{TIV_COM_UNPACK params}},    \
                    &com::memberThunk<DTMMain, &_DTMMain::TIV_COM_NAME(kind, name)>, {}},
// clang-format on
#include "tivmate/DTMMainMembers.def"
};

constexpr com::InterfaceDesc kDTMMain{"_DTMMain", IID__DTMMain, com::InterfaceKind::Dual,
                                      "Default interface of DTMMain", kMembers};

constexpr com::CoClassInterface kCoClassInterfaces[] = {
    {&kDTMMain, true, false},
    {&fdt::IDtmDescription::desc, false, false},
    {&fdt::IDtmInformationDescription::desc, false, false},
    {&fdt::IFdtEventsDescription::desc, false, false},
    {&fdt::IDtmActiveXInformationDescription::desc, false, false},
    {&fdt::IDtmDocumentationDescription::desc, false, false},
    {&fdt::IDtmChannelDescription::desc, false, false},
    {&fdt::IFdtChannelDescription::desc, false, false},
    {&fdt::IFdtChannelSubTopologyDescription::desc, false, false},
    {&fdt::IDtmParameterDescription::desc, false, false},
    {&fdt::IFdtCommunicationDescription::desc, false, false},
};
constexpr com::CoClassDesc kCoClasses[] = {
    {"DTMMain", CLSID_DTMMain, "Tivmate communication DTM", true, kCoClassInterfaces},
};
constexpr std::string_view kImports[] = {"stdole2"};
constexpr const com::InterfaceDesc* kInterfaces[] = {&kDTMMain,
                                                     &fdt::IDtmDescription::desc,
                                                     &fdt::IDtmInformationDescription::desc,
                                                     &fdt::IFdtEventsDescription::desc,
                                                     &fdt::IDtmActiveXInformationDescription::desc,
                                                     &fdt::IDtmDocumentationDescription::desc,
                                                     &fdt::IDtmChannelDescription::desc,
                                                     &fdt::IFdtChannelDescription::desc,
                                                     &fdt::IFdtChannelSubTopologyDescription::desc,
                                                     &fdt::IDtmParameterDescription::desc,
                                                     &fdt::IFdtCommunicationDescription::desc};
constexpr com::TypeLibDesc kTypeLib{"Tivmate",        LIBID_Tivmate,   kTivmateLibMajor,
                                    kTivmateLibMinor, kTivmateLibLcid, "Tivmate library",
                                    kImports,         kInterfaces,     kCoClasses};

}  // namespace

const com::InterfaceDesc& DTMMain::interfaceDesc() {
    return kDTMMain;
}

const com::InterfaceDesc& DTMMainDesc() {
    return kDTMMain;
}

const com::TypeLibDesc& TivmateTypeLib() {
    return kTypeLib;
}

}  // namespace tivmate
