#include "tivlink/protocol/TimerDuties.h"

namespace tivlink {

void TimerDuties::Tick() {
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
    if (wake) clientQueue_.wake();

    if (state_.statusPollDivider >= 0 && --state_.statusPollDivider == 0) {
        state_.statusPollDivider = state_.timerIntervall.load();
        if (!state_.busy && !state_.downloadFlag && !state_.controlReadRunning &&
            state_.adapterReady) {
            auto& status = statusArea_;
            status[14] = status[16] = status[19] = 0;
            if (usb_.ReadBulkStatus(3, status) == 0) {
                const bool noBus = (status[14] & 1) != 0;
                if (noBus && !state_.noConnection.exchange(true))
                    events_.Post(kMsgTivConnected, "Timer->OnTivConnected,\"no connection\"");
                else if (!noBus && state_.noConnection.exchange(false))
                    events_.Post(kMsgTivConnected, "Timer->OnTivConnected,\"connection OK\"");
                login_.Count((status[16] & 1) != 0, "Timer");
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
