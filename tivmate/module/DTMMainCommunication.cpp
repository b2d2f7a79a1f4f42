// DTMMain: IFdtCommunication, the call queue's sending path and the request time-out.

#include <cmath>

#include "core/HexConversions.h"
#include "core/TextConversions.h"
#include "core/Trace.h"
#include "module/DTMMain.h"
#include "module/Guarded.h"
#include "os/MessageBox.h"

namespace tivmate {

namespace {

constexpr std::string_view kTivProtocolId = "81684E65-6385-4690-ACCF-49995B3B4E8B";
constexpr char kTab = '\t';

bool truthOf(const com::Variant& v) {
    return v.toInt64().value_or(0) != 0;
}

// A failing driver member counts as that member's failure result.
std::int32_t resultOf(com::HRESULT hr, std::int32_t result, std::string_view member) {
    if (com::SUCCEEDED(hr)) return result;
    WriteTrace(member, "failed with HRESULT " + std::to_string(hr));
    return -1;
}

}  // namespace

// ---- IFdtCommunication ----

com::HRESULT DTMMain::Abort(const std::string&) {
    return GuardedCall(fdt::IID_IFdtCommunication, [&] {
        m_Communicator->ClearComCall();
        m_Communicator->TIVCommunicationActive = false;
        // A repetition in progress must not resend the dropped request, nor a late time-out
        // answer it.
        m_Communicator->TimeoutState = false;
        m_TimeoutTimer->SetEnabled(false);
        ShowQueueCounters();
        // With a disconnect pending this completes it.
        SendProtocol();
        StopReceptionWhenIdle();
    });
}

com::HRESULT DTMMain::ConnectRequest(com::IDispatch* callback, const std::string& invokeId,
                                     const std::string& protocolId, const std::string& xmlDocument,
                                     com::VARIANT_BOOL* result) {
    if (!result) return com::E_POINTER;
    *result = com::VARIANT_FALSE;
    clsCommunicator& com = *m_Communicator;
    bool registered = false;
    try {
        if (!m_tivdrv) return com::S_OK;
        std::int32_t load = 0;
        m_tivdrv->get_LoadResult(&load);
        com::ComPtr<fdt::IFdtCommunicationEvents> events;
        if (callback) callback->QueryInterface(fdt::IFdtCommunicationEvents::iid, events.putVoid());
        if (com.CallbackInterface || invokeId.empty() || !events || protocolId != kTivProtocolId ||
            !truthOf(m_TIVAdapterPresent) || !truthOf(m_TIVBusConnected) ||
            !truthOf(m_TIVAdapterFirmwareLoaded))
            return com::S_OK;
        com.ComState = ccsConnecting;
        DoMonitorMsg("IFdtCommunication_ConnectRequest", "InvokeId=" + invokeId, kColorBlue, 2);
        com.CallbackInterface = events;
        com.ConnectInvokeId = invokeId;
        registered = true;
        com.fdtTag = XMLHelp::GetCallerAttribute(xmlDocument, "FDT/ConnectRequest", "fdt:tag");
        com.CreateCommunicationReference();
        DoSendOnConnectResponse(events.get());
        *result = com::VARIANT_TRUE;
    } catch (const std::exception& e) {
        WriteTrace("IFdtCommunication_ConnectRequest", e.what());
        // A half-made connection would refuse every later connect.
        if (registered) {
            com.ReleaseCallbackInterface();
            com.ReleaseConnectInvokeId();
            com.ReleaseCommunicationReference();
            com.fdtTag.clear();
        }
        com.ComState = ccsOffline;
        os::MessageBox("Error in InitAdapter", "Tivmate", os::MB_OK | os::MB_ICONINFORMATION);
    }
    return com::S_OK;
}

com::HRESULT DTMMain::SendOnConnectResponse(com::IDispatch* I_Callback, com::VARIANT_BOOL* Result) {
    if (!Result) return com::E_POINTER;
    return GuardedCall(IID__DTMMain, [&] {
        com::ComPtr<fdt::IFdtCommunicationEvents> events;
        if (I_Callback)
            I_Callback->QueryInterface(fdt::IFdtCommunicationEvents::iid, events.putVoid());
        *Result = DoSendOnConnectResponse(events.get()) ? com::VARIANT_TRUE : com::VARIANT_FALSE;
    });
}

bool DTMMain::DoSendOnConnectResponse(fdt::IFdtCommunicationEvents* I_Callback) {
    if (!m_tivdrv) return false;
    clsCommunicator& com = *m_Communicator;
    com::Variant softVer;
    com::VARIANT_BOOL loaded = com::VARIANT_FALSE;
    if (com::FAILED(m_tivdrv->IsFirmwareLoaded(&softVer, &loaded)) || !loaded) return false;
    com.SetAdapterSWNumber(softVer.value());
    com.ComState = ccsValidConnected;
    m_ConnectionColor = kColorGreen;
    com::Variant text;
    if (com::FAILED(com::ChangeType(text, com.AdapterSWNumber().value(), com::VT_BSTR)))
        text = com::Variant(std::string());
    m_USBSWInfo = DictionaryText("msg_AdapterFirmwareVersion") + text.bstr();
    DoSetStatus();
    if (I_Callback) {
        const com::HRESULT hr = I_Callback->OnConnectResponse(
            com.ConnectInvokeId,
            m_XMLHelp->TIVConnectResponseXML(com.communicationReference, com.fdtTag));
        if (com::FAILED(hr)) WriteTrace("I_Callback.OnConnectResponse", "the callback failed");
    }
    DoMonitorMsg("I_Callback.OnConnectResponse", "InvokeId=" + com.ConnectInvokeId, kColorBlue, 2);
    return true;
}

void DTMMain::RetryPendingConnect() {
    clsCommunicator& com = *m_Communicator;
    if (com.ComState == ccsConnecting && com.CallbackInterface)
        DoSendOnConnectResponse(com.CallbackInterface.get());
}

com::HRESULT DTMMain::DisconnectRequest(const std::string& invokeId, const std::string&,
                                        com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IFdtCommunication, result, [&] {
        clsCommunicator& com = *m_Communicator;
        // A connection stuck in ccsConnecting may be given up, or nothing could end it.
        if (invokeId.empty() || !com.DisconnectInvokeId.empty() || !com.CallbackInterface)
            return false;
        com.ComState = ccsDisconnecting;
        com.DisconnectInvokeId = invokeId;
        DoMonitorMsg("IFdtCommunication.DisconnectRequest()", "InvokeId=" + invokeId, kColorBlue,
                     2);
        if (SendOnDisconnectResponse()) com.ComState = ccsOffline;
        StopReceptionWhenIdle();
        return true;
    });
}

