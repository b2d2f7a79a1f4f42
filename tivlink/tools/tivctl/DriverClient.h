#pragma once

// How tivctl reaches the driver: as any client does, through the registered module
// libtivlink.so, the COM runtime and the interfaces ITivDriver and ITivDriverEvents.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "Commands.h"
#include "com/ComPtr.h"
#include "com/EventSink.h"
#include "com/HResult.h"
#include "com/Variant.h"
#include "host/HostSetup.h"
#include "host/StopSignals.h"
#include "os/Clock.h"
#include "tivlink/ITivDriver.h"

namespace tivctl {

// A member of the driver failed; the text names it and says what the error info said.
class CallError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using host::ChooseRegistry;
using host::ErrorText;
// Throws CallError unless `hr` succeeded.
void Check(std::string_view member, com::HRESULT hr);

// Installs the transport the options ask for (host::InstallTransport): kExitOk, or the exit
// code after a message.
int InstallTransport(const GlobalOptions& options);

// Creates Tivlink.TivDriver by ProgID through the chosen registry and asks it for `iid`;
// false after a message.
bool CreateDriver(const com::Guid& iid, void** out);

// One driver object with an event sink advised on it, on the calling thread. --log switches
// its log file on and echoes the file's new lines on stderr while the client runs.
class DriverClient {
public:
    DriverClient();
    ~DriverClient();
    DriverClient(const DriverClient&) = delete;
    DriverClient& operator=(const DriverClient&) = delete;

    // kExitOk when the object exists, else the exit code after a message.
    int Open(const GlobalOptions& options);

    tivlink::ITivDriver* operator->() const { return driver_.get(); }
    int AdapterNumber() const { return adapter_; }

    // Calls a member and throws CallError when it fails. The member's result, where it has
    // one, is returned: Call("SelectAdapter", &ITivDriver::SelectAdapter, 1, 0, &version).
    template <class... P, class... A>
    auto Call(std::string_view name, com::HRESULT (tivlink::ITivDriver::*member)(P...),
              A&&... args) {
        auto* d = driver_.get();
        if constexpr (sizeof...(A) == sizeof...(P)) {
            Check(name, (d->*member)(std::forward<A>(args)...));
        } else {
            static_assert(sizeof...(A) + 1 == sizeof...(P), "only the result may be left out");
            using ResultPtr = std::tuple_element_t<sizeof...(P) - 1, std::tuple<P...>>;
            std::remove_pointer_t<ResultPtr> result{};
            Check(name, (d->*member)(std::forward<A>(args)..., &result));
            return result;
        }
    }

    // Events seen so far; `onEvent` runs for each after it is counted, on this thread.
    int Count(tivlink::TivDriverEvent event) const;
    bool Disconnected() const { return Count(tivlink::TivDriverEvent::OnAdapterDiscon) > 0; }
    // Whether the selected adapter's device can still be opened (after a failure: whether it
    // was unplugged).
    bool Present();
    void OnEvent(std::function<void(tivlink::TivDriverEvent)> onEvent);

    // With --log, prints what the log file gained since the last look; PumpUntil does so
    // every 100 ms, a loop of another kind calls it itself.
    void EchoLog();

    // Runs this thread's messages (the events among them) until `done` holds, a stop signal
    // came or the nominal `timeout` passed; true when `done` held.
    bool PumpUntil(const std::function<bool()>& done, os::Clock::duration timeout);

    // What selecting an adapter found. A failed transfer is retried a few times: a one-off
    // failure is no reason to think the firmware silent. Only a query that keeps failing (as
    // it does for an adapter without firmware, whose core has no pipes to answer on) counts
    // as silent firmware.
    struct Selection {
        std::int32_t result = 0;  // SelectAdapter's, from the last try
        std::vector<std::uint8_t> version;
        std::int32_t transferError = 0;  // the code of the last failed exchange, if any
        int failedTries = 0;             // tries whose exchange failed
        bool running() const { return result == 0; }
        bool silent() const { return result == tivlink::result::kFirmwareSilent; }
        // The exchange failed and then went through: worth a word, not a download.
        bool recovered() const {
            return failedTries > 0 && result != tivlink::result::kFirmwareSilent &&
                   transferError == 0;
        }
    };
    Selection Select(int number);

    // Takes the selected adapter's lock for the client's lifetime: kExitOk, kExitLocked when
    // another program holds it, kExitLockFailed when it cannot be taken; a message either way.
    int Lock();

    // Selects and locks the adapter, downloading the firmware first when it does not answer
    // (never for a transfer that failed once: that would destroy running firmware). kExitOk,
    // or the exit code after a message.
    int BringUp();
    // The selected adapter's display name; empty when its firmware does not answer.
    std::string AdapterName();

private:
    class LogEcho;

    com::ComPtr<tivlink::ITivDriver> driver_;
    com::ComPtr<com::EventSink> sink_;
    std::uint32_t cookie_ = 0;
    int adapter_ = 1;
    std::shared_ptr<std::map<tivlink::TivDriverEvent, int>> counts_;
    std::shared_ptr<std::function<void(tivlink::TivDriverEvent)>> onEvent_;
    std::unique_ptr<LogEcho> echo_;
    bool locked_ = false;
};

// The text for a LockAdapter result other than 0.
std::string LockText(int result);

#define TIVCTL_CALL(client, member, ...) \
    (client).Call(#member, &tivlink::ITivDriver::member __VA_OPT__(, ) __VA_ARGS__)
#define TIVCTL_GET(client, property) (client).Call(#property, &tivlink::ITivDriver::get_##property)
#define TIVCTL_PUT(client, property, value) \
    (client).Call(#property, &tivlink::ITivDriver::put_##property, value)

// Reception on the client's driver object, and how it ends.
class Reception {
public:
    explicit Reception(DriverClient& client) : client_(client) {}

    // Reception with the filter on, into a ring buffer, so that a long run never ends because
    // nobody drains the buffer; kExitOk, or kExitFailure after a message.
    int Start(int filterType = 0);
    // Why reception ended without being asked to, or empty while it runs: the adapter went
    // away, a USB read failed, RecState fell back to 0 after it was seen running, or it never
    // came up within a grace time.
    std::string Problem();
    // Whether the last problem was a failed read while the adapter is still plugged in: the
    // driver reports that as a disconnect, but selecting the adapter again brings it back.
    bool Recoverable() const { return recoverable_; }
    // Selects the adapter again and restarts reception; false when that fails.
    bool Restart();
    // Asks reception to stop and waits until the worker has left it, so that the counters,
    // the buffer and the file hold everything it took in.
    void Stop();

private:
    DriverClient& client_;
    os::Clock::time_point started_{};
    bool seenRunning_ = false;
    int filterType_ = 0;
    int disconnects_ = 0;  // OnAdapterDiscon events already dealt with
    bool recoverable_ = false;
};

// The message for a failed SelectAdapter of adapter `number`.
std::string SelectErrorText(int number, int result);
// The note for a selection whose exchange failed and then went through.
std::string RecoveredText(int number, const DriverClient::Selection& selection);

using host::Interrupted;
using host::StopSignals;

// The bytes of a byte array a member handed back (through a reference too); empty for
// anything else.
std::vector<std::uint8_t> BytesOf(const com::Variant& value);

using host::Nominal;

// "tivctl: TEXT" on stderr.
void Error(const std::string& text);

}  // namespace tivctl
