#include "ui/CtlOfflineParam.h"

#include <QFrame>
#include <QGridLayout>
#include <QKeyEvent>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>
#include <charconv>

#include "ui/PageParts.h"

namespace tivmate::ui {

namespace {

QComboBox* AddList(QWidget* parent, const char* name, int first, int last) {
    auto* combo = new QComboBox(parent);
    combo->setObjectName(name);
    for (int i = first; i <= last; ++i) combo->addItem(QString::number(i));
    return combo;
}

}  // namespace

NumberField::NumberField(const QString& name, QWidget* parent) : QLineEdit(parent) {
    setObjectName(name);
    // Typed and pasted text alike: digits only; editing keys keep working.
    setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), this));
}

void NumberField::keyReleaseEvent(QKeyEvent* e) {
    QLineEdit::keyReleaseEvent(e);
    if (onKeyRelease) onKeyRelease();
}

CtlOfflineParam::CtlOfflineParam()
    : Control("ctlOfflineParam_", &_DTMMain::putref_CtlOfflineParamPointer) {
    QWidget* page = core_.Page();
    page->setObjectName("ctlOfflineParam");

    QHBoxLayout* top = AddTitleRow(page, &headline_);

    // Left column: device, tree, status.
    const DeviceColumn device = AddDeviceColumn(page);
    deviceImage_ = device.deviceImage;
    statusImage_ = device.statusImage;
    lblCommStatus_ = device.commStatus;
    QVBoxLayout* left = device.layout;

    // Right: the parameters.
    auto* freeArea = AddPanel(page, "ParameterFreeArea");
    auto* titleArea = AddPanel(freeArea, "TitleParameterArea");
    auto* titleRow = new QHBoxLayout(titleArea);
    titleRow->addWidget(AddLabel(titleArea, "lblParameter"));
    auto* area = AddPanel(freeArea, "ParameterArea");
    auto* grid = new QGridLayout(area);
    QLabel* group = AddLabel(area, "lblCommunication");
    QFont bold = group->font();
    bold.setBold(true);
    group->setFont(bold);
    grid->addWidget(group, 0, 0, 1, 3);

    adapter_ = AddList(area, "AdapterAddressCombo", 0, 16);
    grid->addWidget(AddLabel(area, "lblAdapterNumber"), 1, 0);
    grid->addWidget(adapter_, 1, 1);

    auto* ctValue = new NumberField("CTValue", area);
    ctValue->setToolTip("1–32767");
    grid->addWidget(AddLabel(area, "lblCommunicationTimeout"), 2, 0);
    grid->addWidget(ctValue, 2, 1);
    grid->addWidget(AddLabel(area, "lblUnitTimeout"), 2, 2);

    retries_ = AddList(area, "ComRetryCombo", 1, 10);
    grid->addWidget(AddLabel(area, "lblCommunicationRetries"), 3, 0);
    grid->addWidget(retries_, 3, 1);

    auto* maxStack = new NumberField("MaxStackSizeValue", area);
    maxStack->setToolTip("1–32767");
    grid->addWidget(AddLabel(area, "lblMaximumStackSize"), 4, 0);
    grid->addWidget(maxStack, 4, 1);

    delay_ = new QCheckBox(area);
    delay_->setObjectName("chkUSBDelayOn");
    grid->addWidget(delay_, 5, 0, 1, 3);
    grid->setColumnStretch(3, 1);
    grid->setRowStretch(6, 1);

    auto* right = new QVBoxLayout(freeArea);
    right->addWidget(titleArea);
    right->addWidget(area, 1);

    auto* body = new QHBoxLayout;
    body->addLayout(left, 0);
    body->addWidget(freeArea, 1);
    auto* column = new QVBoxLayout(page);
    column->addLayout(top);
    column->addLayout(body, 1);

    timeout_ = {ctValue, "PersistentCommTimeoutValue", &_DTMMain::get_PersistentCommTimeoutValue,
                &_DTMMain::put_PersistentCommTimeoutValue};
    maxStack_ = {maxStack, "PersistentMaxStackValue", &_DTMMain::get_PersistentMaxStackValue,
                 &_DTMMain::put_PersistentMaxStackValue};

    // The widget is the context of every connection: they end with it.
    QObject::connect(adapter_, &QComboBox::activated, page, [this](int i) { AdapterClick(i); });
    QObject::connect(retries_, &QComboBox::activated, page, [this](int i) { RetriesClick(i); });
    QObject::connect(delay_, &QCheckBox::clicked, page, [this](bool on) { DelayClick(on); });
    for (NumberSetting* s : {&timeout_, &maxStack_}) {
        QObject::connect(s->field, &QLineEdit::textChanged, page,
                         [this, s](const QString&) { NumberChanged(*s); });
        s->field->onKeyRelease = [this, s] { NumberKeyUp(*s); };
    }
}

com::HRESULT CtlOfflineParam::createInstance(const com::Guid& iid, void** out) noexcept {
    return ComObjectImpl::createInstance(iid, out);
}

com::HRESULT CreateCtlOfflineParam(const com::Guid& iid, void** out) noexcept {
    return CtlOfflineParam::createInstance(iid, out);
}

std::int16_t CtlOfflineParam::Stored(com::HRESULT (_DTMMain::*get)(std::int16_t*)) const {
    std::int16_t v = 0;
    if (_DTMMain* dtm = core_.Dtm()) com::throwIfFailed((dtm->*get)(&v));
    return v;
}

