#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "ScopedAppDir.h"
#include "core/AppDirectory.h"
#include "core/Settings.h"
#include "core/Trace.h"

namespace {

using tivmatetest::readFile;
using tivmatetest::ScopedAppDir;

TEST(TivmateSettings, ReadIniStringReadsLongValuesWhole) {
    ScopedAppDir app;
    std::string ini = "[TimeCritical]\nCyclicRecordSaveSize=4096\n[Long]\n";
    // Lengths at and around the points where a buffer read may be cut.
    const std::size_t lengths[] = {0, 1, 253, 254, 255, 256, 300, 510, 511, 512, 5000};
    for (std::size_t n : lengths) ini += "L" + std::to_string(n) + "=" + std::string(n, 'x') + "\n";
    app.writeIni(ini);
    const auto file = tivmate::IniPath();
    for (std::size_t n : lengths)
        EXPECT_EQ(tivmate::ReadIniString(file, "Long", "L" + std::to_string(n)).size(), n) << n;
    EXPECT_EQ(tivmate::ReadIniString(file, "TimeCritical", "CyclicRecordSaveSize "), "4096");
    EXPECT_EQ(tivmate::ReadIniString(file, "TimeCritical", "Missing"), "");
    EXPECT_EQ(tivmate::ReadIniString(app / "none.ini", "TimeCritical", "Trace"), "");
    EXPECT_EQ(tivmate::ReadIniStringInto(file, "Long", "L300", 256).size(), 255u);
}

TEST(TivmateSettings, ApplicationDirectoryIsTheModulesUnlessOverridden) {
    {
        ScopedAppDir app;
        EXPECT_EQ(tivmate::ApplicationDirectory(), app.path());
        EXPECT_EQ(tivmate::IniPath(), app.path() / "Resources" / "DTM.ini");
    }
    ::setenv("TIVMATE_APPDIR", "", 1);
    // The test program holds the code here: its directory stands for libtivmate.so's.
    EXPECT_EQ(tivmate::ApplicationDirectory(),
              std::filesystem::canonical("/proc/self/exe").parent_path());
    ::unsetenv("TIVMATE_APPDIR");
}

TEST(TivmateTrace, OnlyExternalFileWritesAndTheModeIsKeptOnceRead) {
    const std::regex line(
        R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} TIVAdapter: Class_Initialize: TIV Treiber f\xC3\xBCr\r\n)");
    const struct {
        const char* ini;
        bool writes;
    } cases[] = {
        {"[TimeCritical]\nTrace=ExternalFile\n", true},
        {"[timecritical]\ntrace = ExternalFile \n", true},
        {"[TimeCritical]\nTrace=externalfile\n", false},
        {"[TimeCritical]\nTrace=None\n", false},
        {"[TimeCritical]\n", false},
        {"", false},
    };
    for (const auto& c : cases) {
        ScopedAppDir app(c.ini);
        tivmate::WriteTrace("Class_Initialize", "TIV Treiber f\xC3\xBCr");
        const std::string text = readFile(tivmate::TraceFilePath());
        EXPECT_EQ(std::regex_match(text, line), c.writes) << c.ini << " -> " << text;
    }

    ScopedAppDir app("[TimeCritical]\n");
    tivmate::WriteTrace("A", "1");  // no mode yet: looked up again next time
    app.writeIni("[TimeCritical]\nTrace=ExternalFile\n");
    tivmate::WriteTrace("B", "2");
    app.writeIni("[TimeCritical]\nTrace=None\n");  // kept: not read again
    tivmate::WriteTrace("C", "3");
    const std::string text = readFile(tivmate::TraceFilePath());
    EXPECT_EQ(text.find("A: 1"), std::string::npos);
    EXPECT_NE(text.find("TIVAdapter: B: 2\r\n"), std::string::npos);
    EXPECT_NE(text.find("TIVAdapter: C: 3\r\n"), std::string::npos);

    // A file that cannot be written loses the line, and the caller goes on.
    ::setenv("TIVMATE_APPDIR", "/proc/version", 1);
    tivmate::WriteTrace("D", "4");
}

TEST(TivmateTrace, StampsAreLocaleFree) {
    const char* oldTz = ::getenv("TZ");
    const std::string savedTz = oldTz ? oldTz : "";
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    const auto tp = std::chrono::system_clock::from_time_t(946684800 + 3 * 3600 + 4 * 60 + 5);
    EXPECT_EQ(tivmate::TraceStamp(tp), "2000-01-01 03:04:05");
    EXPECT_EQ(tivmate::TraceLine("S", "F", "M"), "S TIVAdapter: F: M\r\n");
    if (oldTz)
        ::setenv("TZ", savedTz.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

TEST(TivmateTrace, SizeLimitAtCreation) {
    const struct {
        const char* text;
        std::int64_t limit;
    } limits[] = {
        {"10", 10'000'000},
        {"1000", 1'000'000'000},
        {"5000", 1'000'000'000},
        {"0", 0},
        {"", 0},
        {"abc", 0},
        {" 7 ", 7'000'000},
        {"&H2", 2'000'000},
        {"2.5", 0},
        {"-1", -1'000'000},
        {"99999999999", 0},
    };
    for (const auto& l : limits) EXPECT_EQ(tivmate::TraceFileSizeLimit(l.text), l.limit) << l.text;

    const struct {
        const char* ini;
        std::size_t fileSize;
        bool deleted;
    } cases[] = {
        {"[TimeCritical]\nTraceFileSizeInMB=1\n", 1'000'000, false},
        {"[TimeCritical]\nTraceFileSizeInMB=1\n", 1'000'001, true},
        {"[TimeCritical]\nTraceFileSizeInMB=0\n", 1, true},
        {"[TimeCritical]\n", 1, true},  // absent: any non-empty file goes
        {"[TimeCritical]\n", 0, false},
    };
    for (const auto& c : cases) {
        ScopedAppDir app(c.ini);
        std::filesystem::resize_file(
            (std::ofstream(tivmate::TraceFilePath()), tivmate::TraceFilePath()), c.fileSize);
        EXPECT_EQ(tivmate::ApplyTraceFileSizeLimit(), c.deleted) << c.ini << c.fileSize;
        EXPECT_EQ(std::filesystem::exists(tivmate::TraceFilePath()), !c.deleted);
    }
    ScopedAppDir none;
    EXPECT_FALSE(tivmate::ApplyTraceFileSizeLimit());  // no file, no key: nothing to do
}

}  // namespace
