#include "tivlink/protocol/ResponseMatcher.h"

#include <algorithm>

#include "tivlink/TelegramCodec.h"
#include "tivlink/TivResults.h"
#include "tivlink/core/Format.h"

namespace tivlink {

namespace rx = result::ReceiveAcyclic;

namespace {

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

void FieldsFrom(const TelegramRecord& r, TelegramFields& out) {
    out.telType = r.TypeByte();
    out.dataSize = r.DataSize();
    out.subNo = r.SubNo();
    out.objNo = r.ObjNo();
    out.control = r.Control();
}

}  // namespace

bool ResponseMatcher::VerifyInto(std::span<const std::uint8_t> frame, GuardedRecord& target) {
    // The record and its checksum lie between the flags byte and the closing 0xFB; the end
    // byte is never part of them.
    const auto body = frame.size() > kFrameRecordOffset + 1
                          ? frame.subspan(kFrameRecordOffset, frame.size() - kFrameRecordOffset - 1)
                          : std::span<const std::uint8_t>{};
    const std::size_t covered = body.size() > 1 ? std::size_t{body[1]} + 2 : body.size();
    TelegramRecord record;
    // A record must fit the client's record buffer with its checksum.
    const bool ok =
        covered + 2 <= record.bytes.size() && TelegramChecksumMatches(body, state_.checkMethod);
    // A failed record is kept without checksum bytes.
    const std::size_t keep =
        std::min({body.size(), ok ? covered + 2 : covered, record.bytes.size()});
    std::copy_n(body.begin(), keep, record.bytes.begin());
    target.Set(record);
    return ok;
}

bool ResponseMatcher::Match(std::span<const std::uint8_t> frame) {
    if (frame.size() < 4) return false;
    const int type = frame[3] >> 5;
    if (type < kTelTypeRequest) {
        // Most cyclic frames change nothing a waiting client looks at: no wake for them.
        if (type == kTelTypeLastCyclic || !ExchangeIfChanged(state_.requestSeen, false))
            return false;
        state_.responseState = rx::kCyclic;
        return true;
    }
    const int sub = At(frame, 5);
    const int obj = At(frame, 6) + 256 * At(frame, 7);
    const int control = At(frame, 8);
    // Only a change of what a waiting client looks at needs a wake: most frames on a busy
    // bus belong to other stations.
    bool changed = !ExchangeIfChanged(state_.acyclicSeen, true);
    if (const int dataSize = At(frame, 4); dataSize > kOversizeDataSize)
        diagnostics_.WindowSink()->OversizeTelegram(dataSize);
    const bool isDelayed =
        state_.delayedPending && sub == state_.delayedSub && obj == state_.delayedObj;

    if (type == kTelTypeService && isDelayed && control == kControlDelivered) {
        changed = true;
        state_.delayedPending = false;
        if (VerifyInto(frame, delayedRecord_)) {
            state_.delayedResponseState = rx::kResponseOk;
            events_.Post(kMsgDelayedResponse, "Thread->OnDelayedResponse, MsgType=7");
        } else {
            state_.delayedResponseState = rx::kChecksumError;
        }
    }
    if (type != kTelTypeResponse && state_.requestSeen) {
        changed = true;
        state_.requestSeen = false;
        state_.responseState = rx::kOtherAcyclic;
    }
    if (type == kTelTypeRequest && state_.requestSent && sub == state_.requestedSub &&
        obj == state_.requestedObj) {
        changed = true;
        state_.requestSent = false;
        state_.requestSeen = true;
        events_.Post(kMsgDataWasSent, "Thread->OnDataWasSent");
    }
    if (type == kTelTypeResponse && isDelayed && state_.delayedPending) {
        changed = true;
        state_.delayedPending = false;
        if (VerifyInto(frame, delayedRecord_)) {
            state_.delayedResponseState = rx::kResponseOk;
            events_.Post(kMsgDelayedResponse, "Thread->OnDelayedResponse, MsgType=6");
        } else {
            state_.delayedResponseState = rx::kChecksumError;
        }
    }
    if (type == kTelTypeResponse && state_.requestSeen) {
        changed = true;
        if (sub == state_.requestedSub && obj == state_.requestedObj) {
            state_.requestSeen = false;
            if (VerifyInto(frame, responseRecord_)) {
                state_.responseState = rx::kResponseOk;
                events_.Post(kMsgResponse, "Thread->OnResponse");
            } else {
                state_.responseState = rx::kChecksumError;
            }
        } else {
            state_.responseState = rx::kOtherObject;
        }
    }
    return changed;
}

int ResponseMatcher::ReceiveResponse(std::vector<std::uint8_t>& data, std::uint16_t dataVarType) {
    Log("Entry:ReceiveResponse," + Hex(dataVarType, 4) + "H----------");
    const TelegramRecord record = responseRecord_.Take();
    const bool valid = record.HasValidSize();
    const int result = valid ? record.DataSize() + 4 : -1;
    const std::size_t n = valid ? static_cast<std::size_t>(result) : kMaxRecordWithChecksum;
    Log("Call:ReceiveResponse->RecordToVariant,SrcPtr:" + Ptr(record.bytes.data()) +
        ",calc.Size:" + std::to_string(n));
    data.assign(record.bytes.begin(), record.bytes.begin() + static_cast<std::ptrdiff_t>(n));
    Log("Return:ReceiveResponse->RecordToVariant,create Size:" + std::to_string(data.size()));
    Show("Daten geholt - " + std::to_string(state_.responseState.load()));
    Log("Exit:ReceiveResponse:" + std::to_string(result) + " ++++++++++");
    return result;
}

int ResponseMatcher::ReceiveAcyclic(TelegramFields& out, std::vector<std::uint8_t>& data,
                                    std::uint16_t dataVarType) {
    const int state = state_.responseState;
    int result = state;
    if (state == rx::kResponseOk) {
        Log("Call:ReceiveAcyclic->ReceiveResponse");
        std::vector<std::uint8_t> raw;
        const int size = ReceiveResponse(raw, dataVarType);
        Log("Return:ReceiveAcyclic->ReceiveResponse:DestPtr:" + Ptr(raw.data()) +
            ",create Size:" + std::to_string(raw.size()));
        if (size == -1) {
            data.assign(kMaxRecordWithChecksum, 0);
            return 0;
        }
        TelegramRecord record;
        Log("Call:ReceiveAcyclic->VariantToRecord,DestPtr:" + Ptr(record.bytes.data()) +
            ",create Size:" + std::to_string(raw.size()));
        VariantToRecord(diagnostics_, ByteArrayArg::Bytes(raw), record.bytes.data(), raw.size());
        Log("Return:ReceiveAcyclic->VariantToRecord");
        FieldsFrom(record, out);
        // The data with the two checksum bytes behind them.
        const std::size_t n = static_cast<std::size_t>(out.dataSize) - 2;
        const auto from = record.bytes.begin() + kRecordHeaderSize;
        Log("Call:ReceiveAcyclic->RecordToVariant,SrcPtr:" + Ptr(&*from) +
            ",calc.Size:" + std::to_string(n));
        data.assign(from, from + static_cast<std::ptrdiff_t>(n));
        Log("Return:ReceiveAcyclic->RecordToVariant,create Size:" + std::to_string(data.size()));
        if (out.control == kControlDelayed) {
            // One byte of wait time when DataSize is 5, else two; bytes not sent read as 0.
            const int low = record.At(kRecordHeaderSize);
            const int delay = out.dataSize == 5 ? low : low | record.At(kRecordHeaderSize + 1) << 8;
            state_.delayedWaitCounter = delay + kDelayedExtraTicks;
            state_.delayedExpired = false;
            state_.delayedResponseState = rx::kWaiting;
            state_.delayedSub = out.subNo;
            state_.delayedObj = out.objNo;
            state_.delayedPending = true;
            result = rx::kDelayed;
        } else {
            result = out.control == kControlPositive ? rx::kResponseOk : rx::kDeviceError;
        }
    }
    if (result != rx::kWaiting)
        Log("Exit:ReceiveAcyclic:" +
            OutcomeText(result, out.control, state_.delayedWaitCounter.load()) + "," +
            std::to_string(result) + " ++++++++++");
    return result;
}

int ResponseMatcher::ReceiveAcyclicDelayed(TelegramFields& out, std::vector<std::uint8_t>& data) {
    if (state_.delayedExpired.exchange(false))
        state_.delayedResponseState = result::ReceiveAcyclicDelayed::kExpired;
    const int state = state_.delayedResponseState;
    int result = state;
    if (state == rx::kResponseOk) {
        state_.delayedWaitCounter = 0;
        const TelegramRecord record = delayedRecord_.Take();
        if (record.DataSize() == 0) {
            // Already collected: the outputs stay as they are.
            data.assign(kMaxRecordWithChecksum, 0);
            return 0;
        }
        const std::size_t n =
            record.HasValidSize() ? std::size_t(record.DataSize()) + 4 : kMaxRecordWithChecksum;
        Log("Call1:ReceiveAcyclicDelayed->RecordToVariant,SrcPtr:" + Ptr(record.bytes.data()) +
            ",Size:" + std::to_string(n));
        std::vector<std::uint8_t> raw(record.bytes.begin(),
                                      record.bytes.begin() + static_cast<std::ptrdiff_t>(n));
        Log("Return1:ReceiveAcyclicDelayed->RecordToVariant,Size:" + std::to_string(raw.size()));
        TelegramRecord copy;
        Log("Call:ReceiveAcyclicDelayed->VariantToRecord,DestPtr:" + Ptr(copy.bytes.data()) +
            ",Size:" + std::to_string(raw.size()));
        VariantToRecord(diagnostics_, ByteArrayArg::Bytes(raw), copy.bytes.data(), raw.size());
        Log("Return:ReceiveAcyclicDelayed->VariantToRecord");
        FieldsFrom(copy, out);
        std::size_t from = kRecordHeaderSize;
        if (out.control == kControlDelivered) {
            // The real control code leads the data; the byte after it is skipped.
            out.dataSize -= 2;
            out.control = copy.At(kRecordHeaderSize);
            from += 2;
        }
        // A size byte beyond the valid range must not pull in bytes that were never copied.
        const std::size_t count = std::min<std::size_t>(
            out.dataSize >= 2 ? static_cast<std::size_t>(out.dataSize) - 2 : 0,
            raw.size() > from ? raw.size() - from : 0);
        const auto first = copy.bytes.begin() + static_cast<std::ptrdiff_t>(from);
        Log("Call2:ReceiveAcyclicDelayed->RecordToVariant,SrcPtr:" + Ptr(&*first) +
            ",Size:" + std::to_string(count));
        data.assign(first, first + static_cast<std::ptrdiff_t>(count));
        Log("Return2:ReceiveAcyclicDelayed->RecordToVariant,Size:" + std::to_string(data.size()));
        if (out.control == kControlPositive) {
            result = rx::kResponseOk;
            state_.delayedSub = -1;
            state_.delayedObj = -1;
        } else {
            result = rx::kDeviceError;
        }
    } else if (state == rx::kChecksumError || state == result::ReceiveAcyclicDelayed::kExpired) {
        state_.delayedWaitCounter = 0;
    }
    if (result != rx::kWaiting)
        Log("Exit:ReceiveAcyclicDelayed:" + DelayedOutcomeText(result, out.control) + "," +
            std::to_string(result));
    return result;
}

}  // namespace tivlink
