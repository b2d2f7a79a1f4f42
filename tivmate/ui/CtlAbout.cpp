#include "ui/CtlAbout.h"

#include <QFrame>
#include <QGridLayout>
#include <QVBoxLayout>

#include "TivmateVersion.h"
#include "ui/ControlCaptions.h"
#include "ui/PageParts.h"

namespace tivmate::ui {

namespace {

// Information the user may want to copy.
QLabel* AddTextLabel(QWidget* parent, const char* name) {
    auto* label = AddLabel(parent, name);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QFrame* AddLine(QWidget* parent, int index) {
    auto* line = new QFrame(parent);
    MakeArrayMember(line, "Line1", index);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

std::string TextOf(const com::Variant& v) {
    com::Variant text;
    if (v.isEmpty() || com::FAILED(com::ChangeType(text, v.value(), com::VT_BSTR))) return {};
    return text.bstr();
}

}  // namespace

CtlAbout::CtlAbout() : Control("ctlAbout_", &_DTMMain::putref_CtlAboutPointer) {
    QWidget* page = core_.Page();
    page->setObjectName("ctlAbout");
    QHBoxLayout* top = AddTitleRow(page, &headline_, "lblTitle");

    auto* back = new QFrame(page);
    back->setObjectName("AboutBack");
    back->setFrameShape(QFrame::StyledPanel);
    deviceImage_ = new PictureBox("DeviceImage", back);
    auto* grid = new QGridLayout(back);
    grid->addWidget(deviceImage_, 0, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(AddTextLabel(back, "lblDescription"), 0, 1);
    grid->addWidget(AddLine(back, 0), 2, 0, 1, 2);
    lblVersion_ = AddTextLabel(back, "lblVersion");
    lblDllVersion_ = AddTextLabel(back, "lblDllVersion");
    lblAdapterInfo_ = AddTextLabel(back, "lblAdapterInfo");
    grid->addWidget(lblVersion_, 3, 1);
    grid->addWidget(lblDllVersion_, 4, 1);
    grid->addWidget(lblAdapterInfo_, 5, 1);
    grid->addWidget(AddLine(back, 1), 6, 0, 1, 2);
    grid->addWidget(AddTextLabel(back, "lblDisclaimer"), 7, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(8, 1);

    auto* column = new QVBoxLayout(page);
    column->addLayout(top);
    column->addWidget(back, 1);
}

com::HRESULT CtlAbout::createInstance(const com::Guid& iid, void** out) noexcept {
    return ComObjectImpl::createInstance(iid, out);
}

com::HRESULT CreateCtlAbout(const com::Guid& iid, void** out) noexcept {
    return CtlAbout::createInstance(iid, out);
}

void CtlAbout::OnInit() {
    deviceImage_->Load(ControlCore::Resource("Device_small.gif"));
    Register();
    UpdateLanguage();
}

com::HRESULT CtlAbout::UpdateLanguage() {
    Handler("ctlAbout-UpdateLanguage", [&] {
        _DTMMain* dtm = core_.Dtm();
        if (!dtm || !core_.Page()) return;
        core_.Translate();
        const QString version =
            QString("%1.%2.%3").arg(kVersionMajor).arg(kVersionMinor).arg(kVersionRevision);
        lblVersion_->setText(lblVersion_->text() + ": " + version);
        com::Variant dll, adapter;
        dtm->get_DllVersionNumber(&dll);
        lblDllVersion_->setText(lblDllVersion_->text() + ": " +
                                QString::fromStdString(TextOf(dll)));
        std::string info;
        dtm->get_USBSWInfo(&info);
        // The DTM's adapter text names itself ("Adapter firmware: …").
        lblAdapterInfo_->setText(QString::fromStdString(info));
        headline_->SetTitle(QString::fromStdString(core_.Text("str_TIVDriver")));
    });
    return com::S_OK;
}

}  // namespace tivmate::ui
