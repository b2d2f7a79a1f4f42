#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "com/ComPtr.h"
#include "com/Variant.h"
#include "core/clsCommunicationCall.h"
#include "fdt/FdtInterfaces.h"

namespace tivmate {

// The communicator's connection state.
enum CommunicatorCommState : std::int32_t {
    ccsOffline = 0,
    ccsConnecting = 1,
    ccsValidating = 2,
    ccsValidConnected = 3,
    ccsInvalidConnected = 4,
    ccsDisconnecting = 5,
};

// The longest interval a timer is given, and the time-out used when none is configured.
inline constexpr std::int32_t kMaxTimerIntervalMs = 64767;

// A configured time-out of 0 or less would never end a lost request.
constexpr std::int32_t EffectiveTimeoutMs(std::int32_t configured) {
    return configured <= 0 ? kMaxTimerIntervalMs : configured;
}

// The connection, the request queue (oldest first) and the cyclic-record state of one DTM.
class clsCommunicator {
public:
    using Call = std::shared_ptr<clsCommunicationCall>;

    CommunicatorCommState ComState = ccsOffline;
    std::int16_t LoadAdapterResult = 0;
    com::ComPtr<fdt::IFdtCommunicationEvents> CallbackInterface;
    std::string communicationReference;
    std::string ConnectInvokeId, DisconnectInvokeId;
    std::string fdtTag;
    bool TIVCommunicationActive = false;
    // The active request failed and goes out again before the next one.
    bool TimeoutState = false;
    Call ActiveComReq;
    Call CyclicComReq = std::make_shared<clsCommunicationCall>();
    bool CyclicComActive = false;

    // True while a device DTM holds a connection.
    bool CommunicationIsActive() const { return ComState != ccsOffline; }

    const com::Variant& AdapterSWNumber() const { return m_AdapterSWNumber; }
    // A byte array (the adapter's version record) is stored as its text; anything else as given.
    void SetAdapterSWNumber(const com::Variant& value);

    bool ReleaseCallbackInterface();
    bool ReleaseConnectInvokeId();
    bool ReleaseCommunicationReference();
    // A new GUID text, unique per connection.
    bool CreateCommunicationReference();

    // Refused (false) when MaxStackSize or more requests wait; otherwise the request's
    // RepeatCounter is reset, it is stamped with now + TimeoutTime ms and appended.
    bool AddComCall(const Call& request, std::int32_t TimeoutTime, std::int32_t MaxStackSize);
    // UTC now as file time plus Interval ms, split into 32-bit halves.
    static void GetActualTimePlusInterval(double& FHighTime, double& FLowTime, double Interval);
    // Removes the first request with the same object, sub and invoke id.
    bool RemoveComCall(const clsCommunicationCall& request);
    // A queued request with the response's object and sub and this invoke id: copies the
    // invoke id into the response. The queue is left alone.
    bool ValidateComResponse(clsCommunicationCall& response, const std::string& invokeId) const;
    // The oldest request; null when none waits.
    Call GetNextComCallItem() const;
    std::size_t ComReqColCount() const { return m_Queue.size(); }
    bool ClearComCall();
    // The first request addressed to object 0, sub 0: removed, its invoke id returned.
    std::string RemoveCyclicCommunincationFromStack();
    bool CyclicCommunicationOnStack() const;

    bool ClearCyclicColl();
    bool AddCyclDataInfo(const clsCyclicElement& element);
    // 0 beyond the list.
    std::uint8_t GetCyclicValueNo(std::size_t valueNo) const;
    std::uint8_t GetDataType(std::size_t valueNo) const;

    void AppendToRecordString(const std::string& text) { m_RecordString += text; }
    void ClearRecordString() { m_RecordString.clear(); }
    std::size_t LengthOfRecordString() const { return m_RecordString.size(); }
    const std::string& RecordString() const { return m_RecordString; }

private:
    com::Variant m_AdapterSWNumber;
    std::deque<Call> m_Queue;
    std::vector<clsCyclicElement> m_Cyclic;
    std::string m_RecordString;
};

}  // namespace tivmate
