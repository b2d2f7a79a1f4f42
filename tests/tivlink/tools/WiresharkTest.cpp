// Bus captures as a packet analyser reads them: tshark with tools/wireshark/tiv.lua on what
// tivctl recorded of a simulated bus, field by field, and on captures with bad checksums or
// cut short. Without tshark (Debian package tshark) these tests are skipped, and say so.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Decode.h"
#include "Pcapng.h"
#include "simulator/Probe.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/TivctlRun.h"
#include "tivlink/TelegramCodec.h"
#include "usb/SocketTransport.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using testsupport::TempDir;
using namespace tivctltest;

#define SKIP_WITHOUT_TSHARK()                                             \
    if (!Tshark())                                                        \
    GTEST_SKIP() << "tshark is not installed (Debian package tshark, as " \
                    "scripts/install-deps.sh installs it)"

const std::optional<std::string>& Tshark() {
    static const std::optional<std::string> path = []() -> std::optional<std::string> {
        const char* env = std::getenv("PATH");
        std::istringstream dirs(env ? env : "");
        for (std::string dir; std::getline(dirs, dir, ':');) {
            const auto candidate = fs::path(dir) / "tshark";
            if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate.string();
        }
        return std::nullopt;
    }();
    return path;
}

Bytes ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const fs::path& file, const Bytes& bytes) {
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
}

// The packets of the enhanced packet blocks in a pcapng byte stream, up to a block cut short;
// `walked` is where the walk stopped.
std::vector<Bytes> Packets(const Bytes& b, std::size_t* walked = nullptr) {
    std::vector<Bytes> packets;
    const auto u32 = [&](std::size_t at) {
        return b[at] | b[at + 1] << 8 | b[at + 2] << 16 |
               static_cast<std::uint32_t>(b[at + 3]) << 24;
    };
    std::size_t at = 0;
    for (; at + 12 <= b.size();) {
        const std::uint32_t length = u32(at + 4);
        if (length < 12 || length % 4 != 0 || length > b.size() - at) break;
        if (u32(at) == 6 && length >= 32) {
            const std::uint32_t captured = u32(at + 20);
            if (captured <= length - 32)
                packets.emplace_back(b.begin() + static_cast<long>(at + 28),
                                     b.begin() + static_cast<long>(at + 28 + captured));
        }
        at += length;
    }
    if (walked) *walked = at;
    return packets;
}

bool IsAcyclic(const Bytes& packet) {
    return packet.size() > 3 && (packet[3] >> 5) > tivlink::kTelTypeLastCyclic;
}

// tshark with the dissector, in a home of its own so that no personal plugin or preference
// of the user's takes part. Lines of `-T fields` output, split at '|'.
class TsharkRun {
public:
    explicit TsharkRun(const fs::path& home) : home_(home) {}

    proctest::Result Run(const fs::path& file, std::vector<std::string> args) const {
        std::vector<std::string> all = {*Tshark(), "-X", std::string("lua_script:") + TIV_LUA_PATH,
                                        "-r", file.string()};
        all.insert(all.end(), args.begin(), args.end());
        return proctest::RunTool(all, {.env = {{"HOME", home_.string()},
                                               {"XDG_CONFIG_HOME", (home_ / ".config").string()}},
                                       .timeout = 60s});
    }

    std::vector<std::vector<std::string>> Fields(const fs::path& file, const std::string& filter,
                                                 const std::vector<std::string>& fields) const {
        std::vector<std::string> args = {"-T", "fields", "-E", "separator=|"};
        if (!filter.empty()) args.insert(args.end(), {"-Y", filter});
        for (const auto& f : fields) args.insert(args.end(), {"-e", f});
        const auto run = Run(file, args);
        EXPECT_EQ(run.Code(), 0) << run.err;
        EXPECT_EQ(run.err.find("Lua"), std::string::npos) << run.err;
        std::vector<std::vector<std::string>> lines;
        std::istringstream in(run.out);
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> values;
            std::istringstream cells(line + "|");
            for (std::string cell; std::getline(cells, cell, '|');) values.push_back(cell);
            lines.push_back(values);
        }
        return lines;
    }

