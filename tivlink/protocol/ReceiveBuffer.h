#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace tivlink {

// The bus monitor's receive buffer: the worker thread stores frames (telegram mode) or raw
// stream bytes, the client drains them with ReadData. Both sides go through one lock per
// packet (see PacketWriter) or read, so a reader never sees a half-written packet, and Init
// replaces the block under the same lock while reception runs: the writer never sees a
// freed block.
class ReceiveBuffer {
public:
    static constexpr std::int64_t kDefaultUnits = 200;  // of 64 bytes

    // What storing asked the engine to do; several may come from one packet.
    struct StoreResult {
        bool overrun = false;         // linear buffer full: post OnOverrun
        bool stopReception = false;   // linear buffer full: reception ends
        bool dataReceived = false;    // threshold reached: post OnDataReceived
        bool pointerOverrun = false;  // ring writer met the pointer: post OnPointerOverrun
    };

    // ---- settings (any thread) ----------------------------------------------------------
    std::int64_t SizeBytes() const { return sizeBytes_.load(); }
    void SetSizeUnits(std::int64_t units) { sizeBytes_ = units > 0 ? units * 64 : 0; }
    int Mode() const { return mode_.load(); }
    void SetMode(int mode) { mode_ = mode; }
    bool Ring() const { return mode_.load() == 1; }
    int Threshold() const { return threshold_.load(); }
    void SetThreshold(int bytes) { threshold_ = bytes; }
    bool PointerOverrunEvent() const { return pointerEvent_.load(); }
    void SetPointerOverrunEvent(bool on) { pointerEvent_ = on; }
    bool Overrun() const { return overrun_.load(); }
    std::int32_t BufferPos() const { return bufferPos_.load(); }

    // ---- allocation (client) -------------------------------------------------------------
    // Releases the old block and allocates SizeBytes() zeroed bytes: 0, 1 no memory,
    // 2 size not below `available` (the size becomes 0).
    int Init(std::uint64_t available);
    void Release();
    bool Allocated() const;
    bool HadBlock() const;

    // Positions back to the start for a new recording; `fresh` (a plain start) also resets
    // the pointer and the record start and zeroes the first four bytes.
    void Restart(bool fresh);

    // ---- worker thread ---------------------------------------------------------------
    // A frame in telegram mode: its bytes 1 .. length-2. Returns false when a linear
    // buffer filled up (the rest of the packet is to be dropped).
    bool StoreRecord(std::span<const std::uint8_t> bytes, bool stopRequested, StoreResult& r);
    // Stream bytes in raw mode.
    bool StoreRaw(std::span<const std::uint8_t> bytes, bool stopRequested, StoreResult& r);
    // The packet is done: its bytes become visible to ReadData.
    void EndPacket();

    // The same three for a stream of packets: the lock is taken at a packet's first store
    // and kept until its EndPacket, instead of once per frame. Between the two its owner
    // calls nothing else of the buffer but the settings.
    class PacketWriter {
    public:
        explicit PacketWriter(ReceiveBuffer& buffer)
            : buffer_(buffer), lock_(buffer.mutex_, std::defer_lock) {}
        bool StoreRecord(std::span<const std::uint8_t> bytes, bool stopRequested, StoreResult& r) {
            Hold();
            return buffer_.Store(bytes, false, stopRequested, r);
        }
        bool StoreRaw(std::span<const std::uint8_t> bytes, bool stopRequested, StoreResult& r) {
            Hold();
            return buffer_.Store(bytes, true, stopRequested, r);
        }
        void EndPacket() {
            Hold();
            buffer_.Publish();
            lock_.unlock();
        }

    private:
        void Hold() {
            if (!lock_.owns_lock()) lock_.lock();
        }
        ReceiveBuffer& buffer_;
        std::unique_lock<std::mutex> lock_;
    };

    // ---- client ------------------------------------------------------------------------
    // 0, 1 end reached, 2 nothing at `pos`; see the engine's ReadData.
    int Read(std::int32_t pos, std::int32_t& bytes, std::vector<std::uint8_t>& data);

private:
    bool Store(std::span<const std::uint8_t> bytes, bool raw, bool stopRequested, StoreResult& r);
    void Publish();  // under mutex_

    std::atomic<std::int64_t> sizeBytes_{kDefaultUnits * 64};
    std::atomic<int> mode_{0};
    std::atomic<int> threshold_{0};
    std::atomic<bool> pointerEvent_{false};
    std::atomic<bool> overrun_{false};
    std::atomic<std::int32_t> bufferPos_{0};

    mutable std::mutex mutex_;
    std::unique_ptr<std::uint8_t[]> block_;  // guarded by mutex_
    std::int64_t blockSize_ = 0;             // guarded by mutex_
    bool allocated_ = false;                 // guarded by mutex_
    std::int64_t writePos_ = 0;              // guarded by mutex_
    std::int64_t readPos_ = 0;               // guarded by mutex_
    std::int64_t pointer_ = 0;               // guarded by mutex_
    std::int64_t recordStart_ = 0;           // guarded by mutex_
    std::int64_t thresholdCount_ = 0;        // guarded by mutex_
    bool readerCaught_ = false;              // raw ring mode: the writer reached the reader
};

}  // namespace tivlink
