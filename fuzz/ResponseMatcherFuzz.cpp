// Frames straight into the response matcher, with a request and a delayed response
// outstanding, then the client calls that collect what was matched. No threads: a crash
// reproduces from its input alone.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "os/MessageQueue.h"
#include "tivlink/protocol/ResponseMatcher.h"

namespace {

class NullSink final : public tivlink::IDriverEventSink {
public:
    void OnEvent(int) override {}
};

bool KnownState(int state) {
    return state >= 0 && state <= 6;
}

}  // namespace

// Input: one byte of settings, then frames, each as a length byte and that many bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    static const auto sink = std::make_shared<NullSink>();
    tivlink::Diagnostics diagnostics;
    tivlink::DriverState state;
    tivlink::EventPoster events(diagnostics);
    events.Connect(sink);
    tivlink::ResponseMatcher matcher(state, diagnostics, events);

    const std::uint8_t settings = data[0];
    state.checkMethod = (settings & 1) != 0;
    state.requestSent = (settings & 2) != 0;
    state.requestSeen = (settings & 4) != 0;
    state.delayedPending = (settings & 8) != 0;
    state.responseState = 1;
    state.requestedSub = 29;
    state.requestedObj = 1217;
    state.delayedSub = 29;
    state.delayedObj = 1217;

    std::span<const std::uint8_t> rest(data + 1, size - 1);
    while (!rest.empty()) {
        const std::size_t n = std::min<std::size_t>(rest[0], rest.size() - 1);
        matcher.Match(rest.subspan(1, n));
        rest = rest.subspan(1 + n);
    }
    if (!KnownState(state.responseState) || !KnownState(state.delayedResponseState))
        __builtin_trap();

    tivlink::TelegramFields fields;
    std::vector<std::uint8_t> out;
    matcher.ReceiveAcyclic(fields, out, tivlink::kVtArray | tivlink::kVtUi1);
    if (out.size() > tivlink::kMaxRecordWithChecksum) __builtin_trap();
    out.clear();
    matcher.ReceiveAcyclicDelayed(fields, out);
    if (out.size() > tivlink::kMaxRecordWithChecksum) __builtin_trap();
    // Deliver what was posted, so that nothing piles up between inputs.
    os::MessageQueue::current().processMessages();
    return 0;
}
