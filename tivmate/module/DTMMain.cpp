// DTMMain: creation and destruction, the IDtm lifecycle, the frame's notifications and the
// channel view. Status, adapter start-up and persistence are in the files beside this one.

#include "module/DTMMain.h"

#include "com/CoCreate.h"
#include "com/ConnectionPoint.h"
#include "core/AppDirectory.h"
#include "core/Settings.h"
#include "core/TextConversions.h"
#include "core/Trace.h"
#include "module/Guarded.h"
#include "os/MessageBox.h"

namespace tivmate {

// The driver sink's way back: cleared before the DTM goes, so a late event finds nobody.
struct DTMMain::SinkLink {
    DTMMain* dtm = nullptr;
};

DTMMain::DTMMain() {
    // 1. Settings read once per object.
    m_AppPath = ApplicationDirectory();
    m_IniPath = IniPath();
    m_IsTestControlAvailable = ReadIniString(m_IniPath, "Advanced", "IsTestControlAvailable");
    const std::string cyclic = ReadIniString(m_IniPath, "TimeCritical", "CyclicRecordSaveSize ");
    const auto cyclicSize = ParseIniLong(cyclic);
    if (!cyclicSize)
        throw com::ComError(
            com::DISP_E_TYPEMISMATCH,
            "DTM.ini [TimeCritical] CyclicRecordSaveSize: \"" + cyclic + "\" is not a number");
    m_CyclicRecordSaveSize = *cyclicSize;

    // 2. The driver, its events reaching this object only while it lives.
    com::HRESULT hr = com::S_OK;
    m_tivdrv = com::createInstance<tivlink::ITivDriver>(tivlink::CLSID_TivDriver, &hr);
    if (com::FAILED(hr) || !m_tivdrv) {
        com::throwIfFailed(com::FAILED(hr) ? hr : com::E_NOINTERFACE);
    }
    m_SinkLink = std::make_shared<SinkLink>(SinkLink{this});
    m_Sink = com::EventSink::create(
        tivlink::DIID_ITivDriverEvents,
        [link = m_SinkLink](com::DISPID id, const com::DispParams&, com::Variant*) {
            if (link->dtm) link->dtm->OnDriverEvent(id);
            return com::S_OK;
        });
    try {
        com::throwIfFailed(com::advise(m_tivdrv.get(), tivlink::DIID_ITivDriverEvents,
                                       m_Sink->identity(), &m_SinkCookie));
        WriteTrace("Class_Initialize", "TIV Treiber Instanz erstellt");

        // 3. The driver's version as "major.minor".
        std::int32_t version = 0;
        com::throwIfFailed(m_tivdrv->get_Version(&version));
        const auto text = DllVersionText(version);
        if (!text)
            throw com::ComError(com::DISP_E_OVERFLOW, "driver version " + std::to_string(version) +
                                                          " does not fit into two bytes");
        m_DllVersionNumber = com::Variant(*text);

        // 4. Firmware file and CRC check mode.
        com::throwIfFailed(m_tivdrv->put_Filename((m_AppPath / "load.bix").string()));
        std::int32_t setResult = 0;
        com::throwIfFailed(m_tivdrv->SetCheckMode(1, &setResult));
        com::VARIANT_BOOL checkMode = com::VARIANT_FALSE;
        com::throwIfFailed(m_tivdrv->GetCheckMode(&checkMode));
        WriteTrace("Class_Initialize", checkMode ? "TIV Treiber automatischer Check für CRC gesetzt"
                                                 : "TIV Treiber automatischer Check für CRC "
                                                   "fehlgeschlagen");

        // 5. The channel list holds a view that does not own this object.
        m_ChannelCollection = fdt::ChannelCollection::create();
        m_ChannelView = fdt::WeakChannel::create(static_cast<fdt::IFdtChannel*>(this),
                                                 static_cast<fdt::IFdtChannelSubTopology*>(this));
        m_ChannelCollection->Add(static_cast<fdt::IFdtChannel*>(m_ChannelView.get()),
                                 "TIVChannel1");

        // 6. Timers. Their work belongs to the call queue; after PrepareToRelease they are off.
        m_TimeoutTimer = std::make_unique<clsTimerControl>([this] {
            try {
                TimeoutTimerEvent();
            } catch (const std::exception& e) {
                WriteTrace("TimeoutTimer_TimerEvent()", e.what());
            }
        });
        m_RecordTimer = std::make_unique<clsTimerControl>([this] {
            try {
                RecordTimerEvent();
            } catch (const std::exception& e) {
                WriteTrace("RecordTimer_TimerEvent()", e.what());
            }
        });

        // 7. Documents and dictionary; a dictionary that does not load leaves every text empty.
        m_XMLDataPath = m_AppPath / "XMLData";
        m_XMLSchemaPath = m_AppPath / "XMLSchemas";
        m_XMLHelp = std::make_unique<XMLHelp>(m_XMLDataPath, m_AppPath);
        m_Dictionary.LoadDictionary(m_XMLDataPath / "DTMDictionary.xml");

        // 8, 9. Communicator, debug flag, colours (red from the members' initialisers).
        m_Communicator = std::make_unique<clsCommunicator>();
        m_TIVDrvDebug = false;

    } catch (...) {
        // Nothing may point back at an object that was never made.
        if (m_ChannelView) m_ChannelView->detach();
        ReleaseDriver();
        throw;
    }

    // 10. Errors from here on are ignored.
    try {
        ApplyTraceFileSizeLimit();
    } catch (...) {
    }
}

DTMMain::~DTMMain() {
    m_TimeoutTimer.reset();
    m_RecordTimer.reset();
    m_XMLHelp.reset();
    m_Communicator.reset();
    if (m_ChannelView) m_ChannelView->detach();
    m_ChannelCollection.reset();
    ReleaseDriver();
}

void DTMMain::ReleaseDriver() {
    if (m_SinkLink) m_SinkLink->dtm = nullptr;
    if (m_tivdrv && m_SinkCookie)
        com::unadvise(m_tivdrv.get(), tivlink::DIID_ITivDriverEvents, m_SinkCookie);
    m_SinkCookie = 0;
    m_tivdrv.reset();
}

com::HRESULT DTMMain::createInstance(const com::Guid& iid, void** out) noexcept {
    return ComObjectImpl::createInstance(iid, out);
}

std::string DTMMain::DictionaryText(std::string_view TextID) const {
    return m_Dictionary.GetTextEntry("keys", TextID, "text").value_or("");
}

com::ComPtr<fdt::IDtmEvents> DTMMain::ContainerEvents() const {
    com::ComPtr<fdt::IDtmEvents> events;
    if (m_Container) m_Container->QueryInterface(fdt::IDtmEvents::iid, events.putVoid());
    return events;
}

// ---- IDtm ----

com::HRESULT DTMMain::Environment(const std::string& systemTag, com::IDispatch* container,
                                  com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IDtm, result, [&] {
        WriteTrace("IDtm_Environment", "begin");
        com::ComPtr<fdt::IFdtContainer> frame;
        com::ComPtr<fdt::IDtmEvents> events;
        if (container) {
            container->QueryInterface(fdt::IFdtContainer::iid, frame.putVoid());
            container->QueryInterface(fdt::IDtmEvents::iid, events.putVoid());
        }
        if (systemTag.empty() || !frame || !events || !m_SystemTag.empty() || m_Container) {
            WriteTrace("IDtm_Environment", "end");
            return false;
        }
        m_SystemTag = systemTag;
        m_Container = frame;
        // A frame without a usable schema directory still embeds the DTM.
        std::string schemaPath;
        if (com::SUCCEEDED(m_Container->GetXmlSchemaPath(&schemaPath)) && !schemaPath.empty())
            m_XMLHelp->InitXMLSchemaCache(schemaPath);
        m_XMLHelp->InitXMLSchemaCache(m_XMLSchemaPath);
        DoInitUBSAdapter();
        WriteTrace("IDtm_Environment", "end");
        return true;
    });
}

