// tivframe end to end on the simulated adapter: the exit codes of its steps, the demo that
// brings the DTM up and restores a saved parameter, and project files it must refuse.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "ProjectFile.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

using testing::HasSubstr;

proctest::Result Frame(std::vector<std::string> args) {
    args.insert(args.begin(), {TIVFRAME_PATH, "--clock-scale", "10"});
    proctest::Options options;
    options.timeout = std::chrono::seconds(60);
    return proctest::RunTool(args, options);
}

std::vector<nlohmann::json> JsonLines(const std::string& out) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

TEST(Tivframe, ExitCodesSayWhetherEveryStepRan) {
    testsupport::TempDir dir("tivframe");
    std::ofstream(dir / "bad.xml")
        << R"(<TivframeProject version="1"><Dtm tag="T">)"
        << R"(<Property name="PersistentCommTimeoutValue" type="string">abc</Property>)"
        << "</Dtm></TivframeProject>";
    std::ofstream(dir / "junk.xml") << "<TivframeProject><Dtm>";
    std::ofstream(dir / "nobus.json") << R"({"bus": {"connected": false}})";
    struct Row {
        std::vector<std::string> args;
        int code;
        const char* says;  // in stdout or stderr
    } rows[] = {
        {{"--help"}, 0, "wait-ready"},
        {{}, 2, "steps"},
        {{"create", "fly"}, 2, "unknown step \"fly\""},
        {{"create", "language", "german"}, 2, "not a language id"},
        {{"create", "set", "PersistentDelay"}, 2, "needs 2"},
        {{"status"}, 1, "run \"create\" first"},
        {{"create", "text", "msg_Connected", "status", "release"}, 0, "Connected"},
        {{"create", "config", "Operator"}, 1, "refused"},
        {{"create", "open", (dir / "bad.xml").string()},
         1,
         "PersistentCommTimeoutValue: \"abc\" is not a number"},
        {{"create", "open", (dir / "junk.xml").string()}, 1, "junk.xml"},
        {{"create", "get", "NoSuchMember"}, 1, "NoSuchMember"},
        {{"create", "documentation"}, 2, "needs 1"},
        {{"create", "add-child", "A", "add-child", "B"}, 1, "refused \"B\""},
        {{"--gui-seconds", "1", "gui", "OfflineParameter", "About"}, 0, "opened About"},
        {{"--gui-seconds", "1", "gui", "Fly"}, 1, "offers no function \"Fly\""},
        // Firmware runs but the bus never comes: the wait ends with the driver's load result.
        {{"--scenario", (dir / "nobus.json").string(), "create", "new", "wait-ready", "2"},
         1,
         "LoadResult 0"},
    };
    for (const auto& row : rows) {
        const auto run = Frame(row.args);
        EXPECT_EQ(run.Code(), row.code) << testing::PrintToString(row.args) << run.err;
        EXPECT_THAT(run.out + run.err, HasSubstr(row.says)) << testing::PrintToString(row.args);
    }
}

TEST(Tivframe, DemoBringsTheDtmUpAndRestoresTheSavedParameter) {
    const auto run = Frame({"--json", "demo"});
    ASSERT_EQ(run.Code(), 0) << run.out << run.err;
    const auto lines = JsonLines(run.out);
    auto find = [&](const std::string& step, const std::string& key) {
        std::vector<nlohmann::json> found;
        for (const auto& l : lines)
            if (l["step"] == step && l.contains(key)) found.push_back(l[key]);
        return found;
    };
    const auto ready = find("wait-ready", "ready");
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0], true);
    const auto status = find("status", "CommStatus");
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(status[0], 0);
    const auto connected = find("language", "msg_Connected");
    ASSERT_EQ(connected.size(), 4u);
    EXPECT_NE(connected[1], connected[2]) << "German and English differ";
    const auto value = find("get", "value");
    ASSERT_EQ(value.size(), 1u);
    EXPECT_EQ(value[0], 2500);
    EXPECT_EQ(find("event", "event").back(), "OnPreparedToRelease");
    // The device DTM's part: a read, a write, a delayed read collected, a disconnect.
    const auto data = find("read", "data");
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0], "0A0B0C0D");
    EXPECT_EQ(find("write", "status"), std::vector<nlohmann::json>{"65"});
    EXPECT_EQ(find("delayed", "arrived"), std::vector<nlohmann::json>{true});
    EXPECT_EQ(find("disconnect", "document").size(), 1u);
    const auto values = find("record", "values");
    ASSERT_EQ(values.size(), 1u);
    EXPECT_GT(values[0].get<int>(), 0);
}

