#include "tivlink/usb/AdapterMemory.h"

#include <algorithm>
#include <new>

#include "os/Clock.h"
#include "os/MessageQueue.h"
#include "tivlink/TivResults.h"

namespace tivlink {

using namespace std::chrono_literals;

namespace {

constexpr int kAdapterMemory = 65536;
constexpr int kDownloadChunk = 60;
constexpr int kUploadChunk = 64;
constexpr int kNothingCame = result::DlGetState::kNoReply;
constexpr std::uint8_t kStateBusy = 0x02;
using result::AdapterMemory::kBadLength;
using result::AdapterMemory::kBadRange;
using result::AdapterMemory::kNoMemory;

// The adapter clears its busy bit within a few milliseconds; this only ends the wait
// when it never does.
constexpr auto kChunkWait = 2s;
// How often the chunk wait asks the adapter for its state.
constexpr auto kStatePoll = std::chrono::milliseconds(2);
// The worker serves a stop after the packet it is reading, which takes up to one empty
// pipe-1 wait (about 10 ms).
constexpr auto kStopWait = 1s;

constexpr std::uint8_t kDlLock = 0xA4;
constexpr std::uint8_t kDlData = 0xB0;
constexpr std::uint8_t kDlStart = 0xB1;
constexpr std::uint8_t kDlState = 0xB2;
constexpr std::uint8_t kDlStop = 0xB3;
constexpr std::uint8_t kUlRead = 0xB6;
constexpr std::uint8_t kUlStart = 0xB7;
constexpr std::uint8_t kUlState = 0xB8;
constexpr std::uint8_t kUlStop = 0xB9;

void PutBigEndian32(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 24);
    at[1] = static_cast<std::uint8_t>(value >> 16);
    at[2] = static_cast<std::uint8_t>(value >> 8);
    at[3] = static_cast<std::uint8_t>(value);
}

// Command, offset high and low, count: the head of a memory data or read packet.
UsbPacket MemoryPacket(std::uint8_t command, int offset, int count) {
    UsbPacket p{};
    p[0] = command;
    p[1] = static_cast<std::uint8_t>(offset >> 8);
    p[2] = static_cast<std::uint8_t>(offset);
    p[3] = static_cast<std::uint8_t>(count);
    return p;
}

}  // namespace

void AdapterMemory::StopReceptionAndWait() {
    stopReception_();
    os::MessageQueue::forCurrentThread()->runUntil(
        [this] { return state_.threadCommand.load() != kThreadReceive; }, kStopWait);
}

int AdapterMemory::TransferState(std::uint8_t command, std::int32_t& lastAddr, int* transferCode) {
    UsbPacket reply{};
    std::uint32_t got = 0;
    int code = pipe_.WriteCommand({command});
    if (code == 0) code = usb_.ReadBulkStatus(5, reply, &got);
    if (transferCode) *transferCode = code;
    if (code != 0 || got == 0) return kNothingCame;
    if (got >= 5) {
        lastAddr = static_cast<std::int32_t>(static_cast<std::uint32_t>(reply[1]) << 24 |
                                             static_cast<std::uint32_t>(reply[2]) << 16 |
                                             static_cast<std::uint32_t>(reply[3]) << 8 | reply[4]);
    }
    return reply[0];
}

int AdapterMemory::SendRange(std::uint8_t command, int startAddr, int stopAddr) {
    UsbPacket p{};
    p[0] = command;
    PutBigEndian32(&p[1], static_cast<std::uint32_t>(startAddr));
    PutBigEndian32(&p[5], static_cast<std::uint32_t>(stopAddr));
    pipe_.WritePacket(p);
    return 0;
}

int AdapterMemory::DlLockAdapter() {
    Log("Entry:DlLockAdapter,----------");
    // Set first, so no status poll slips in after the adapter entered download mode.
    state_.downloadFlag = true;
    pipe_.WriteCommand({kDlLock, 0});
    Log("Exit:DlLockAdapter:0 ++++++++++");
    return 0;
}

int AdapterMemory::DlUnlockAdapter() {
    Log("Entry:DlUnlockAdapter,----------");
    pipe_.WriteCommand({kDlLock, 1});
    state_.downloadFlag = false;
    Log("Exit:DlUnlockAdapter:0 ++++++++++");
    return 0;
}

int AdapterMemory::DlStart(int startAddr, int stopAddr) {
    Log("Entry:DlStart,StartAddr:" + std::to_string(startAddr) +
        ",StopAddr:" + std::to_string(stopAddr) + " ----------");
    const int result = SendRange(kDlStart, startAddr, stopAddr);
    Log("Exit:DlStart:" + std::to_string(result) + " ++++++++++");
    return result;
}

