// DTMMain: adapter start-up, the status fan-out to the controls, monitor lines, caption
// translation, the driver's events and the members of _DTMMain.

#include "com/ConnectionPoint.h"
#include "core/TextConversions.h"
#include "core/Trace.h"
#include "module/DTMMain.h"
#include "module/Guarded.h"

namespace tivmate {

namespace {

bool truthOf(const com::Variant& v) {
    return v.toInt64().value_or(0) != 0;
}

std::int32_t colourFor(bool on) {
    return on ? kColorGreen : kColorRed;
}

std::string textOf(const com::Variant& v) {
    if (v.isEmpty()) return {};
    com::Variant text;
    if (com::FAILED(com::ChangeType(text, v.value(), com::VT_BSTR))) return {};
    return text.bstr();
}

}  // namespace

template <class Itf>
com::ComPtr<Itf> DTMMain::ControlAs(Control which) const {
    com::ComPtr<Itf> itf;
    if (m_Controls[which]) m_Controls[which]->QueryInterface(Itf::iid, itf.putVoid());
    return itf;
}
template com::ComPtr<fdt::IMonitorView> DTMMain::ControlAs(Control) const;
template com::ComPtr<fdt::IDiagnosisView> DTMMain::ControlAs(Control) const;

// ---- adapter start-up ----

void DTMMain::DoInitUBSAdapter() {
    if (!m_tivdrv) return;
    std::int32_t count = 0;
    com::throwIfFailed(m_tivdrv->GetNumAdapters(&count));
    m_NumAdapters = com::Variant(count);
    if (count <= 0) return;

    com::Variant version;
    std::int32_t selected = 0;
    com::throwIfFailed(
        m_tivdrv->SelectAdapter(m_Persistent.PersistentAdapterAddress, 1, &version, &selected));
    const auto result = static_cast<std::uint8_t>(selected);
    m_AdapterSelectResult = com::Variant::fromUI1(result);
    bool firmware = truthOf(m_TIVAdapterFirmwareLoaded);
    bool bus = truthOf(m_TIVBusConnected);
    switch (result) {
        case 0: {
            m_TIVAdapterSWNo = version.value();
            m_Communicator->SetAdapterSWNumber(m_TIVAdapterSWNo);
            m_USBSWInfo = textOf(AdapterSWNumberInfoValue());
            firmware = true;
            com::VARIANT_BOOL connected = com::VARIANT_FALSE;
            com::throwIfFailed(m_tivdrv->get_IsTivConnected(&connected));
            bus = connected != com::VARIANT_FALSE;
            break;
        }
        case 16:
        case 32:
        case 64:
            m_USBSWInfo = DictionaryText(result == 16   ? "msg_SelectedAddressNotAvailable"
                                         : result == 32 ? "msg_AdapterNotAvailable"
                                                        : "msg_NumberOutOfRange");
            firmware = bus = false;
            break;
        case 128: {
            std::int32_t load = 0;
            com::throwIfFailed(m_tivdrv->ConnectAdapter(1, &load));
            firmware = false;
            const char* key = nullptr;
            switch (load) {
                case 0:
                    key = "msg_TransactionSucceeded";
                    break;
                case 1:
                    key = "msg_FirmwareFileNotFound";
                    break;
                case 2:
                    key = "err_DownloadErrorInStandardRegion";
                    break;
                case 3:
                case 4:
                case 17:
                case 18:
                    key = "err_USBPortError";
                    break;
                case 64:
                    key = "msg_LoadingAdapterFirmware";
                    break;
                case 128:
                    key = "msg_DefictiveFirmware";
                    break;
                default:
                    break;
            }
            if (key) m_USBSWInfo = DictionaryText(key);
            break;
        }
        default:
            // A failed selection leaves no adapter running, whatever an earlier one found.
            firmware = bus = false;
            break;
    }
    m_TIVAdapterFirmwareLoaded = com::Variant(firmware);
    m_TIVBusConnected = com::Variant(bus);

    com::VARIANT_BOOL present = com::VARIANT_FALSE;
    com::throwIfFailed(m_tivdrv->IsAdapterPresent(&present));
    m_TIVAdapterPresent = com::Variant(present != com::VARIANT_FALSE);
    m_USBAdapterPresentColor = colourFor(present != com::VARIANT_FALSE);
    m_TIVBusActiveColor = colourFor(bus);
    m_USBAdapterFirmwareLoadedColor = colourFor(firmware);
    if (firmware) ApplyDriverSettings();
}

bool DTMMain::ApplyDriverSettings() {
    if (!m_tivdrv) return false;
    std::int32_t r = 0;
    com::throwIfFailed(m_tivdrv->SetToken(2, 3, &r));
    if (r != 0) return false;
    com::throwIfFailed(m_tivdrv->put_FilterType(m_Persistent.PersistentFilterTypeValue));
    com::throwIfFailed(m_tivdrv->FilterOn(&r));
    com::throwIfFailed(m_Persistent.PersistentDelay ? m_tivdrv->DelayOn(&r)
                                                    : m_tivdrv->DelayOff(&r));
    com::throwIfFailed(m_tivdrv->put_BufferMode(m_Persistent.PersistentBufferModeValue));
    // A buffer of no bytes would make reception fail and every request time out.
    if (m_Persistent.PersistentBufferSizeValue > 0)
        com::throwIfFailed(m_tivdrv->put_BufferSize(m_Persistent.PersistentBufferSizeValue));
    else
        WriteTrace("ApplyDriverSettings",
                   "buffer size " + std::to_string(m_Persistent.PersistentBufferSizeValue) +
                       " not given to the driver");
    com::throwIfFailed(m_tivdrv->InitBuffer(&r));
    return r == 0;
}

// ---- driver events ----

void DTMMain::OnDriverEvent(com::DISPID id) {
    // An event queued before the driver was freed finds no driver and does nothing.
    if (!m_tivdrv) return;
    try {
        switch (static_cast<tivlink::TivDriverEvent>(id)) {
            case tivlink::TivDriverEvent::OnTivConnected:
                OnTivConnectedEvent();
                break;
            case tivlink::TivDriverEvent::OnFirmwareLoaded:
                OnFirmwareLoadedStep();
                break;
            case tivlink::TivDriverEvent::OnAdapterDiscon:
                OnAdapterDisconEvent();
                break;
            case tivlink::TivDriverEvent::OnResponse:
                OnResponseEvent();
                break;
            case tivlink::TivDriverEvent::OnDelayedResponse:
                OnDelayedResponseEvent();
                break;
            case tivlink::TivDriverEvent::OnOverrun:
                OnOverrunEvent();
                break;
            case tivlink::TivDriverEvent::OnMvAvailable:
                OnMvAvailableEvent();
                break;
            default:
                break;
        }
    } catch (const std::exception& e) {
        WriteTrace("DriverEvent", std::string(tivlink::TivDriverEventName(id)) + ": " + e.what());
    }
}

void DTMMain::OnTivConnectedEvent() {
    com::VARIANT_BOOL connected = com::VARIANT_FALSE;
    com::throwIfFailed(m_tivdrv->get_IsTivConnected(&connected));
    m_TIVBusConnected = com::Variant(connected != com::VARIANT_FALSE);
    m_TIVBusActiveColor = colourFor(connected != com::VARIANT_FALSE);
    DoSetStatus();
    RetryPendingConnect();
}

void DTMMain::OnAdapterDisconEvent() {
    m_TIVAdapterPresent = com::Variant(false);
    m_TIVAdapterFirmwareLoaded = com::Variant(false);
    m_TIVBusConnected = com::Variant(false);
    m_USBSWInfo.clear();
    m_USBAdapterPresentColor = m_USBAdapterFirmwareLoadedColor = m_TIVBusActiveColor = kColorRed;
    DoSetStatus();
}

void DTMMain::OnFirmwareLoadedStep() {
    std::int32_t load = 0;
    com::throwIfFailed(m_tivdrv->get_LoadResult(&load));
    m_LoadAdapterResult = static_cast<std::int16_t>(load);
    switch (load) {
        case 0: {
            com::Variant version;
            std::int32_t selected = 0;
            com::throwIfFailed(m_tivdrv->SelectAdapter(m_Persistent.PersistentAdapterAddress, 1,
                                                       &version, &selected));
            m_AdapterSelectResult = com::Variant::fromUI1(static_cast<std::uint8_t>(selected));
            com::Variant softVer;
            com::VARIANT_BOOL loaded = com::VARIANT_FALSE;
            com::throwIfFailed(m_tivdrv->IsFirmwareLoaded(&softVer, &loaded));
            m_TIVAdapterFirmwareLoaded = com::Variant(loaded != com::VARIANT_FALSE);
            m_Communicator->SetAdapterSWNumber(softVer.value());
            // Kept with the communicator's, so a later read of AdapterSWNumberInfo agrees.
            m_TIVAdapterSWNo = softVer.value();
            com::VARIANT_BOOL present = com::VARIANT_FALSE, connected = com::VARIANT_FALSE;
            com::throwIfFailed(m_tivdrv->IsAdapterPresent(&present));
            com::throwIfFailed(m_tivdrv->get_IsTivConnected(&connected));
            m_TIVAdapterPresent = com::Variant(present != com::VARIANT_FALSE);
            m_TIVBusConnected = com::Variant(connected != com::VARIANT_FALSE);
            ApplyDriverSettings();
            m_USBSWInfo = DictionaryText("msg_AdapterFirmwareVersion") +
                          textOf(m_Communicator->AdapterSWNumber());
            m_USBAdapterPresentColor = colourFor(present != com::VARIANT_FALSE);
            m_USBAdapterFirmwareLoadedColor = colourFor(loaded != com::VARIANT_FALSE);
            m_TIVBusActiveColor = colourFor(connected != com::VARIANT_FALSE);
            break;
        }
        case 1:
            m_USBSWInfo = DictionaryText("msg_FirmwareFileNotFound");
            break;
        case 2:
            m_USBSWInfo = DictionaryText("err_DownloadErrorInStandardRegion");
            break;
        case 3:
        case 4:
        case 17:
        case 18:
            m_USBSWInfo = DictionaryText("err_USBPortError");
            break;
        case 128:
            m_USBSWInfo = DictionaryText("msg_DefectiveFirmware");
            break;
        default:
            break;
    }
    DoSetStatus();
    RetryPendingConnect();
}

// ---- status, monitor, captions ----

std::int32_t DTMMain::ComputeCommStatus() const {
    if (!truthOf(m_TIVAdapterPresent)) return 1;
    return truthOf(m_TIVAdapterFirmwareLoaded) ? 0 : 2;
}

com::Variant DTMMain::AdapterSWNumberInfoValue() {
    m_Communicator->SetAdapterSWNumber(m_TIVAdapterSWNo);
    return com::Variant(DictionaryText("msg_AdapterFirmwareVersion") +
                        textOf(m_Communicator->AdapterSWNumber()));
}

void DTMMain::DoSetStatus() {
    const std::int32_t status = ComputeCommStatus();
    if (status == 0) m_StatusText = DictionaryText("msg_Connected");
    if (status == 1) m_StatusText = DictionaryText("msg_Disconnected");
    if (status == 2) m_StatusText = DictionaryText("msg_ConnectionError");
    if (auto diagnosis = ControlAs<fdt::IDiagnosisView>(Diagnosis))
        diagnosis->SetDiagnosisStatus(status, m_StatusText, m_USBSWInfo, m_ConnectionColor,
                                      m_USBAdapterPresentColor, m_USBAdapterFirmwareLoadedColor,
                                      m_TIVBusActiveColor);
    if (auto offline = ControlAs<fdt::IOfflineParamView>(OfflineParam))
        offline->SetParameterStatus(status, m_StatusText);
}

void DTMMain::DoMonitorMsg(std::string_view FunctionName, std::string_view Message,
                           std::int32_t color, std::int16_t Filter) {
    const bool shown = (Filter == 2 && m_Persistent.PersistentInterfaceFilter) ||
                       (Filter == 0 && m_Persistent.PersistentProtocolFilter);
    if (!shown) return;
    if (auto monitor = ControlAs<fdt::IMonitorView>(Monitor))
        monitor->MessageLine(MonitorLine(FunctionName, Message), color);
}

void DTMMain::UpdateControlsLanguage() {
    for (Control c : {About, Diagnosis, Monitor, OfflineParam, Test})
        if (auto gui = ControlAs<fdt::IActiveXGUI>(c)) gui->UpdateLanguage();
}

// ---- _DTMMain ----

#define TIVMATE_SHORT_PROPERTY(Name)                        \
    com::HRESULT DTMMain::get_##Name(std::int16_t* Value) { \
        if (!Value) return com::E_POINTER;                  \
        *Value = m_Persistent.Name;                         \
        return com::S_OK;                                   \
    }                                                       \
    com::HRESULT DTMMain::put_##Name(std::int16_t value) {  \
        m_Persistent.Name = value;                          \
        return com::S_OK;                                   \
    }
