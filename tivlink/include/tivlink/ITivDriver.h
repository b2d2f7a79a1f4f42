#pragma once

// The driver's automation interface as clients bind to it: the identities of the type library,
// the class and its two interfaces, the dual interface ITivDriver (its members come from
// ITivDriverMembers.def) and the event interface ITivDriverEvents. Depends on the COM runtime
// only; a client never needs a driver header besides this one.

#include <cstdint>
#include <string>
#include <string_view>

#include "com/Guid.h"
#include "com/HResult.h"
#include "com/IDispatch.h"
#include "com/MemberTable.h"
#include "com/Variant.h"
#include "tivlink/TivEvents.h"
#include "tivlink/TivResults.h"

namespace tivlink {

inline constexpr com::Guid LIBID_Tivlink = com::makeGuid("{1F34840A-D156-48B0-922C-8A30A1E411E1}");
inline constexpr std::uint16_t kTivlinkLibMajor = 1;
inline constexpr std::uint16_t kTivlinkLibMinor = 0;
inline constexpr std::uint32_t kTivlinkLibLcid = 0x409;

inline constexpr com::Guid IID_ITivDriver = com::makeGuid("{4FE53426-F8C8-4FFF-8302-A9EDB94EB0C4}");
inline constexpr com::Guid DIID_ITivDriverEvents =
    com::makeGuid("{2689F981-3E2B-4650-9F69-C18B1463CD4F}");
inline constexpr com::Guid CLSID_TivDriver =
    com::makeGuid("{FEC124C9-0C9D-4A6D-AB91-02A18CCA2A21}");
inline constexpr std::string_view kTivDriverProgId = "Tivlink.TivDriver";

}  // namespace tivlink

namespace tivlink {

// The driver's dual interface. Every member returns S_OK or a failure with the thread's error
// info set (source "Tivlink.TivDriver"); outcomes that are not failures travel in the result.
class ITivDriver : public com::IDispatch {
public:
    static constexpr com::Guid iid = IID_ITivDriver;
    using Base = com::IDispatch;

#define TIV_P(dir, type, name) TIV_COM_CT(dir, type) name
#define TIV_MEMBER(dispId, kind, name, params) \
    virtual com::HRESULT TIV_COM_NAME(kind, name) params = 0;
#include "tivlink/ITivDriverMembers.def"
};

// The outgoing interface: dispatch only, every event without arguments or result.
class ITivDriverEvents : public com::IDispatch {
public:
    static constexpr com::Guid iid = DIID_ITivDriverEvents;
    using Base = com::IDispatch;
};

enum class TivDriverEvent : com::DISPID {
#define TIVLINK_EVENT_ENUM(id, name) name = id,
    TIVLINK_EVENTS(TIVLINK_EVENT_ENUM)
#undef TIVLINK_EVENT_ENUM
};

struct TivDriverEventInfo {
    com::DISPID dispId;
    std::string_view name;
};

inline constexpr TivDriverEventInfo kTivDriverEvents[] = {
#define TIVLINK_EVENT_INFO(id, name) {id, #name},
    TIVLINK_EVENTS(TIVLINK_EVENT_INFO)
#undef TIVLINK_EVENT_INFO
};

// The event's name, empty for an id that is none.
constexpr std::string_view TivDriverEventName(com::DISPID dispId) {
    for (const auto& e : kTivDriverEvents)
        if (e.dispId == dispId) return e.name;
    return {};
}

}  // namespace tivlink
