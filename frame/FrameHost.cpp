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
    Tell("OnParameterChanged", parameterXml);
    if (result) *result = com::VARIANT_TRUE;
    return com::S_OK;
}

com::HRESULT FrameHost::OnErrorMessage(const std::string&, const std::string& errorMessage) {
    Tell("OnErrorMessage", errorMessage);
    return com::S_OK;
}

com::HRESULT FrameHost::OnProgress(const std::string&, const std::string& title,
                                   std::int32_t percent, com::VARIANT_BOOL show) {
    Tell("OnProgress", title + " " + std::to_string(percent) + "%" + (show ? "" : " (hidden)"));
    return com::S_OK;
}

com::HRESULT FrameHost::OnUploadFinished(const std::string&, com::VARIANT_BOOL success) {
    Tell("OnUploadFinished", yesNo(success));
    return com::S_OK;
}

com::HRESULT FrameHost::OnDownloadFinished(const std::string&, com::VARIANT_BOOL success) {
    Tell("OnDownloadFinished", yesNo(success));
    return com::S_OK;
}

com::HRESULT FrameHost::OnApplicationClosed(const std::string& invokeId) {
    Tell("OnApplicationClosed", invokeId);
    return com::S_OK;
}

com::HRESULT FrameHost::OnFunctionChanged(const std::string& systemTag) {
    Tell("OnFunctionChanged", systemTag);
    return com::S_OK;
}

com::HRESULT FrameHost::OnChannelFunctionChanged(const std::string&,
                                                 const std::string& channelPath) {
    Tell("OnChannelFunctionChanged", channelPath);
    return com::S_OK;
}

com::HRESULT FrameHost::OnPrint(const std::string&, const std::string& documentReference) {
    Tell("OnPrint", documentReference);
    return com::S_OK;
}

com::HRESULT FrameHost::OnNavigation(const std::string&, const std::string& navigation) {
    Tell("OnNavigation", navigation);
    return com::S_OK;
}

com::HRESULT FrameHost::OnOnlineStateChanged(const std::string&, com::VARIANT_BOOL online) {
    Tell("OnOnlineStateChanged", yesNo(online));
    return com::S_OK;
}

com::HRESULT FrameHost::OnPreparedToRelease(const std::string& systemTag) {
    Tell("OnPreparedToRelease", systemTag);
    return com::S_OK;
}

com::HRESULT FrameHost::OnPreparedToReleaseCommunication(const std::string& systemTag) {
    Tell("OnPreparedToReleaseCommunication", systemTag);
    return com::S_OK;
}

com::HRESULT FrameHost::OnInvokedFunctionFinished(const std::string& invokeId,
                                                  com::VARIANT_BOOL success) {
    Tell("OnInvokedFunctionFinished", invokeId + " " + yesNo(success));
    return com::S_OK;
}

com::HRESULT FrameHost::OnScanResponse(const std::string& invokeId, const std::string&) {
    Tell("OnScanResponse", invokeId);
    return com::S_OK;
}

}  // namespace tivframe
