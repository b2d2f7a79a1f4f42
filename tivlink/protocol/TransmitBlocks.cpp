#include "tivlink/protocol/TransmitBlocks.h"

#include <algorithm>

#include "tivlink/TelegramCodec.h"

namespace tivlink {

static_assert(kTransmitBlockFirst[2] + kTransmitBlockLength[2] == kMaxRecord,
              "the three blocks carry exactly the longest record");
static_assert(1 + kTransmitBlockLength[0] <= kTransmitBlockSize &&
              1 + kTransmitBlockLength[2] <= kTransmitChecksumOffset);

TransmitBlocks BuildTransmitBlocks(std::span<const std::uint8_t> workArea, std::uint16_t checksum) {
    TransmitBlocks blocks{};
    for (std::size_t i = 0; i < kTransmitBlockCount; ++i) {
        TransmitBlock& block = blocks[i];
        block[0] = kTransmitBlockCommand[i];
        const std::size_t first = std::min(kTransmitBlockFirst[i], workArea.size());
        const std::size_t count = std::min(kTransmitBlockLength[i], workArea.size() - first);
        std::copy_n(workArea.begin() + static_cast<std::ptrdiff_t>(first), count,
                    block.begin() + 1);
    }
    blocks[2][kTransmitChecksumOffset] = static_cast<std::uint8_t>(checksum);
    blocks[2][kTransmitChecksumOffset + 1] = static_cast<std::uint8_t>(checksum >> 8);
    return blocks;
}

}  // namespace tivlink
