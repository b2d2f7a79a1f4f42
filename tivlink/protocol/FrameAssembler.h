#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>

#include "tivlink/TelegramCodec.h"

namespace tivlink {

// Non-owning reference to a callable that takes one frame. It is called once per frame on the
// receive path, so it neither allocates nor copies the callable; the callable must outlive
// the call it is passed to (a lambda written in the call is fine).
class FrameSink {
public:
    template <typename F>
    requires(!std::same_as<std::remove_cvref_t<F>, FrameSink> &&
             std::is_object_v<std::remove_reference_t<F>> &&
             std::invocable<F&, std::span<const std::uint8_t>>) FrameSink(F&& callable)
    noexcept  // NOLINT(google-explicit-constructor): used like a lambda
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
          call_([](void* object, std::span<const std::uint8_t> frame) {
              (*static_cast<std::remove_reference_t<F>*>(object))(frame);
          }) {}

    void operator()(std::span<const std::uint8_t> frame) const { call_(object_, frame); }

private:
    void* object_;
    void (*call_)(void*, std::span<const std::uint8_t>);
};

// Cuts the adapter's receive stream into frames and removes the escapes.
//
// Feed() takes bytes 2..63 of one pipe-1 packet at a time; a frame may span packets, and so
// may an escape. Each complete frame goes to the sink unescaped, from its start byte 0xFA to
// its end byte 0xFB inclusive, so frame byte 3 is the telegram's type byte. The span is valid
// only during the call, and the sink must not feed this assembler.
//
// Outside a frame everything but 0xFA is dropped; inside one 0xFA is plain data. A frame that
// would grow past kMaxFrame bytes is discarded with the rest of its packet, and the assembler
// waits for the next 0xFA. Bad input never throws.
class FrameAssembler {
public:
    void Feed(std::span<const std::uint8_t> packetStream, FrameSink onFrame);

    // Forgets any partial frame and a pending escape.
    void Reset();

    bool InFrame() const { return state_ != State::OutsideFrame; }

    // Frames dropped by the length guard since construction.
    std::size_t DiscardedFrames() const { return discarded_; }

private:
    enum class State : std::uint8_t { OutsideFrame, InFrame, AfterEscape };

    State state_ = State::OutsideFrame;
    std::size_t length_ = 0;
    std::size_t discarded_ = 0;
    std::array<std::uint8_t, kMaxFrame + 1> frame_{};
};

}  // namespace tivlink