#define TIVMATE_BOOL_PROPERTY(Name)                                          \
    com::HRESULT DTMMain::get_##Name(com::VARIANT_BOOL* Value) {             \
        if (!Value) return com::E_POINTER;                                   \
        *Value = m_Persistent.Name ? com::VARIANT_TRUE : com::VARIANT_FALSE; \
        return com::S_OK;                                                    \
    }                                                                        \
    com::HRESULT DTMMain::put_##Name(com::VARIANT_BOOL value) {              \
        m_Persistent.Name = value != com::VARIANT_FALSE;                     \
        return com::S_OK;                                                    \
    }
#define TIVMATE_VARIANT_PROPERTY(Name, Member)                \
    com::HRESULT DTMMain::get_##Name(com::Variant* Value) {   \
        if (!Value) return com::E_POINTER;                    \
        *Value = Member;                                      \
        return com::S_OK;                                     \
    }                                                         \
    com::HRESULT DTMMain::put_##Name(const com::Variant& v) { \
        Member = v.value();                                   \
        return com::S_OK;                                     \
    }
#define TIVMATE_PLAIN_PROPERTY(Name, Type, InType, Member) \
    com::HRESULT DTMMain::get_##Name(Type* Value) {        \
        if (!Value) return com::E_POINTER;                 \
        *Value = Member;                                   \
        return com::S_OK;                                  \
    }                                                      \
    com::HRESULT DTMMain::put_##Name(InType v) {           \
        Member = v;                                        \
        return com::S_OK;                                  \
    }

