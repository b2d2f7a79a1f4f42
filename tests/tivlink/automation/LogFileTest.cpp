// The log file, the settings that switch it on and the driver's log over it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <set>
#include <thread>

#include "DiagnosticsSupport.h"
#include "tivlink/automation/DriverLog.h"
#include "tivlink/automation/TLogFile.h"

namespace {

using namespace diagtest;
using ::testing::ElementsAre;
using tivlink::DriverLog;
using tivlink::tLogFile;

TEST(TLogFile, AppendsLinesWithCrLfAndKeepsWhatWasThere) {
    ScratchDir dir;
    { std::ofstream("log.txt", std::ios::binary) << "old line\r\n"; }
    {
        tLogFile log("log.txt");
        ASSERT_TRUE(log.Opened());
        log.WriteLine("first");
        // Flushed at once: visible before the object goes away.
        EXPECT_EQ(ReadAll("log.txt"), "old line\r\nfirst\r\n");
        log.WriteLine("");
        log.WriteLine("with \"quotes\" and \\ backslash");
    }
    EXPECT_EQ(ReadAll("log.txt"), "old line\r\nfirst\r\n\r\nwith \"quotes\" and \\ backslash\r\n");

    // A missing file is created.
    tLogFile fresh("fresh.txt");
    EXPECT_TRUE(fresh.Opened());
    EXPECT_TRUE(fs::exists("fresh.txt"));
}

TEST(TLogFile, AFileThatCannotBeOpenedSwallowsLines) {
    ScratchDir dir;
    fs::create_directory("taken.txt");
    // Planted by somebody else: a symlink to a file of ours, and a FIFO that would block.
    { std::ofstream("victim.txt", std::ios::binary) << "keep"; }
    fs::create_symlink("victim.txt", "planted.txt");
    ASSERT_EQ(::mkfifo("fifo.txt", 0600), 0);
    for (const fs::path& name : {fs::path("taken.txt"), fs::path("no/such/dir/log.txt"),
                                 fs::path(""), fs::path("planted.txt"), fs::path("fifo.txt")}) {
        tLogFile log(name);
        EXPECT_FALSE(log.Opened()) << name;
        log.WriteLine("lost");  // no crash, nothing written
    }
    EXPECT_FALSE(fs::exists("no"));
    EXPECT_EQ(ReadAll("victim.txt"), "keep");
}

TEST(LogFileName, ComputerNameIsCutAt31CharactersAndStaysAPlainName) {
    EXPECT_EQ(tivlink::LogFileNameFor("bench7"), "Tivlink-bench7.txt");
    EXPECT_EQ(tivlink::LogFileNameFor(""), "Tivlink-.txt");
    const std::string longName(40, 'h');
    EXPECT_EQ(tivlink::LogFileNameFor(longName), "Tivlink-" + std::string(31, 'h') + ".txt");
    EXPECT_EQ(tivlink::LogFileNameFor("../etc/x"), "Tivlink-.._etc_x.txt");
    const auto name = tivlink::DefaultLogFileName();
    EXPECT_THAT(name, ::testing::StartsWith("Tivlink-"));
    EXPECT_THAT(name, ::testing::EndsWith(".txt"));
    EXPECT_LE(name.size(), 8u + 31u + 4u);
}

TEST(LogSettings, KeyOnReadAsIntegerWithWordsAndMissingFilesOff) {
    ScratchDir dir;
    struct Case {
        const char* content;
        bool on;
    };
    const Case cases[] = {
        {"[LOGFILE]\r\nON=1\r\n", true},     {"[LOGFILE]\nON=0x1\n", true},
        {"[LOGFILE]\nON=0X10\n", true},      {"[logfile]\non = -1\n", true},
        {"[LOGFILE]\nON=0\n", false},        {"[LOGFILE]\nON=0x0\n", false},
        {"[LOGFILE]\nON=yes\n", false},      {"[LOGFILE]\nON=1abc\n", false},
        {"[LOGFILE]\nON=\n", false},         {"[LOGFILE]\nOFF=1\n", false},
        {"[OTHER]\nON=1\n", false},          {"ON=1\n", false},
        {"\x01\xFF[LOGFILE\n\0ON=1", false},
    };
    for (const auto& c : cases) {
        dir.WriteSettings(c.content);
        EXPECT_EQ(tivlink::ReadLogSetting(), c.on) << c.content;
        EXPECT_EQ(tivlink::ReadLogSetting(dir.Path() / "Tivlink.ini"), c.on) << c.content;
    }
    fs::remove(dir.Path() / "Tivlink.ini");
    EXPECT_FALSE(tivlink::ReadLogSetting());
    fs::create_directory(dir.Path() / "Tivlink.ini");
    EXPECT_FALSE(tivlink::ReadLogSetting());
    ScopedEnv gone("TIV_SYSTEM_DIR", (dir.Path() / "missing").string());
    EXPECT_FALSE(tivlink::ReadLogSetting());
}

TEST(DriverLog, SwitchingOffAndOnClosesAndReopensTheSameFile) {
    ScratchDir dir;
    std::vector<std::string> echoed;
    DriverLog log("drv.txt", [&](std::string_view t) { echoed.emplace_back(t); });
    EXPECT_FALSE(log.LogFileOn());
    log.Line("before");  // off: nothing, and no file
    EXPECT_FALSE(fs::exists("drv.txt"));

    log.SetLogFileOn(true);
    EXPECT_TRUE(log.LogFileOn());
    EXPECT_TRUE(log.FileOpen());
    log.Line("one");
    log.SetLogFileOn(true);  // already on: no second "open"
    log.SetLogFileOn(false);
    EXPECT_FALSE(log.LogFileOn());
    EXPECT_FALSE(log.FileOpen());
    log.Line("missing");
    log.SetLogFileOn(false);  // already off: no second "closed"
    log.SetLogFileOn(true);
    log.Line("two");
    log.CloseFile();
    log.Line("after close");

    EXPECT_THAT(LogTexts("drv.txt"), ElementsAre("LOG-FILE open", "one", "LOG-FILE closed",
                                                 "LOG-FILE open", "two", "LOG-FILE closed"));
    EXPECT_EQ(echoed, LogTexts("drv.txt"));
}

TEST(DriverLog, UnopenableFileStillReportsOnAndWritesNothing) {
    ScratchDir dir;
    fs::create_directory("busy.txt");
    std::vector<std::string> echoed;
    DriverLog log("busy.txt", [&](std::string_view t) { echoed.emplace_back(t); });
    log.SetLogFileOn(true);
    EXPECT_TRUE(log.LogFileOn());
    EXPECT_TRUE(log.Enabled());
    EXPECT_FALSE(log.FileOpen());
    log.Line("nowhere");
    log.SetLogFileOn(false);
    EXPECT_TRUE(fs::is_directory("busy.txt"));
    // The console still sees what the file would have held.
    EXPECT_THAT(echoed, ElementsAre("LOG-FILE open", "nowhere", "LOG-FILE closed"));

    // Once the obstacle is gone, the next switch-on opens the file.
    fs::remove("busy.txt");
    log.SetLogFileOn(true);
    EXPECT_TRUE(log.FileOpen());
}

TEST(DriverLog, ObjectsLoggingIntoOneNameShareOneOpenFile) {
    ScratchDir dir;
    auto a = tivlink::AcquireLogFile("shared.txt");
    auto b = tivlink::AcquireLogFile(dir.Path() / "sub" / ".." / "shared.txt");
    EXPECT_EQ(a.get(), b.get());
    EXPECT_NE(a.get(), tivlink::AcquireLogFile("other.txt").get());
    a.reset();
    b.reset();
    // The last user closed it; the next one opens it anew.
    auto c = tivlink::AcquireLogFile("shared.txt");
    ASSERT_TRUE(c->Opened());

    DriverLog one("shared.txt");
    DriverLog two("shared.txt");
    one.SetLogFileOn(true);
    two.SetLogFileOn(true);
    one.Line("from one");
    one.SetLogFileOn(false);  // the other keeps writing
    two.Line("from two");
    two.SetLogFileOn(false);
    EXPECT_THAT(LogTexts("shared.txt"),
                ElementsAre("LOG-FILE open", "LOG-FILE open", "from one", "LOG-FILE closed",
                            "from two", "LOG-FILE closed"));
}

TEST(DriverLog, LinesFromThreeThreadsAndTwoObjectsNeverTear) {
    ScratchDir dir;
    DriverLog first("race.txt");
    DriverLog second("race.txt");
    first.SetLogFileOn(true);
    second.SetLogFileOn(true);
    constexpr int kThreads = 3;
    constexpr int kLines = 1500;
    const std::string payload(300, 'x');
    std::atomic<bool> go{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            DriverLog& log = t == 1 ? second : first;
            for (int i = 0; i < kLines; ++i)
                log.Line("T" + std::to_string(t) + ":" + std::to_string(i) + ":" + payload);
        });
    }
    go = true;
    for (auto& w : writers) w.join();
    first.SetLogFileOn(false);
    second.SetLogFileOn(false);

    const auto lines = ReadLog("race.txt");  // fails on any torn line
    std::vector<int> next(kThreads, 0);
    int others = 0;
    for (const auto& l : lines) {
        if (l.text.rfind("LOG-FILE", 0) == 0) {
            ++others;
            continue;
        }
        const std::regex pattern("^T([0-9]):([0-9]+):(x*)$");
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l.text, m, pattern)) << l.text.substr(0, 80);
        const int t = std::stoi(m[1]);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(std::stoi(m[2]), next[t]) << "lines of one thread out of order";
        next[t] = std::stoi(m[2]) + 1;
        EXPECT_EQ(m[3].length(), payload.size());
    }
    EXPECT_EQ(others, 4);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines);
}

}  // namespace
