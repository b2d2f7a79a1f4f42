#include "SimTransport.h"

#include <cstdlib>
#include <map>
#include <mutex>

#include "usb/IoctlCodes.h"

namespace sim {

namespace {

class SimTransport final : public usbio::Transport {
public:
    explicit SimTransport(std::shared_ptr<Simulator> simulator)
        : simulator_(std::move(simulator)) {}

    usbio::Handle open(std::string_view deviceName) override {
        const int device = usbio::deviceIndexFromName(std::string(deviceName).c_str());
        if (device < 0) return usbio::kInvalidHandle;
        const auto generation = simulator_->openDevice(device);
        if (generation == 0) return usbio::kInvalidHandle;
        std::lock_guard lock(mutex_);
        const usbio::Handle h = next_++;
        open_[h] = {device, generation};
        return h;
    }

    bool ioControl(usbio::Handle handle, std::uint32_t code, const void* in, std::uint32_t inSize,
                   void* out, std::uint32_t outSize, std::uint32_t* bytesReturned) override {
        Opened o;
        {
            std::lock_guard lock(mutex_);
            const auto it = open_.find(handle);
            if (it == open_.end()) {
                if (bytesReturned) *bytesReturned = 0;
                return false;
            }
            o = it->second;
        }
        return simulator_->ioControl(o.device, o.generation, code, in, inSize, out, outSize,
                                     bytesReturned);
    }

    void close(usbio::Handle handle) override {
        std::lock_guard lock(mutex_);
        open_.erase(handle);
    }

private:
    struct Opened {
        int device = -1;
        std::uint64_t generation = 0;
    };
    std::shared_ptr<Simulator> simulator_;
    std::mutex mutex_;
    std::map<usbio::Handle, Opened> open_;
    usbio::Handle next_ = 1;
};

std::mutex processMutex;
std::weak_ptr<Simulator> processSim;

}  // namespace

std::shared_ptr<usbio::Transport> makeSimTransport(std::shared_ptr<Simulator> simulator) {
    return std::make_shared<SimTransport>(std::move(simulator));
}

void registerTransportBackend() {
    usbio::registerBackend(
        "sim",
        [](std::string_view argument, std::string& error) -> std::shared_ptr<usbio::Transport> {
            std::string file(argument);
            if (file.empty()) {
                const char* env = std::getenv("TIV_SCENARIO");
                if (env) file = env;
            }
            try {
                auto simulator =
                    std::make_shared<Simulator>(file.empty() ? demoScenario() : loadScenario(file));
                {
                    std::lock_guard lock(processMutex);
                    processSim = simulator;
                }
                return makeSimTransport(std::move(simulator));
            } catch (const ScenarioError& e) {
                error = e.what();
                return nullptr;
            }
        });
}

std::shared_ptr<Simulator> processSimulator() {
    std::lock_guard lock(processMutex);
    return processSim.lock();
}

}  // namespace sim
