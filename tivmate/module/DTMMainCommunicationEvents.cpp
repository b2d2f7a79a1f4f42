// DTMMain: the driver events that complete communication work.

#include <algorithm>

#include "core/HexConversions.h"
#include "core/Trace.h"
#include "module/DTMMain.h"

namespace tivmate {

namespace {

bool truthOf(const com::Variant& v) {
    return v.toInt64().value_or(0) != 0;
}

std::vector<std::uint8_t> bytesOf(const com::Variant& data) {
    std::vector<std::uint8_t> bytes;
    const com::Variant value = data.value();
    if (const com::SafeArray* array = value.arrayPtr()) {
        for (std::int32_t i = array->lowerBound(); i <= array->upperBound(); ++i) {
            com::Variant element;
            if (array->getElement(i, element) == com::S_OK)
                bytes.push_back(static_cast<std::uint8_t>(element.toInt64().value_or(0)));
        }
    }
    return bytes;
}

}  // namespace

void DTMMain::OnResponseEvent() {
    if (!m_tivdrv) return;
    clsCommunicator& com = *m_Communicator;
    DoMonitorMsg("Tivlink_OnResponse()", "", kColorBlue, 2);
    std::int32_t telType = 0, dataSize = 0, subNo = 0, objNo = 0, control = 0, r = 0;
    com::Variant data;
    if (com::FAILED(
            m_tivdrv->ReceiveAcyclic(&telType, &dataSize, &subNo, &objNo, &control, &data, &r)))
        r = -1;
    DoMonitorMsg("Tivlink_ReceiveAcyclic()", "", kColorBlue, 2);
    // The timer stays armed until an outcome ends or repeats the request: anything else
    // (a stale answer, a size the driver would not hand out, a miss) is left to the time-out.
    if (r == 3) {
        if (!com.TIVCommunicationActive || !com.ActiveComReq) return;
        com.TimeoutState = true;
        HandleCommunicationFailure(cecChecksumError,
                                   "m_tivdrv_OnResponse()\t-->\tResponse: Checksum Error",
                                   "InvokeId=" + com.ActiveComReq->invokeId);
        return;
    }
    if (r != 0 && r != 6 && r != 255) return;
    if (r == 6) {
        // The announcement replaces whatever an earlier delivery left.
        m_DelResponse.StateDelayed = 0x80;
        m_DelResponse.ObjectNoMSB = static_cast<std::uint8_t>((objNo >> 8) & 0xFF);
        m_DelResponse.ObjectNoLSB = static_cast<std::uint8_t>(objNo & 0xFF);
        m_DelResponse.SubNo = static_cast<std::uint8_t>(subNo);
        m_DelResponse.Length = 0;
        m_DelResponse.Data = com::Variant();
        m_DelayedPending = true;
    }
    if (com.ActiveComReq)
        ProcessResponse(telType, dataSize, subNo, objNo, control, data, com.ActiveComReq->invokeId);
    StopReceptionWhenIdle();
}

void DTMMain::ProcessResponse(std::int32_t TelType, std::int32_t DataSize, std::int32_t SubNo,
                              std::int32_t ObjNo, std::int32_t Control, const com::Variant& Data,
                              const std::string& invokeId) {
    clsCommunicator& com = *m_Communicator;
    clsCommunicationCall response;
    response.MessageType = static_cast<std::uint8_t>((TelType & 0xE0) >> 5);
    response.ObjectType = static_cast<std::uint8_t>(TelType & 0x1F);
    response.NoOfBytes = static_cast<std::uint8_t>(DataSize);
    response.SubNumber = static_cast<std::uint8_t>(SubNo);
    response.ObjectNumber = ObjNo;
    response.control = static_cast<std::uint8_t>(Control);
    response.Data = bytesOf(Data);
    // Only the request on the bus may be answered: one queued behind it with the same
    // target and invoke id would otherwise be answered twice.
    if (!com.TIVCommunicationActive || !com.ValidateComResponse(response, invokeId)) return;
    m_TimeoutTimer->SetEnabled(false);
    com.TimeoutState = false;
    com.RemoveComCall(response);
    com.TIVCommunicationActive = false;
    ShowQueueCounters();
    if (m_Persistent.PersistentProtocolFilter && ControlAs<fdt::IMonitorView>(Monitor)) {
        DumpTelegram(response, false);
        StatusLine(response.control);
    }
    AnswerTransaction(response.invokeId,
                      m_XMLHelp->TIVProtocolToXMLDocument(com.communicationReference, response));
    DoMonitorMsg("I_Callback.OnTransactionResponse()", "InvokeID=" + response.invokeId, kColorBlue,
                 2);
    SendProtocol();
}

void DTMMain::OnDelayedResponseEvent() {
    if (!m_tivdrv) return;
    m_DelayedPending = false;
    StopReceptionWhenIdle();
    DoMonitorMsg("Tivlink.OnDelayedResponse()", "", kColorBlue, 2);
    std::int32_t telType = 0, dataSize = 0, subNo = 0, objNo = 0, control = 0, r = 0;
    com::Variant data;
    if (com::FAILED(m_tivdrv->ReceiveAcyclicDelayed(&telType, &dataSize, &subNo, &objNo, &control,
                                                    &data, &r)))
        r = -1;
    DoMonitorMsg("Tivlink.ReceiveAcyclicDelayed()", "", kColorBlue, 2);
    // Other results leave the driver's outputs untouched: nothing new to keep.
    if (r == 0 || r == 255) {
        DelayedResponse& d = m_DelResponse;
        d.StateDelayed = 0x40;
        d.ObjectNoMSB = static_cast<std::uint8_t>((objNo >> 8) & 0xFF);
        d.ObjectNoLSB = static_cast<std::uint8_t>(objNo & 0xFF);
        d.SubNo = static_cast<std::uint8_t>(subNo);
        d.CtlByte = 10;
        d.Length = 0;
        d.Data = com::Variant();
        if (dataSize >= 4) {
            // The size comes from the device: bounded by what arrived (without the two
            // checksum bytes) and by what a reply document can carry.
            const auto bytes = bytesOf(data);
            const std::size_t payload = bytes.size() >= 2 ? bytes.size() - 2 : 0;
            const std::size_t length =
                std::min<std::size_t>({static_cast<std::size_t>(dataSize - 2), payload + 2, 128});
            std::vector<std::uint8_t> kept{static_cast<std::uint8_t>(control), 0};
            kept.insert(kept.end(), bytes.begin(),
                        bytes.begin() + static_cast<std::ptrdiff_t>(length - 2));
            d.Length = static_cast<std::uint8_t>(length);
            d.Data = com::Variant(com::SafeArray::fromBytes(kept));
        }
    }
    SendProtocol();
}

void DTMMain::OnOverrunEvent() {
    if (!m_tivdrv) return;
    clsCommunicator& com = *m_Communicator;
    std::int32_t mode = 0, size = 0, r = 0;
    m_tivdrv->get_BufferMode(&mode);
    if (mode != 0) return;
    m_tivdrv->StopRec(&r);
    m_RecordTimer->SetEnabled(false);
    m_TimeoutTimer->SetEnabled(false);
    // The next send must be the next request, not a repetition of the one failed here.
    com.TimeoutState = false;
    m_tivdrv->get_BufferSize(&size);
    DoMonitorMsg("Record Memory Overrun - Buffer Size -> " + std::to_string(size), "", 255, 0);
    if (com.CyclicComActive) {
        // Answered without sending: a request sent from here would be taken for the one the
        // overrun hit, below.
        const std::string state = FinishCyclicRecord("MemoryOverflow");
        com.CyclicComActive = false;
        AnswerCyclicRecord(com.CyclicComReq ? com.CyclicComReq->invokeId : std::string(), state);
    }
    if (com.TIVCommunicationActive && com.ActiveComReq) {
        const auto request = com.ActiveComReq;
        com.RemoveComCall(*request);
        com.TIVCommunicationActive = false;
        AnswerTransaction(request->invokeId,
                          m_XMLHelp->TIVCommunicationErrorXML(cecMemoryOverflow, com.fdtTag,
                                                              truthOf(m_TIVBusConnected),
                                                              com.communicationReference));
        DoMonitorMsg("I_Callback.OnTransactionResponse()", "InvokeID=" + request->invokeId,
                     kColorBlue, 2);
        ShowQueueCounters();
    }
    SendProtocol();
}

}  // namespace tivmate
