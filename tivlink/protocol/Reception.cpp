// The worker thread's body: reception, connection and login state.

#include "tivlink/protocol/Reception.h"

#include <utility>

#include "tivlink/TelegramCodec.h"
#include "tivlink/TivResults.h"

namespace tivlink {

namespace {
constexpr std::uint8_t kFlagNoConnection = 0x04;
constexpr std::uint8_t kFlagLoggedOn = 0x10;
}  // namespace

void Reception::Body(TOSInstantThread& self) {
    StoreIfChanged(state_.busy, true);
    switch (state_.threadCommand.load()) {
        case kThreadIdle:
            state_.busy = false;
            state_.recState = 0;
            recorder_.File().Idle();
            window_.Drop();
            self.Suspend();
            break;
        case kThreadDownload:
            loader_.LoadAdapter();
            state_.threadCommand = kThreadIdle;
            clientQueue_.wake();
            break;
        case kThreadReceive:
            Pass();
            // The client may be waiting for reception to end.
            if (state_.threadCommand.load() != kThreadReceive) clientQueue_.wake();
            break;
        default:
            // Shutting down: the run loop ends once termination is requested.
            state_.busy = false;
            self.Suspend();
            break;
    }
}

void Reception::Pass() {
    StoreIfChanged(state_.recState, 1);
    if (ExchangeIfChanged(state_.assemblerReset, false)) assembler_.Reset();

    int result = usb_.ReadBulkData(1, receiveArea_);
    if (result == 0 && (receiveArea_[1] & kFlagNoConnection))
        result = result::LastError::kNoBusConnection;
    StoreIfChanged(state_.lastError, result);

    if (result >= 1 && result <= 15) {
        state_.threadCommand = kThreadIdle;
        if (state_.adapterPresent && state_.adapterReady) {
            state_.adapterPresent = false;
            state_.adapterReady = false;
            events_.Post(kMsgAdapterDiscon, "Thread->OnAdapterDiscon");
        }
        return;
    }
    if (result == 16) {
        if (!state_.noConnection.exchange(true)) {
            state_.loginCounter = 0;
            state_.loggedIn = false;
            state_.loggedInReported = false;
            events_.Post(kMsgTivConnected, "Thread->OnTivConnected,\"no connection\"");
        }
        receiveArea_[1] = 0;
    } else {
        if (ExchangeIfChanged(state_.noConnection, false))
            events_.Post(kMsgTivConnected, "Thread->OnTivConnected,\"connection OK\"");
        recorder_.File().WritePacket(1, receiveArea_);
        if (receiveArea_[0] != 0 || assembler_.InFrame()) {
            login_.Count((receiveArea_[1] & kFlagLoggedOn) != 0, "Thread");
            // The worker is the only writer while reception runs: no locked increment.
            const std::int32_t packets = state_.usbTelCntr.load(std::memory_order_relaxed) + 1;
            state_.usbTelCntr.store(packets, std::memory_order_release);
            window_.Get().UsbTelegrams(packets);
            recorder_.File().WritePacket(2, receiveArea_);
            const auto stream = std::span(receiveArea_).subspan(2);
            if (state_.filterOn) {
                assembler_.Feed(stream,
                                [this](std::span<const std::uint8_t> frame) { OnFrame(frame); });
            } else {
                recorder_.StoreRaw(stream);
            }
            // A full linear buffer ended reception: a frame it cut off is forgotten.
            if (recorder_.BufferStopped()) assembler_.Reset();
        }
    }

    const bool bufferFull = recorder_.EndPacket();
    window_.Get().BufferPosition(recorder_.Buffer().BufferPos());
    recorder_.ServeMarkers();
    if (bufferFull) state_.threadCommand = kThreadIdle;
    // Once per packet: a client waiting for its answer looks at the state anyway.
    if (std::exchange(matched_, false)) clientQueue_.wake();
    // A stop is served after every packet, also while the bus is away, so that reception
    // can always be ended.
    if (state_.stopRequest || recorder_.MarkerStop()) {
        state_.recordingActive = false;
        state_.threadCommand = kThreadIdle;
        assembler_.Reset();
    }
}

void Reception::OnFrame(std::span<const std::uint8_t> frame) {
    // A full linear buffer drops the rest of the packet.
    if (recorder_.BufferStopped()) return;
    // The method comes from the frame before the frame is written: a stale flag would cut
    // the first recorded frame short.
    if (frame.size() > 2) StoreIfChanged(state_.checkMethod, (frame[2] & kFrameFlagCrc) != 0);
    recorder_.File().WriteFrame(3, frame, state_.checkMethod);
    if (frameTap_) frameTap_(frame);
    if (matcher_.Match(frame)) matched_ = true;
    recorder_.RecordFrame(frame);
}

}  // namespace tivlink
