// The worker thread's body and the 100 ms timer: reception, connection and login state,
// wait counters and the status poll.

#include "os/Clock.h"
#include "tivlink/TelegramCodec.h"
#include "tivlink/protocol/DriverEngine.h"

namespace tivlink {

namespace {
constexpr std::uint8_t kFlagNoConnection = 0x04;
constexpr std::uint8_t kFlagLoggedOn = 0x10;
constexpr int kLoginMax = 3;
constexpr int kLoginThreshold = 2;
}  // namespace

void DriverEngine::ThreadBody(TOSInstantThread& self) {
    state_.busy = true;
    switch (state_.threadCommand.load()) {
        case kThreadIdle:
            state_.busy = false;
            state_.recState = 0;
            recFile_.Idle();
            receptionWindow_.Drop();
            self.Suspend();
            break;
        case kThreadDownload:
            LoadAdapter();
            state_.threadCommand = kThreadIdle;
            clientQueue_->wake();
            break;
        case kThreadReceive:
            ReceptionPass();
            // The client may be waiting for reception to end.
            if (state_.threadCommand.load() != kThreadReceive) clientQueue_->wake();
            break;
        default:
            // Shutting down: the run loop ends once termination is requested.
            state_.busy = false;
            self.Suspend();
            break;
    }
}

void DriverEngine::CountLogin(bool loggedOnBit, const char* origin) {
    const std::string_view prefix = origin;
    if (loggedOnBit) {
        const int count = std::min(state_.loginCounter.load() + 1, kLoginMax);
        StoreIfChanged(state_.loginCounter, count);
        if (count > kLoginThreshold) {
            StoreIfChanged(state_.loggedIn, true);
            if (!ExchangeIfChanged(state_.loggedInReported, true))
                events_.Post(kMsgAdapterLoggedIn, std::string(prefix) + "->OnAdapterLoggedIn");
        }
    } else {
        const int count = std::max(state_.loginCounter.load() - 1, 0);
        state_.loginCounter = count;
        if (count == 0) {
            state_.loggedIn = false;
            if (state_.loggedInReported.exchange(false))
                events_.Post(kMsgAdapterLoggedOut, std::string(prefix) + "->OnAdapterLoggedOut");
        }
    }
}

void DriverEngine::ReceptionPass() {
    StoreIfChanged(state_.recState, 1);
    if (ExchangeIfChanged(assemblerReset_, false)) assembler_.Reset();

    int result = usb_.ReadBulkData(1, receiveArea_);
    if (result == 0 && (receiveArea_[1] & kFlagNoConnection)) result = 16;
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
        recFile_.WritePacket(1, receiveArea_);
        if (receiveArea_[0] != 0 || assembler_.InFrame()) {
            CountLogin((receiveArea_[1] & kFlagLoggedOn) != 0, "Thread");
            receptionWindow_.Get().UsbTelegrams(state_.usbTelCntr.fetch_add(1) + 1);
            recFile_.WritePacket(2, receiveArea_);
            const auto stream = std::span(receiveArea_).subspan(2);
            if (state_.filterOn) {
                assembler_.Feed(stream,
                                [this](std::span<const std::uint8_t> frame) { OnFrame(frame); });
            } else {
                ReceiveBuffer::StoreResult r;
                buffer_.StoreRaw(stream, state_.stopRequest, r);
                Apply(r);
            }
        }
    }

    buffer_.EndPacket();
    bufferStopped_ = false;
    receptionWindow_.Get().BufferPosition(buffer_.BufferPos());
    ServeMarkers();
    // A stop is served after every packet, also while the bus is away, so that reception
    // can always be ended.
    if (state_.stopRequest || markerStop_) {
        state_.recordingActive = false;
        state_.threadCommand = kThreadIdle;
        assembler_.Reset();
    }
}

void DriverEngine::OnFrame(std::span<const std::uint8_t> frame) {
    // A full linear buffer drops the rest of the packet.
    if (bufferStopped_) return;
    // The method comes from the frame before the frame is written: a stale flag would cut
    // the first recorded frame short.
    if (frame.size() > 2) StoreIfChanged(state_.checkMethod, (frame[2] & kFrameFlagCrc) != 0);
    recFile_.WriteFrame(3, frame, state_.checkMethod);
    if (frameTap_) frameTap_(frame);
    MatchFrame(frame);
    RecordFrame(frame);
}

void DriverEngine::TimerTick() {
    const auto ticks = state_.tickCounter.fetch_add(1) + 1;
    diagnostics_.WindowSink()->Tick(ticks, state_.busy);

    bool wake = false;
    if (state_.transactionWaitCounter >= 0 && --state_.transactionWaitCounter == 0) {
        state_.transactionExpired = true;
        wake = true;
    }
    if (state_.delayedWaitCounter >= 0 && --state_.delayedWaitCounter == 0) {
        state_.delayedExpired = true;
        state_.delayedPending = false;
        wake = true;
    }
    for (auto* counter :
         {&state_.markerWaitCounter, &state_.markerStopWaitCounter, &state_.generalWaitCounter})
        if (*counter > 0 && --*counter == 0) wake = true;
    if (wake) clientQueue_->wake();

    if (state_.statusPollDivider >= 0 && --state_.statusPollDivider == 0) {
        state_.statusPollDivider = state_.timerIntervall.load();
        if (!state_.busy && !state_.downloadFlag && !state_.controlReadRunning &&
            state_.adapterReady) {
            auto& status = timerStatusArea_;
            status[14] = status[16] = status[19] = 0;
            if (usb_.ReadBulkStatus(3, status) == 0) {
                const bool noBus = (status[14] & 1) != 0;
                if (noBus && !state_.noConnection.exchange(true))
                    events_.Post(kMsgTivConnected, "Timer->OnTivConnected,\"no connection\"");
                else if (!noBus && state_.noConnection.exchange(false))
                    events_.Post(kMsgTivConnected, "Timer->OnTivConnected,\"connection OK\"");
                CountLogin((status[16] & 1) != 0, "Timer");
                state_.checkMethod = (status[19] & 1) != 0;
                state_.checkMode = (status[18] & 1) != 0;
            } else if (state_.adapterPresent && state_.adapterReady) {
                state_.adapterPresent = false;
                state_.adapterReady = false;
                state_.loggedInReported = false;
                events_.Post(kMsgAdapterDiscon, "Timer->OnAdapterDiscon");
            }
        }
    }
}

}  // namespace tivlink