bool DTMMain::SendOnDisconnectResponse() {
    clsCommunicator& com = *m_Communicator;
    // A running record still answers through the callback.
    if (com.ComReqColCount() != 0 || com.ComState != ccsDisconnecting || com.CyclicComActive)
        return false;
    const std::string invokeId = com.DisconnectInvokeId;
    if (auto callback = com.CallbackInterface) {
        try {
            if (com::FAILED(callback->OnDisconnectResponse(
                    invokeId, m_XMLHelp->TIVDisconnectResponseXML(com.communicationReference))))
                WriteTrace("I_Callback.OnDisconnectResponse()", "the callback failed");
        } catch (const std::exception& e) {
            WriteTrace("I_Callback.OnDisconnectResponse()", e.what());
        }
    }
    DoMonitorMsg("I_Callback.OnDisconnectResponse()", "InvokeId=" + invokeId, kColorBlue, 2);
    com.ReleaseCallbackInterface();
    com.ReleaseCommunicationReference();
    com.ReleaseConnectInvokeId();
    com.DisconnectInvokeId.clear();
    m_ConnectionColor = kColorRed;
    DoSetStatus();
    return true;
}

com::HRESULT DTMMain::GetSupportedProtocols(std::string* result) {
    return GuardedText(fdt::IID_IFdtCommunication, result,
                       [&] { return m_XMLHelp->GetSupportedProtocols(); });
}

com::HRESULT DTMMain::SequenceBegin(const std::string&, com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IFdtCommunication, result, [] { return false; });
}

com::HRESULT DTMMain::SequenceStart(const std::string&, com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IFdtCommunication, result, [] { return false; });
}

com::HRESULT DTMMain::SequenceEnd(const std::string&, com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IFdtCommunication, result, [] { return false; });
}

