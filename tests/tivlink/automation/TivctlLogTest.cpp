// tivctl's --log switch as users run it: the log file in the working directory, and the lines
// echoed on stderr.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "DiagnosticsSupport.h"
#include "tivlink/automation/DriverLog.h"

namespace {

using namespace diagtest;
using ::testing::HasSubstr;

TEST(TivctlLog, LogSwitchWritesTheFileInTheWorkingDirectory) {
    ScratchDir dir;
    const std::map<std::string, std::optional<std::string>> env = {
        {"TIV_USB", std::nullopt}, {"TIV_SYSTEM_DIR", dir.Path().string()}};
    const auto run = RunProgram({TIVCTL_PATH, "--log", "scan"}, dir.Path(), env);
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_THAT(run.err, HasSubstr(",LOG-FILE open"));
    EXPECT_THAT(run.out, ::testing::Not(HasSubstr("LOG ")));
    // The switch is LogFileOn, set right after creation: the start-up is not in the file.
    const auto log = LogTexts(dir.Path() / tivlink::DefaultLogFileName());
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log.front(), "LOG-FILE open");
    EXPECT_EQ(log[1], "Entry:SelectAdapter,Adapterno.:1,Mode:0 ----------");
    EXPECT_EQ(log.back(), "LOG-FILE closed");
    EXPECT_EQ(Count(log, "TIV-Driver-Start"), 0u);
    // Every line the file gained went to stderr as well.
    for (const auto& line : log) EXPECT_THAT(run.err, HasSubstr("," + line + "\n"));

    // A second run appends to the same file.
    ASSERT_EQ(RunProgram({TIVCTL_PATH, "--log", "scan"}, dir.Path(), env).code, 0);
    EXPECT_EQ(Count(LogTexts(dir.Path() / tivlink::DefaultLogFileName()), "LOG-FILE open"), 2u);

    // Without the switch the settings file decides: none here, so no file.
    fs::remove(dir.Path() / tivlink::DefaultLogFileName());
    const auto quiet = RunProgram({TIVCTL_PATH, "scan"}, dir.Path(), env);
    ASSERT_EQ(quiet.code, 0);
    EXPECT_THAT(quiet.err, ::testing::Not(HasSubstr("LOG ")));
    EXPECT_FALSE(fs::exists(dir.Path() / tivlink::DefaultLogFileName()));
    dir.WriteSettings("[LOGFILE]\nON=1\n");
    ASSERT_EQ(RunProgram({TIVCTL_PATH, "scan"}, dir.Path(), env).code, 0);
    // With the settings file the start-up is logged too.
    EXPECT_EQ(Count(LogTexts(dir.Path() / tivlink::DefaultLogFileName()), "TIV-Driver-Start"), 1u);
}

// A symlink planted under the log file's name is not followed, and --log says it has no file
// rather than running silently without one.
TEST(TivctlLog, LogSwitchRefusesAPlantedSymlink) {
    ScratchDir dir;
    const auto victim = dir.Path() / "victim.txt";
    { std::ofstream(victim) << "keep"; }
    fs::create_symlink(victim, dir.Path() / tivlink::DefaultLogFileName());
    const auto run =
        RunProgram({TIVCTL_PATH, "--log", "scan"}, dir.Path(),
                   {{"TIV_USB", std::nullopt}, {"TIV_SYSTEM_DIR", dir.Path().string()}});
    EXPECT_EQ(run.code, 1);
    EXPECT_THAT(run.err, HasSubstr("--log: cannot write the log file"));
    std::ifstream in(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep");
}

TEST(TivctlLog, WindowWithoutADisplayFailsWithAMessage) {
    ScratchDir dir;
    const auto run = RunProgram({TIVCTL_PATH, "window", "--seconds", "1"}, dir.Path(),
                                {{"TIV_USB", std::nullopt},
                                 {"DISPLAY", std::nullopt},
                                 {"WAYLAND_DISPLAY", std::nullopt},
                                 {"QT_QPA_PLATFORM", std::nullopt}});
    EXPECT_EQ(run.code, 1);
    EXPECT_THAT(run.err, HasSubstr("no display"));
    EXPECT_EQ(RunProgram({TIVCTL_PATH, "window", "--seconds", "-1"}, dir.Path()).code, 2);
}

}  // namespace
