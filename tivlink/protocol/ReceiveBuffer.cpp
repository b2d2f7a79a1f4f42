#include "tivlink/protocol/ReceiveBuffer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "tivlink/TivResults.h"
#include "tivlink/core/DriverState.h"

namespace tivlink {

int ReceiveBuffer::Init(std::uint64_t available) {
    std::lock_guard lock(mutex_);
    allocated_ = false;
    block_.reset();
    blockSize_ = 0;
    const std::int64_t size = sizeBytes_;
    if (size < 0 || static_cast<std::uint64_t>(size) >= available) {
        sizeBytes_ = 0;
        return result::InitBuffer::kTooLarge;
    }
    block_.reset(new (std::nothrow)
                     std::uint8_t[static_cast<std::size_t>(std::max<std::int64_t>(size, 1))]);
    if (!block_) return result::InitBuffer::kNoMemory;
    std::memset(block_.get(), 0, static_cast<std::size_t>(std::max<std::int64_t>(size, 1)));
    blockSize_ = size;
    allocated_ = true;
    writePos_ = readPos_ = pointer_ = recordStart_ = thresholdCount_ = 0;
    readerCaught_ = false;
    bufferPos_ = 0;
    return 0;
}

void ReceiveBuffer::Release() {
    std::lock_guard lock(mutex_);
    block_.reset();
    blockSize_ = 0;
    allocated_ = false;
}

bool ReceiveBuffer::Allocated() const {
    std::lock_guard lock(mutex_);
    return allocated_ && blockSize_ > 0;
}

bool ReceiveBuffer::HadBlock() const {
    std::lock_guard lock(mutex_);
    return block_ != nullptr;
}

void ReceiveBuffer::Restart(bool fresh) {
    std::lock_guard lock(mutex_);
    writePos_ = readPos_ = thresholdCount_ = 0;
    bufferPos_ = 0;
    readerCaught_ = false;
    overrun_ = false;
    if (fresh) {
        pointer_ = recordStart_ = 0;
        if (block_)
            std::memset(block_.get(), 0,
                        static_cast<std::size_t>(std::min<std::int64_t>(4, blockSize_)));
    }
}

bool ReceiveBuffer::Store(std::span<const std::uint8_t> bytes, bool raw, bool stopRequested,
                          StoreResult& r) {
    if (!block_ || blockSize_ <= 0 || bytes.empty()) return true;
    const bool ring = Ring();
    std::uint8_t* const block = block_.get();
    recordStart_ = writePos_;
    // Runs up to the end of the block: every rule below is applied to the run as a whole, at
    // the byte where it would fire when storing byte by byte.
    while (!bytes.empty()) {
        const std::int64_t from = writePos_;
        const auto n = static_cast<std::int64_t>(
            std::min<std::uint64_t>(bytes.size(), static_cast<std::uint64_t>(blockSize_ - from)));
        std::memcpy(block + from, bytes.data(), static_cast<std::size_t>(n));
        bytes = bytes.subspan(static_cast<std::size_t>(n));
        const std::int64_t to = from + n;

        const std::int64_t threshold = std::min<std::int64_t>(threshold_.load(), blockSize_);
        if (threshold > 0) {
            if (thresholdCount_ + n >= threshold) {
                thresholdCount_ = 0;
                threshold_ = 0;  // one-shot: the client sets it again
                r.dataReceived = true;
            } else {
                thresholdCount_ += n;
            }
        }

        const bool wrapped = to >= blockSize_;
        // A full linear buffer in telegram mode keeps its end as the write position.
        writePos_ = wrapped && (raw || ring) ? 0 : to;
        if (wrapped) {
            if (raw) {
                // Raw stream: back to the start in both modes; only a linear buffer stops.
                bufferPos_ = 0;
                if (!stopRequested) r.overrun = true;
                if (!ring) {
                    r.stopReception = true;
                    return false;
                }
            } else if (!ring) {
                overrun_ = true;
                r.stopReception = true;
                if (!stopRequested) r.overrun = true;
                return false;
            }
        }
        if (!ring) continue;
        // Whether the writer stood on `pos` after one of this run's bytes.
        const auto passes = [&](std::int64_t pos) {
            return (pos > from && pos < to) || pos == writePos_;
        };
        if (raw) {
            if (passes(readPos_)) readerCaught_ = true;
            if (readerCaught_) readPos_ = writePos_;
        } else if (passes(readPos_)) {
            readPos_ = recordStart_;
        }
        if (pointerEvent_ && passes(pointer_)) {
            pointerEvent_ = false;
            r.pointerOverrun = true;
        }
    }
    return true;
}

bool ReceiveBuffer::StoreRecord(std::span<const std::uint8_t> bytes, bool stopRequested,
                                StoreResult& r) {
    std::lock_guard lock(mutex_);
    return Store(bytes, false, stopRequested, r);
}

bool ReceiveBuffer::StoreRaw(std::span<const std::uint8_t> bytes, bool stopRequested,
                             StoreResult& r) {
    std::lock_guard lock(mutex_);
    return Store(bytes, true, stopRequested, r);
}

void ReceiveBuffer::EndPacket() {
    std::lock_guard lock(mutex_);
    Publish();
}

void ReceiveBuffer::Publish() {
    // Readers take the lock for the bytes; the position alone needs no full fence.
    if (const auto pos = static_cast<std::int32_t>(writePos_);
        bufferPos_.load(std::memory_order_relaxed) != pos)
        bufferPos_.store(pos, std::memory_order_release);
}

int ReceiveBuffer::Read(std::int32_t pos, std::int32_t& bytes, std::vector<std::uint8_t>& data) {
    std::lock_guard lock(mutex_);
    data.clear();
    const std::int64_t end = bufferPos_;
    if (Ring()) {
        if (!block_ || blockSize_ <= 0) {
            bytes = 0;
            return 0;
        }
        const std::int64_t n = ((end - readPos_) % blockSize_ + blockSize_) % blockSize_;
        data.reserve(static_cast<std::size_t>(n));
        for (std::int64_t i = 0; i < n; ++i) data.push_back(block_[(readPos_ + i) % blockSize_]);
        bytes = static_cast<std::int32_t>(n);
        readPos_ = pointer_ = end;
        return 0;
    }
    // Nothing lies before 0 or behind the last stored byte.
    if (pos < 0 || pos >= end || !block_) return result::ReadData::kNothingAtPos;
    const std::int64_t available = std::min<std::int64_t>(end, blockSize_) - pos;
    if (bytes >= 0 && bytes < available) {
        data.assign(block_.get() + pos, block_.get() + pos + bytes);
        return 0;
    }
    bytes = static_cast<std::int32_t>(available);
    data.assign(block_.get() + pos, block_.get() + pos + available);
    return result::ReadData::kEndReached;
}

}  // namespace tivlink