private:
    fs::path home_;
};

// "0a:0b" and "0a0b" both as "0A0B".
std::string Hex(std::string text) {
    std::string out;
    for (const char c : text)
        if (c != ':') out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

struct Expected {
    int direction;
    Bytes record;  // as sim::probe::telegram builds it
    std::string meaning;
    std::string decoded = "";  // error code, wait time, delivered control or marker
    bool checksumOk = true;
};

// Recorded with `tivctl record FILE.pcapng` from a tivsim daemon while this test, as a second
// client of the same adapter, puts requests on the bus; every telegram read back by tshark
// must show what the simulator sent.
TEST(Wireshark, RecordingOfTheSimulatedBusReadsBackFieldByField) {
    SKIP_WITHOUT_TSHARK();
    TempDir dir{"tiv-pcap", "/tmp"};
    const auto sockets = dir / "s";
    std::ofstream(dir / "bus.json") << R"({
        "adapters": [ { "device": 0, "port": 175, "firmware": "running" } ],
        "bus": { "checkMethod": "crc" },
        "devices": [ { "name": "demo",
          "objects": [
            { "obj": 1217, "sub": 29, "value": "0A0B0C0D", "writable": true },
            { "obj": 1218, "sub": 29, "value": "54495620", "writable": true },
            { "obj": 100, "sub": 1, "value": "01020304", "writable": false },
            { "obj": 1300, "sub": 1, "error": 132 },
            { "obj": 1301, "sub": 2, "delayed": 5, "value": "2A" } ],
          "cyclic": [
            { "type": 0, "obj": 3, "periodMs": 100, "value": 1.5, "step": 0.25, "status": 0 },
            { "type": 1, "obj": 4, "periodMs": 200, "value": -7.25, "status": 1 },
            { "type": 2, "obj": 5, "periodMs": 100, "value": 21.5, "step": 0.1, "status": 0 } ]
        } ] })";
    proctest::Child daemon;
    ASSERT_TRUE(daemon.Start({TIVSIM_PATH, "--scenario", (dir / "bus.json").string(), "--dir",
                              sockets.string(), "--scale", "10"},
                             {.env = kOwnTransport}));
    ASSERT_TRUE(daemon.WaitFor("ready\n", 20s)) << daemon.out << daemon.err;

    const auto file = dir / "bus.pcapng";
    proctest::Child recorder;
    ASSERT_TRUE(recorder.Start(TivctlArgs({"--usb", "socket:" + sockets.string(), "record",
                                           file.string(), "--seconds", "0"}),
                               kTivctlOptions));
    // Waits until the capture holds `count` acyclic telegrams (0: any telegram at all).
    const auto awaitAcyclic = [&](std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        for (;;) {
            const auto packets = Packets(ReadBytes(file));
            const auto acyclic =
                static_cast<std::size_t>(std::count_if(packets.begin(), packets.end(), IsAcyclic));
            if (count == 0 ? !packets.empty() : acyclic >= count) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
    };
    ASSERT_TRUE(awaitAcyclic(0)) << "nothing recorded: " << recorder.err;

    std::string error;
    const auto transport = usbio::makeSocketTransport(sockets.string(), error);
    ASSERT_NE(transport, nullptr) << error;
    sim::probe::DeviceAccess adapter(transport, 0);
    using sim::probe::telegram;
    const auto marker = telegram(7, 29, 0x7DF5, 0, {'D', 'L', 'L', '_', '1'});
    const struct {
        std::string fault;  // switched in the simulator before the request
        Bytes request;
        std::vector<Expected> bus;
    } exchanges[] = {
        {"",
         telegram(5, 29, 1217, 0xC0),
         {{1, telegram(5, 29, 1217, 0xC0), "read request"},
          {2, telegram(6, 29, 1217, 0x41, {0x0A, 0x0B, 0x0C, 0x0D}), "positive answer"}}},
        {"",
         telegram(5, 29, 1218, 0xC1, {1, 2, 3, 4}),
         {{1, telegram(5, 29, 1218, 0xC1, {1, 2, 3, 4}), "write request"},
          {2, telegram(6, 29, 1218, 0x41), "positive answer"}}},
        {"",
         telegram(5, 1, 100, 0xC1, {9}),
         {{1, telegram(5, 1, 100, 0xC1, {9}), "write request"},
          {2, telegram(6, 1, 100, 0x82), "error answer 0x82", "130"}}},
        {"",
         telegram(5, 1, 1300, 0xC0),
         {{1, telegram(5, 1, 1300, 0xC0), "read request"},
          {2, telegram(6, 1, 1300, 0x84), "error answer 0x84", "132"}}},
        {"",
         telegram(5, 2, 1301, 0xC0),
         {{1, telegram(5, 2, 1301, 0xC0), "read request"},
          {2, telegram(6, 2, 1301, 0x01, {5}), "delayed answer announced, wait 5 ticks", "5"},
          {2, telegram(7, 2, 1301, 0x0A, {0x41, 0, 0x2A}),
           "delivered delayed answer: positive answer", "65"}}},
        {"", marker, {{4, marker, "marker \"1\" (49), recording start", "49"}}},
        {"corrupt-checksum",
         telegram(5, 1, 100, 0xC0),
         {{1, telegram(5, 1, 100, 0xC0), "read request"},
          {2, telegram(6, 1, 100, 0x41, {1, 2, 3, 4}), "positive answer", "", false}}},
    };
    std::vector<Expected> expected;
    for (const auto& x : exchanges) {
        if (!x.fault.empty()) {
            const auto ctl =
                proctest::RunTool({TIVSIM_PATH, "ctl", "--dir", sockets.string(), x.fault});
            ASSERT_EQ(ctl.Code(), 0) << ctl.out << ctl.err;
        }
        ASSERT_TRUE(adapter.sendTelegram(x.request));
        expected.insert(expected.end(), x.bus.begin(), x.bus.end());
        ASSERT_TRUE(awaitAcyclic(expected.size()))
            << "not recorded: " << tivctl::HexBytes(x.request) << "\n"
            << recorder.err;
    }
    recorder.Signal(SIGINT);
    ASSERT_EQ(recorder.Wait(30s), 0) << recorder.err;

    const TsharkRun tshark(dir.path());
    const auto acyclic = tshark.Fields(
        file, "tiv.type >= 5",
        {"tiv.direction", "tiv.type", "tiv.size", "tiv.sub", "tiv.obj", "tiv.control", "tiv.data",
         "tiv.checksum", "tiv.checksum.status", "tiv.meaning", "tiv.error", "tiv.wait",
         "tiv.delivered_control", "tiv.marker", "frame.packet_flags_direction"});
    ASSERT_EQ(acyclic.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto& want = expected[i];
        const auto& got = acyclic[i];
        SCOPED_TRACE("telegram " + std::to_string(i + 1) + ": " + tivctl::HexBytes(want.record));
        ASSERT_EQ(got.size(), 15u);
        const auto& r = want.record;
        const auto number = [](const std::string& s) { return std::stoi(s, nullptr, 0); };
        EXPECT_EQ(number(got[0]), want.direction);
        EXPECT_EQ(number(got[1]), r[0] >> 5);
        EXPECT_EQ(number(got[2]), r[1]);
        EXPECT_EQ(number(got[3]), r[2]);
        EXPECT_EQ(number(got[4]), r[3] | r[4] << 8);
        EXPECT_EQ(number(got[5]), r[5]);
        EXPECT_EQ(Hex(got[6]), tivctl::HexBytes(std::span(r).subspan(6)));
        const int crc = tivlink::Crc16(r);
        EXPECT_EQ(number(got[7]) == crc, want.checksumOk) << got[7];
        EXPECT_EQ(got[8], want.checksumOk ? "1" : "0");
        EXPECT_EQ(got[9], want.meaning);
        std::string decoded;
        for (std::size_t k = 10; k < 14; ++k)
            if (!got[k].empty()) decoded = std::to_string(number(got[k]));
        EXPECT_EQ(decoded, want.decoded);
        // Requests and markers went out, answers came in.
        EXPECT_EQ(number(got[14]), want.direction == 2 ? 1 : 2);
    }

    // Cyclic telegrams: the scenario's values, decoded as the driver decodes them.
    const auto cyclic = tshark.Fields(file, "tiv.type <= 4",
                                      {"tiv.direction", "tiv.type", "tiv.obj", "tiv.status",
                                       "tiv.value", "tiv.timestamp", "tiv.checksum.status"});
    std::map<int, int> seen;
    for (const auto& got : cyclic) {
        ASSERT_EQ(got.size(), 7u);
        SCOPED_TRACE("cyclic obj " + got[2] + " value " + got[4]);
        EXPECT_EQ(got[0], "3");
        EXPECT_EQ(got[6], "1");
        const int obj = std::stoi(got[2]);
        const double value = std::stod(got[4]);
        ++seen[obj];
        if (obj == 3) {  // type 0: float rising by 0.25, and a time stamp
            EXPECT_EQ(got[1], "0");
            EXPECT_EQ(std::fmod(value - 1.5, 0.25), 0.0);
            EXPECT_FALSE(got[5].empty());
        } else if (obj == 4) {  // type 1: a constant float
            EXPECT_EQ(got[1], "1");
            EXPECT_EQ(got[3], "0x01");
            EXPECT_EQ(value, -7.25);
            EXPECT_TRUE(got[5].empty());
        } else {  // type 2: a double rising by 0.1
            EXPECT_EQ(obj, 5);
            EXPECT_EQ(got[1], "2");
            const double steps = (value - 21.5) / 0.1;
            EXPECT_NEAR(steps, std::round(steps), 1e-6);
        }
    }
    EXPECT_EQ(seen.size(), 3u);

    // The filter users type, and the adapter as the interface.
    const auto filtered = tshark.Fields(
        file, "tiv.obj == 1217 && tiv.control == 0x41",
        {"tiv.type", "tiv.data", "frame.interface_name", "frame.interface_description"});
    ASSERT_EQ(filtered.size(), 1u);
    EXPECT_EQ(filtered[0], (std::vector<std::string>{"6", "0a0b0c0d", "tiv1", "bus address 5"}));

    daemon.Signal(SIGTERM);
    EXPECT_EQ(daemon.Wait(20s), 0);
}

