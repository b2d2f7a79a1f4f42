// The firmware image: layout, both stage checks, and the tivfw tool that writes and
// checks image files.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "simulator/FirmwareImage.h"
#include "support/ChildProcess.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

std::span<const std::uint8_t> stageOne(const Bytes& image) {
    return std::span<const std::uint8_t>(image).first(sim::kStageOneSize);
}

std::span<const std::uint8_t> stageTwo(const Bytes& image) {
    return std::span<const std::uint8_t>(image).subspan(sim::kStageTwoOffset, sim::kStageTwoSize);
}

std::uint16_t trailingCrc(std::span<const std::uint8_t> stage) {
    return static_cast<std::uint16_t>(stage[stage.size() - 2] | stage[stage.size() - 1] << 8);
}

Bytes readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(FirmwareImage, DeterministicLayout) {
    const auto image = sim::makeFirmwareImage();
    ASSERT_EQ(image.size(), sim::kImageSize);
    EXPECT_EQ(image, sim::makeFirmwareImage());
    EXPECT_EQ(sim::kStageTwoOffset + sim::kStageTwoPackets * 64, 31552u);

    const auto one = stageOne(image);
    EXPECT_TRUE(std::equal(sim::kStageOneMagic.begin(), sim::kStageOneMagic.end(), one.begin()));
    // Low byte first, over bytes 0..6973.
    EXPECT_EQ(trailingCrc(one), sim::firmwareCrc(one.first(6974)));

    const auto two = stageTwo(image);
    const auto record = sim::defaultVersionRecord();
    EXPECT_TRUE(std::equal(record.begin(), record.end(), two.begin()));
    EXPECT_EQ(record[8], 'S');
    EXPECT_EQ(record[9], 'W');
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(record[i] >= 0x20 && record[i] < 0x7F) << i;
    EXPECT_EQ(trailingCrc(two), sim::firmwareCrc(two.first(two.size() - 2)));
}

TEST(FirmwareImage, CrcKnownValues) {
    const std::string check = "123456789";
    EXPECT_EQ(sim::firmwareCrc({reinterpret_cast<const std::uint8_t*>(check.data()), 9}), 0x31C3);
    EXPECT_EQ(sim::firmwareCrc({}), 0);
    const std::uint8_t one[1] = {0x01};
    EXPECT_EQ(sim::firmwareCrc(one), 0x1021);
}

TEST(FirmwareImage, StageChecksCatchEveryDamage) {
    const auto image = sim::makeFirmwareImage();
    EXPECT_TRUE(sim::stageOneIntact(stageOne(image)));
    EXPECT_TRUE(sim::stageTwoIntact(stageTwo(image)));

    // A single flipped byte anywhere, the CRC bytes included.
    for (std::size_t at = 0; at < sim::kStageOneSize; at += at < 16 ? 1 : 97) {
        for (const std::size_t pos : {at, sim::kStageOneSize - 1 - at}) {
            auto bad = image;
            bad[pos] ^= 0x01;
            EXPECT_FALSE(sim::stageOneIntact(stageOne(bad))) << "stage one byte " << pos;
        }
    }
    for (std::size_t at = 0; at < sim::kStageTwoSize; at += at < 16 ? 1 : 211) {
        for (const std::size_t pos : {at, sim::kStageTwoSize - 1 - at}) {
            auto bad = image;
            bad[sim::kStageTwoOffset + pos] ^= 0x80;
            EXPECT_FALSE(sim::stageTwoIntact(stageTwo(bad))) << "stage two byte " << pos;
        }
    }

    // Stage one needs its magic even when the CRC agrees.
    auto noMagic = image;
    noMagic[0] = 'X';
    const auto crc = sim::firmwareCrc(stageOne(noMagic).first(6974));
    noMagic[6974] = static_cast<std::uint8_t>(crc & 0xFF);
    noMagic[6975] = static_cast<std::uint8_t>(crc >> 8);
    EXPECT_FALSE(sim::stageOneIntact(stageOne(noMagic)));

    // Wrong lengths: a short transfer, or one with a byte too many.
    EXPECT_FALSE(sim::stageOneIntact(stageOne(image).first(sim::kStageOneSize - 1)));
    EXPECT_FALSE(
        sim::stageOneIntact(std::span<const std::uint8_t>(image).first(sim::kStageOneSize + 1)));
    EXPECT_FALSE(sim::stageTwoIntact(stageTwo(image).first(sim::kStageTwoSize - 64)));
    EXPECT_FALSE(sim::stageTwoIntact({}));
    EXPECT_FALSE(sim::stageOneIntact({}));
}

TEST(FirmwareImageTool, WritesChecksAndCorrupts) {
    const std::string tool = proctest::BinaryDir() + "/simulator/tivfw";
    if (proctest::BinaryDir().empty() || !fs::exists(tool))
        GTEST_SKIP() << "tivfw is not built next to the tests";
    const fs::path dir = fs::temp_directory_path() / ("tivfw-test-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const auto good = (dir / "good.bix").string();

    auto r = proctest::RunTool({tool, "--output", good});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(good), sim::makeFirmwareImage());

    r = proctest::RunTool({tool, "--check", good});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto record = sim::defaultVersionRecord();
    EXPECT_NE(r.out.find(std::string(record.begin(), record.begin() + 6)), std::string::npos)
        << r.out;

    for (const std::string stage : {"1", "2"}) {
        const auto bad = (dir / ("bad" + stage + ".bix")).string();
        r = proctest::RunTool({tool, "--output", bad, "--corrupt-stage", stage});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const auto bytes = readFile(bad);
        ASSERT_EQ(bytes.size(), sim::kImageSize);
        EXPECT_EQ(sim::stageOneIntact(stageOne(bytes)), stage != "1");
        EXPECT_EQ(sim::stageTwoIntact(stageTwo(bytes)), stage != "2");
        r = proctest::RunTool({tool, "--check", bad});
        EXPECT_EQ(r.exitCode, 2) << "stage " << stage;
        EXPECT_NE(r.out.find("CORRUPT"), std::string::npos) << r.out;
    }

    // A truncated image, no file, bad usage.
    const auto shortFile = (dir / "short.bix").string();
    std::ofstream(shortFile, std::ios::binary).write("TIVBOOT1", 8);
    EXPECT_EQ(proctest::RunTool({tool, "--check", shortFile}).exitCode, 2);
    EXPECT_EQ(proctest::RunTool({tool, "--check", (dir / "none.bix").string()}).exitCode, 2);
    EXPECT_EQ(proctest::RunTool({tool}).exitCode, 2);
    EXPECT_EQ(proctest::RunTool({tool, "--output", good, "--corrupt-stage", "3"}).exitCode, 2);
    EXPECT_EQ(proctest::RunTool({tool, "--output", good, "--check", good}).exitCode, 2);
    EXPECT_EQ(proctest::RunTool({tool, "--output", (dir / "no/such/dir.bix").string()}).exitCode,
              1);
    EXPECT_EQ(proctest::RunTool({tool, "--help"}).exitCode, 0);
    fs::remove_all(dir);

    // The image the build embeds is the same one.
    const fs::path built = proctest::BinaryDir() + "/firmware/load.bix";
    if (fs::exists(built)) {
        EXPECT_EQ(readFile(built), sim::makeFirmwareImage());
    }
}
