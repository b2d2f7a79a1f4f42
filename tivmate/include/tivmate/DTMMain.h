#pragma once

// The DTM's automation interface as clients bind to it: the identities of its type library and
// class, and the default dual interface _DTMMain (members from DTMMainMembers.def). A frame
// reaches the FDT interfaces of the same object through platform/fdt. Depends on the COM
// runtime only.

#include <cstdint>
#include <string_view>

#include "com/Guid.h"
#include "com/HResult.h"
#include "com/IDispatch.h"
#include "com/MemberTable.h"
#include "com/Variant.h"

namespace tivmate {

inline constexpr com::Guid LIBID_Tivmate = com::makeGuid("{5B0E8D63-4C7A-4E1B-9B52-2F6A0C1D7E94}");
inline constexpr std::uint16_t kTivmateLibMajor = 1;
inline constexpr std::uint16_t kTivmateLibMinor = 0;
inline constexpr std::uint32_t kTivmateLibLcid = 0x409;

inline constexpr com::Guid IID__DTMMain = com::makeGuid("{8E2C41D7-93B5-4F0A-A6C8-71D3E5B90F26}");
inline constexpr com::Guid CLSID_DTMMain = com::makeGuid("{C4A7F1E2-5D38-4B96-8E0F-3A91B26D5C47}");
inline constexpr std::string_view kDTMMainProgId = "Tivmate.DTMMain";

// The status colours, COLORREF (0x00BBGGRR).
constexpr std::int32_t RGB(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return static_cast<std::int32_t>(r | (g << 8) | (b << 16));
}
inline constexpr std::int32_t kColorRed = RGB(255, 0, 0);
inline constexpr std::int32_t kColorGreen = RGB(78, 162, 78);
inline constexpr std::int32_t kColorOrange = RGB(255, 146, 0);
// The FDT interface lines of the monitor: &HFF0000.
inline constexpr std::int32_t kColorBlue = 0xFF0000;

// The default interface of DTMMain. Members return S_OK, or a failure with the thread's error
// info set (source "Tivmate.DTMMain").
class _DTMMain : public com::IDispatch {
public:
    static constexpr com::Guid iid = IID__DTMMain;
    using Base = com::IDispatch;

#define TIV_P(dir, type, name) TIV_COM_CT(dir, type) name
#define TIV_MEMBER(dispId, kind, name, params) \
    virtual com::HRESULT TIV_COM_NAME(kind, name) params = 0;
#include "tivmate/DTMMainMembers.def"
};

}  // namespace tivmate
