#pragma once

#include <functional>
#include <string>

#include "com/ComObject.h"
#include "fdt/ControlInterfaces.h"
#include "fdt/FdtInterfaces.h"

namespace tivframe {

// What the frame tells its user: a notification's name and its text argument.
using Notify = std::function<void(const std::string& event, const std::string& detail)>;

// The frame's container for one DTM: its schema directory and the DTM's notifications.
class FrameHost final
    : public com::ComObject<FrameHost, fdt::DualImpl<FrameHost, fdt::IFdtContainer>,
                            fdt::DualImpl<FrameHost, fdt::IDtmEvents>> {
public:
    FrameHost(std::string schemaPath, Notify notify)
        : schemaPath_(std::move(schemaPath)), notify_(std::move(notify)) {}

    com::HRESULT GetXmlSchemaPath(std::string* path) override;

    com::HRESULT OnParameterChanged(const std::string& systemTag, const std::string& parameterXml,
                                    com::VARIANT_BOOL* result) override;
    com::HRESULT OnErrorMessage(const std::string& systemTag,
                                const std::string& errorMessage) override;
    com::HRESULT OnProgress(const std::string& systemTag, const std::string& title,
                            std::int32_t percent, com::VARIANT_BOOL show) override;
    com::HRESULT OnUploadFinished(const std::string& systemTag, com::VARIANT_BOOL success) override;
    com::HRESULT OnDownloadFinished(const std::string& systemTag,
                                    com::VARIANT_BOOL success) override;
    com::HRESULT OnApplicationClosed(const std::string& invokeId) override;
    com::HRESULT OnFunctionChanged(const std::string& systemTag) override;
    com::HRESULT OnChannelFunctionChanged(const std::string& systemTag,
                                          const std::string& channelPath) override;
    com::HRESULT OnPrint(const std::string& systemTag,
                         const std::string& documentReference) override;
    com::HRESULT OnNavigation(const std::string& systemTag, const std::string& navigation) override;
    com::HRESULT OnOnlineStateChanged(const std::string& systemTag,
                                      com::VARIANT_BOOL online) override;
    com::HRESULT OnPreparedToRelease(const std::string& systemTag) override;
    com::HRESULT OnPreparedToReleaseCommunication(const std::string& systemTag) override;
    com::HRESULT OnInvokedFunctionFinished(const std::string& invokeId,
                                           com::VARIANT_BOOL success) override;
    com::HRESULT OnScanResponse(const std::string& invokeId, const std::string& response) override;

    // The DTM or a page may hold the container past the window that listens: it tells no one.
    void Detach() { notify_ = nullptr; }

private:
    void Tell(const std::string& event, const std::string& detail) {
        if (notify_) notify_(event, detail);
    }

    std::string schemaPath_;
    Notify notify_;
};

// The frame's stand-in for the monitor control: hands each line on.
class MonitorLines final
    : public com::ComObject<MonitorLines, fdt::DualImpl<MonitorLines, fdt::IMonitorView>,
                            fdt::DualImpl<MonitorLines, fdt::IActiveXGUI>> {
public:
    using Sink = std::function<void(const std::string& line, std::int32_t color)>;
    explicit MonitorLines(Sink sink) : sink_(std::move(sink)) {}
    com::HRESULT MessageLine(const std::string& Line, std::int32_t LineColor) override {
        sink_(Line, LineColor);
        return com::S_OK;
    }
    com::HRESULT UpdateLanguage() override { return com::S_OK; }

private:
    Sink sink_;
};

}  // namespace tivframe