TIVMATE_SHORT_PROPERTY(PersistentFilterTypeValue)
TIVMATE_SHORT_PROPERTY(PersistentBufferSizeValue)
TIVMATE_SHORT_PROPERTY(PersistentBufferModeValue)
TIVMATE_SHORT_PROPERTY(PersistentCommTimeoutValue)
TIVMATE_SHORT_PROPERTY(PersistentCommRetriesValue)
TIVMATE_SHORT_PROPERTY(PersistentMaxStackValue)
TIVMATE_BOOL_PROPERTY(PersistentDelay)
TIVMATE_BOOL_PROPERTY(PersistentProtocolFilter)
TIVMATE_BOOL_PROPERTY(PersistentInterfaceFilter)
TIVMATE_SHORT_PROPERTY(PersistentAdapterAddress)
TIVMATE_SHORT_PROPERTY(PersistentDisplayCyclicVal)
TIVMATE_VARIANT_PROPERTY(TIVAdapterPresent, m_TIVAdapterPresent)
TIVMATE_VARIANT_PROPERTY(TIVAdapterFirmwareLoaded, m_TIVAdapterFirmwareLoaded)
TIVMATE_VARIANT_PROPERTY(TIVBusConnected, m_TIVBusConnected)
TIVMATE_VARIANT_PROPERTY(NumAdapters, m_NumAdapters)
TIVMATE_VARIANT_PROPERTY(TIVAdapterSWNo, m_TIVAdapterSWNo)
TIVMATE_VARIANT_PROPERTY(AdapterSelectResult, m_AdapterSelectResult)
TIVMATE_VARIANT_PROPERTY(DllVersionNumber, m_DllVersionNumber)
TIVMATE_PLAIN_PROPERTY(TIVDrvDebug, com::VARIANT_BOOL, com::VARIANT_BOOL, m_TIVDrvDebug)
TIVMATE_PLAIN_PROPERTY(ConnectionColor, std::int32_t, std::int32_t, m_ConnectionColor)
TIVMATE_PLAIN_PROPERTY(USBAdapterPresentColor, std::int32_t, std::int32_t, m_USBAdapterPresentColor)
TIVMATE_PLAIN_PROPERTY(USBAdapterFirmwareLoadedColor, std::int32_t, std::int32_t,
                       m_USBAdapterFirmwareLoadedColor)
