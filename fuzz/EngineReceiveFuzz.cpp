// Arbitrary pipe-1 packets through the worker thread's assembler and matcher while a
// request is outstanding, then the client calls that read what was matched.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "os/Clock.h"
#include "tivlink/protocol/DriverEngine.h"
#include "usb/IoctlCodes.h"

namespace {

using Packet = std::array<std::uint8_t, 64>;

class FuzzTransport final : public usbio::Transport {
public:
    usbio::Handle open(std::string_view name) override {
        return name == std::string(usbio::kDeviceNamePrefix) + "0" ? 1 : usbio::kInvalidHandle;
    }
    void close(usbio::Handle) override {}
    bool ioControl(usbio::Handle, std::uint32_t code, const void* in, std::uint32_t inSize,
                   void* out, std::uint32_t outSize, std::uint32_t* returned) override {
        *returned = 0;
        if (code != usbio::kIoctlBulkRead || inSize < 4 || outSize < 64) return true;
        if (static_cast<const std::uint8_t*>(in)[0] != 1) return true;
        Packet p{};
        {
            std::lock_guard lock(mutex_);
            if (!packets_.empty()) {
                p = packets_.front();
                packets_.pop_front();
                if (packets_.empty()) drained_.notify_all();
            }
        }
        // Never report a lost bus, so the stop below is always served quickly.
        p[1] &= static_cast<std::uint8_t>(~0x04);
        std::copy(p.begin(), p.end(), static_cast<std::uint8_t*>(out));
        *returned = 64;
        return true;
    }
    void Load(const std::uint8_t* data, std::size_t size) {
        std::lock_guard lock(mutex_);
        for (std::size_t at = 0; at < size; at += 64) {
            Packet p{};
            std::copy_n(data + at, std::min<std::size_t>(64, size - at), p.begin());
            packets_.push_back(p);
        }
    }
    void WaitDrained() {
        std::unique_lock lock(mutex_);
        drained_.wait(lock, [this] { return packets_.empty(); });
    }

private:
    std::mutex mutex_;
    std::condition_variable drained_;
    std::deque<Packet> packets_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto transport = std::make_shared<FuzzTransport>();
    static tivlink::DriverEngine* engine = [] {
        // The start of reception waits 20 ms; a fast clock keeps the fuzzer busy instead.
        os::setClock(std::make_shared<os::ScaledClock>(1000.0));
        auto* e = new tivlink::DriverEngine({transport, {}, nullptr, nullptr});
        e->SetTraDelay(0);
        return e;
    }();
    if (size > 64 * 256) return 0;

    engine->SendAcyclic(5, 4, 29, 1217, 0xC0, tivlink::ByteArrayArg{});
    transport->Load(data, size);
    engine->StartReception();
    transport->WaitDrained();
    engine->StopReception();
    while (engine->ReceptionRunning()) std::this_thread::yield();

    tivlink::TelegramFields fields;
    std::vector<std::uint8_t> out;
    engine->ReceiveAcyclic(fields, out);
    engine->ReceiveAcyclicDelayed(fields, out);
    return 0;
}