com::HRESULT DTMMain::TransactionRequest(const std::string& invokeId,
                                         const std::string& xmlDocument,
                                         com::VARIANT_BOOL* result) {
    return Guarded(fdt::IID_IFdtCommunication, result, [&] {
        if (invokeId.empty() || !m_Communicator->CallbackInterface || !m_tivdrv ||
            m_AdapterSelectResult.toInt64().value_or(0) != 0)
            return false;
        DoMonitorMsg("IFdtCommunication.TransactionRequest()", "InvokeID=" + invokeId, kColorBlue,
                     2);
        std::string refusal;
        auto request = m_XMLHelp->XMLDocumentToTIVProtocol(xmlDocument, refusal);
        if (!request) {
            DoMonitorMsg("IFdtCommunication.TransactionRequest()",
                         "InvokeID=" + invokeId + " refused: " + refusal, kColorBlue, 2);
            WriteTrace("IFdtCommunication.TransactionRequest()", refusal);
            return false;
        }
        request->invokeId = invokeId;
        request->RepeatCounter = 1;
        clsCommunicationCall reply;
        reply.MessageType = 6;
        reply.ObjectType = 2;
        reply.NoOfBytes = 4;
        const std::string& special = request->SpecialFunction;
        if (special == "StartRec") return StartCyclicRecord(request, reply);
        if (special == "StopRec") {
            StopCyclicRecord(request, reply);
        } else if (special == "ReadDelayedResponse") {
            ReadDelayedResponse(request, reply);
        } else {
            QueueTransaction(request);
        }
        return true;
    });
}

void DTMMain::ReadDelayedResponse(const clsCommunicator::Call& request,
                                  clsCommunicationCall& reply) {
    DelayedResponse& d = m_DelResponse;
    reply.NoOfBytes = static_cast<std::uint8_t>(d.Length + reply.NoOfBytes + 6);
    reply.SpecialFunction = "ReadDelayedResponse";
    reply.Data = {d.StateDelayed, d.ObjectNoMSB, d.ObjectNoLSB, d.SubNo, d.CtlByte, d.Length};
    if (const com::SafeArray* array = d.Data.arrayPtr(); array && d.Length > 0) {
        for (std::int32_t i = array->lowerBound(); i <= array->upperBound(); ++i) {
            com::Variant element;
            if (array->getElement(i, element) == com::S_OK)
                reply.Data.push_back(static_cast<std::uint8_t>(element.toInt64().value_or(0)));
        }
    }
    DoMonitorMsg("Polling for delayed response", "Delayed Response: " + BytesToHex(reply.Data), 0,
                 0);
    DoMonitorMsg("I_Callback.OnTransactionResponse()", "InvokeID=" + request->invokeId, kColorBlue,
                 2);
    d.StateDelayed |= 0x20;
    AnswerTransaction(request->invokeId, m_XMLHelp->TIVProtocolToXMLDocument(
                                             m_Communicator->communicationReference, reply));
    std::int32_t state = 0;
    if (m_tivdrv && com::SUCCEEDED(m_tivdrv->get_RecState(&state)) && state == 0) {
        std::int32_t r = 0;
        m_tivdrv->StartRec(&r);
    }
}

bool DTMMain::QueueTransaction(const clsCommunicator::Call& request) {
    clsCommunicator& com = *m_Communicator;
    if (com.AddComCall(request, EffectiveTimeoutMs(m_Persistent.PersistentCommTimeoutValue),
                       m_Persistent.PersistentMaxStackValue)) {
        ShowQueueCounters();
        SendProtocol();
        return true;
    }
    AnswerTransaction(
        request->invokeId,
        m_XMLHelp->TIVCommunicationErrorXML(
            cecStackOverflow, m_SystemTag, truthOf(m_TIVBusConnected), com.communicationReference));
    DoMonitorMsg("IFdtCommunication_TransactionRequest()", "Stack Overflow", kColorBlue, 0);
    return false;
}

// ---- sending ----

bool DTMMain::SendProtocol() {
    // Handlers and callbacks reach here from inside a pass: the running loop takes another
    // pass instead of recursing once per queued telegram.
    if (m_InSendProtocol) {
        m_SendAgain = true;
        return false;
    }
    struct Running {
        bool& flag;
        ~Running() { flag = false; }
    } running{m_InSendProtocol};
    m_InSendProtocol = true;
    SendStep step = SendStep::NotSent;
    do {
        m_SendAgain = false;
        step = SendProtocolStep();
        if (step == SendStep::AnsweredGoOn) m_SendAgain = true;
    } while (m_SendAgain);
    return step == SendStep::Sent;
}

