#include "tivlink/protocol/Transmitter.h"

#include <algorithm>

#include "os/Clock.h"
#include "os/MessageQueue.h"
#include "tivlink/TelegramCodec.h"
#include "tivlink/TivResults.h"
#include "tivlink/core/Format.h"
#include "tivlink/protocol/TransmitBlocks.h"

namespace tivlink {

namespace {
constexpr int kTransactionTicks = 18;
constexpr int kControlReset = 1;
constexpr int kControlSoftstart = 3;
}  // namespace

int Transmitter::SendAcyclic(int telType, int dataSize, int subNo, int objNo, int control,
                             const ByteArrayArg& data) {
    return SendAcyclicImpl(telType, dataSize, subNo, objNo, control, data, false);
}

int Transmitter::SendAcyclicImpl(int telType, int dataSize, int subNo, int objNo, int control,
                                 const ByteArrayArg& data, bool wholeRecord) {
    const std::string entry =
        "Entry:SendAcyclic,Type:" + std::to_string(telType) +
        " - Size:" + std::to_string(dataSize) + " - SubNo:" + std::to_string(subNo) +
        " - ObjNo:" + std::to_string(objNo) + " - Ctrl:" + std::to_string(control) +
        " - DataType:" + Hex(data.varType, 4) + "H ----------";
    Log(entry);
    Show(entry);

    int result = 0;
    if (telType != kTelTypeRequest && telType != kTelTypeService) {
        result = result::SendAcyclic::kBadTelType;
    } else {
        state_.requestSeen = false;
        WorkArea work{};
        state_.acyclicSeen = false;
        // A record holds at most 132; a larger size is refused like a negative one.
        if (dataSize < 0 || dataSize > static_cast<int>(kMaxDataSize)) {
            result = result::SendAcyclic::kBadDataSize;
        } else {
            static const std::uint8_t kNoData[6] = {};
            ByteArrayArg source = data;
            if (dataSize < 5) {
                dataSize = 4;
                source = ByteArrayArg::Bytes(kNoData);
            }
            const std::size_t count = static_cast<std::size_t>(dataSize) + 2;
            if (wholeRecord) {
                Log("Call1:SendAcyclic->VariantToRecord,DestPtr:" + Ptr(work.data()) +
                    ",Size:" + std::to_string(count));
                VariantToRecord(diagnostics_, source, work.data(), count);
                Log("Return1:SendAcyclic->VariantToRecord");
            } else {
                std::uint8_t* dest = work.data() + kRecordHeaderSize;
                Log("Call2:SendAcyclic->VariantToRecord,DestPtr:" + Ptr(dest) +
                    ",Size:" + std::to_string(count));
                VariantToRecord(diagnostics_, source, dest,
                                std::min(count, work.size() - kRecordHeaderSize));
                Log("Return2:SendAcyclic->VariantToRecord");
            }
            state_.requestedSub = subNo;
            state_.requestedObj = objNo;

            WriteTelegramHeader(std::span(work).first<kRecordHeaderSize>(), telType, dataSize,
                                subNo, objNo, control);

            const std::uint16_t checksum = TelegramChecksum(
                std::span(work).first(static_cast<std::size_t>(dataSize) + 2), state_.checkMethod);
            const auto blocks = BuildTransmitBlocks(work, checksum);
            const auto pause = std::chrono::milliseconds(state_.traDelay.load());

            // The worker's firmware query during a download writes pipe 2 as well; it must
            // not land between two blocks of a telegram.
            const auto sending = pipe_.Hold();
            Log("SendAcyclic->\"transmit Block 1\"");
            int code = pipe_.WriteLocked(blocks[0]);
            Log("SendAcyclic->\"transmit Block 1 Ok\"");
            Show("erster Block gesendet");
            os::clock().sleepFor(pause);
            if (code != 0) {
                result = result::SendAcyclic::kBlock1Failed + code;
            } else {
                Log("SendAcyclic->\"transmit Block 2\"");
                code = pipe_.WriteLocked(blocks[1]);
                Log("SendAcyclic->transmit Block 2 Ok");
                Show("zweiter Block gesendet");
                os::clock().sleepFor(pause);
                if (code != 0) {
                    result = result::SendAcyclic::kBlock2Failed + code;
                } else {
                    // Both set before the block goes out: the echo and the answer can
                    // arrive before the write returns.
                    state_.responseState = result::ReceiveAcyclic::kWaiting;
                    state_.requestSent = true;
                    Log("SendAcyclic->\"transmit Block 3\"");
                    code = pipe_.WriteLocked(blocks[2]);
                    Log("SendAcyclic->\"transmit Block 3 Ok\"");
                    Show("dritter Block gesendet - " + Hex(checksum, 4) + "H");
                    if (code != 0) {
                        state_.requestSent = false;
                        result = result::SendAcyclic::kBlock3Failed + code;
                    }
                }
            }
        }
    }
    if (result != 0) state_.acyclicSeen = true;
    Log("Exit:SendAcyclic:" + std::to_string(result) + " ++++++++++");
    return result;
}

int Transmitter::SendRequest(const ByteArrayArg& data) {
    Log("Entry:SendRequest, ----------");
    std::array<std::uint8_t, kMaxRecordWithChecksum> record{};
    Log("Call:SendRequest->VariantToRecord,DestPtr:" + Ptr(record.data()) + ",Size:136");
    VariantToRecord(diagnostics_, data, record.data(), record.size());
    Log("Return:SendRequest->VariantToRecord");
    const int telType = record[0] >> 5;
    const int dataSize = IsValidDataSize(record[1]) ? record[1] : -1;
    Log("Call:SendRequest->SendAcyclic");
    const int result = SendAcyclicImpl(telType, dataSize, record[2], record[3] + 256 * record[4],
                                       record[5], data, true);
    Log("Return:SendRequest->SendAcyclic:" + std::to_string(result));
    Log("Exit:SendRequest:" + std::to_string(result) + " ++++++++++");
    return result;
}

int Transmitter::WriteData(const ByteArrayArg& data) {
    Log("Entry:WriteData, ----------");
    UsbPacket packet{};
    Log("Call:WriteData->VariantToRecord,DestPtr:" + Ptr(packet.data()) + ",Size:64");
    VariantToRecord(diagnostics_, data, packet.data(), packet.size());
    std::string bytes;
    for (const auto b : packet) bytes += " " + Hex(b, 2);
    Log("Return:WriteData->VariantToRecord:" + bytes);
    Log("Call:WriteData->WriteBulkData");
    const int result = pipe_.WritePacket(packet);
    Log("Return:WriteData->WriteBulkData:" + std::to_string(result));
    if (result == 0) {
        std::string first;
        for (std::size_t i = 0; i < 10; ++i) first += " " + Hex(packet[i], 2);
        Show("Daten gesendet-" + first);
    }
    Log("Exit:WriteData:" + std::to_string(result) + " ++++++++++");
    return result;
}

int Transmitter::CheckArrayCRC(const ByteArrayArg& data, int len) {
    if (len <= 0) return result::CheckArrayCRC::kBadLength;
    // Only the elements the array holds are read, whatever Len claims.
    const std::size_t n = std::min(static_cast<std::size_t>(len), data.count);
    std::vector<std::uint8_t> bytes;
    try {
        bytes.resize(n);
    } catch (const std::bad_alloc&) {
        return result::CheckArrayCRC::kNoMemory;
    }
    CopyLowBytes(data, n, bytes.data());
    return Crc16(bytes);
}

int Transmitter::SetCheckMethod(int value) {
    std::vector<std::uint8_t> version;
    if (!loader_.IsFirmwareLoaded(version)) return result::SetCheckMode::kFirmwareSilent;
    const int result = pipe_.WriteCommand({0xDC, static_cast<std::uint8_t>(value)});
    state_.checkMethod = value != 0;
    return result;
}

int Transmitter::SetCheckMode(int value) {
    std::vector<std::uint8_t> version;
    if (!loader_.IsFirmwareLoaded(version)) return result::SetCheckMode::kFirmwareSilent;
    const int result = pipe_.WriteCommand({0xDA, static_cast<std::uint8_t>(value)});
    state_.checkMode = value != 0;
    return result;
}

int Transmitter::AcyclicTransmission(TelegramFields& io, const ByteArrayArg& dataIn,
                                     std::vector<std::uint8_t>& dataOut,
                                     std::uint16_t dataVarType) {
    Log("Entry:AcyclicTransmission,----------");
    // The descriptor stands for the client's array; its own data pointer is null when the
    // array is empty.
    Log("Call:AcyclicTransmission->SendAcyclic,DestPtr:" + Ptr(&dataIn) +
        ",Size:" + std::to_string(io.dataSize));
    const int sent = SendAcyclic(io.telType, io.dataSize, io.subNo, io.objNo, io.control, dataIn);
    Log("Return:AcyclicTransmission->SendAcyclic");
    int result = sent;
    Log("Call:AcyclicTransmission->ReceiveAcyclic");
    // Nothing went out, so there is nothing to wait for.
    if (sent == 0) {
        state_.transactionExpired = false;
        state_.transactionWaitCounter = kTransactionTicks;
        // Events posted by the worker reach the client while it waits; the worker and
        // the timer wake the queue when the state changes.
        auto queue = os::MessageQueue::forCurrentThread();
        for (;;) {
            result = matcher_.ReceiveAcyclic(io, dataOut, dataVarType);
            queue->processMessages();
            if (result != 1 || state_.transactionExpired) break;
            queue->runUntil(
                [this] { return state_.responseState != 1 || state_.transactionExpired; },
                std::chrono::milliseconds(100));
        }
        state_.transactionWaitCounter = 0;
    }
    Log("Return:AcyclicTransmission->ReceiveAcyclic,Type:" + std::to_string(io.telType) +
        " - Size:" + std::to_string(io.dataSize) + " - SubNo:" + std::to_string(io.subNo) +
        " - ObjNo:" + std::to_string(io.objNo) + " - Ctrl:" + std::to_string(io.control) +
        " - DataType:" + Hex(dataVarType, 4) + "H");
    Log("Exit:AcyclicTransmission:" + Hex(dataVarType, 4) + "H ++++++++++");
    return result;
}

int Transmitter::TivReset() {
    Log("Entry:TivReset,----------");
    if (state_.adapterPresent) SendAcyclic(kTelTypeService, 4, 1, 1, kControlReset, ByteArrayArg{});
    Log("Exit:TivReset:0 ++++++++++");
    return 0;
}

int Transmitter::TivSoftstart() {
    Log("Entry:TivSoftstart,----------");
    if (state_.adapterPresent)
        SendAcyclic(kTelTypeService, 4, 1, 1, kControlSoftstart, ByteArrayArg{});
    Log("Exit:TivSoftstart:0 ++++++++++");
    return 0;
}

}  // namespace tivlink
