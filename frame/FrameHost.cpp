#include "FrameHost.h"

namespace tivframe {

namespace {
std::string yesNo(com::VARIANT_BOOL b) {
    return b ? "true" : "false";
}
}  // namespace

com::HRESULT FrameHost::GetXmlSchemaPath(std::string* path) {
    if (!path) return com::E_POINTER;
    *path = schemaPath_;
    return com::S_OK;
}

com::HRESULT FrameHost::OnParameterChanged(const std::string&, const std::string& parameterXml,
                                           com::VARIANT_BOOL* result) {
    notify_("OnParameterChanged", parameterXml);
    if (result) *result = com::VARIANT_TRUE;
    return com::S_OK;
}

com::HRESULT FrameHost::OnErrorMessage(const std::string&, const std::string& errorMessage) {
    notify_("OnErrorMessage", errorMessage);
    return com::S_OK;
}

com::HRESULT FrameHost::OnProgress(const std::string&, const std::string& title,
                                   std::int32_t percent, com::VARIANT_BOOL show) {
    notify_("OnProgress", title + " " + std::to_string(percent) + "%" + (show ? "" : " (hidden)"));
    return com::S_OK;
}

com::HRESULT FrameHost::OnUploadFinished(const std::string&, com::VARIANT_BOOL success) {
    notify_("OnUploadFinished", yesNo(success));
    return com::S_OK;
}

com::HRESULT FrameHost::OnDownloadFinished(const std::string&, com::VARIANT_BOOL success) {
    notify_("OnDownloadFinished", yesNo(success));
    return com::S_OK;
}

com::HRESULT FrameHost::OnApplicationClosed(const std::string& invokeId) {
    notify_("OnApplicationClosed", invokeId);
    return com::S_OK;
}

com::HRESULT FrameHost::OnFunctionChanged(const std::string& systemTag) {
    notify_("OnFunctionChanged", systemTag);
    return com::S_OK;
}

com::HRESULT FrameHost::OnChannelFunctionChanged(const std::string&,
                                                 const std::string& channelPath) {
    notify_("OnChannelFunctionChanged", channelPath);
    return com::S_OK;
}

com::HRESULT FrameHost::OnPrint(const std::string&, const std::string& documentReference) {
    notify_("OnPrint", documentReference);
    return com::S_OK;
}

com::HRESULT FrameHost::OnNavigation(const std::string&, const std::string& navigation) {
    notify_("OnNavigation", navigation);
    return com::S_OK;
}

com::HRESULT FrameHost::OnOnlineStateChanged(const std::string&, com::VARIANT_BOOL online) {
    notify_("OnOnlineStateChanged", yesNo(online));
    return com::S_OK;
}

com::HRESULT FrameHost::OnPreparedToRelease(const std::string& systemTag) {
    notify_("OnPreparedToRelease", systemTag);
    return com::S_OK;
}

com::HRESULT FrameHost::OnPreparedToReleaseCommunication(const std::string& systemTag) {
    notify_("OnPreparedToReleaseCommunication", systemTag);
    return com::S_OK;
}

com::HRESULT FrameHost::OnInvokedFunctionFinished(const std::string& invokeId,
                                                  com::VARIANT_BOOL success) {
    notify_("OnInvokedFunctionFinished", invokeId + " " + yesNo(success));
    return com::S_OK;
}

com::HRESULT FrameHost::OnScanResponse(const std::string& invokeId, const std::string&) {
    notify_("OnScanResponse", invokeId);
    return com::S_OK;
}

}  // namespace tivframe
