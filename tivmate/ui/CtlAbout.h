#pragma once

#include <QLabel>

#include "ui/ControlBase.h"
#include "ui/CtlHeadline.h"

namespace tivmate::ui {

// The about page: title, description, Tivmate's and the driver's versions, the adapter's
// firmware and a disclaimer.
class CtlAbout final : public Control<CtlAbout> {
public:
    CtlAbout();
    static com::HRESULT createInstance(const com::Guid& iid, void** out) noexcept;

    void OnInit();
    com::HRESULT UpdateLanguage() override;

private:
    CtlHeadline* headline_;
    PictureBox* deviceImage_;
    QLabel *lblVersion_, *lblDllVersion_, *lblAdapterInfo_;
};

}  // namespace tivmate::ui