TIVMATE_PLAIN_PROPERTY(TIVBusActiveColor, std::int32_t, std::int32_t, m_TIVBusActiveColor)
TIVMATE_PLAIN_PROPERTY(USBSWInfo, std::string, const std::string&, m_USBSWInfo)
TIVMATE_PLAIN_PROPERTY(StatusText, std::string, const std::string&, m_StatusText)
TIVMATE_PLAIN_PROPERTY(PresistentTrace, std::string, const std::string&,
                       m_Persistent.PresistentTrace)

com::HRESULT DTMMain::get_AdapterSWNumberInfo(com::Variant* Value) {
    if (!Value) return com::E_POINTER;
    return GuardedCall(IID__DTMMain, [&] { *Value = AdapterSWNumberInfoValue(); });
}

com::HRESULT DTMMain::get_CommStatus(com::Variant* Value) {
    if (!Value) return com::E_POINTER;
    *Value = com::Variant(ComputeCommStatus());
    return com::S_OK;
}

com::HRESULT DTMMain::put_CommStatus(const com::Variant& v) {
    return GuardedCall(IID__DTMMain, [&] { m_CommStatusStored = v.value().converted(com::VT_I4); });
}

com::HRESULT DTMMain::PersistentParamChanged(const std::string& ParamName,
                                             const std::string& NewValue) {
    // The change is kept whatever happens to the notification.
    m_Dirty = true;
    if (ParamName == "PersistentMaxStackValue")
        if (auto diagnosis = ControlAs<fdt::IDiagnosisView>(Diagnosis))
            diagnosis->put_MaxStackSize(com::Variant(NewValue));
    if (auto events = ContainerEvents()) {
        try {
            com::VARIANT_BOOL ignored = com::VARIANT_FALSE;
            events->OnParameterChanged(
                m_SystemTag, m_XMLHelp->OnParameterChanged(ParamName, NewValue), &ignored);
        } catch (const std::exception& e) {
            WriteTrace("PersistentParamChanged", e.what());
        }
    }
    return com::S_OK;
}

