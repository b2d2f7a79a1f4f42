#include "core/clsCommunicator.h"

#include <algorithm>
#include <cmath>

#include "com/Guid.h"
#include "core/TextConversions.h"
#include "os/TimeUtil.h"

namespace tivmate {

namespace {
bool sameTarget(const clsCommunicationCall& a, const clsCommunicationCall& b) {
    return a.ObjectNumber == b.ObjectNumber && a.SubNumber == b.SubNumber;
}
}  // namespace

void clsCommunicator::SetAdapterSWNumber(const com::Variant& value) {
    if (const com::SafeArray* array = value.arrayPtr()) {
        std::vector<std::uint8_t> bytes;
        for (std::int32_t i = array->lowerBound(); i <= array->upperBound(); ++i) {
            com::Variant element;
            if (array->getElement(i, element) != com::S_OK) continue;
            bytes.push_back(static_cast<std::uint8_t>(element.toInt64().value_or(0)));
        }
        m_AdapterSWNumber = com::Variant(VersionRecordText(bytes));
        return;
    }
    m_AdapterSWNumber = value.value();
}

bool clsCommunicator::ReleaseCallbackInterface() {
    CallbackInterface.reset();
    return true;
}

bool clsCommunicator::ReleaseConnectInvokeId() {
    ConnectInvokeId.clear();
    return true;
}

bool clsCommunicator::ReleaseCommunicationReference() {
    communicationReference.clear();
    return true;
}

bool clsCommunicator::CreateCommunicationReference() {
    communicationReference = com::Guid::create().toString();
    return true;
}

void clsCommunicator::GetActualTimePlusInterval(double& FHighTime, double& FLowTime,
                                                double Interval) {
    const double now = static_cast<double>(os::toFileTime(os::clock().systemNow()));
    const double total = now + std::round(Interval * 10000.0);
    FHighTime = std::floor(total / 4294967296.0);
    FLowTime = total - FHighTime * 4294967296.0;
}

bool clsCommunicator::AddComCall(const Call& request, std::int32_t TimeoutTime,
                                 std::int32_t MaxStackSize) {
    if (!request || static_cast<std::int64_t>(m_Queue.size()) >= MaxStackSize) return false;
    request->RepeatCounter = 0;
    GetActualTimePlusInterval(request->ResponseTimeHigh, request->ResponseTimeLow, TimeoutTime);
    request->Deadline = os::clock().now() + std::chrono::milliseconds(TimeoutTime);
    m_Queue.push_back(request);
    return true;
}

bool clsCommunicator::RemoveComCall(const clsCommunicationCall& request) {
    const auto it = std::find_if(m_Queue.begin(), m_Queue.end(), [&](const Call& c) {
        return sameTarget(*c, request) && c->invokeId == request.invokeId;
    });
    if (it == m_Queue.end()) return false;
    m_Queue.erase(it);
    return true;
}

bool clsCommunicator::ValidateComResponse(clsCommunicationCall& response,
                                          const std::string& invokeId) const {
    for (const Call& c : m_Queue) {
        if (sameTarget(*c, response) && c->invokeId == invokeId) {
            response.invokeId = c->invokeId;
            return true;
        }
    }
    return false;
}

clsCommunicator::Call clsCommunicator::GetNextComCallItem() const {
    return m_Queue.empty() ? nullptr : m_Queue.front();
}

bool clsCommunicator::ClearComCall() {
    m_Queue.clear();
    return true;
}

std::string clsCommunicator::RemoveCyclicCommunincationFromStack() {
    const auto it = std::find_if(m_Queue.begin(), m_Queue.end(), [](const Call& c) {
        return c->ObjectNumber == 0 && c->SubNumber == 0;
    });
    if (it == m_Queue.end()) return {};
    std::string id = (*it)->invokeId;
    m_Queue.erase(it);
    return id;
}

bool clsCommunicator::CyclicCommunicationOnStack() const {
    return std::any_of(m_Queue.begin(), m_Queue.end(),
                       [](const Call& c) { return c->ObjectNumber == 0 && c->SubNumber == 0; });
}

bool clsCommunicator::ClearCyclicColl() {
    m_Cyclic.clear();
    return true;
}

bool clsCommunicator::AddCyclDataInfo(const clsCyclicElement& element) {
    m_Cyclic.push_back(element);
    return true;
}

std::uint8_t clsCommunicator::GetCyclicValueNo(std::size_t valueNo) const {
    return valueNo >= 1 && valueNo <= m_Cyclic.size() ? m_Cyclic[valueNo - 1].CylicValNo : 0;
}

std::uint8_t clsCommunicator::GetDataType(std::size_t valueNo) const {
    return valueNo >= 1 && valueNo <= m_Cyclic.size() ? m_Cyclic[valueNo - 1].DataType : 0;
}

}  // namespace tivmate
