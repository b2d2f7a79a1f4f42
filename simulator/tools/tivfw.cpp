// tivfw: writes the adapter firmware image the driver embeds, or checks one.

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "simulator/FirmwareImage.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitBadInput = 2;

// Inside the stage but clear of the magic and the version record, so only the CRC can
// tell: exactly the damage a bad transfer would do.
constexpr std::size_t kCorruptOffset = 1000;

int writeImage(const std::string& file, int corruptStage) {
    auto image = sim::makeFirmwareImage();
    if (corruptStage == 1) image[kCorruptOffset] ^= 0xFF;
    if (corruptStage == 2) image[sim::kStageTwoOffset + kCorruptOffset] ^= 0xFF;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out) {
        std::cerr << "tivfw: cannot write " << file << "\n";
        return kExitFailure;
    }
    return kExitOk;
}

std::string printable(const std::uint8_t* bytes, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i)
        s += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '?';
    return s;
}

int checkImage(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::cerr << "tivfw: cannot open " << file << "\n";
        return kExitBadInput;
    }
    // Read one byte past the expected size to notice a longer file without reading it all.
    std::vector<std::uint8_t> image(sim::kImageSize + 1);
    in.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
    if (in.bad()) {
        std::cerr << "tivfw: cannot read " << file << "\n";
        return kExitBadInput;
    }
    image.resize(static_cast<std::size_t>(in.gcount()));
    if (image.size() != sim::kImageSize) {
        std::cerr << "tivfw: " << file << ": not a firmware image (size "
                  << (image.size() > sim::kImageSize ? "more than " : "")
                  << image.size() - (image.size() > sim::kImageSize ? 1 : 0) << ", expected "
                  << sim::kImageSize << ")\n";
        return kExitBadInput;
    }
    const std::span<const std::uint8_t> all(image);
    const bool one = sim::stageOneIntact(all.first(sim::kStageOneSize));
    const auto stageTwo = all.subspan(sim::kStageTwoOffset, sim::kStageTwoSize);
    const bool two = sim::stageTwoIntact(stageTwo);
    const bool marker = stageTwo[8] == 'S' && stageTwo[9] == 'W';

    char build[16];
    std::snprintf(build, sizeof build, "%02X %02X", stageTwo[6], stageTwo[7]);
    std::cout << file << ":\n"
              << "  stage one: " << (one ? "intact" : "CORRUPT") << "\n"
              << "  stage two: " << (two ? "intact" : "CORRUPT") << "\n"
              << "  version:   \"" << printable(stageTwo.data(), 6) << "\" build " << build
              << (marker ? "" : " (no SW marker)") << "\n";
    if (!one || !two || !marker) {
        std::cerr << "tivfw: " << file << ": the adapter would refuse this image\n";
        return kExitBadInput;
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Writes the adapter firmware image, or checks an image file."};
    app.footer("Exit codes: 0 ok, 1 the image could not be written, 2 bad usage or a bad image.");
    std::string output;
    std::string check;
    int corruptStage = 0;
    auto* outOpt =
        app.add_option("-o,--output", output, "write the image to FILE")->type_name("FILE");
    auto* checkOpt =
        app.add_option("-c,--check", check, "verify an image and print its version record")
            ->type_name("FILE");
    app.add_option("--corrupt-stage", corruptStage,
                   "with --output: damage one byte of stage 1 or 2 (for tests)")
        ->check(CLI::IsMember({1, 2}))
        ->needs(outOpt);
    outOpt->excludes(checkOpt);
    try {
        app.parse(argc, argv);
        if (output.empty() && check.empty()) throw CLI::RequiredError("one of --output or --check");
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitBadInput;
    }
    return output.empty() ? checkImage(check) : writeImage(output, corruptStage);
}
