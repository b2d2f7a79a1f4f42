#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "com/ComObject.h"
#include "com/ComPtr.h"
#include "com/DispatchTable.h"
#include "com/ErrorInfo.h"
#include "com/EventSink.h"
#include "core/XMLHelp.h"
#include "core/clsCommunicator.h"
#include "core/clsDictionary.h"
#include "core/clsTimerControl.h"
#include "fdt/ChannelCollection.h"
#include "fdt/ControlInterfaces.h"
#include "fdt/FdtInterfaces.h"
#include "fdt/Persistence.h"
#include "tivlink/ITivDriver.h"
#include "tivmate/DTMMain.h"

namespace tivmate {

inline constexpr std::string_view kDTMMainSource = "Tivmate.DTMMain";

// The persistent parameter set, in the order it is read and written.
struct PersistentValues {
    std::string PresistentTrace = "None";
    std::int16_t PersistentFilterTypeValue = 0;
    std::int16_t PersistentBufferSizeValue = 0;
    std::int16_t PersistentBufferModeValue = 0;
    std::int16_t PersistentCommTimeoutValue = 0;
    std::int16_t PersistentCommRetriesValue = 0;
    std::int16_t PersistentMaxStackValue = 0;
    bool PersistentDelay = false;
    bool PersistentProtocolFilter = false;
    bool PersistentInterfaceFilter = false;
    std::int16_t PersistentAdapterAddress = 0;
    std::int16_t PersistentDisplayCyclicVal = 0;
    std::string m_ChannelUUID = "290C3644-7618-46fC-8398-33B8BB47D92B";
};

// The DTM: Tivmate's one creatable class. It owns its driver, document object, dictionary,
// communicator and timers and lives on the thread that created it; driver events and timer
// ticks arrive there as messages. Nothing it hands out (driver sink, channel entry) keeps it
// alive, so the frame's last Release destroys it and its driver.
class DTMMain final
    : public com::ComObject<
          DTMMain, com::DispatchImpl<DTMMain, _DTMMain>, fdt::DualImpl<DTMMain, fdt::IDtm>,
          fdt::DualImpl<DTMMain, fdt::IDtmInformation>, fdt::DualImpl<DTMMain, fdt::IFdtEvents>,
          fdt::DualImpl<DTMMain, fdt::IDtmChannel>, fdt::DualImpl<DTMMain, fdt::IFdtChannel>,
          fdt::IPersistPropertyBag, fdt::DualImpl<DTMMain, fdt::IDtmActiveXInformation>,
          fdt::DualImpl<DTMMain, fdt::IDtmDocumentation>,
          fdt::DualImpl<DTMMain, fdt::IFdtChannelSubTopology>,
          fdt::DualImpl<DTMMain, fdt::IDtmParameter>,
          fdt::DualImpl<DTMMain, fdt::IFdtCommunication>,
          com::SupportErrorInfoImpl<&IID__DTMMain, &fdt::IID_IDtm, &fdt::IID_IDtmInformation,
                                    &fdt::IID_IPersistPropertyBag, &fdt::IID_IDtmActiveXInformation,
                                    &fdt::IID_IDtmDocumentation, &fdt::IID_IFdtChannel,
                                    &fdt::IID_IFdtChannelSubTopology, &fdt::IID_IDtmParameter,
                                    &fdt::IID_IFdtCommunication>> {
public:
    // Creation in the described order; raises com::ComError (the driver's own failure
    // included) when the object cannot be made.
    DTMMain();
    ~DTMMain() override;

    static const com::InterfaceDesc& interfaceDesc();
    static com::HRESULT createInstance(const com::Guid& iid, void** out) noexcept;

    // _DTMMain
#define TIV_P(dir, type, name) TIV_COM_CT(dir, type) name
#define TIV_MEMBER(dispId, kind, name, params) \
    com::HRESULT TIV_COM_NAME(kind, name)      \
    params override;
#include "tivmate/DTMMainMembers.def"

    // IDtm
    com::HRESULT Environment(const std::string& systemTag, com::IDispatch* container,
                             com::VARIANT_BOOL* result) override;
    com::HRESULT InitNew(const std::string& deviceType, com::VARIANT_BOOL* result) override;
    com::HRESULT Config(const std::string& userInformation, com::VARIANT_BOOL* result) override;
    com::HRESULT SetCommunication(com::IDispatch* communication,
                                  com::VARIANT_BOOL* result) override;
    com::HRESULT PrepareToRelease(com::VARIANT_BOOL* result) override;
    com::HRESULT PrepareToReleaseCommunication(com::VARIANT_BOOL* result) override;
    com::HRESULT ReleaseCommunication(com::VARIANT_BOOL* result) override;
    com::HRESULT PrepareToDelete(com::VARIANT_BOOL* result) override;
    com::HRESULT SetLanguage(std::int32_t languageId, com::VARIANT_BOOL* result) override;
    com::HRESULT GetFunctions(const std::string& operationState, std::string* result) override;
    com::HRESULT InvokeFunctionRequest(const std::string& invokeId, const std::string& functionCall,
                                       com::VARIANT_BOOL* result) override;
    com::HRESULT PrivateDialogEnabled(com::VARIANT_BOOL enabled,
                                      com::VARIANT_BOOL* result) override;

    // IDtmInformation
    com::HRESULT GetInformation(std::string* result) override;

    // IFdtEvents
    com::HRESULT OnChildParameterChanged(const std::string& childTag,
                                         com::VARIANT_BOOL* result) override;
    com::HRESULT OnLockDataSet(const std::string& systemTag, const std::string& lockInfo,
                               com::VARIANT_BOOL* result) override;
    com::HRESULT OnParameterChanged(const std::string& systemTag, const std::string& parameterXml,
                                    com::VARIANT_BOOL* result) override;
    com::HRESULT OnUnlockDataSet(const std::string& systemTag, const std::string& lockInfo,
                                 com::VARIANT_BOOL* result) override;

    // IDtmChannel, IFdtChannel
    com::HRESULT GetChannels(com::IDispatch** channels) override;
    com::HRESULT GetChannelParameters(const std::string& parameterPath,
                                      const std::string& protocolId, std::string* result) override;
    com::HRESULT GetChannelPath(std::string* result) override;
    com::HRESULT SetChannelParameters(const std::string& parameterPath,
                                      const std::string& protocolId, const std::string& xmlDocument,
                                      com::VARIANT_BOOL* result) override;

    // IDtmActiveXInformation, IDtmDocumentation, IDtmParameter
    com::HRESULT GetActiveXGuid(const std::string& functionCall, std::string* result) override;
    com::HRESULT GetActiveXProgId(const std::string& functionCall, std::string* result) override;
    com::HRESULT GetDocumentation(const std::string& functionCall, std::string* result) override;
    com::HRESULT GetParameters(const std::string& parameterPath, std::string* result) override;
    com::HRESULT SetParameters(const std::string& parameterPath, const std::string& xmlDocument,
                               com::VARIANT_BOOL* result) override;

    // IFdtChannelSubTopology: one child device below the channel.
    com::HRESULT ScanRequest(const std::string& protocolId, com::VARIANT_BOOL* result) override;
    com::HRESULT ValidateAddChild(const std::string& childTag, com::VARIANT_BOOL* result) override;
    com::HRESULT OnAddChild(const std::string& childTag, com::VARIANT_BOOL* result) override;
    com::HRESULT ValidateRemoveChild(const std::string& childTag,
                                     com::VARIANT_BOOL* result) override;
    com::HRESULT OnRemoveChild(const std::string& childTag, com::VARIANT_BOOL* result) override;

    // IPersistPropertyBag: InitProperties, ReadProperties, WriteProperties.
    com::HRESULT GetClassID(com::Guid* classId) override;
    com::HRESULT InitNew() override;
    com::HRESULT Load(fdt::IPropertyBag* bag, fdt::IErrorLog* errorLog) override;
    com::HRESULT Save(fdt::IPropertyBag* bag, bool clearDirty, bool saveAllProperties) override;
    com::HRESULT IsDirty() override;

    // IFdtCommunication (DTMMainCommunication.cpp)
    com::HRESULT Abort(const std::string& communicationReference) override;
    com::HRESULT ConnectRequest(com::IDispatch* callback, const std::string& invokeId,
                                const std::string& protocolId, const std::string& xmlDocument,
                                com::VARIANT_BOOL* result) override;
    com::HRESULT DisconnectRequest(const std::string& invokeId, const std::string& xmlDocument,
                                   com::VARIANT_BOOL* result) override;
    com::HRESULT TransactionRequest(const std::string& invokeId, const std::string& xmlDocument,
                                    com::VARIANT_BOOL* result) override;
    com::HRESULT GetSupportedProtocols(std::string* result) override;
    com::HRESULT SequenceBegin(const std::string& sequence, com::VARIANT_BOOL* result) override;
    com::HRESULT SequenceStart(const std::string& sequence, com::VARIANT_BOOL* result) override;
    com::HRESULT SequenceEnd(const std::string& sequence, com::VARIANT_BOOL* result) override;

    // C++ accessors of the members the dispatch table does not carry.
    XMLHelp& XMLHelpPointer() {
        return *m_XMLHelp;
    }
    clsCommunicator& ComClsPointer() {
        return *m_Communicator;
    }
    clsDictionary& Dictionary() {
        return m_Dictionary;
    }
    const PersistentValues& Persistent() const {
        return m_Persistent;
    }
    bool ApplyDriverSettings();
    // Empty when the dictionary has no entry.
    std::string DictionaryText(std::string_view TextID) const;
    const std::string& SystemTag() const {
        return m_SystemTag;
    }
    std::int16_t UserLevel() const {
        return m_UserLevel;
    }
    bool HasDriver() const {
        return static_cast<bool>(m_tivdrv);
    }
    clsTimerControl& TimeoutTimer() {
        return *m_TimeoutTimer;
    }
    clsTimerControl& RecordTimer() {
        return *m_RecordTimer;
    }
    std::int32_t CyclicRecordSaveSize() const {
        return m_CyclicRecordSaveSize;
    }
    std::int16_t LoadAdapterResult() const {
        return m_LoadAdapterResult;
    }

    // A driver event by its dispatch id (the sink forwards here while the DTM lives).
    void OnDriverEvent(com::DISPID id);

    // Empties every control slot that holds `control` (by identity). A control unregisters
    // this way, so a second page of the same kind keeps its slot when the first one closes.
    void ReleaseControl(com::IUnknown* control);

private:
    struct SinkLink;
    enum Control { About, Diagnosis, Monitor, OfflineParam, Test, ControlCount };

    void DoInitUBSAdapter();
    void DoSetStatus();
    void OnFirmwareLoadedStep();
    void OnTivConnectedEvent();
    void OnAdapterDisconEvent();
    void DoMonitorMsg(std::string_view FunctionName, std::string_view Message, std::int32_t color,
                      std::int16_t Filter);
    std::int32_t ComputeCommStatus() const;
    com::Variant AdapterSWNumberInfoValue();
    void ReleaseDriver();
    void UpdateControlsLanguage();
    template <class Itf>
    com::ComPtr<Itf> ControlAs(Control which) const;
    com::ComPtr<fdt::IDtmEvents> ContainerEvents() const;
    void MarkAllChanged() {
        m_Dirty = true;
    }

    com::ComPtr<tivlink::ITivDriver> m_tivdrv;
    com::ComPtr<com::EventSink> m_Sink;
    std::uint32_t m_SinkCookie = 0;
    std::shared_ptr<SinkLink> m_SinkLink;

    std::unique_ptr<clsTimerControl> m_TimeoutTimer;
    std::unique_ptr<clsTimerControl> m_RecordTimer;
    std::unique_ptr<XMLHelp> m_XMLHelp;
    clsDictionary m_Dictionary;
    std::unique_ptr<clsCommunicator> m_Communicator;
    std::array<com::ComPtr<com::IDispatch>, ControlCount> m_Controls;

    std::string m_SystemTag;
    com::ComPtr<fdt::IFdtContainer> m_Container;
    std::int16_t m_UserLevel = 0;
    bool m_PrivateDialogEnabled = false;
    std::string m_ChildTag;
    com::ComPtr<fdt::ChannelCollection> m_ChannelCollection;
    com::ComPtr<fdt::WeakChannel> m_ChannelView;
    std::filesystem::path m_AppPath, m_XMLDataPath, m_XMLSchemaPath, m_IniPath;
    std::string m_IsTestControlAvailable;
    std::int32_t m_CyclicRecordSaveSize = 0;

    PersistentValues m_Persistent;
    bool m_Dirty = false;

    bool m_TIVDrvDebug = false;
    com::Variant m_TIVAdapterPresent, m_TIVAdapterFirmwareLoaded, m_TIVBusConnected;
    com::Variant m_NumAdapters, m_TIVAdapterSWNo, m_AdapterSelectResult, m_DllVersionNumber;
    com::Variant m_CommStatusStored;
    std::int32_t m_ConnectionColor = kColorRed, m_USBAdapterPresentColor = kColorRed,
                 m_USBAdapterFirmwareLoadedColor = kColorRed, m_TIVBusActiveColor = kColorRed;
    std::string m_USBSWInfo, m_StatusText;
    std::int16_t m_LoadAdapterResult = 0;

    // ---- communication services (DTMMainCommunication*.cpp) ----
    enum class SendStep { Sent, NotSent, AnsweredGoOn };
    bool DoSendOnConnectResponse(fdt::IFdtCommunicationEvents* I_Callback);
    bool SendOnDisconnectResponse();
    bool QueueTransaction(const clsCommunicator::Call& request);
    bool SendProtocol();
    SendStep SendProtocolStep();
    void ProcessResponse(std::int32_t TelType, std::int32_t DataSize, std::int32_t SubNo,
                         std::int32_t ObjNo, std::int32_t Control, const com::Variant& Data,
                         const std::string& invokeId);
    void HandleCommunicationFailure(fdtTIVCommErrorCode code, std::string_view FunctionText,
                                    std::string_view MessageText);
    void TimeoutTimerEvent();
    void RecordTimerEvent();
    void OnResponseEvent();
    void OnDelayedResponseEvent();
    void OnOverrunEvent();
    void OnMvAvailableEvent();
    void RetryPendingConnect();
    void EndCommunicationForRelease();
    // The cyclic record's special functions; the reply is the prepared answer.
    bool StartCyclicRecord(const clsCommunicator::Call& request, clsCommunicationCall& reply);
    bool StopCyclicRecord(const clsCommunicator::Call& request, clsCommunicationCall& reply);
    void SendCyclicRecordResponse(const std::string& RecordState);
    // Refuses pairs and times the driver cannot hold; the reason, or empty.
    std::string CheckCyclicRecordRequest(const clsCommunicationCall& request) const;
    bool CreateRecordFile(const std::filesystem::path& file);
    // Every end: timer off, reception stopped when idle, slots freed, buffer written and
    // cleared. Returns the state to answer: `state`, or "recFail" after a write error.
    std::string FinishCyclicRecord(const std::string& state);
    void FreeMeasuredValueSlots();
    void WriteRecordBuffer();
    void AnswerCyclicRecord(const std::string& invokeId, const std::string& RecordState);
    std::filesystem::path m_RecordFile;
    bool m_RecordWriteFailed = false;
    std::chrono::system_clock::time_point m_RecordStartTime{};
    void ReadDelayedResponse(const clsCommunicator::Call& request, clsCommunicationCall& reply);
    // Every answer to a device DTM goes through here: a missing callback is skipped, the
    // callback's failure traced and never passed on.
    void AnswerTransaction(const std::string& invokeId, const std::string& document);
    void ShowQueueCounters();
    // Reception stops only when nobody waits for it: no request on the bus, no record, no
    // delayed answer announced.
    void StopReceptionWhenIdle();
    void ProtocolLine(const std::string& text, std::int32_t color);
    void DumpTelegram(const clsCommunicationCall& call, bool transmit);
    void StatusLine(std::uint8_t control);
    bool m_DelayedPending = false;
    bool m_InSendProtocol = false;
    bool m_SendAgain = false;

    struct DelayedResponse {
        std::uint8_t StateDelayed = 0, ObjectNoMSB = 0, ObjectNoLSB = 0, SubNo = 0, CtlByte = 0,
                     Length = 0;
        com::Variant Data;
    } m_DelResponse;
};

}  // namespace tivmate
