#include "Pcapng.h"

#include <cerrno>
#include <cstring>

#include "tivlink/TelegramCodec.h"

namespace tivctl::pcapng {

namespace {

constexpr std::uint32_t kSectionHeaderType = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceDescriptionType = 1;
constexpr std::uint32_t kEnhancedPacketType = 6;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;

constexpr std::uint16_t kOptEnd = 0;
constexpr std::uint16_t kShbUserApplication = 4;
constexpr std::uint16_t kIfName = 2;
constexpr std::uint16_t kIfDescription = 3;
constexpr std::uint16_t kIfTsResolution = 9;
constexpr std::uint16_t kEpbFlags = 2;

constexpr std::uint32_t kInbound = 1;
constexpr std::uint32_t kOutbound = 2;

constexpr int kMarkerObj = 0x7DF5;
constexpr int kMarkerSub = 29;
constexpr int kRecordingStartObj = 0x7E00;
constexpr int kRecordingStartSub = 255;

class Block {
public:
    explicit Block(std::uint32_t type) {
        U32(type);
        U32(0);  // total length, filled in by Finish
    }
    void U16(std::uint16_t v) {
        bytes_.push_back(static_cast<std::uint8_t>(v));
        bytes_.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void U32(std::uint32_t v) {
        U16(static_cast<std::uint16_t>(v));
        U16(static_cast<std::uint16_t>(v >> 16));
    }
    // Bytes padded with zeros to a multiple of four.
    void Padded(std::span<const std::uint8_t> data) {
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        bytes_.resize(bytes_.size() + (4 - data.size() % 4) % 4, 0);
    }
    void Option(std::uint16_t code, std::span<const std::uint8_t> value) {
        U16(code);
        U16(static_cast<std::uint16_t>(value.size()));
        Padded(value);
    }
    void Option(std::uint16_t code, std::string_view text) {
        // An option's length field has 16 bits.
        text = text.substr(0, 0xFFFC);
        Option(code, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }
    std::vector<std::uint8_t> Finish() {
        U32(0);  // room for the trailing length
        const auto total = static_cast<std::uint32_t>(bytes_.size());
        for (const std::size_t at : {std::size_t{4}, bytes_.size() - 4})
            for (std::size_t i = 0; i < 4; ++i)
                bytes_[at + i] = static_cast<std::uint8_t>(total >> (8 * i));
        return std::move(bytes_);
    }

private:
    std::vector<std::uint8_t> bytes_;
};

void EndOfOptions(Block& b) {
    b.U16(kOptEnd);
    b.U16(0);
}

}  // namespace

Direction Classify(std::span<const std::uint8_t> frame) {
    // start, length, flags, record of length − 2 bytes, checksum, end
    if (frame.size() < 7 || frame[1] < 3 || frame.size() != std::size_t{frame[1]} + 4)
        return Direction::unknown;
    const auto record = frame.subspan(tivlink::kFrameRecordOffset, frame[1] - 2u);
    const int type = record[0] >> 5;
    if (type <= tivlink::kTelTypeLastCyclic) return Direction::cyclic;
    if (record.size() < tivlink::kRecordHeaderSize) return Direction::unknown;
    const int sub = record[2];
    const int obj = record[3] | record[4] << 8;
    if (type == tivlink::kTelTypeResponse) return Direction::answer;
    if (type == tivlink::kTelTypeService) {
        if ((obj == kMarkerObj && sub == kMarkerSub) ||
            (obj == kRecordingStartObj && sub == kRecordingStartSub))
            return Direction::marker;
        if (record[5] == tivlink::kControlDelivered) return Direction::answer;
    }
    return Direction::echo;
}

std::vector<std::uint8_t> Packet(std::span<const std::uint8_t> frame) {
    std::vector<std::uint8_t> packet{static_cast<std::uint8_t>(Classify(frame))};
    if (frame.size() >= 2) packet.insert(packet.end(), frame.begin() + 1, frame.end() - 1);
    return packet;
}

std::uint32_t DirectionFlags(Direction direction) {
    switch (direction) {
        case Direction::echo:
        case Direction::marker:
            return kOutbound;
        case Direction::answer:
        case Direction::cyclic:
            return kInbound;
        case Direction::unknown:
            break;
    }
    return 0;
}

std::vector<std::uint8_t> SectionHeader(std::string_view application) {
    Block b(kSectionHeaderType);
    b.U32(kByteOrderMagic);
    b.U16(1);  // version 1.0
    b.U16(0);
    b.U32(0xFFFFFFFF);  // section length not given
    b.U32(0xFFFFFFFF);
    b.Option(kShbUserApplication, application);
    EndOfOptions(b);
    return b.Finish();
}

std::vector<std::uint8_t> InterfaceDescription(std::uint16_t linkType, std::string_view name,
                                               std::string_view description) {
    Block b(kInterfaceDescriptionType);
    b.U16(linkType);
    b.U16(0);
    b.U32(0);  // no snap length: packets are never cut
    b.Option(kIfName, name);
    b.Option(kIfDescription, description);
    const std::uint8_t resolution = kMicroseconds;
    b.Option(kIfTsResolution, std::span(&resolution, 1));
    EndOfOptions(b);
    return b.Finish();
}

std::vector<std::uint8_t> EnhancedPacket(std::uint32_t interfaceId, std::uint64_t timestamp,
                                         std::span<const std::uint8_t> data, std::uint32_t flags) {
    Block b(kEnhancedPacketType);
    b.U32(interfaceId);
    b.U32(static_cast<std::uint32_t>(timestamp >> 32));
    b.U32(static_cast<std::uint32_t>(timestamp));
    b.U32(static_cast<std::uint32_t>(data.size()));
    b.U32(static_cast<std::uint32_t>(data.size()));
    b.Padded(data);
    if (flags != 0) {
        b.U16(kEpbFlags);
        b.U16(4);
        b.U32(flags);
        EndOfOptions(b);
    }
    return b.Finish();
}

Writer::~Writer() {
    Close();
}

bool Writer::Open(const std::string& path, std::string& error) {
    Close();
    failed_ = readerGone_ = false;
    packets_ = 0;
    if (path == "-") {
        file_ = stdout;
        ownsFile_ = false;
        return true;
    }
    errno = 0;
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        error = path + ": cannot create the capture file" +
                (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
        return false;
    }
    ownsFile_ = true;
    return true;
}

bool Writer::Put(std::span<const std::uint8_t> bytes) {
    if (!file_ || failed_) return false;
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) Fail();
    return !failed_;
}

void Writer::Fail() {
    failed_ = true;
    readerGone_ = readerGone_ || errno == EPIPE;
}

bool Writer::Flush() {
    errno = 0;
    if (file_ && std::fflush(file_) != 0) Fail();
    return !failed_;
}

bool Writer::Begin(std::string_view interfaceName, std::string_view description) {
    Put(SectionHeader("tivctl"));
    Put(InterfaceDescription(kLinkTypeTiv, interfaceName, description));
    return Flush();
}

bool Writer::Write(std::span<const std::vector<std::uint8_t>> frames, std::uint64_t microseconds) {
    for (const auto& frame : frames) {
        const auto packet = Packet(frame);
        const auto direction = static_cast<Direction>(packet[0]);
        if (!Put(EnhancedPacket(0, microseconds, packet, DirectionFlags(direction)))) break;
        ++packets_;
    }
    return frames.empty() ? !failed_ : Flush();
}

bool Writer::Close() {
    if (!file_) return !failed_;
    Flush();
    if (ownsFile_ && std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    ownsFile_ = false;
    return !failed_;
}

}  // namespace tivctl::pcapng
