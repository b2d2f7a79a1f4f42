#pragma once

// The pages' class identities. All five are fixed so that the DTM's ActiveX information can
// name them; the classes the module carries are listed by ControlClassEntries().

#include <span>
#include <string_view>

#include "com/Guid.h"
#include "com/ServerModule.h"

namespace tivmate::ui {

inline constexpr com::Guid CLSID_ctlAbout = com::makeGuid("{9C77317F-D341-4A48-99AC-8374DCF62757}");
inline constexpr com::Guid CLSID_ctlOfflineParam =
    com::makeGuid("{B41831EB-FAD0-4B78-A92A-C573722E7A0B}");
inline constexpr com::Guid CLSID_ctlDiagnosis =
    com::makeGuid("{78A750D8-3D2F-485D-B0D6-623EF7BC435B}");
inline constexpr com::Guid CLSID_ctlMonitor =
    com::makeGuid("{69FDD6F9-D4AB-4692-92FF-0BC812CDF7FE}");
inline constexpr com::Guid CLSID_ctlTest = com::makeGuid("{C50A7BDA-F38C-4EF1-AF6F-AD929441727B}");

inline constexpr std::string_view kCtlAboutProgId = "Tivmate.ctlAbout";
inline constexpr std::string_view kCtlOfflineParamProgId = "Tivmate.ctlOfflineParam";
inline constexpr std::string_view kCtlDiagnosisProgId = "Tivmate.ctlDiagnosis";
inline constexpr std::string_view kCtlMonitorProgId = "Tivmate.ctlMonitor";
inline constexpr std::string_view kCtlTestProgId = "Tivmate.ctlTest";

com::HRESULT CreateCtlAbout(const com::Guid& iid, void** out) noexcept;
com::HRESULT CreateCtlOfflineParam(const com::Guid& iid, void** out) noexcept;
com::HRESULT CreateCtlDiagnosis(const com::Guid& iid, void** out) noexcept;
com::HRESULT CreateCtlMonitor(const com::Guid& iid, void** out) noexcept;
com::HRESULT CreateCtlTest(const com::Guid& iid, void** out) noexcept;

// Class entries of the pages built so far, for the module's class table.
#define TIVMATE_UI_CLASS_ENTRIES                                                        \
    {::tivmate::ui::CLSID_ctlAbout,                                                     \
     ::tivmate::ui::kCtlAboutProgId,                                                    \
     "Tivmate ctlAbout",                                                                \
     "Apartment",                                                                       \
     &::tivmate::ui::CreateCtlAbout,                                                    \
     nullptr,                                                                           \
     "1.0"},                                                                            \
        {::tivmate::ui::CLSID_ctlOfflineParam,                                          \
         ::tivmate::ui::kCtlOfflineParamProgId,                                         \
         "Tivmate ctlOfflineParam",                                                     \
         "Apartment",                                                                   \
         &::tivmate::ui::CreateCtlOfflineParam,                                         \
         nullptr,                                                                       \
         "1.0"},                                                                        \
        {::tivmate::ui::CLSID_ctlDiagnosis,                                             \
         ::tivmate::ui::kCtlDiagnosisProgId,                                            \
         "Tivmate ctlDiagnosis",                                                        \
         "Apartment",                                                                   \
         &::tivmate::ui::CreateCtlDiagnosis,                                            \
         nullptr,                                                                       \
         "1.0"},                                                                        \
        {::tivmate::ui::CLSID_ctlMonitor,                                               \
         ::tivmate::ui::kCtlMonitorProgId,                                              \
         "Tivmate ctlMonitor",                                                          \
         "Apartment",                                                                   \
         &::tivmate::ui::CreateCtlMonitor,                                              \
         nullptr,                                                                       \
         "1.0"},                                                                        \
    {                                                                                   \
        ::tivmate::ui::CLSID_ctlTest, ::tivmate::ui::kCtlTestProgId, "Tivmate ctlTest", \
            "Apartment", &::tivmate::ui::CreateCtlTest, nullptr, "1.0"                  \
    }

}  // namespace tivmate::ui
