#pragma once

// Bus captures as pcapng files for packet analysers: the block encoding and the packet layout
// of the Tiv link type. Pure functions over bytes, plus a small writer for a file or stdout.

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tivctl::pcapng {

// A link type from the range set aside for private use (DLT_USER3); tools/wireshark/tiv.lua
// dissects it.
inline constexpr std::uint16_t kLinkTypeTiv = 150;

// Time stamps count microseconds since 1970.
inline constexpr std::uint8_t kMicroseconds = 6;

// Where a telegram came from, as far as the bus tells. The adapter reports everything on the
// bus, its own requests included, so a request is the echo of what this adapter sent.
enum class Direction : std::uint8_t {
    unknown = 0,  // bytes that do not form a frame
    echo = 1,     // a request or service telegram this adapter put on the bus
    answer = 2,   // a device's answer, delivered delayed answers included
    cyclic = 3,
    marker = 4,  // a recording marker or the recording start telegram
};

// Packet of the Tiv link type: the direction byte, then the frame as the driver stores it,
// without start and end byte: length byte (record + 2), flags, record, checksum low/high.
inline constexpr std::size_t kPacketHeaderSize = 1;

// What the frame (0xFA … 0xFB, as SplitStoredFrames hands it out) is.
Direction Classify(std::span<const std::uint8_t> frame);
// The packet of one frame; the bytes between start and end byte are taken as they are.
std::vector<std::uint8_t> Packet(std::span<const std::uint8_t> frame);

// Blocks. Numbers are written little-endian; the section header's byte-order magic says so.
std::vector<std::uint8_t> SectionHeader(std::string_view application);
std::vector<std::uint8_t> InterfaceDescription(std::uint16_t linkType, std::string_view name,
                                               std::string_view description);
// `flags` is the epb_flags word: bits 0..1 inbound (1) or outbound (2).
std::vector<std::uint8_t> EnhancedPacket(std::uint32_t interfaceId, std::uint64_t timestamp,
                                         std::span<const std::uint8_t> data, std::uint32_t flags);
std::uint32_t DirectionFlags(Direction direction);

// A capture file: the section header and one interface, then a packet per frame. "-" writes
// to stdout. Every Write flushes, so that a reader on a pipe sees the bus as it goes.
class Writer {
public:
    Writer() = default;
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // False with `error` set when the file cannot be created.
    bool Open(const std::string& path, std::string& error);
    // Section header and interface; false when the output failed.
    bool Begin(std::string_view interfaceName, std::string_view description);
    // One packet per frame, stamped `microseconds` since 1970; false when the output failed.
    bool Write(std::span<const std::vector<std::uint8_t>> frames, std::uint64_t microseconds);
    // Closes the file; false when what was written did not all reach it.
    bool Close();

    std::uint64_t Packets() const { return packets_; }
    // The output failed because its reader closed the pipe (a live view was closed).
    bool ReaderGone() const { return readerGone_; }

private:
    bool Put(std::span<const std::uint8_t> bytes);
    bool Flush();
    void Fail();

    std::FILE* file_ = nullptr;
    bool ownsFile_ = false;
    bool failed_ = false;
    bool readerGone_ = false;
    std::uint64_t packets_ = 0;
};

}  // namespace tivctl::pcapng