DTMMain::SendStep DTMMain::SendProtocolStep() {
    clsCommunicator& com = *m_Communicator;
    if (com.ComReqColCount() == 0 || com.TIVCommunicationActive || com.CyclicComActive) {
        if (SendOnDisconnectResponse()) com.ComState = ccsOffline;
        return SendStep::NotSent;
    }
    clsCommunicator::Call request;
    if (com.TimeoutState && com.ActiveComReq) {
        request = com.ActiveComReq;
    } else {
        com.TimeoutState = false;
        request = com.GetNextComCallItem();
        if (!request) return SendStep::NotSent;
        com.ActiveComReq = request;
    }
    // Nothing can answer object 0, sub 0: answered at once instead of blocking the queue.
    if (request->SubNumber == 0 && request->ObjectNumber == 0) {
        com.RemoveComCall(*request);
        com.TimeoutState = false;
        ShowQueueCounters();
        AnswerTransaction(request->invokeId,
                          m_XMLHelp->TIVCommunicationErrorXML(cecNotSupportedFeature, com.fdtTag,
                                                              truthOf(m_TIVBusConnected),
                                                              com.communicationReference));
        return SendStep::AnsweredGoOn;
    }
    com.TIVCommunicationActive = true;
    const std::int32_t timeout = EffectiveTimeoutMs(m_Persistent.PersistentCommTimeoutValue);
    std::int32_t r = -1;
    if (m_tivdrv) {
        std::int32_t ignored = 0;
        m_tivdrv->put_FilterType(11);
        // A filter left off by a failed settings step would let no answer through.
        m_tivdrv->FilterOn(&ignored);
        m_tivdrv->StartRec(&ignored);
        if (!com.CyclicComActive) {
            if (m_Persistent.PersistentBufferSizeValue > 0)
                m_tivdrv->put_BufferSize(m_Persistent.PersistentBufferSizeValue);
            m_tivdrv->InitBuffer(&ignored);
        }
    }
    clsCommunicator::GetActualTimePlusInterval(request->ResponseTimeHigh, request->ResponseTimeLow,
                                               timeout);
    request->ResponseTime = request->ResponseTimeHigh * 4294967296.0 + request->ResponseTimeLow;
    request->Deadline = os::clock().now() + std::chrono::milliseconds(timeout);
    if (m_tivdrv) {
        std::int32_t sent = 0;
        r = resultOf(
            m_tivdrv->SendAcyclic(request->MessageType, request->NoOfBytes, request->SubNumber,
                                  request->ObjectNumber, request->control,
                                  com::Variant(com::SafeArray::fromBytes(request->Data)), &sent),
            sent, "SendAcyclic");
    }
    m_TimeoutTimer->SetInterval(timeout);
    m_TimeoutTimer->SetEnabled(true);
    if (r != 0) return SendStep::NotSent;  // the time-out repeats or fails it

    if (ControlAs<fdt::IMonitorView>(Monitor)) {
        if (m_Persistent.PersistentInterfaceFilter)
            ControlAs<fdt::IMonitorView>(Monitor)->MessageLine(
                std::string("Fct - SendProtocol()") + kTab + "-->" + kTab + "Tivlink.SendRequest()",
                kColorBlue);
        if (m_Persistent.PersistentProtocolFilter) DumpTelegram(*request, true);
    }
    if (request->MessageType == 7) {
        m_TimeoutTimer->SetEnabled(false);
        com.RemoveComCall(*request);
        com.TIVCommunicationActive = false;
        com.TimeoutState = false;
        StopReceptionWhenIdle();
        ShowQueueCounters();
        AnswerTransaction(request->invokeId, m_XMLHelp->TIVProtocolToXMLDocument(
                                                 com.communicationReference, *request));
        return SendStep::AnsweredGoOn;
    }
    return SendStep::Sent;
}

