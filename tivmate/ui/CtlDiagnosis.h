#pragma once

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QProgressBar>

#include "ui/ControlBase.h"
#include "ui/CtlHeadline.h"

namespace tivmate::ui {

// The diagnosis page: adapter, firmware and bus lamps, the firmware text, the call queue's
// fill level, and the switches of the driver's debug window and log file.
class CtlDiagnosis final : public Control<CtlDiagnosis, fdt::IDiagnosisView> {
public:
    CtlDiagnosis();
    static com::HRESULT createInstance(const com::Guid& iid, void** out) noexcept;

    void OnInit();
    com::HRESULT UpdateLanguage() override;
    com::HRESULT SetDiagnosisStatus(std::int32_t CommStatus, const std::string& StatusText,
                                    const std::string& USBSWInfo, std::int32_t ConnectionColor,
                                    std::int32_t USBAdapterPresentColor,
                                    std::int32_t USBAdapterFirmwareLoadedColor,
                                    std::int32_t TIVBusActiveColor) override;
    com::HRESULT put_MaxStackSize(const com::Variant& value) override;
    com::HRESULT put_CommStackVal(const com::Variant& value) override;
    com::HRESULT put_ProgBarVal(const com::Variant& value) override;

    std::string USBSWInfo() const;
    void SetUSBSWInfo(const std::string& text);
    int MaxStackSize() const;

private:
    void DebugWindowClick(bool checked);
    void LogFileClick(bool checked);

    CtlHeadline* headline_;
    PictureBox *deviceImage_, *statusImage_;
    QLabel *lblCommStatus_, *lblFirmware_, *stackValue_;
    QProgressBar* bar_;
    QCheckBox *trace_, *debug_;
    QFrame *connection_, *busActive_, *present_, *firmware_;
    // The last count pushed: a caption walk would otherwise blank it until the next push.
    QString lastStackValue_;
};

}  // namespace tivmate::ui