// `monitor --pcapng -` owns stdout: nothing but whole pcapng blocks, readable as it streams.
TEST(Wireshark, MonitorStreamsACaptureToStdout) {
    SKIP_WITHOUT_TSHARK();
    TempDir dir{"tiv-pcap"};
    const auto monitor = RunTivctl({"monitor", "--pcapng", "-", "--seconds", "1"});
    ASSERT_EQ(monitor.Code(), 0) << monitor.err;
    const Bytes stream(monitor.out.begin(), monitor.out.end());
    // Whole blocks and nothing else: the section header, the interface, a packet per telegram.
    std::size_t walked = 0;
    ASSERT_GE(Packets(stream, &walked).size(), 3u) << monitor.err;
    EXPECT_EQ(walked, stream.size());

    // Without --seconds a live capture runs until its viewer closes the pipe, and ends well.
    const auto closed =
        proctest::RunTool({"/bin/bash", "-c",
                           "set -o pipefail; '" + std::string(TIVCTL_PATH) +
                               "' --clock-scale 10 monitor --pcapng - | head -c 600 >/dev/null"},
                          kTivctlOptions);
    EXPECT_EQ(closed.Code(), 0) << closed.err;

    const auto file = dir / "live.pcapng";
    WriteBytes(file, stream);
    const auto run = TsharkRun(dir.path()).Run(file, {"-T", "fields", "-e", "tiv.type"});
    EXPECT_EQ(run.Code(), 0) << run.err;
    EXPECT_EQ(static_cast<std::size_t>(std::count(run.out.begin(), run.out.end(), '\n')),
              Packets(stream).size());
}

