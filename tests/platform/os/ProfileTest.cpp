#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>

#include "os/Profile.h"

namespace {

namespace fs = std::filesystem;

class TempFile {
public:
    explicit TempFile(const std::string& content) {
        std::string pattern = (fs::temp_directory_path() / "tiv-profile-XXXXXX").string();
        const int fd = ::mkstemp(pattern.data());
        path_ = pattern;
        if (fd >= 0) {
            [[maybe_unused]] const auto n = ::write(fd, content.data(), content.size());
            ::close(fd);
        }
    }
    ~TempFile() {
        std::error_code ec;
        fs::remove(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

TEST(ProfileInteger, AcceptsDecimalAndThreeHexSpellingsOnly) {
    const struct {
        const char* text;
        std::optional<std::int32_t> value;
    } cases[] = {
        {"1", 1},
        {"0", 0},
        {"0x1", 1},
        {"0X1f", 31},
        {"$1F", 31},
        {"  42\t", 42},
        {"-5", -5},
        {"+7", 7},
        {"-$10", -16},
        {"-0x10", -16},
        {"007", 7},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        {"$FFFFFFFF", -1},
        {"0x80000000", INT32_MIN},
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"0x100000000", std::nullopt},
        {"99999999999999999999999", std::nullopt},
        {"ON", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"-", std::nullopt},
        {"0x", std::nullopt},
        {"$", std::nullopt},
        {"12abc", std::nullopt},
        {"1 2", std::nullopt},
        {"1.5", std::nullopt},
        {"--1", std::nullopt},
        {"- 1", std::nullopt},
        {"0xG", std::nullopt},
        {"x10", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(os::Profile::parseInteger(c.text), c.value) << c.text;
}

TEST(Profile, ReadsAFileByThePrivateProfileRules) {
    const std::string longValue(100'000, 'v');
    TempFile file(
        "\xEF\xBB\xBF"
        "orphan=before any section\r\n"
        "[Adapter]\r\n"
        "; Port=99\r\n"
        "  Port =  3  \r\n"
        "Name= \"  quoted name \" \r\n"
        "Single='x'\r\n"
        "Mismatched=\"x'\r\n"
        "Lonely=\"\r\n"
        "Empty=\r\n"
        "NoEquals\r\n"
        "=nameless\r\n"
        "Flag=ON\r\n"
        "Hex=0x1\r\n"
        "Word=yes\r\n"
        "Equation=a=b\r\n"
        "port=4\r\n"
        "[ second ] trailing\n"
        "Long=" +
        longValue +
        "\n"
        "[ADAPTER]\n"
        "Extra=from a repeated section\n"
        "[Last]\n"
        "Tail=no newline at end");
    const os::Profile p(file.path());
    ASSERT_TRUE(p.loaded()) << p.error();

    EXPECT_EQ(p.readInteger("Adapter", "Port", -1), 3);
    EXPECT_EQ(p.readInteger("ADAPTER", "PORT", -1), 3) << "case must not matter";
    EXPECT_EQ(p.readString("adapter", "name", "?"), "  quoted name ");
    EXPECT_EQ(p.readString("Adapter", "Single"), "x");
    EXPECT_EQ(p.readString("Adapter", "Mismatched"), "\"x'");
    EXPECT_EQ(p.readString("Adapter", "Lonely"), "\"");
    EXPECT_EQ(p.readString("Adapter", "Empty", "default"), "");
    EXPECT_EQ(p.readString("Adapter", "Equation"), "a=b");
    EXPECT_EQ(p.readInteger("Adapter", "Flag", 5), 5);
    EXPECT_EQ(p.readInteger("Adapter", "Hex", 5), 1);
    EXPECT_EQ(p.readInteger("Adapter", "Word", 5), 5);
    EXPECT_TRUE(p.readBool("Adapter", "Hex", false));
    EXPECT_FALSE(p.hasKey("Adapter", "NoEquals"));
    EXPECT_FALSE(p.hasKey("Adapter", ""));
    EXPECT_EQ(p.readString("Adapter", "Extra", "none"), "none");
    EXPECT_EQ(p.readString("second", "Long").size(), longValue.size());
    EXPECT_EQ(p.readString("Last", "Tail"), "no newline at end");
    EXPECT_EQ(p.readString("Adapter", "Missing", "dflt"), "dflt");
    EXPECT_EQ(p.readString("Nowhere", "Port", "dflt"), "dflt");

    EXPECT_EQ(p.sections(), (std::vector<std::string>{"Adapter", "second", "Last"}));
    EXPECT_EQ(p.keys("ADAPTER"),
              (std::vector<std::string>{"Port", "Name", "Single", "Mismatched", "Lonely", "Empty",
                                        "Flag", "Hex", "Word", "Equation"}));
    EXPECT_TRUE(p.keys("Nowhere").empty());
}

TEST(Profile, MissingOrUnreadableFileGivesDefaults) {
    const os::Profile missing("/nonexistent/dir/tiv.ini");
    EXPECT_FALSE(missing.loaded());
    EXPECT_NE(missing.error().find("tiv.ini"), std::string::npos);
    EXPECT_EQ(missing.readString("A", "B", "dflt"), "dflt");
    EXPECT_EQ(missing.readInteger("A", "B", 17), 17);
    EXPECT_TRUE(missing.sections().empty());

    const os::Profile directory(fs::temp_directory_path());
    EXPECT_FALSE(directory.loaded());
    EXPECT_EQ(directory.readInteger("A", "B", 3), 3);

    // A FIFO would block a plain open until a writer came.
    const auto fifo = fs::temp_directory_path() / ("tiv-profile-" + std::to_string(::getpid()));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const os::Profile pipe(fifo);
    fs::remove(fifo);
    EXPECT_FALSE(pipe.loaded());
    EXPECT_NE(pipe.error().find("not a regular file"), std::string::npos) << pipe.error();
}

TEST(Profile, SurvivesBinaryGarbage) {
    std::mt19937 random(12345);
    for (int round = 0; round < 50; ++round) {
        std::string text(4096, '\0');
        for (auto& c : text) {
            // Biased towards the bytes the parser cares about.
            static constexpr char kSpecial[] = "[]=;\r\n \t\"'$0x";
            const auto r = random();
            c = (r % 3 == 0) ? kSpecial[r % (sizeof kSpecial - 1)] : static_cast<char>(r >> 8);
        }
        const auto p = os::Profile::fromString(text);
        for (const auto& s : p.sections()) {
            for (const auto& k : p.keys(s)) {
                EXPECT_TRUE(p.hasKey(s, k));
                p.readInteger(s, k, 0);
            }
        }
    }
}

TEST(Profile, SystemDirectoryFollowsTheEnvironment) {
    const char* old = std::getenv("TIV_SYSTEM_DIR");
    const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    ::setenv("TIV_SYSTEM_DIR", "/tmp/tiv-system", 1);
    EXPECT_EQ(os::systemDirectory(), fs::path("/tmp/tiv-system"));
    ::setenv("TIV_SYSTEM_DIR", "", 1);
    EXPECT_EQ(os::systemDirectory(), fs::path("/etc/tivlink"));
    if (saved)
        ::setenv("TIV_SYSTEM_DIR", saved->c_str(), 1);
    else
        ::unsetenv("TIV_SYSTEM_DIR");
}

}  // namespace
