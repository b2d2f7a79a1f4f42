#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <utility>

namespace tivlink {

struct MvSlot {
    std::int32_t msgType = 255;  // 0..2, 255 free
    std::int32_t obj = 255;      // 1..30, 255 free
    std::uint8_t status = 0;
    double value = 0.0;
    std::int32_t timeStamp = 0;
};

// The ten measured-value slots filled from cyclic telegrams of types 0..2.
class MeasuredValues {
public:
    static constexpr int kSlots = 10;

    // Slot 1..10 (else 1), message type 0..2 (else 2), object 1..30 (else 3) or 255 to free.
    int Assign(int val, int msg, int obj);
    void FreeAll();
    MvSlot Slot(int n) const;  // an empty slot for n outside 1..10
    int ValueNr() const;

    // Worker thread: the slot (1..10) a cyclic frame updated, or 0. A frame too short for
    // its value updates nothing. An update is also kept under a sequence number (never 0),
    // so the event posted for it can show this update even after later ones.
    int Update(std::span<const std::uint8_t> frame, std::uint32_t* sequence = nullptr);
    // Whether some slot watches the frame's type and object: false rules an update out
    // without a lock. `frame` has at least four bytes.
    bool MayUpdate(std::span<const std::uint8_t> frame) const {
        const unsigned type = frame[3] >> 5;
        return type <= 2 &&
               (watched_[type].load(std::memory_order_relaxed) >> (frame[3] & 0x1F) & 1u);
    }
    // The slot number and values of update `sequence`; nullopt once it has been overwritten.
    std::optional<std::pair<int, MvSlot>> Posted(std::uint32_t sequence) const;

private:
    void Rewatch();  // under mutex_

    mutable std::mutex mutex_;
    std::array<MvSlot, kSlots> slots_{};
    int valueNr_ = 0;
    struct Kept {
        std::uint32_t sequence = 0;
        int slot = 0;
        MvSlot values;
    };
    // About 0.4 s of updates at ten values per millisecond.
    std::array<Kept, 4096> kept_{};
    std::uint32_t nextSequence_ = 1;
    // Per message type, a bit for each object some slot watches: most cyclic frames match
    // no slot, and the check needs no lock. Written under mutex_.
    std::array<std::atomic<std::uint32_t>, 3> watched_{};
};

}  // namespace tivlink
