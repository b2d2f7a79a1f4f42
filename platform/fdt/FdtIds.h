#pragma once

// Identifiers of the FDT 1.2 interfaces and classes the DTM implements or calls, of the
// persistence interfaces, and of Tivmate's own control-side interfaces. Ids the FDT standard
// gives are written as given; the ones marked "local" are fixed ids of our own for interfaces
// whose standard id we do not carry. Nothing on this platform depends on their values except
// that they stay fixed.

#include "com/Guid.h"

namespace fdt {

// FDT 1.2, as given.
inline constexpr com::Guid IID_IFdtContainer =
    com::makeGuid("{036D1487-387B-11D4-86E1-00E0987270B9}");
inline constexpr com::Guid IID_IFdtCommunicationEvents =
    com::makeGuid("{036D1485-387B-11D4-86E1-00E0987270B9}");
inline constexpr com::Guid IID_IDtmActiveXControl =
    com::makeGuid("{036D1486-387B-11D4-86E1-00E0987270B9}");
inline constexpr com::Guid IID_IDtmEvents = com::makeGuid("{F15BA42E-BBF1-42ED-8009-7F664A002CFB}");
// The frame's channel collection component; kept as the identity of ours.
inline constexpr com::Guid CLSID_FdtChannelCollection =
    com::makeGuid("{1383CB25-24C0-44B2-92FC-946C4019BBE3}");

// FDT 1.2 interfaces: local.
inline constexpr com::Guid IID_IDtm = com::makeGuid("{0C1A543F-61EA-42DD-8AF5-6F43284C1159}");
inline constexpr com::Guid IID_IDtmInformation =
    com::makeGuid("{575006A9-B911-4E96-9A0D-4B61FBC0E83F}");
inline constexpr com::Guid IID_IFdtEvents = com::makeGuid("{F0BB9269-7DF8-4573-95B4-1D4658DEA010}");
inline constexpr com::Guid IID_IDtmActiveXInformation =
    com::makeGuid("{EE55D579-FD4B-4B36-B31E-CA3F20159D9C}");
inline constexpr com::Guid IID_IFdtCommunication =
    com::makeGuid("{B071391F-557B-4883-A968-AF75D7B2C6E1}");
inline constexpr com::Guid IID_IDtmDocumentation =
    com::makeGuid("{9C7044EB-F11E-4C30-9F88-52C1FA3B8E60}");
inline constexpr com::Guid IID_IDtmChannel =
    com::makeGuid("{9D867787-E994-44E1-8A2B-82937406505E}");
inline constexpr com::Guid IID_IFdtChannel =
    com::makeGuid("{BCB5E18A-0F8C-43E1-8F36-7D69DE68F22C}");
inline constexpr com::Guid IID_IFdtChannelSubTopology =
    com::makeGuid("{EE2E4F42-320D-4BF8-B6DE-7EB2330DAA3D}");
inline constexpr com::Guid IID_IDtmParameter =
    com::makeGuid("{0982976B-8E14-4F88-ABA5-F725CD2589A7}");
inline constexpr com::Guid IID_IFdtChannelCollection =
    com::makeGuid("{205CAB57-5178-42BC-8DAE-B58B4FB5B5E6}");

// Persistence, with their standard ids.
inline constexpr com::Guid IID_IPersist = com::makeGuid("{0000010C-0000-0000-C000-000000000046}");
inline constexpr com::Guid IID_IPersistPropertyBag =
    com::makeGuid("{37D84F60-42CB-11CE-8135-00AA004BB851}");
inline constexpr com::Guid IID_IPropertyBag =
    com::makeGuid("{55272A00-42CB-11CE-8135-00AA004BB851}");
inline constexpr com::Guid IID_IErrorLog = com::makeGuid("{3127CA40-446E-11CE-8135-00AA004BB851}");
// Our in-memory property bag: local.
inline constexpr com::Guid CLSID_PropertyBag =
    com::makeGuid("{6D05B802-3229-4F2C-82EE-5E9682B8B38E}");

// Tivmate's control-side interfaces: local.
inline constexpr com::Guid IID_IActiveXGUI =
    com::makeGuid("{DC6C7AB3-775A-4168-8F05-489680BDB934}");
inline constexpr com::Guid IID_IOfflineParamView =
    com::makeGuid("{A3D48A77-F897-439C-91D6-B3CF7D6DAB49}");
inline constexpr com::Guid IID_IDiagnosisView =
    com::makeGuid("{D2009D32-1636-4928-B03E-C88409ACC2DB}");
inline constexpr com::Guid IID_IMonitorView =
    com::makeGuid("{C57C1B68-4061-4994-9666-AD05109D1B77}");
inline constexpr com::Guid IID_ITestView = com::makeGuid("{5E2B9A41-7C3D-4F86-9B0E-2A1D6C8F4E37}");
inline constexpr com::Guid IID_IControlCaptions =
    com::makeGuid("{30E0C8C5-3C73-433E-A1C6-AC52D7F36969}");
inline constexpr com::Guid IID_IActiveXWidget =
    com::makeGuid("{7F3B2C61-9E4D-4A8B-B1C5-0D6E2F4A8C13}");

}  // namespace fdt
