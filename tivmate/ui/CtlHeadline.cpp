#include "ui/CtlHeadline.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QUrl>

#include "ui/ControlBase.h"
#include "ui/ControlCaptions.h"

namespace tivmate::ui {

CtlHeadline::CtlHeadline(QWidget* parent) : QWidget(parent) {
    setObjectName("ctlHeadline");
    setProperty(kUserControlProperty, true);
    logo_ = new PictureBox("imgLogo", this);
    logo_->Load(ControlCore::Resource("manufacturer_logo.bmp"));
    logo_->setToolTip(kMakerUrl);
    logo_->setCursor(Qt::PointingHandCursor);
    logo_->OnClick([] { QDesktopServices::openUrl(QUrl(kMakerUrl)); });
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->addStretch(1);
    row->addWidget(logo_, 0, Qt::AlignRight | Qt::AlignVCenter);
}

}  // namespace tivmate::ui
