#include "tivlink/protocol/Recorder.h"

#include <utility>

#include "os/Clock.h"
#include "os/SystemInfo.h"
#include "tivlink/TelegramCodec.h"
#include "tivlink/TivResults.h"

namespace tivlink {

namespace rec = result::StartRec;

using namespace std::chrono_literals;

namespace {
constexpr int kMarkerTicks = 3;
constexpr int kMarkerStart = 49;  // "1"
constexpr int kMarkerStop = 50;   // "2"
constexpr int kMarkerObj = 0x7DF5;
constexpr int kMarkerSub = 29;
constexpr int kRecordStartObj = 0x7E00;
constexpr int kRecordStartSub = 255;
constexpr std::size_t kLargestStoredFrame = 150;

std::uint8_t At(std::span<const std::uint8_t> f, std::size_t i) {
    return i < f.size() ? f[i] : 0;
}
}  // namespace

int Recorder::InitBuffer() {
    Log("Entry:InitBuffer, ----------");
    const std::uint64_t available = os::availablePhysicalMemory();
    Log("InitBuffer->AvailPhys:" + std::to_string(available));
    Show("Bytes verfügbar");
    if (buffer_.HadBlock()) {
        Show("reservierter Speicher gefunden");
        Log("InitBuffer->FreeMem");
    }
    Show("freie Bytes verfügbar");
    // The block is replaced under the buffer's lock: a running reception goes on storing
    // into the new one, and this thread's messages wait for the caller.
    const int result = buffer_.Init(available);
    if (result == 0) {
        Log("InitBuffer->GetMem:" + std::to_string(buffer_.SizeBytes()));
        Show("Speicher reserviert");
        Log("InitBuffer->\"reserved memory initialized\"");
        Show("Speicher initialisiert");
    } else {
        Log("InitBuffer->GetMem:FAILED");
        Show("Speicher nicht reserviert");
        state_.lastError = result;
    }
    Log("Exit:InitBuffer:" + std::to_string(result) + " ++++++++++");
    return result;
}

int Recorder::InitMemBuf(int memBlk) {
    if (memBlk > 0) buffer_.SetSizeUnits(memBlk);
    return InitBuffer();
}

int Recorder::FilterOn() {
    state_.filterOn = true;
    return 0;
}

int Recorder::FilterOff() {
    state_.filterOn = false;
    return 0;
}

void Recorder::SetFileRecMode(int mode) {
    if (mode >= 1 && mode <= 5) recFile_.SetMode(mode);
}

int Recorder::OpenRecFile(const std::string& name) {
    return recFile_.Open(name);
}

int Recorder::WaitTicks(int ticks, const std::function<bool()>& done) {
    // The general wait counter runs down with the timer; the queue runs meanwhile.
    state_.generalWaitCounter = ticks;
    os::MessageQueue::forCurrentThread()->runUntil(
        [&] { return done() || state_.generalWaitCounter.load() <= 0; },
        std::chrono::milliseconds(100 * (ticks + 2)));
    return done() ? 0 : 1;
}

int Recorder::StartRecCommon(const char* name, bool marked) {
    const std::string op = name;
    Log("Entry:" + op + ",----------");
    Show("Startbefehl");
    state_.threadCommand = kThreadIdle;
    os::clock().sleepFor(20ms);
    int result = 0;
    if (!worker_.Exists()) {
        result = rec::kNoThread;
    } else if (buffer_.SizeBytes() <= 0 || !buffer_.Allocated()) {
        result = rec::kNoBuffer;
    } else if (!state_.adapterPresent) {
        result = rec::kNoAdapter;
    } else {
        Log("Call:" + op + "->WriteBulkData, \"set write pointer\"");
        const int written = pipe_.WriteCommand({0x9E});
        Log("Return:" + op + "->WriteBulkData, \"set write pointer\":" + std::to_string(written));
        os::clock().sleepFor(50ms);
        UsbPacket scratch{};
        usb_.ReadBulkStatus(3, scratch);
        Log("Call:" + op + "->ReadBulkControl, \"two times to clear adapter buffer\"");
        usb_.ReadBulkData(1, scratch);
        const int cleared = usb_.ReadBulkData(1, scratch);
        Log("Return:" + op +
            "->ReadBulkControl, \"two times to clear adapter buffer\":" + std::to_string(cleared));
        buffer_.Restart(!marked);
        state_.usbTelCntr = 0;
        telCnt_ = 0;
        state_.assemblerReset = true;
        state_.noConnection = false;
        state_.stopRequest = false;
        markerStop_ = false;
        state_.recordingActive = !marked;
        state_.threadCommand = kThreadReceive;
        worker_.Resume();
    }
    if (!marked) Log("Exit:" + op + ":" + std::to_string(result) + " ++++++++++");
    return result;
}

int Recorder::StartRec() {
    return StartRecCommon("StartRec", false);
}

int Recorder::MarkedStartRec() {
    int result = StartRecCommon("MarkedStartRec", true);
    if (result == 0) {
        Log("Call:MarkedStartRec->SetMarker");
        const int marker = SetMarker(kMarkerStart);
        Log("Return1:MarkedStartRec->SetMarker");
        if (marker != 0) {
            result = rec::kMarkerNotSent;
        } else {
            result = WaitTicks(kMarkerTicks, [this] { return state_.recordingActive.load(); }) == 0
                         ? result::kOk
                         : rec::kMarkerNotSeen;
        }
        Log("Return2:MarkedStartRec->SetMarker");
    }
    Log("Exit:MarkedStartRec:" + std::to_string(result) + " ++++++++++");
    return result;
}

int Recorder::StopRec() {
    Show("Stoppbefehl");
    state_.stopRequest = true;
    return 0;
}

int Recorder::MarkedStopRec() {
    Show("Stoppbefehl");
    if (SetMarker(kMarkerStop) != 0) {
        state_.stopRequest = true;
        return rec::kMarkerNotSent;
    }
    const bool seen = WaitTicks(kMarkerTicks, [this] { return markerStop_.load(); }) == 0;
    state_.stopRequest = true;
    return seen ? result::kOk : rec::kMarkerNotSeen;
}

int Recorder::SetMarker(int value) {
    Log("Entry:SetMarker,----------");
    int result = 0;
    if (value < 32 || value > 127) {
        result = result::SetMarker::kOutOfRange;
        value = result::SetMarker::kFallbackMarker;
    }
    expectedMarker_ = value;
    const std::uint8_t data[21] = {'D', 'L', 'L', '_', static_cast<std::uint8_t>(value)};
    markerSetTime_ = os::tickCount();
    markerSeen_ = false;
    Log("Call:SetMarker->SendAcyclic");
    transmitter_.SendAcyclic(kTelTypeService, 9, kMarkerSub, kMarkerObj, 0,
                             ByteArrayArg::Bytes(data));
    Log("Return:SetMarker->SendAcyclic");
    if (WaitTicks(kMarkerTicks,
                  [this] { return state_.acyclicSeen.load() || state_.stopRequest.load(); }) != 0)
        result = result::SetMarker::kNotSeen;
    Log("Exit:SetMarker:" + std::to_string(result) + " ++++++++++");
    return result;
}

int Recorder::ReadData(int pos, int& bytes, std::vector<std::uint8_t>& data) {
    return buffer_.Read(pos, bytes, data);
}

int Recorder::ReadControlData(std::vector<std::uint8_t>& data) {
    state_.controlReadRunning = true;
    UsbPacket reply{};
    const int result = usb_.ReadBulkStatus(5, reply);
    state_.controlReadRunning = false;
    data.assign(reply.begin(), reply.end());
    return result;
}

void Recorder::Apply(const ReceiveBuffer::StoreResult& r) {
    // Counting used the threshold cut to the buffer size; the property keeps the cut value.
    if (const std::int64_t size = buffer_.SizeBytes(); buffer_.Threshold() > size)
        buffer_.SetThreshold(static_cast<int>(size));
    if (!(r.dataReceived || r.pointerOverrun || r.overrun || r.stopReception)) return;
    if (r.dataReceived) events_.PostSilent(kMsgDataReceived);
    if (r.pointerOverrun) events_.PostSilent(kMsgPointerOverrun);
    if (r.overrun) events_.PostSilent(kMsgOverrun);
    // Reception ends once the packet is published, so that a client that sees it ended
    // reads the final buffer position.
    if (r.stopReception) bufferStopped_ = true;
}

void Recorder::StoreFrame(std::span<const std::uint8_t> frame) {
    recFile_.WriteFrame(5, frame, state_.checkMethod);
    if (frame.size() >= kLargestStoredFrame) {
        os::clock().sleepFor(1ms);
        return;
    }
    // Counts what reaches the buffer: a reader compares it with the records it drains.
    telCnt_.store(telCnt_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    // Between the start and end bytes: length, flags, record, checksum.
    ReceiveBuffer::StoreResult r;
    packet_.StoreRecord(frame.subspan(1, frame.size() - 2), state_.stopRequest, r);
    Apply(r);
}

void Recorder::RecordFrame(std::span<const std::uint8_t> frame) {
    if (frame.size() < 4) return;
    const int type = frame[3] >> 5;
    if (type <= 2) {
        recFile_.WriteFrame(4, frame, state_.checkMethod);
        // The update travels with the event: by the time a handler runs, later frames may
        // have updated this slot and others.
        if (std::uint32_t sequence = 0; mv_.MayUpdate(frame) && mv_.Update(frame, &sequence) != 0)
            events_.PostSilent(kMsgMvAvailable, sequence);
    }
    bool forced = false;
    if (type == kTelTypeService) {
        const int sub = At(frame, 5);
        const int obj = At(frame, 6) | At(frame, 7) << 8;
        if (obj == kRecordStartObj && sub == kRecordStartSub) {
            if (!state_.recordingActive.exchange(true)) clientQueue_.wake();
            forced = true;
        } else if (obj == kMarkerObj && sub == kMarkerSub) {
            markerSeen_ = true;
            const int marker = At(frame, 13);
            if (marker == expectedMarker_) {
                forced = true;
                markerEchoMs_ = os::tickCount() - markerSetTime_;
                if (marker == kMarkerStart) {
                    state_.recordingActive = true;
                    pendingMarker_ = kMarkerStart;
                } else if (marker == kMarkerStop) {
                    markerStop_ = true;
                    pendingMarker_ = kMarkerStop;
                }
                clientQueue_.wake();
            }
        }
    }
    const bool passes = filter_.Passes(frame);
    if ((passes || forced) && state_.recordingActive && !bufferStopped_) StoreFrame(frame);
}

void Recorder::StoreRaw(std::span<const std::uint8_t> stream) {
    ReceiveBuffer::StoreResult r;
    packet_.StoreRaw(stream, state_.stopRequest, r);
    Apply(r);
}

bool Recorder::EndPacket() {
    packet_.EndPacket();
    return std::exchange(bufferStopped_, false);
}

void Recorder::Halt() {
    state_.recordingActive = false;
    markerStop_ = true;
}

void Recorder::ServeMarkers() {
    if (pendingMarker_ == 0) return;
    const bool start = pendingMarker_ == kMarkerStart;
    events_.Post(kMsgMarked, start ? "Thread->OnMarked,\"START\"" : "Thread->OnMarked,\"STOP\"",
                 "Thread->OnMarked", markerEchoMs_, pendingMarker_);
    pendingMarker_ = 0;
}

}  // namespace tivlink