com::HRESULT DTMMain::InitNew(const std::string& deviceType, com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IDtm, result, [&] {
        WriteTrace("IDtm_InitNew", "begin");
        bool accepted = false;
        if (m_tivdrv) {
            accepted = m_XMLHelp->CheckInitInformation(deviceType);
        } else {
            os::MessageBox(DictionaryText("err_adding_second_driver_prompt"),
                           DictionaryText("err_adding_second_driver_title"),
                           os::MB_OK | os::MB_ICONINFORMATION);
        }
        WriteTrace("IDtm_InitNew", "end");
        return accepted;
    });
}

com::HRESULT DTMMain::Config(const std::string& userInformation, com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IDtm, result, [&] {
        WriteTrace("IDtm_Config", "begin");
        static constexpr std::string_view kLevels[] = {"observer", "operator", "maintenance",
                                                       "planningEngineer"};
        const std::string level = m_XMLHelp->GetUserLevel(userInformation);
        bool accepted = false;
        for (std::size_t i = 0; i < std::size(kLevels); ++i) {
            if (level == kLevels[i]) {
                m_UserLevel = static_cast<std::int16_t>(i);
                accepted = true;
            }
        }
        WriteTrace("IDtm_Config", "end");
        return accepted;
    });
}

com::HRESULT DTMMain::SetCommunication(com::IDispatch*, com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IDtm, result, [&] {
        com::VARIANT_BOOL present = com::VARIANT_FALSE;
        if (m_tivdrv) com::throwIfFailed(m_tivdrv->IsAdapterPresent(&present));
        const bool accepted = m_tivdrv && present;
        DoMonitorMsg("IDtm_SetCommunication",
                     accepted ? "IDtm_SetCommunication = True" : "IDtm_SetCommunication = False",
                     kColorBlue, 2);
        return accepted;
    });
}

