#include "ui/CtlDiagnosis.h"

#include <QGridLayout>

#include "core/AppDirectory.h"
#include "module/DTMMain.h"
#include "os/MessageBox.h"
#include "ui/ColorRef.h"
#include "ui/PageParts.h"

namespace tivmate::ui {

namespace {

QFrame* AddLamp(QWidget* parent, const char* name) {
    auto* lamp = new QFrame(parent);
    lamp->setObjectName(name);
    lamp->setFixedSize(28, 16);
    lamp->setFrameShape(QFrame::Box);
    lamp->setAutoFillBackground(true);
    return lamp;
}

void Paint(QFrame* lamp, std::int32_t colorRef) {
    QPalette p = lamp->palette();
    p.setColor(QPalette::Window, FromColorRef(static_cast<std::uint32_t>(colorRef)));
    lamp->setPalette(p);
}

std::optional<std::int64_t> NumberOf(const com::Variant& v) {
    if (v.isEmpty()) return std::nullopt;
    com::Variant n;
    if (com::FAILED(com::ChangeType(n, v.value(), com::VT_I4))) return std::nullopt;
    return n.toInt64();
}

}  // namespace

CtlDiagnosis::CtlDiagnosis() : Control("ctlDiagnosis_", &_DTMMain::putref_CtlDiagnosisPointer) {
    QWidget* page = core_.Page();
    page->setObjectName("ctlDiagnosis");
    QHBoxLayout* top = AddTitleRow(page, &headline_);

    const DeviceColumn device = AddDeviceColumn(page);
    deviceImage_ = device.deviceImage;
    statusImage_ = device.statusImage;
    lblCommStatus_ = device.commStatus;
    QVBoxLayout* left = device.layout;

    auto* titleArea = AddPanel(page, "TitleParameterArea");
    (new QHBoxLayout(titleArea))->addWidget(AddLabel(titleArea, "lblDiagnosis"));

    auto* textArea = AddPanel(page, "StatusTextArea");
    lblFirmware_ = AddLabel(textArea, "lblFirmware");
    lblFirmware_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    (new QHBoxLayout(textArea))->addWidget(lblFirmware_);

    auto* stackArea = AddPanel(page, "CommunicationStackArea");
    bar_ = new QProgressBar(stackArea);
    bar_->setObjectName("StackProgressBar");
    bar_->setRange(0, 100);
    bar_->setValue(0);
    bar_->setTextVisible(false);
    stackValue_ = AddLabel(stackArea, "ComStackValLabel");
    stackValue_->setMinimumWidth(48);
    auto* stack = new QHBoxLayout(stackArea);
    stack->addWidget(AddLabel(stackArea, "lblCommunicationStack"));
    stack->addWidget(bar_, 1);
    stack->addWidget(stackValue_);

    auto* driverArea = AddPanel(page, "DriverControlArea");
    trace_ = new QCheckBox(driverArea);
    trace_->setObjectName("chkDLLTraceFunction");
    debug_ = new QCheckBox(driverArea);
    debug_->setObjectName("chkDLLDebugWindow");
    auto* driver = new QVBoxLayout(driverArea);
    driver->addWidget(AddLabel(driverArea, "lblDriverControl"));
    driver->addWidget(trace_);
    driver->addWidget(debug_);

    auto* lampArea = AddPanel(page, "SingleStatusArea");
    auto* lamps = new QGridLayout(lampArea);
    lamps->addWidget(AddLabel(lampArea, "lblStatus"), 0, 0, 1, 2);
    const struct {
        QFrame** lamp;
        const char* shape;
        const char* label;
    } rows[] = {{&connection_, "ShapeConnection", "lblTIVDeviceConnection"},
                {&busActive_, "ShapeTIVBusActive", "lblTIVBusActive"},
                {&present_, "ShapeUSBAdapterPresent", "lblUSBAdapterConnected"},
                {&firmware_, "ShapeUSBAdapterFirmwareLoaded", "lbUSBAdapterFirmwareLoaded"}};
    int row = 1;
    for (const auto& r : rows) {
        *r.lamp = AddLamp(lampArea, r.shape);
        Paint(*r.lamp, kColorRed);  // as the DTM starts, until its first status
        lamps->addWidget(*r.lamp, row, 0);
        lamps->addWidget(AddLabel(lampArea, r.label), row, 1);
        ++row;
    }
    lamps->setColumnStretch(1, 1);

    auto* right = new QVBoxLayout;
    right->addWidget(titleArea);
    right->addWidget(textArea);
    right->addWidget(stackArea);
    right->addWidget(driverArea);
    right->addWidget(lampArea);
    right->addStretch(1);
    auto* body = new QHBoxLayout;
    body->addLayout(left, 0);
    body->addLayout(right, 1);
    auto* column = new QVBoxLayout(page);
    column->addLayout(top);
    column->addLayout(body, 1);

    QObject::connect(debug_, &QCheckBox::clicked, page, [this](bool on) { DebugWindowClick(on); });
    QObject::connect(trace_, &QCheckBox::clicked, page, [this](bool on) { LogFileClick(on); });
}

com::HRESULT CtlDiagnosis::createInstance(const com::Guid& iid, void** out) noexcept {
    return ComObjectImpl::createInstance(iid, out);
}

com::HRESULT CreateCtlDiagnosis(const com::Guid& iid, void** out) noexcept {
    return CtlDiagnosis::createInstance(iid, out);
}

void CtlDiagnosis::OnInit() {
    _DTMMain* dtm = core_.Dtm();
    deviceImage_->Load(ControlCore::Resource("Device_small.gif"));
    Register();
    com::throwIfFailed(dtm->Set_Status());

    com::VARIANT_BOOL debug = com::VARIANT_FALSE;
    dtm->get_TIVDrvDebug(&debug);
    if (debug != com::VARIANT_FALSE) {
        debug_->setChecked(true);
        DebugWindowClick(true);
    }
    // The box shows whether the driver logs already; setting it asks nothing.
    if (auto driver = core_.Driver()) {
        com::VARIANT_BOOL on = com::VARIANT_FALSE;
        if (com::SUCCEEDED(driver->get_LogFileOn(&on))) {
            const QSignalBlocker quiet(trace_);
            trace_->setChecked(on != com::VARIANT_FALSE);
        }
    }
    std::int16_t max = 0;
    dtm->get_PersistentMaxStackValue(&max);
    put_MaxStackSize(com::Variant(static_cast<std::int32_t>(max)));
    // Requests may be waiting already: the counters show them now, not at the next push.
    if (DTMMain* object = core_.DtmObject()) {
        const com::Variant count(
            static_cast<std::int32_t>(object->ComClsPointer().ComReqColCount()));
        put_CommStackVal(count);
        put_ProgBarVal(count);
    }
    UpdateLanguage();
}

com::HRESULT CtlDiagnosis::UpdateLanguage() {
    Handler("ctlDiagnosis-UpdateLanguage", [&] {
        _DTMMain* dtm = core_.Dtm();
        if (!dtm || !core_.Page()) return;
        core_.Translate();
        stackValue_->setText(lastStackValue_);
        com::Variant loaded;
        dtm->get_TIVAdapterFirmwareLoaded(&loaded);
        if (loaded.toInt64().value_or(0) != 0) {
            com::Variant info;
            com::throwIfFailed(dtm->get_AdapterSWNumberInfo(&info));
            SetUSBSWInfo(info.isEmpty() ? std::string() : info.converted(com::VT_BSTR).bstr());
        } else {
            SetUSBSWInfo(core_.Text("msg_AdapterFirmwareNotLoaded"));
        }
        headline_->SetTitle(QString::fromStdString(core_.Text("str_TIVDriver")));
        dtm->Set_Status();
    });
    return com::S_OK;
}

com::HRESULT CtlDiagnosis::SetDiagnosisStatus(
    std::int32_t CommStatus, const std::string& StatusText, const std::string& USBSWInfo,
    std::int32_t ConnectionColor, std::int32_t USBAdapterPresentColor,
    std::int32_t USBAdapterFirmwareLoadedColor, std::int32_t TIVBusActiveColor) {
    if (!core_.Page()) return com::S_OK;
    static constexpr const char* kPictures[] = {"connected_13x52.gif", "disconn_13x52.gif",
                                                "error_13x52.gif"};
    if (CommStatus >= 0 && CommStatus < 3)
        statusImage_->Load(ControlCore::Resource(kPictures[CommStatus]));
    lblCommStatus_->setText(QString::fromStdString(StatusText));
    SetUSBSWInfo(USBSWInfo);
    const std::pair<QFrame*, std::int32_t> lamps[] = {{connection_, ConnectionColor},
                                                      {present_, USBAdapterPresentColor},
                                                      {firmware_, USBAdapterFirmwareLoadedColor},
                                                      {busActive_, TIVBusActiveColor}};
    for (auto [lamp, colour] : lamps) {
        Paint(lamp, colour);
        // In words too: red and green alone fail colour-blind users.
        const char* key = colour == kColorGreen ? "str_yes" : colour == kColorRed ? "str_no" : "";
        const QString word = *key ? QString::fromStdString(core_.Text(key)) : QString();
        lamp->setToolTip(word);
        lamp->setAccessibleDescription(word);
    }
    return com::S_OK;
}

com::HRESULT CtlDiagnosis::put_MaxStackSize(const com::Variant& value) {
    if (!core_.Page()) return com::S_OK;
    // An empty or negative range would turn the bar into a busy animation.
    const auto max = NumberOf(value);
    if (!max || *max < 1 || *max > INT32_MAX) return com::S_OK;
    const int newMax = static_cast<int>(*max);
    // Lowering the range below the value would reset (empty) the bar.
    const int keep = std::min(bar_->value(), newMax);
    bar_->setRange(0, newMax);
    bar_->setValue(std::max(keep, 0));
    return com::S_OK;
}

com::HRESULT CtlDiagnosis::put_CommStackVal(const com::Variant& value) {
    if (!core_.Page()) return com::S_OK;
    lastStackValue_ =
        value.isEmpty() ? QString() : QString::fromStdString(value.converted(com::VT_BSTR).bstr());
    stackValue_->setText(lastStackValue_);
    return com::S_OK;
}

com::HRESULT CtlDiagnosis::put_ProgBarVal(const com::Variant& value) {
    if (!core_.Page()) return com::S_OK;
    const auto v = NumberOf(value);
    if (v && *v >= bar_->minimum() && *v <= bar_->maximum()) bar_->setValue(static_cast<int>(*v));
    return com::S_OK;
}

std::string CtlDiagnosis::USBSWInfo() const {
    return lblFirmware_->text().toStdString();
}

void CtlDiagnosis::SetUSBSWInfo(const std::string& text) {
    lblFirmware_->setText(QString::fromStdString(text));
}

int CtlDiagnosis::MaxStackSize() const {
    return bar_->maximum();
}

void CtlDiagnosis::DebugWindowClick(bool checked) {
    Handler("ctlDiagnosis-chkDLLDebugWindow", [&] {
        _DTMMain* dtm = core_.Dtm();
        auto driver = core_.Driver();
        if (!dtm || !driver) return;
        std::int32_t r = 0;
        if (checked) {
            com::throwIfFailed(driver->ShowTestForm(1, &r));
            dtm->put_TIVDrvDebug(com::VARIANT_TRUE);
        } else {
            com::throwIfFailed(driver->HideTestForm(&r));
            dtm->put_TIVDrvDebug(com::VARIANT_FALSE);
        }
    });
}

void CtlDiagnosis::LogFileClick(bool checked) {
    Handler("ctlDiagnosis-chkDLLTraceFunction", [&] {
        auto driver = core_.Driver();
        if (!core_.Dtm() || !driver) return;
        if (!checked) {
            com::throwIfFailed(driver->put_LogFileOn(com::VARIANT_FALSE));
            return;
        }
        std::string text = core_.Text("question_warning_message");
        const std::string dir = ApplicationDirectory().string();
        for (auto at = text.find("---"); at != std::string::npos; at = text.find("---", at))
            text.replace(at, 3, dir), at += dir.size();
        constexpr std::uint32_t kOkCancelWarningCancelDefault = 305;
        const bool ok = os::MessageBox(text, core_.Text("question_warning_title"),
                                       kOkCancelWarningCancelDefault) == os::IDOK;
        com::throwIfFailed(driver->put_LogFileOn(ok ? com::VARIANT_TRUE : com::VARIANT_FALSE));
        if (!ok) trace_->setChecked(false);
    });
}

}  // namespace tivmate::ui