com::HRESULT DTMMain::OnInitControl(com::IDispatch** Container) {
    if (!Container) return com::E_POINTER;
    *Container = m_Container.get();
    if (*Container) (*Container)->AddRef();
    return com::S_OK;
}

com::HRESULT DTMMain::TIVDriverPointer(com::IDispatch** Driver) {
    if (!Driver) return com::E_POINTER;
    *Driver = m_tivdrv.get();
    if (*Driver) (*Driver)->AddRef();
    return com::S_OK;
}

com::HRESULT DTMMain::GetDictionaryText(const std::string& TextID, com::Variant* Text) {
    if (!Text) return com::E_POINTER;
    const auto entry = m_Dictionary.GetTextEntry("keys", TextID, "text");
    *Text = entry ? com::Variant(*entry) : com::Variant();
    return com::S_OK;
}

com::HRESULT DTMMain::putref_CtlAboutPointer(com::IDispatch* control) {
    m_Controls[About] = control;
    return com::S_OK;
}

com::HRESULT DTMMain::get_CtlDiagnosisPointer(com::IDispatch** Control) {
    if (!Control) return com::E_POINTER;
    *Control = m_Controls[Diagnosis].get();
    if (*Control) (*Control)->AddRef();
    return com::S_OK;
}

com::HRESULT DTMMain::putref_CtlDiagnosisPointer(com::IDispatch* control) {
    m_Controls[Diagnosis] = control;
    return com::S_OK;
}

com::HRESULT DTMMain::putref_CtlMonitorPointer(com::IDispatch* control) {
    m_Controls[Monitor] = control;
    return com::S_OK;
}

com::HRESULT DTMMain::putref_CtlOfflineParamPointer(com::IDispatch* control) {
    m_Controls[OfflineParam] = control;
    return com::S_OK;
}

com::HRESULT DTMMain::putref_CtlTestPointer(com::IDispatch* control) {
    m_Controls[Test] = control;
    return com::S_OK;
}

com::HRESULT DTMMain::TranslateControls(const std::string& Prefix, com::IDispatch* ControlsColl) {
    com::ComPtr<fdt::IControlCaptions> controls;
    if (!ControlsColl ||
        com::FAILED(ControlsColl->QueryInterface(fdt::IControlCaptions::iid, controls.putVoid())))
        return com::reportError(com::E_INVALIDARG, IID__DTMMain, kDTMMainSource,
                                "TranslateControls: not a control collection");
    std::int32_t count = 0;
    if (com::FAILED(controls->get_Count(&count))) return com::S_OK;
    for (std::int32_t i = 0; i < count; ++i) {
        std::string key = Prefix;
        std::string name;
        if (com::SUCCEEDED(controls->Name(i, &name))) {
            key += name;
            com::Variant index;
            if (com::SUCCEEDED(controls->Index(i, &index)) && !index.isEmpty())
                key += "_" + textOf(index);
        }
        if (key.size() <= Prefix.size()) continue;
        controls->SetCaption(i, m_Dictionary.GetTextEntry("keys", key, "text").value_or(""));
    }
    return com::S_OK;
}

com::HRESULT DTMMain::InitUBSAdapter() {
    return GuardedCall(IID__DTMMain, [&] { DoInitUBSAdapter(); });
}

com::HRESULT DTMMain::Set_Status() {
    return GuardedCall(IID__DTMMain, [&] { DoSetStatus(); });
}

com::HRESULT DTMMain::MonitorMsg(const std::string& FunctionName, const std::string& Message,
                                 std::int32_t LineColor, std::int16_t Filter) {
    return GuardedCall(IID__DTMMain,
                       [&] { DoMonitorMsg(FunctionName, Message, LineColor, Filter); });
}

}  // namespace tivmate
