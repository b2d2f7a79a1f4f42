// Sending: telegrams as three transmit blocks, caller-made packets, the check settings.

#include <algorithm>

#include "os/Clock.h"
#include "tivlink/TelegramCodec.h"
#include "tivlink/protocol/DriverEngine.h"
#include "tivlink/protocol/Format.h"
#include "tivlink/protocol/TransmitBlocks.h"

namespace tivlink {

std::size_t DriverEngine::VariantToRecord(const ByteArrayArg& data, std::uint8_t* dest,
                                          std::size_t size) {
    Log("Entry:VariantToRecord,DestPtr:" + Ptr(dest) + ", Size:" + std::to_string(size) +
        "----------");
    const std::size_t width = ElementWidth(data.varType);
    const std::size_t copied = CopyLowBytes(data, size, dest);
    const std::uint16_t elementType = data.varType & kVtTypeMask;
    Log("1:VariantToRecord,VarType:" + Hex(elementType, 2) + "H, DestPtr:" + Ptr(dest) +
        ", VarPtr:" + Ptr(data.data) + ", TypeSize:" + std::to_string(width) +
        ", CreateSize:" + std::to_string(copied));
    Log("Exit:VariantToRecord:" + std::to_string(width * 256 + elementType) + " ++++++++++");
    return copied;
}

int DriverEngine::SendAcyclic(int telType, int dataSize, int subNo, int objNo, int control,
                              const ByteArrayArg& data) {
    return SendAcyclicImpl(telType, dataSize, subNo, objNo, control, data, false);
}

int DriverEngine::SendAcyclicImpl(int telType, int dataSize, int subNo, int objNo, int control,
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
        result = -1;
    } else {
        state_.requestSeen = false;
        WorkArea work{};
        state_.acyclicSeen = false;
        // A record holds at most 132; a larger size is refused like a negative one.
        if (dataSize < 0 || dataSize > static_cast<int>(kMaxDataSize)) {
            result = 128;
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
                VariantToRecord(source, work.data(), count);
                Log("Return1:SendAcyclic->VariantToRecord");
            } else {
                std::uint8_t* dest = work.data() + kRecordHeaderSize;
                Log("Call2:SendAcyclic->VariantToRecord,DestPtr:" + Ptr(dest) +
                    ",Size:" + std::to_string(count));
                VariantToRecord(source, dest, std::min(count, work.size() - kRecordHeaderSize));
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
            std::lock_guard sending(sendMutex_);
            Log("SendAcyclic->\"transmit Block 1\"");
            int code = usb_.WriteBulkData(2, blocks[0]);
            Log("SendAcyclic->\"transmit Block 1 Ok\"");
            Show("erster Block gesendet");
            os::clock().sleepFor(pause);
            if (code != 0) {
                result = 16 + code;
            } else {
                Log("SendAcyclic->\"transmit Block 2\"");
                code = usb_.WriteBulkData(2, blocks[1]);
                Log("SendAcyclic->transmit Block 2 Ok");
                Show("zweiter Block gesendet");
                os::clock().sleepFor(pause);
                if (code != 0) {
                    result = 32 + code;
                } else {
                    // Both set before the block goes out: the echo and the answer can
                    // arrive before the write returns.
                    state_.responseState = 1;
                    state_.requestSent = true;
                    Log("SendAcyclic->\"transmit Block 3\"");
                    code = usb_.WriteBulkData(2, blocks[2]);
                    Log("SendAcyclic->\"transmit Block 3 Ok\"");
                    Show("dritter Block gesendet - " + Hex(checksum, 4) + "H");
                    if (code != 0) {
                        state_.requestSent = false;
                        result = 64 + code;
                    }
                }
            }
        }
    }
    if (result != 0) state_.acyclicSeen = true;
    Log("Exit:SendAcyclic:" + std::to_string(result) + " ++++++++++");
    return result;
}

int DriverEngine::SendRequest(const ByteArrayArg& data) {
    Log("Entry:SendRequest, ----------");
    std::array<std::uint8_t, kMaxRecordWithChecksum> record{};
    Log("Call:SendRequest->VariantToRecord,DestPtr:" + Ptr(record.data()) + ",Size:136");
    VariantToRecord(data, record.data(), record.size());
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

int DriverEngine::WriteData(const ByteArrayArg& data) {
    Log("Entry:WriteData, ----------");
    UsbPacket packet{};
    Log("Call:WriteData->VariantToRecord,DestPtr:" + Ptr(packet.data()) + ",Size:64");
    VariantToRecord(data, packet.data(), packet.size());
    std::string bytes;
    for (const auto b : packet) bytes += " " + Hex(b, 2);
    Log("Return:WriteData->VariantToRecord:" + bytes);
    Log("Call:WriteData->WriteBulkData");
    const int result = WritePacket(packet);
    Log("Return:WriteData->WriteBulkData:" + std::to_string(result));
    if (result == 0) {
        std::string first;
        for (std::size_t i = 0; i < 10; ++i) first += " " + Hex(packet[i], 2);
        Show("Daten gesendet-" + first);
    }
    Log("Exit:WriteData:" + std::to_string(result) + " ++++++++++");
    return result;
}

int DriverEngine::CheckArrayCRC(const ByteArrayArg& data, int len) {
    if (len <= 0) return -1;
    // Only the elements the array holds are read, whatever Len claims.
    const std::size_t n = std::min(static_cast<std::size_t>(len), data.count);
    std::vector<std::uint8_t> bytes;
    try {
        bytes.resize(n);
    } catch (const std::bad_alloc&) {
        return -2;
    }
    CopyLowBytes(data, n, bytes.data());
    return Crc16(bytes);
}

int DriverEngine::SetCheckMethod(int value) {
    std::vector<std::uint8_t> version;
    if (!IsFirmwareLoaded(version)) return -1;
    const int result = WriteCommand({0xDC, static_cast<std::uint8_t>(value)});
    state_.checkMethod = value != 0;
    return result;
}

int DriverEngine::SetCheckMode(int value) {
    std::vector<std::uint8_t> version;
    if (!IsFirmwareLoaded(version)) return -1;
    const int result = WriteCommand({0xDA, static_cast<std::uint8_t>(value)});
    state_.checkMode = value != 0;
    return result;
}

}  // namespace tivlink