// What a capture holds is not to be trusted: checksums by the method the flags name, frames
// cut short, files cut short. tshark must flag them and never fail.
TEST(Wireshark, BadChecksumsAndShortFramesAreFlagged) {
    SKIP_WITHOUT_TSHARK();
    TempDir dir{"tiv-pcap"};
    // A stored frame: length, flags, record, checksum.
    const auto frame = [](std::uint8_t flags, const Bytes& record, std::uint16_t checksum) {
        Bytes f{0xFA, static_cast<std::uint8_t>(record.size() + 2), flags};
        f.insert(f.end(), record.begin(), record.end());
        f.insert(f.end(), {static_cast<std::uint8_t>(checksum),
                           static_cast<std::uint8_t>(checksum >> 8), 0xFB});
        return f;
    };
    const Bytes answer = sim::probe::telegram(6, 29, 1217, 0x41, {0x0A, 0x0B});
    const std::uint16_t crc = tivlink::Crc16(answer);
    const std::uint16_t sum = tivlink::Sum16(answer);
    Bytes cut = frame(0x80, answer, crc);
    cut.resize(cut.size() - 4);
    cut.push_back(0xFB);
    const struct {
        const char* what;
        Bytes frame;
        std::string status;
        std::string expert;
    } cases[] = {
        {"CRC, right", frame(0x80, answer, crc), "1", ""},
        {"CRC, corrupted", frame(0x80, answer, crc ^ 0x0100), "0", "Bad checksum"},
        {"sum, right", frame(0x00, answer, sum), "1", ""},
        {"sum flagged, CRC stored", frame(0x00, answer, crc), "0", "Bad checksum"},
        {"cut short", cut, "2", "Frame cut short"},
        {"two bytes", Bytes{0xFA, 0x05, 0xFB}, "", "Packet too short"},
    };
    std::vector<Bytes> frames;
    for (const auto& c : cases) frames.push_back(c.frame);
    Bytes capture = tivctl::pcapng::SectionHeader("test");
    const auto idb = tivctl::pcapng::InterfaceDescription(tivctl::pcapng::kLinkTypeTiv, "t", "");
    capture.insert(capture.end(), idb.begin(), idb.end());
    std::vector<std::size_t> blockEnds;
    for (const auto& f : frames) {
        const auto block = tivctl::pcapng::EnhancedPacket(0, 1, tivctl::pcapng::Packet(f), 0);
        capture.insert(capture.end(), block.begin(), block.end());
        blockEnds.push_back(capture.size());
    }
    const auto file = dir / "bad.pcapng";
    WriteBytes(file, capture);
    const TsharkRun tshark(dir.path());
    const auto lines = tshark.Fields(file, "", {"tiv.checksum.status", "_ws.expert.message"});
    ASSERT_EQ(lines.size(), std::size(cases));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        ASSERT_EQ(lines[i].size(), 2u);
        EXPECT_EQ(lines[i][0], cases[i].status);
        if (cases[i].expert.empty())
            EXPECT_EQ(lines[i][1], "");
        else
            EXPECT_NE(lines[i][1].find(cases[i].expert), std::string::npos) << lines[i][1];
    }

    // A file cut anywhere: the packets before the cut, an error, no crash.
    for (const std::size_t at : {blockEnds[0] - 3, blockEnds[2] + 13, capture.size() - 1}) {
        SCOPED_TRACE("cut at " + std::to_string(at));
        const auto cutFile = dir / "cut.pcapng";
        WriteBytes(cutFile, Bytes(capture.begin(), capture.begin() + static_cast<long>(at)));
        const auto run = tshark.Run(cutFile, {"-T", "fields", "-e", "tiv.obj"});
        ASSERT_TRUE(run.Exited()) << "tshark crashed or hung: " << run.err;
        EXPECT_EQ(run.err.find("Lua"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("cut short"), std::string::npos) << run.err;
        const auto whole = static_cast<std::size_t>(
            std::count_if(blockEnds.begin(), blockEnds.end(), [&](auto end) { return end <= at; }));
        EXPECT_EQ(static_cast<std::size_t>(std::count(run.out.begin(), run.out.end(), '\n')),
                  whole);
    }
}

}  // namespace