TEST(Tivframe, PlaysADeviceDtm) {
    testsupport::TempDir dir("tivframe-device");
    std::ofstream(dir / "bad.xml") << "<FDT><DataExchangeRequest/></FDT>";
    std::ofstream(dir / "write.xml")
        << R"(<FDT xmlns="x-schema:FDTTivCommunicationSchema.xml"><DataExchangeRequest Control="193">)"
        << R"(<CommunicationHeader MessageType="5" ObjectType="0" NoOfBytes="5" SubNo="1" ObjectNo="100" CommunicationData="09"/>)"
        << "</DataExchangeRequest></FDT>";
    const std::vector<std::string> up = {"new", "wait-ready", "connect"};
    auto with = [&](std::vector<std::string> steps) {
        steps.insert(steps.begin(), up.begin(), up.end());
        return steps;
    };
    struct Row {
        std::vector<std::string> args;
        int code;
        const char* says;
    } rows[] = {
        {with({"read", "1217", "29", "disconnect"}), 0, "CommunicationData=\"0A0B0C0D\""},
        {with({"request", (dir / "write.xml").string()}), 0, "status=130"},
        {with({"request", (dir / "bad.xml").string()}), 1, "refused"},
        {with({"protocols"}), 0, "81684E65-6385-4690-ACCF-49995B3B4E8B"},
        {{"new", "read", "1217", "29"}, 1, "run \"connect\" first"},
        {{"new", "read", "x", "29"}, 2, "must be numbers"},
        {with({"record", "disconnect", "--pairs", "3:0,5:2", "--seconds", "1", "--file",
               (dir / "out" / "r.csv").string()}),
         0, "recordState=finished"},
        {with({"record", "--pairs", "31:0", "--seconds", "1", "--file", (dir / "x.csv").string()}),
         1, "ended \"recFail\""},
        {{"new", "record", "--pairs", "3:0"}, 2, "needs --pairs"},
    };
    for (const auto& row : rows) {
        const auto run = Frame(row.args);
        EXPECT_EQ(run.Code(), row.code) << testing::PrintToString(row.args) << run.err;
        EXPECT_THAT(run.out + run.err, HasSubstr(row.says)) << testing::PrintToString(row.args);
    }
    std::ifstream csv(dir / "out" / "r.csv", std::ios::binary);
    std::string header, value;
    std::getline(csv, header);
    EXPECT_EQ(header, "Date;Time;mSec;ValueNumber;DataType;Value;Timestamp;ShortStatus\r");
    EXPECT_TRUE(std::getline(csv, value)) << "no values recorded";
}

// What a frame asks of a new DTM: each document loads against the frame's schemas.
TEST(Tivframe, NewDtmGivesValidDocumentsAndItsChannel) {
    const auto run = Frame({"--json", "new", "functions", "documentation", "10", "channels",
                            "channel-parameters", "progid", "20"});
    ASSERT_EQ(run.Code(), 0) << run.out << run.err;
    std::map<std::string, nlohmann::json> last;
    for (const auto& line : JsonLines(run.out)) last[line["step"]] = line;
    for (const char* step : {"functions", "documentation", "channel-parameters"})
        EXPECT_EQ(last[step]["valid"], true) << step;
    const std::string documentation = last["documentation"]["document"];
    std::size_t rows = 0;
    for (auto p = documentation.find("<DocumentVariable "); p != std::string::npos;
         p = documentation.find("<DocumentVariable ", p + 1))
        ++rows;
    EXPECT_EQ(rows, 5u);
    EXPECT_EQ(last["channels"]["count"], 1);
    EXPECT_EQ(last["channel"]["path"], "Tivframe1/TIVChannel1");
    EXPECT_EQ(last["progid"]["progid"], "Tivmate.ctlDiagnosis");
}

TEST(ProjectFile, WritesWhatItReadsAndRefusesWhatItCannotUse) {
    testsupport::TempDir dir("tivframe-project");
    tivframe::Project project;
    project.tag = "Tag <1>";
    project.bag->Write("PresistentTrace", com::Variant("None & more"));
    project.bag->Write("PersistentDelay", com::Variant(true));
    project.bag->Write("PersistentAdapterAddress", com::Variant(std::int32_t{3}));
    tivframe::WriteProject(dir / "p.xml", project);
    const auto read = tivframe::ReadProject(dir / "p.xml");
    EXPECT_EQ(read.tag, project.tag);
    ASSERT_EQ(read.bag->entries().size(), 3u);
    EXPECT_EQ(read.bag->entries()[0].second.bstr(), "None & more");
    EXPECT_EQ(read.bag->entries()[1].second.boolVal(), com::VARIANT_TRUE);
    EXPECT_EQ(read.bag->entries()[2].second.i4(), 3);

    // A save that cannot be finished (here: the process may write no more than 64 bytes to a
    // file) leaves the saved project as it was.
    {
        tivframe::Project large;
        large.bag->Write("PresistentTrace", com::Variant(std::string(200, 'x')));
        const auto ignored = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
        rlimit small = limit;
        small.rlim_cur = 64;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        EXPECT_THROW(tivframe::WriteProject(dir / "p.xml", large), std::runtime_error);
        setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, ignored);
        EXPECT_EQ(tivframe::ReadProject(dir / "p.xml").tag, project.tag);
        EXPECT_FALSE(std::filesystem::exists(dir / "p.xml.saving"));
    }

    struct Row {
        std::string text;
        const char* error;
    } rows[] = {
        {R"(<TivframeProject><Dtm><Property name="A" type="bool">yes</Property></Dtm></TivframeProject>)",
         "property A: \"yes\" is not true or false"},
        {R"(<TivframeProject><Dtm><Property name="B" type="int">1x</Property></Dtm></TivframeProject>)",
         "property B: \"1x\" is not a number"},
        {R"(<TivframeProject><Dtm><Property type="int">1</Property></Dtm></TivframeProject>)",
         "without a usable name"},
        {R"(<Other/>)", "not a tivframe project"},
        {std::string(tivframe::kMaxProjectSize + 1, ' '), "larger than"},
    };
    for (const auto& row : rows) {
        std::ofstream(dir / "r.xml", std::ios::trunc) << row.text;
        try {
            tivframe::ReadProject(dir / "r.xml");
            ADD_FAILURE() << "accepted " << row.text.substr(0, 80);
        } catch (const std::runtime_error& e) {
            EXPECT_THAT(e.what(), HasSubstr(row.error));
        }
    }
}

}  // namespace