void CtlOfflineParam::OnInit() {
    _DTMMain* dtm = core_.Dtm();
    deviceImage_->Load(ControlCore::Resource("Device_small.gif"));
    com::throwIfFailed(dtm->Set_Status());
    Register();

    // An entry is selected only for a stored value that names one; the handlers run as for a
    // user's choice (storing nothing, but taking the adapter into use).
    const std::int16_t address = Stored(&_DTMMain::get_PersistentAdapterAddress);
    if (address >= 0 && address < adapter_->count()) {
        adapter_->setCurrentIndex(address);
        AdapterClick(address);
    } else {
        adapter_->setCurrentIndex(-1);
    }
    timeout_.field->setText(QString::number(Stored(timeout_.get)));
    const int retries = Stored(&_DTMMain::get_PersistentCommRetriesValue) - 1;
    retries_->setCurrentIndex(retries >= 0 && retries < retries_->count() ? retries : -1);
    maxStack_.field->setText(QString::number(Stored(maxStack_.get)));
    com::VARIANT_BOOL delay = com::VARIANT_FALSE;
    dtm->get_PersistentDelay(&delay);
    delay_->setChecked(delay != com::VARIANT_FALSE);
    UpdateLanguage();
}

com::HRESULT CtlOfflineParam::UpdateLanguage() {
    Handler("ctlOfflineParam-UpdateLanguage", [&] {
        _DTMMain* dtm = core_.Dtm();
        if (!dtm || !core_.Page()) return;
        core_.Translate();
        headline_->SetTitle(QString::fromStdString(core_.Text("str_TIVDriver")));
        dtm->Set_Status();
    });
    return com::S_OK;
}

com::HRESULT CtlOfflineParam::SetParameterStatus(std::int32_t CommStatus,
                                                 const std::string& StatusText) {
    if (!core_.Page()) return com::S_OK;
    static constexpr const char* kPictures[] = {"connected_13x52.gif", "disconn_13x52.gif",
                                                "error_13x52.gif"};
    if (CommStatus >= 0 && CommStatus < 3)
        statusImage_->Load(ControlCore::Resource(kPictures[CommStatus]));
    lblCommStatus_->setText(QString::fromStdString(StatusText));
    return com::S_OK;
}

void CtlOfflineParam::AdapterClick(int index) {
    Handler("ctlOfflineParam-AdapterAddressCombo", [&] {
        _DTMMain* dtm = core_.Dtm();
        if (!dtm || index < 0) return;
        if (index != Stored(&_DTMMain::get_PersistentAdapterAddress)) {
            com::throwIfFailed(dtm->put_PersistentAdapterAddress(static_cast<std::int16_t>(index)));
            dtm->PersistentParamChanged("PersistentAdapterAddress", std::to_string(index));
        }
        if (core_.Driver()) {
            com::throwIfFailed(dtm->InitUBSAdapter());
            com::throwIfFailed(dtm->Set_Status());
        }
    });
}

void CtlOfflineParam::RetriesClick(int index) {
    Handler("ctlOfflineParam-ComRetryCombo", [&] {
        _DTMMain* dtm = core_.Dtm();
        if (!dtm || index < 0) return;
        const int value = index + 1;
        if (value == Stored(&_DTMMain::get_PersistentCommRetriesValue)) return;
        com::throwIfFailed(dtm->put_PersistentCommRetriesValue(static_cast<std::int16_t>(value)));
        // The name as the DTM has always been told it, without "Value".
        dtm->PersistentParamChanged("PersistentCommRetries", std::to_string(value));
    });
}

void CtlOfflineParam::DelayClick(bool checked) {
    Handler("ctlOfflineParam-chkUSBDelayOn", [&] {
        _DTMMain* dtm = core_.Dtm();
        if (!dtm) return;
        com::VARIANT_BOOL stored = com::VARIANT_FALSE;
        com::throwIfFailed(dtm->get_PersistentDelay(&stored));
        if (checked == (stored != com::VARIANT_FALSE)) return;
        com::throwIfFailed(
            dtm->put_PersistentDelay(checked ? com::VARIANT_TRUE : com::VARIANT_FALSE));
        if (auto driver = core_.Driver()) {
            com::Variant version;
            com::VARIANT_BOOL loaded = com::VARIANT_FALSE;
            std::int32_t r = 0;
            if (com::SUCCEEDED(driver->IsFirmwareLoaded(&version, &loaded)) && loaded)
                checked ? driver->DelayOn(&r) : driver->DelayOff(&r);
        }
        dtm->PersistentParamChanged("PersistentDelay", checked ? "True" : "False");
    });
}

void CtlOfflineParam::NumberChanged(const NumberSetting& s) {
    Handler("ctlOfflineParam-Change", [&] {
        _DTMMain* dtm = core_.Dtm();
        const std::string text = s.field->text().toStdString();
        if (!dtm || text.empty()) return;
        int value = 0;
        const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (err != std::errc() || end != text.data() + text.size()) return;
        if (value < kMinValue || value > kMaxValue || value == Stored(s.get)) return;
        com::throwIfFailed((dtm->*s.put)(static_cast<std::int16_t>(value)));
        dtm->PersistentParamChanged(s.name, text);
    });
}

void CtlOfflineParam::NumberKeyUp(const NumberSetting& s) {
    Handler("ctlOfflineParam-KeyUp", [&] {
        if (!core_.Dtm()) return;
        const QString stored = QString::number(Stored(s.get));
        // Setting the same text would throw the caret to the end on every key.
        if (s.field->text() != stored) s.field->setText(stored);
    });
}

}  // namespace tivmate::ui
