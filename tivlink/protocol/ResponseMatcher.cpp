// Receiving: matching the frames the worker thread assembles against the outstanding
// request, and the client calls that collect responses.

#include "os/Clock.h"
#include "tivlink/protocol/Checksum.h"
#include "tivlink/protocol/DriverEngine.h"
#include "tivlink/protocol/Format.h"
#include "tivlink/protocol/TelegramRecord.h"

namespace tivlink {

namespace {

constexpr int kTransactionTicks = 18;
constexpr int kDelayedExtraTicks = 30;
// The debug window reports acyclic telegrams claiming more than this.
constexpr int kOversizeDataSize = 138;

std::uint8_t At(std::span<const std::uint8_t> frame, std::size_t i) {
    return i < frame.size() ? frame[i] : 0;
}

std::string OutcomeText(int result, int control, int waitCounter) {
    const std::string c = Hex(static_cast<std::uint32_t>(control) & 0xFF, 2) + "H";
    switch (result) {
        case 0:
            return "\"Response Ok\", Control=" + c;
        case 1:
            return "\"wait for response\",Control=" + c;
        case 2:
            return "\"ERROR;receive other acyclic telegram\",Control=" + c;
        case 3:
            return "\"ERROR;Checksum-ERROR\",Control=" + c;
        case 4:
            return "\"ERROR;receive not the requested object number\",Control=" + c;
        case 5:
            return "\"ERROR;receive cyclic telegram\",Control=" + c;
        case 6:
            return "\"DelayedResponse\",Time:" + std::to_string(waitCounter * 1000);
        default:
            return "\"ERROR;response error from TIV-Device\",Control=" + c;
    }
}

std::string DelayedOutcomeText(int result, int control) {
    const std::string c = Hex(static_cast<std::uint32_t>(control) & 0xFF, 2) + "H";
    switch (result) {
        case 0:
            return "Response Ok, Control=" + c;
        case 1:
            return "wait for response,Control=" + c;
        case 3:
            return "ERROR;Checksum-ERROR,Control=" + c;
        case 5:
            return "ERROR;timeout(waittime),Control=" + c;
        default:
            return "ERROR;response error from TIV-Device,Control=" + c;
    }
}

void FieldsFrom(const GuardedRecord::Bytes& r, TelegramFields& out) {
    out.telType = r[0];
    out.dataSize = r[1];
    out.subNo = r[2];
    out.objNo = r[3] | r[4] << 8;
    out.control = r[5];
}

}  // namespace

bool DriverEngine::VerifyInto(std::span<const std::uint8_t> frame, GuardedRecord& target) {
    const std::size_t dataSize = At(frame, 4);
    const std::size_t recordEnd = dataSize + 5;  // one past the last data byte
    GuardedRecord::Bytes record{};
    // A frame too short for its size and checksum is a checksum error; nothing past its
    // end is read.
    if (frame.size() < recordEnd + 2 || dataSize + 4 > record.size()) {
        const std::size_t available = std::min(frame.size() > 3 ? frame.size() - 3 : 0,
                                               std::min(dataSize + 2, record.size()));
        std::copy_n(frame.begin() + 3, available, record.begin());
        target.Set(record);
        return false;
    }
    const auto covered = frame.subspan(3, dataSize + 2);
    std::copy(covered.begin(), covered.end(), record.begin());
    const std::uint16_t expected = TelegramChecksum(covered, state_.checkMethod);
    const std::uint16_t got =
        static_cast<std::uint16_t>(frame[recordEnd] | frame[recordEnd + 1] << 8);
    const bool ok = expected == got;
    if (ok) {
        record[dataSize + 2] = frame[recordEnd];
        record[dataSize + 3] = frame[recordEnd + 1];
    }
    target.Set(record);
    return ok;
}

void DriverEngine::MatchFrame(std::span<const std::uint8_t> frame) {
    if (frame.size() < 4) return;
    const int type = frame[3] >> 5;
    if (type < kTelTypeRequest) {
        if (type != kTelTypeLastCyclic && state_.requestSeen.exchange(false))
            state_.responseState = 5;
        clientQueue_->wake();
        return;
    }
    const int sub = At(frame, 5);
    const int obj = At(frame, 6) + 256 * At(frame, 7);
    const int control = At(frame, 8);
    state_.acyclicSeen = true;
    if (const int dataSize = At(frame, 4); dataSize > kOversizeDataSize)
        diagnostics_.WindowSink()->OversizeTelegram(dataSize);
    const bool isDelayed =
        state_.delayedPending && sub == state_.delayedSub && obj == state_.delayedObj;

    if (type == kTelTypeService && isDelayed && control == kControlDelivered) {
        state_.delayedPending = false;
        if (VerifyInto(frame, state_.delayedRecord)) {
            state_.delayedResponseState = 0;
            events_.Post(kMsgDelayedResponse, "Thread->OnDelayedResponse, MsgType=7");
        } else {
            state_.delayedResponseState = 3;
        }
    }
    if (type != kTelTypeResponse && state_.requestSeen) {
        state_.requestSeen = false;
        state_.responseState = 2;
    }
    if (type == kTelTypeRequest && state_.requestSent && sub == state_.requestedSub &&
        obj == state_.requestedObj) {
        state_.requestSent = false;
        state_.requestSeen = true;
        events_.Post(kMsgDataWasSent, "Thread->OnDataWasSent");
    }
    if (type == kTelTypeResponse && isDelayed && state_.delayedPending) {
        state_.delayedPending = false;
        if (VerifyInto(frame, state_.delayedRecord)) {
            state_.delayedResponseState = 0;
            events_.Post(kMsgDelayedResponse, "Thread->OnDelayedResponse, MsgType=6");
        } else {
            state_.delayedResponseState = 3;
        }
    }
    if (type == kTelTypeResponse && state_.requestSeen) {
        if (sub == state_.requestedSub && obj == state_.requestedObj) {
            state_.requestSeen = false;
            if (VerifyInto(frame, state_.responseRecord)) {
                state_.responseState = 0;
                events_.Post(kMsgResponse, "Thread->OnResponse");
            } else {
                state_.responseState = 3;
            }
        } else {
            state_.responseState = 4;
        }
    }
    clientQueue_->wake();
}

int DriverEngine::ReceiveResponse(std::vector<std::uint8_t>& data, std::uint16_t dataVarType) {
    Log("Entry:ReceiveResponse," + Hex(dataVarType, 4) + "H----------");
    const auto record = state_.responseRecord.Take();
    const bool valid = IsValidDataSize(record[1]);
    const int result = valid ? record[1] + 4 : -1;
    const std::size_t n = valid ? static_cast<std::size_t>(result) : kMaxRecordWithChecksum;
    Log("Call:ReceiveResponse->RecordToVariant,SrcPtr:" + Ptr(record.data()) +
        ",calc.Size:" + std::to_string(n));
    data.assign(record.begin(), record.begin() + static_cast<std::ptrdiff_t>(n));
    Log("Return:ReceiveResponse->RecordToVariant,create Size:" + std::to_string(data.size()));
    Show("Daten geholt - " + std::to_string(state_.responseState.load()));
    Log("Exit:ReceiveResponse:" + std::to_string(result) + " ++++++++++");
    return result;
}

int DriverEngine::ReceiveAcyclic(TelegramFields& out, std::vector<std::uint8_t>& data,
                                 std::uint16_t dataVarType) {
    const int state = state_.responseState;
    int result = state;
    if (state == 0) {
        Log("Call:ReceiveAcyclic->ReceiveResponse");
        std::vector<std::uint8_t> raw;
        const int size = ReceiveResponse(raw, dataVarType);
        Log("Return:ReceiveAcyclic->ReceiveResponse:DestPtr:" + Ptr(raw.data()) +
            ",create Size:" + std::to_string(raw.size()));
        if (size == -1) {
            data.assign(kMaxRecordWithChecksum, 0);
            return 0;
        }
        GuardedRecord::Bytes record{};
        Log("Call:ReceiveAcyclic->VariantToRecord,DestPtr:" + Ptr(record.data()) +
            ",create Size:" + std::to_string(raw.size()));
        std::copy(raw.begin(), raw.end(), record.begin());
        Log("Return:ReceiveAcyclic->VariantToRecord");
        FieldsFrom(record, out);
        // The data with the two checksum bytes behind them.
        const std::size_t n = static_cast<std::size_t>(out.dataSize) - 2;
        Log("Call:ReceiveAcyclic->RecordToVariant,SrcPtr:" + Ptr(record.data() + 6) +
            ",calc.Size:" + std::to_string(n));
        data.assign(record.begin() + 6, record.begin() + 6 + static_cast<std::ptrdiff_t>(n));
        Log("Return:ReceiveAcyclic->RecordToVariant,create Size:" + std::to_string(data.size()));
        if (out.control == kControlDelayed) {
            const int delay = out.dataSize == 5 ? record[6] : record[6] | record[7] << 8;
            state_.delayedWaitCounter = delay + kDelayedExtraTicks;
            state_.delayedExpired = false;
            state_.delayedResponseState = 1;
            state_.delayedSub = out.subNo;
            state_.delayedObj = out.objNo;
            state_.delayedPending = true;
            result = 6;
        } else {
            result = out.control == kControlPositive ? 0 : 255;
        }
    }
    if (result != 1)
        Log("Exit:ReceiveAcyclic:" +
            OutcomeText(result, out.control, state_.delayedWaitCounter.load()) + "," +
            std::to_string(result) + " ++++++++++");
    return result;
}

int DriverEngine::ReceiveAcyclicDelayed(TelegramFields& out, std::vector<std::uint8_t>& data) {
    if (state_.delayedExpired.exchange(false)) state_.delayedResponseState = 5;
    const int state = state_.delayedResponseState;
    int result = state;
    if (state == 0) {
        state_.delayedWaitCounter = 0;
        const auto record = state_.delayedRecord.Take();
        if (record[1] == 0) {
            // Already collected: the outputs stay as they are.
            data.assign(kMaxRecordWithChecksum, 0);
            return 0;
        }
        const std::size_t n =
            IsValidDataSize(record[1]) ? std::size_t{record[1]} + 4 : kMaxRecordWithChecksum;
        Log("Call1:ReceiveAcyclicDelayed->RecordToVariant,SrcPtr:" + Ptr(record.data()) +
            ",Size:" + std::to_string(n));
        std::vector<std::uint8_t> raw(record.begin(),
                                      record.begin() + static_cast<std::ptrdiff_t>(n));
        Log("Return1:ReceiveAcyclicDelayed->RecordToVariant,Size:" + std::to_string(raw.size()));
        GuardedRecord::Bytes copy{};
        Log("Call:ReceiveAcyclicDelayed->VariantToRecord,DestPtr:" + Ptr(copy.data()) +
            ",Size:" + std::to_string(raw.size()));
        std::copy(raw.begin(), raw.end(), copy.begin());
        Log("Return:ReceiveAcyclicDelayed->VariantToRecord");
        FieldsFrom(copy, out);
        std::size_t from = 6;
        if (out.control == kControlDelivered) {
            out.dataSize -= 2;
            out.control = copy[6];
            from = 8;
        }
        const std::size_t count = std::min<std::size_t>(
            out.dataSize >= 2 ? static_cast<std::size_t>(out.dataSize) - 2 : 0, copy.size() - from);
        Log("Call2:ReceiveAcyclicDelayed->RecordToVariant,SrcPtr:" + Ptr(copy.data() + from) +
            ",Size:" + std::to_string(count));
        data.assign(copy.begin() + static_cast<std::ptrdiff_t>(from),
                    copy.begin() + static_cast<std::ptrdiff_t>(from + count));
        Log("Return2:ReceiveAcyclicDelayed->RecordToVariant,Size:" + std::to_string(data.size()));
        if (out.control == kControlPositive) {
            result = 0;
            state_.delayedSub = -1;
            state_.delayedObj = -1;
        } else {
            result = 255;
        }
    } else if (state == 3 || state == 5) {
        state_.delayedWaitCounter = 0;
    }
    if (result != 1)
        Log("Exit:ReceiveAcyclicDelayed:" + DelayedOutcomeText(result, out.control) + "," +
            std::to_string(result));
    return result;
}

int DriverEngine::AcyclicTransmission(TelegramFields& io, const ByteArrayArg& dataIn,
                                      std::vector<std::uint8_t>& dataOut) {
    Log("Entry:AcyclicTransmission,----------");
    Log("Call:AcyclicTransmission->SendAcyclic,DestPtr:" + Ptr(dataIn.data) +
        ",Size:" + std::to_string(io.dataSize));
    const int sent = SendAcyclic(io.telType, io.dataSize, io.subNo, io.objNo, io.control, dataIn);
    Log("Return:AcyclicTransmission->SendAcyclic");
    int result = sent;
    // Nothing went out, so there is nothing to wait for.
    if (sent == 0) {
        state_.transactionExpired = false;
        state_.transactionWaitCounter = kTransactionTicks;
        Log("Call:AcyclicTransmission->ReceiveAcyclic");
        // Events posted by the worker reach the client while it waits; the worker and
        // the timer wake the queue when the state changes.
        auto queue = os::MessageQueue::forCurrentThread();
        for (;;) {
            result = ReceiveAcyclic(io, dataOut);
            queue->processMessages();
            if (result != 1 || state_.transactionExpired) break;
            queue->runUntil(
                [this] { return state_.responseState != 1 || state_.transactionExpired; },
                std::chrono::milliseconds(100));
        }
        state_.transactionWaitCounter = 0;
    }
    const std::uint16_t outType = kVtArray | kVtUi1;
    Log("Return:AcyclicTransmission->ReceiveAcyclic,Type:" + std::to_string(io.telType) +
        " - Size:" + std::to_string(io.dataSize) + " - SubNo:" + std::to_string(io.subNo) +
        " - ObjNo:" + std::to_string(io.objNo) + " - Ctrl:" + std::to_string(io.control) +
        " - DataType:" + Hex(outType, 4) + "H");
    Log("Exit:AcyclicTransmission:" + Hex(outType, 4) + "H ++++++++++");
    return result;
}

}  // namespace tivlink
