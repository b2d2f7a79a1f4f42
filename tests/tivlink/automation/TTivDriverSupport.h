#pragma once

// Helpers for the driver object's tests: objects made in this process over a transport of the
// test's choice, a sink that records the events it gets, arguments passed by reference, and the
// built module registered into a registry file of the test's own.

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "com/ComPtr.h"
#include "com/ConnectionPoint.h"
#include "com/ErrorInfo.h"
#include "com/EventSink.h"
#include "com/Registry.h"
#include "support/EngineRig.h"
#include "tivlink/ITivDriver.h"
#include "tivlink/automation/TTivDriver.h"

namespace comdrv {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// A driver made in this process, with the log off unless asked.
inline com::ComPtr<tivlink::ITivDriver> MakeDriver(std::shared_ptr<usbio::Transport> transport,
                                                   std::optional<bool> logOn = false) {
    tivlink::TTivDriver::Options options;
    options.transport = std::move(transport);
    options.firmwareImage = enginetest::Image();
    options.logFileOn = logOn;
    auto driver = tivlink::TTivDriver::create(std::move(options));
    return com::ComPtr<tivlink::ITivDriver>(driver.get());
}

// An event sink that records the events it receives and the thread they came on. Its answer
// to every event can be set: S_OK, a failure (with error info), or a thrown exception. What it
// records lives as long as the sink object, which may outlive the Spy inside a driver.
class Spy {
public:
    enum class Answer { Ok, Fail, Throw };

    Spy()
        : state_(std::make_shared<State>()),
          sink_(com::EventSink::create(
              tivlink::DIID_ITivDriverEvents,
              [state = state_](com::DISPID id, const com::DispParams& params, com::Variant*) {
                  return state->Handle(id, params);
              })) {}

    com::IUnknown* Unknown() const { return static_cast<com::IDispatch*>(sink_.get()); }
    void SetAnswer(Answer a) { state_->answer = a; }

    std::vector<int> Events() const {
        std::lock_guard lock(state_->mutex);
        return state_->events;
    }
    int Count(tivlink::TivDriverEvent e) const {
        const auto all = Events();
        return static_cast<int>(std::count(all.begin(), all.end(), static_cast<int>(e)));
    }
    std::vector<std::thread::id> Threads() const {
        std::lock_guard lock(state_->mutex);
        return state_->threads;
    }
    bool ArgumentsSeen() const { return state_->argumentsSeen; }
    void Clear() {
        std::lock_guard lock(state_->mutex);
        state_->events.clear();
        state_->threads.clear();
    }

private:
    struct State {
        com::HRESULT Handle(com::DISPID id, const com::DispParams& params) {
            {
                std::lock_guard lock(mutex);
                events.push_back(id);
                threads.push_back(std::this_thread::get_id());
            }
            if (!params.args.empty()) argumentsSeen = true;
            switch (answer.load()) {
                case Answer::Fail:
                    return com::reportError(com::E_FAIL, tivlink::DIID_ITivDriverEvents, "spy",
                                            "the handler failed");
                case Answer::Throw:
                    throw std::runtime_error("the handler threw");
                default:
                    return com::S_OK;
            }
        }

        std::atomic<Answer> answer{Answer::Ok};
        std::atomic<bool> argumentsSeen{false};
        mutable std::mutex mutex;
        std::vector<int> events;
        std::vector<std::thread::id> threads;
    };

    std::shared_ptr<State> state_;
    com::ComPtr<com::EventSink> sink_;
};

inline std::uint32_t Advise(const com::ComPtr<tivlink::ITivDriver>& driver, Spy& spy) {
    std::uint32_t cookie = 0;
    EXPECT_EQ(com::advise(driver.get(), tivlink::DIID_ITivDriverEvents, spy.Unknown(), &cookie),
              com::S_OK);
    return cookie;
}

inline void Unadvise(const com::ComPtr<tivlink::ITivDriver>& driver, std::uint32_t cookie) {
    EXPECT_EQ(com::unadvise(driver.get(), tivlink::DIID_ITivDriverEvents, cookie), com::S_OK);
}

// The payload of a variant byte array (a failure when it is none).
inline Bytes BytesOf(const com::Variant& v) {
    const com::SafeArray* a = v.arrayPtr();
    if (!a || a->elementType() != com::VT_UI1) {
        ADD_FAILURE() << "not a byte array: " << v.describe();
        return {};
    }
    const auto s = a->span<const std::uint8_t>();
    return Bytes(s.begin(), s.end());
}

inline com::Variant ByteArray(const Bytes& b) {
    return com::Variant::fromBytes(b);
}

// A variant array of VT_VARIANT elements holding the given numbers as VT_I4.
inline com::Variant VariantArray(const std::vector<std::int32_t>& values) {
    com::SafeArray a(com::VT_VARIANT, static_cast<std::uint32_t>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(a.putElement(static_cast<std::int32_t>(i), com::Variant::fromI4(values[i])),
                  com::S_OK);
    return com::Variant(std::move(a));
}

}  // namespace comdrv
