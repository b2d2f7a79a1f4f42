// DTMMain: the documents the frame asks for (parameters, documentation) and the controls it
// offers per function.

#include <array>
#include <utility>

#include "com/CoCreate.h"
#include "com/ErrorInfo.h"
#include "core/Trace.h"
#include "module/DTMMain.h"
#include "module/Guarded.h"

namespace tivmate {

namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 5> kControls = {{
    {"10", "Tivmate.ctlOfflineParam"},
    {"20", "Tivmate.ctlDiagnosis"},
    {"30", "Tivmate.ctlMonitor"},
    {"40", "Tivmate.ctlTest"},
    {"50", "Tivmate.ctlAbout"},
}};

// The ProgID offered for a function identifier, compared as text; "" for any other.
std::string ControlProgId(std::string_view functionId) {
    for (const auto& [id, progId] : kControls)
        if (id == functionId) return std::string(progId);
    return {};
}

// Function identifiers compare as numbers ("010" is 10); one that is no number is none.
bool IsFunction(const com::Variant& functionId, double id) {
    com::Variant number;
    return com::SUCCEEDED(com::ChangeType(number, functionId, com::VT_R8)) && number.r8() == id;
}

}  // namespace

com::HRESULT DTMMain::GetParameters(const std::string&, std::string* result) {
    return GuardedText(fdt::IID_IDtmParameter, result, [&] {
        WriteTrace("IDtmParameter_GetParameters", "entry");
        return m_XMLHelp->GetDTMParametersDoc();
    });
}

com::HRESULT DTMMain::SetParameters(const std::string&, const std::string&,
                                    com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IDtmParameter, result, [] { return true; });
}

com::HRESULT DTMMain::GetDocumentation(const std::string& functionCall, std::string* result) {
    return GuardedText(fdt::IID_IDtmDocumentation, result, [&] {
        std::vector<clsDataElement> rows;
        if (IsFunction(m_XMLHelp->DocFunctionID(functionCall), 10)) {
            const auto& p = m_Persistent;
            auto row = [&](std::string_view key, std::string display) {
                rows.push_back({DictionaryText(key), {}, std::move(display), {}});
            };
            row("ctlOfflineParam_lblAdapterNumber", std::to_string(p.PersistentAdapterAddress));
            row("ctlOfflineParam_lblCommunicationTimeout",
                std::to_string(p.PersistentCommTimeoutValue) + " [ms]");
            row("ctlOfflineParam_lblCommunicationRetries",
                std::to_string(p.PersistentCommRetriesValue));
            row("ctlOfflineParam_lblMaximumStackSize", std::to_string(p.PersistentMaxStackValue));
            row("ctlOfflineParam_chkUSBDelayOn",
                DictionaryText(p.PersistentDelay ? "str_yes" : "str_no"));
        }
        return m_XMLHelp->GetDTMDocumentationDoc(rows);
    });
}

com::HRESULT DTMMain::GetActiveXProgId(const std::string& functionCall, std::string* result) {
    return GuardedText(fdt::IID_IDtmActiveXInformation, result,
                       [&] { return ControlProgId(m_XMLHelp->GetProgId(functionCall)); });
}

com::HRESULT DTMMain::GetActiveXGuid(const std::string& functionCall, std::string* result) {
    return GuardedText(fdt::IID_IDtmActiveXInformation, result, [&]() -> std::string {
        const std::string progId = ControlProgId(m_XMLHelp->GetProgId(functionCall));
        if (progId.empty()) return {};
        com::Guid clsid;
        if (com::FAILED(com::CLSIDFromProgID(progId, &clsid))) {
            // Not registered is an answer, not a failure of this call.
            com::clearErrorInfo();
            return {};
        }
        return clsid.toString();
    });
}

}  // namespace tivmate