void DTMMain::HandleCommunicationFailure(fdtTIVCommErrorCode code, std::string_view FunctionText,
                                         std::string_view MessageText) {
    clsCommunicator& com = *m_Communicator;
    const clsCommunicator::Call request = com.ActiveComReq;
    if (!request) return;
    m_TimeoutTimer->SetEnabled(false);
    if (request->RepeatCounter >= m_Persistent.PersistentCommRetriesValue) {
        com.RemoveComCall(*request);
        com.TIVCommunicationActive = false;
        com.TimeoutState = false;
        AnswerTransaction(request->invokeId, m_XMLHelp->TIVCommunicationErrorXML(
                                                 code, com.fdtTag, truthOf(m_TIVBusConnected),
                                                 com.communicationReference));
        DoMonitorMsg(FunctionText, MessageText, kColorBlue, 2);
        ShowQueueCounters();
    } else {
        ++request->RepeatCounter;
        com.TIVCommunicationActive = false;
    }
    SendProtocol();
    StopReceptionWhenIdle();
}

void DTMMain::TimeoutTimerEvent() {
    clsCommunicator& com = *m_Communicator;
    // A time-out after Abort, an answer or an overrun has nobody left to fail.
    if (!com.TIVCommunicationActive || !com.ActiveComReq) {
        m_TimeoutTimer->SetEnabled(false);
        return;
    }
    const auto left = com.ActiveComReq->Deadline - os::clock().now();
    if (left > os::Clock::duration::zero()) {
        m_TimeoutTimer->SetInterval(std::chrono::duration<double, std::milli>(left).count());
        return;
    }
    m_TimeoutTimer->SetEnabled(false);
    std::int32_t state = 0;
    const bool checksum =
        m_tivdrv && com::SUCCEEDED(m_tivdrv->get_ResponseState(&state)) && state == 3;
    const std::string message = "InvokeId=" + com.ActiveComReq->invokeId;
    com.TimeoutState = true;
    if (checksum)
        HandleCommunicationFailure(
            cecChecksumError,
            std::string("m_tivdrv_OnResponse()") + kTab + "-->" + kTab + "Response: Checksum Error",
            message);
    else
        HandleCommunicationFailure(
            cecTimeout,
            std::string("TimeoutTimer_TimerEvent()") + kTab + "-->" + kTab + "Response: Timeout",
            message);
}

void DTMMain::EndCommunicationForRelease() {
    clsCommunicator& com = *m_Communicator;
    m_TimeoutTimer->SetEnabled(false);
    m_RecordTimer->SetEnabled(false);
    // No driver will answer them any more; each caller still hears of its request.
    while (auto request = com.GetNextComCallItem()) {
        com.RemoveComCall(*request);
        AnswerTransaction(request->invokeId, m_XMLHelp->TIVCommunicationErrorXML(
                                                 cecTimeout, com.fdtTag, truthOf(m_TIVBusConnected),
                                                 com.communicationReference));
    }
    com.TIVCommunicationActive = false;
    com.TimeoutState = false;
    // A running record keeps what it has and hears that it ended.
    if (com.CyclicComActive)
        AnswerCyclicRecord(com.CyclicComReq ? com.CyclicComReq->invokeId : std::string(),
                           FinishCyclicRecord("aborted"));
    com.CyclicComActive = false;
    // The callback holds its DTM as the DTM holds it.
    com.ReleaseCallbackInterface();
}

// ---- helpers ----

void DTMMain::AnswerTransaction(const std::string& invokeId, const std::string& document) {
    const auto callback = m_Communicator->CallbackInterface;
    if (!callback) {
        WriteTrace("I_Callback.OnTransactionResponse()", "no callback for InvokeID=" + invokeId);
        return;
    }
    try {
        if (com::FAILED(callback->OnTransactionResponse(invokeId, document)))
            WriteTrace("I_Callback.OnTransactionResponse()", "the callback failed");
    } catch (const std::exception& e) {
        WriteTrace("I_Callback.OnTransactionResponse()", e.what());
    }
}

void DTMMain::ShowQueueCounters() {
    if (auto diagnosis = ControlAs<fdt::IDiagnosisView>(Diagnosis)) {
        const com::Variant count(static_cast<std::int32_t>(m_Communicator->ComReqColCount()));
        diagnosis->put_CommStackVal(count);
        diagnosis->put_ProgBarVal(count);
    }
}

void DTMMain::StopReceptionWhenIdle() {
    const clsCommunicator& com = *m_Communicator;
    if (!m_tivdrv || com.TIVCommunicationActive || com.CyclicComActive || m_DelayedPending) return;
    std::int32_t r = 0;
    m_tivdrv->StopRec(&r);
}

void DTMMain::ProtocolLine(const std::string& text, std::int32_t color) {
    if (!m_Persistent.PersistentProtocolFilter) return;
    if (auto monitor = ControlAs<fdt::IMonitorView>(Monitor)) monitor->MessageLine(text, color);
}