int AdapterMemory::DlStop() {
    Log("Entry:DlStop,----------");
    pipe_.WriteCommand({kDlStop});
    Log("Exit:DlStop:0 ++++++++++");
    return 0;
}

int AdapterMemory::DlGetState(std::int32_t& lastAddr) {
    return TransferState(kDlState, lastAddr, nullptr);
}

int AdapterMemory::DlLoadAdapter(int len, const ByteArrayArg& data) {
    Log("Entry:DlLoadAdapter,Len:" + std::to_string(len) + " ----------");
    int result = 0;
    if (len < 1 || len > kAdapterMemory) {
        result = kBadLength;
    } else {
        // A client array shorter than Len leaves the rest 0 instead of reading past it.
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(len), 0);
        CopyLowBytes(data, bytes.size(), bytes.data());
        StopReceptionAndWait();
        auto queue = os::MessageQueue::forCurrentThread();
        for (int offset = 0; offset < len && result == 0; offset += kDownloadChunk) {
            const int count = std::min(kDownloadChunk, len - offset);
            UsbPacket p = MemoryPacket(kDlData, offset, count);
            std::copy_n(bytes.begin() + offset, count, p.begin() + 4);
            pipe_.WritePacket(p);

            // Until the adapter has taken the chunk; a gone or stuck adapter ends the wait.
            int state = kNothingCame;
            bool gone = false;
            const bool taken = queue->runUntil(
                [&] {
                    std::int32_t lastAddr = 0;
                    int code = 0;
                    state = TransferState(kDlState, lastAddr, &code);
                    gone = code != 0;
                    return gone || (state & kStateBusy) == 0;
                },
                kChunkWait, kStatePoll);
            if (gone)
                result = kNothingCame;
            else if (!taken)
                result = state;
        }
    }
    Log("Exit:DlLoadAdapter:" + std::to_string(result) + " ++++++++++");
    return result;
}

int AdapterMemory::UlStart(int startAddr, int stopAddr) {
    Log("Entry:UlStart,StartAddr:" + std::to_string(startAddr) +
        ",StopAddr:" + std::to_string(stopAddr) + " ----------");
    const int result = SendRange(kUlStart, startAddr, stopAddr);
    Log("Exit:UlStart:" + std::to_string(result) + " ++++++++++");
    return result;
}

int AdapterMemory::UlStop() {
    Log("Entry:UlStop,----------");
    pipe_.WriteCommand({kUlStop});
    Log("Exit:UlStop:0 ++++++++++");
    return 0;
}

int AdapterMemory::UlGetState(std::int32_t& lastAddr) {
    return TransferState(kUlState, lastAddr, nullptr);
}

int AdapterMemory::UlReadAdapter(int startAddr, int len, std::vector<std::uint8_t>& data) {
    Log("Entry:UlReadAdapter,StartAddr:" + std::to_string(startAddr) +
        ",Len:" + std::to_string(len) + " ----------");
    int result = 0;
    std::vector<std::uint8_t> bytes;
    if (startAddr < 0 || static_cast<std::int64_t>(startAddr) + len > kAdapterMemory) {
        result = kBadRange;
    } else if (len <= 0) {
        result = kBadLength;
    } else {
        try {
            bytes.assign(static_cast<std::size_t>(len), 0);
        } catch (const std::bad_alloc&) {
            result = kNoMemory;
        }
    }
    if (result == 0) {
        StopReceptionAndWait();
        auto& queue = os::MessageQueue::current();
        // StartAddr only bounds the request: the reads start at offset 0.
        for (int offset = 0; offset < len; offset += kUploadChunk) {
            const int count = std::min(kUploadChunk, len - offset);
            UsbPacket reply{};
            std::uint32_t got = 0;
            int code = pipe_.WritePacket(MemoryPacket(kUlRead, offset, count));
            if (code == 0) code = usb_.ReadBulkStatus(5, reply, &got);
            std::copy_n(reply.begin(),
                        std::min<std::uint32_t>(got, static_cast<std::uint32_t>(count)),
                        bytes.begin() + offset);
            queue.processMessages();
            // A vanished adapter answers no further chunk; what is missing stays 0.
            if (code != 0) break;
        }
        data = std::move(bytes);
        result = len / kUploadChunk;
    }
    Log("Exit:UlReadAdapter:" + std::to_string(result) + " ++++++++++");
    return result;
}

}  // namespace tivlink
