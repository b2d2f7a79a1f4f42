// DTMMain as its own channel: the channel parameters and the one child device below it.

#include "core/Settings.h"
#include "core/TextConversions.h"
#include "core/Trace.h"
#include "module/DTMMain.h"
#include "module/Guarded.h"

namespace tivmate {

com::HRESULT DTMMain::GetChannelParameters(const std::string&, const std::string&,
                                           std::string* result) {
    return GuardedText(fdt::IID_IFdtChannel, result, [&] {
        WriteTrace("IFdtChannel_GetChannelParameters", "entry");
        std::string doc = m_XMLHelp->FdtBasicChannelParameter(
            com::Variant(m_SystemTag), com::Variant(m_Persistent.m_ChannelUUID));
        WriteTrace("IFdtChannel_GetChannelParameters", m_Persistent.m_ChannelUUID);
        return doc;
    });
}

com::HRESULT DTMMain::ScanRequest(const std::string&, com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IFdtChannelSubTopology, result, [] {
        WriteTrace("IFdtChannelSubTopology_ScanRequest", "");
        return false;
    });
}

com::HRESULT DTMMain::ValidateAddChild(const std::string&, com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IFdtChannelSubTopology, result, [&] {
        WriteTrace("IFdtChannelSubTopology_ValidateAddChild", "entry");
        const bool accepted =
            m_ChildTag.empty() ||
            EqualsNoCase(ReadIniString(m_IniPath, "Advanced", "IsMultipleDeviceConnection"),
                         "TRUE");
        WriteTrace("IFdtChannelSubTopology_ValidateAddChild", accepted ? "TRUE" : "FALSE");
        return accepted;
    });
}

com::HRESULT DTMMain::OnAddChild(const std::string& childTag, com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IFdtChannelSubTopology, result, [&] {
        WriteTrace("IFdtChannelSubTopology_OnAddChild", childTag);
        m_ChildTag = childTag;
        return false;
    });
}

com::HRESULT DTMMain::ValidateRemoveChild(const std::string&, com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IFdtChannelSubTopology, result, [] {
        WriteTrace("IFdtChannelSubTopology_ValidateRemoveChild", "");
        return true;
    });
}

com::HRESULT DTMMain::OnRemoveChild(const std::string& childTag, com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IFdtChannelSubTopology, result, [&] {
        WriteTrace("IFdtChannelSubTopology_OnRemoveChild", childTag);
        m_ChildTag.clear();
        return false;
    });
}

}  // namespace tivmate