void DTMMain::DumpTelegram(const clsCommunicationCall& call, bool transmit) {
    ProtocolLine("MsgType  :" + std::to_string(call.MessageType) + kTab +
                     "ObjType  :" + std::to_string(call.ObjectType) + kTab +
                     "NoOfBytes:" + std::to_string(call.NoOfBytes),
                 0);
    ProtocolLine("Obj No.  :" + std::to_string(call.ObjectNumber) + kTab +
                     "Sub No.  :" + std::to_string(call.SubNumber) + kTab +
                     (transmit ? "Control  :" : "Status   :") + std::to_string(call.control),
                 0);
    if (call.NoOfBytes <= 4) return;
    std::string line = transmit ? "Transmit Data: >" : "Receive Data: <";
    const std::size_t count = std::min<std::size_t>(call.Data.size(), call.NoOfBytes - 4u);
    for (std::size_t i = 0; i < count; ++i) {
        line += ByteToHex(call.Data[i]) + " ";
        if ((i + 1) % 16 == 0 && i + 1 < count) line += "\r\n\t";
    }
    ProtocolLine(line, 0);
}

void DTMMain::StatusLine(std::uint8_t control) {
    struct Entry {
        std::uint8_t cls, code;
        const char* key;
        std::int32_t color;
    };
    static constexpr Entry kTable[] = {
        {0x00, 1, "msg_RequestDelayed", kColorGreen},
        {0x00, 2, "msg_DataInProcess", kColorGreen},
        {0x00, 16, "msg_FatalErrorData", kColorRed},
        {0x00, 17, "msg_FatalErrorData", kColorRed},
        {0x00, 18, "msg_FatalErrorData", kColorRed},
        {0x00, 32, "msg_FatalErrorDescription", kColorRed},
        {0x00, 33, "msg_FatalErrorDescription", kColorRed},
        {0x00, 34, "msg_FatalErrorDescription", kColorRed},
        {0x40, 1, "msg_Func_Data_RequestProcessed", kColorGreen},
        {0x40, 16, "msg_FatalErrorData", kColorRed},
        {0x40, 17, "msg_FatalErrorData", kColorRed},
        {0x40, 32, "msg_FatalErrorDescription", kColorRed},
        {0x40, 33, "msg_FatalErrorDescription", kColorRed},
        {0x80, 1, "msg_NoDescriptionAvailable", kColorOrange},
        {0x80, 2, "msg_WrongAccessRight", kColorOrange},
        {0x80, 4, "msg_Func_DataCannotBeExecuted", kColorOrange},
        {0x80, 8, "msg_Func_DataNotSupported", kColorOrange},
        {0x80, 16, "msg_FatalErrorData", kColorRed},
        {0x80, 17, "msg_FatalErrorData", kColorRed},
        {0x80, 18, "msg_FatalErrorData", kColorRed},
        {0x80, 20, "msg_FatalErrorData", kColorRed},
        {0x80, 24, "msg_FatalErrorData", kColorRed},
        {0x80, 32, "msg_FatalErrorDescription", kColorRed},
        {0x80, 33, "msg_FatalErrorDescription", kColorRed},
        {0x80, 34, "msg_FatalErrorDescription", kColorRed},
        {0x80, 36, "msg_FatalErrorDescription", kColorRed},
        {0x80, 40, "msg_FatalErrorDescription", kColorRed},
        {0xC0, 1, "msg_ErrorInTesting", kColorRed},
        {0xC0, 16, "msg_FatalErrorData", kColorRed},
        {0xC0, 17, "msg_FatalErrorData", kColorRed},
        {0xC0, 32, "msg_FatalErrorDescription", kColorRed},
        {0xC0, 33, "msg_FatalErrorDescription", kColorRed},
    };
    static constexpr const char* kPrefix[] = {"Actual Status - ", "Final Status - ",
                                              "Common Error Status - ", "Inspection Status - "};
    const std::uint8_t cls = control & 0xC0, code = control & 0x3F;
    const std::string prefix = kPrefix[cls >> 6];
    for (const Entry& e : kTable)
        if (e.cls == cls && e.code == code)
            return ProtocolLine(prefix + DictionaryText(e.key), e.color);
    ProtocolLine(prefix, 0);
}

}  // namespace tivmate