com::HRESULT DTMMain::PrepareToRelease(com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IDtm, result, [&] {
        auto events = ContainerEvents();
        if (!events) return false;
        // Nothing may reach the driver once it is freed: no tick, no event; pending requests
        // are answered now and the device DTM's callback let go.
        EndCommunicationForRelease();
        if (m_tivdrv) {
            std::int32_t freed = 0;
            const com::HRESULT hr = m_tivdrv->DrvFree(&freed);
            ReleaseDriver();
            com::throwIfFailed(hr);
        }
        events->OnPreparedToRelease(m_SystemTag);
        return true;
    });
}

com::HRESULT DTMMain::PrepareToReleaseCommunication(com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IDtm, result, [&] {
        auto events = ContainerEvents();
        if (!events) return false;
        events->OnPreparedToReleaseCommunication(m_SystemTag);
        return true;
    });
}

com::HRESULT DTMMain::ReleaseCommunication(com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IDtm, result, [] { return true; });
}

com::HRESULT DTMMain::PrepareToDelete(com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IDtm, result, [&] { return !m_Communicator->CommunicationIsActive(); });
}

com::HRESULT DTMMain::SetLanguage(std::int32_t languageId, com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IDtm, result, [&] {
        const std::int32_t primary = languageId & 0x3FF;
        WriteTrace("IDtm_SetLanguage", "MainLanguage: " + std::to_string(primary));
        bool accepted = true;
        if (primary != m_Dictionary.GetIdOfLanguage(m_Dictionary.GetSelectedLanguage())) {
            accepted = m_Dictionary.SelectLanguage(primary, false);
            UpdateControlsLanguage();
        }
        if (!accepted) WriteTrace("IDtm_SetLanguage", "Returnvalue is FALSE");
        return accepted;
    });
}

com::HRESULT DTMMain::GetFunctions(const std::string&, std::string* result) {
    return GuardedText(fdt::IID_IDtm, result, [&] {
        const std::string hidden = EqualsNoCase(m_IsTestControlAvailable, "TRUE") ? "0" : "1";
        // The texts go into XML, so they are escaped on the way in.
        return m_Dictionary.TranslateStringTagsForXml(m_XMLHelp->GetDTMFunctionsDoc(hidden));
    });
}

com::HRESULT DTMMain::InvokeFunctionRequest(const std::string&, const std::string&,
                                            com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IDtm, result, [] { return false; });
}

com::HRESULT DTMMain::PrivateDialogEnabled(com::VARIANT_BOOL enabled, com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IDtm, result, [&] {
        m_PrivateDialogEnabled = enabled != com::VARIANT_FALSE;
        return true;
    });
}

com::HRESULT DTMMain::GetInformation(std::string* result) {
    return GuardedText(fdt::IID_IDtmInformation, result,
                       [&] { return m_XMLHelp->GetDTMInformationDoc(); });
}

// ---- IFdtEvents: the frame's notifications, ignored ----

com::HRESULT DTMMain::OnChildParameterChanged(const std::string&, com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IFdtEvents, result, [] { return false; });
}

com::HRESULT DTMMain::OnLockDataSet(const std::string&, const std::string&,
                                    com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IFdtEvents, result, [] { return false; });
}

com::HRESULT DTMMain::OnParameterChanged(const std::string&, const std::string&,
                                         com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IFdtEvents, result, [] { return false; });
}

com::HRESULT DTMMain::OnUnlockDataSet(const std::string&, const std::string&,
                                      com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IFdtEvents, result, [] { return true; });
}

// ---- IDtmChannel, IFdtChannel ----

com::HRESULT DTMMain::GetChannels(com::IDispatch** channels) {
    if (!channels) return com::E_POINTER;
    WriteTrace("IDtmChannel_GetChannels", "Begin");
    *channels = static_cast<fdt::IFdtChannelCollection*>(m_ChannelCollection.get());
    (*channels)->AddRef();
    WriteTrace("IDtmChannel_GetChannels", "End");
    return com::S_OK;
}

com::HRESULT DTMMain::GetChannelPath(std::string* result) {
    if (!result) return com::E_POINTER;
    *result = m_SystemTag + "/" + m_Persistent.m_ChannelUUID;
    WriteTrace("IFdtChannel_GetChannelPath", *result);
    return com::S_OK;
}

com::HRESULT DTMMain::SetChannelParameters(const std::string&, const std::string&,
                                           const std::string&, com::VARIANT_BOOL* result) {
    if (!result) return com::E_POINTER;
    WriteTrace("IFdtChannel_SetChannelParameters", "");
    *result = com::VARIANT_TRUE;
    return com::S_OK;
}

}  // namespace tivmate
