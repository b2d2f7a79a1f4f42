// The scenario reader: defaults, every field, the shipped files, and bad input of every kind
// refused with a message that starts with the offending field.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "simulator/Scenario.h"

namespace {

namespace fs = std::filesystem;

const fs::path kScenarioDir = TIV_SCENARIO_DIR;

std::string errorOf(const std::string& json) {
    try {
        sim::parseScenario(json);
    } catch (const sim::ScenarioError& e) {
        return e.what();
    }
    return "(accepted)";
}

// Every field in one line per item, so two scenarios compare with a readable difference.
std::string describe(const sim::Scenario& s) {
    std::ostringstream o;
    o.precision(17);
    for (const auto& a : s.adapters)
        o << "adapter " << a.device << ' ' << a.port << ' ' << a.firmwareRunning << ' ' << a.token
          << ' ' << a.nextToken << '\n';
    o << "bus " << s.bus.connected << ' ' << s.bus.loggedOn << ' ' << s.bus.answerDelayMs << ' '
      << s.bus.crc << '\n';
    for (const auto& d : s.devices) {
        o << "device " << d.name << '\n';
        for (const auto& x : d.objects) {
            o << " object " << x.obj << '/' << x.sub << ' ' << x.writable << ' '
              << x.error.value_or(-1) << ' ' << x.delayed.value_or(-1);
            for (const auto b : x.value) o << ' ' << int{b};
            o << '\n';
        }
        for (const auto& c : d.cyclic)
            o << " cyclic " << c.type << ' ' << c.obj << ' ' << c.periodMs << ' ' << c.value << ' '
              << c.status << ' ' << c.step << '\n';
    }
    return o.str();
}

struct TempFile {
    explicit TempFile(const std::string& content) {
        char name[] = "/tmp/tiv-scenario-XXXXXX";
        const int fd = ::mkstemp(name);
        path = name;
        if (fd >= 0) ::close(fd);
        std::ofstream(path) << content;
    }
    ~TempFile() { fs::remove(path); }
    fs::path path;
};

}  // namespace

TEST(ScenarioParse, MissingFieldsTakeTheirDefaults) {
    const auto s = sim::parseScenario("{}");
    ASSERT_EQ(s.adapters.size(), 1u);
    EXPECT_EQ(s.adapters[0].device, 0);
    EXPECT_EQ(s.adapters[0].port, 255);
    EXPECT_FALSE(s.adapters[0].firmwareRunning);
    EXPECT_EQ(s.adapters[0].token, 1);
    EXPECT_EQ(s.adapters[0].nextToken, 2);
    EXPECT_TRUE(s.bus.connected);
    EXPECT_TRUE(s.bus.loggedOn);
    EXPECT_EQ(s.bus.answerDelayMs, 2);
    EXPECT_TRUE(s.bus.crc);
    EXPECT_TRUE(s.devices.empty());

    EXPECT_TRUE(sim::parseScenario(R"({"adapters": []})").adapters.empty());

    // An adapter's device defaults to its index, whatever its neighbours say.
    const auto a = sim::parseScenario(R"({"adapters": [{}, {"port": 1}, {"device": 9}, {}]})");
    ASSERT_EQ(a.adapters.size(), 4u);
    EXPECT_EQ(a.adapters[0].device, 0);
    EXPECT_EQ(a.adapters[1].device, 1);
    EXPECT_EQ(a.adapters[2].device, 9);
    EXPECT_EQ(a.adapters[3].device, 3);

    const auto d = sim::parseScenario(R"({"devices": [{"objects": [{}], "cyclic": [{}]}]})");
    ASSERT_EQ(d.devices.size(), 1u);
    EXPECT_EQ(d.devices[0].name, "");
    EXPECT_EQ(d.devices[0].objects[0].obj, 0);
    EXPECT_TRUE(d.devices[0].objects[0].value.empty());
    EXPECT_FALSE(d.devices[0].objects[0].error);
    EXPECT_FALSE(d.devices[0].objects[0].delayed);
    EXPECT_EQ(d.devices[0].cyclic[0].obj, 1);
    EXPECT_EQ(d.devices[0].cyclic[0].periodMs, 100);
}

TEST(ScenarioParse, EveryFieldAtItsLimits) {
    const std::string big(256, 'f');  // 128 bytes, the most a value may hold
    const auto s = sim::parseScenario(R"({
        "adapters": [ { "device": 15, "port": 0, "firmware": "running", "token": 255,
                        "nextToken": 0 },
                      { "device": 0, "firmware": "none" } ],
        "bus": { "connected": false, "loggedOn": false, "answerDelayMs": 60000,
                 "checkMethod": "sum" },
        "devices": [ { "name": "dev",
            "objects": [ { "obj": 65535, "sub": 255, "value": "a0Ff", "writable": true },
                         { "obj": 0, "sub": 0, "value": ")" +
                                      big + R"(" },
                         { "obj": 1, "sub": 0, "error": 0 },
                         { "obj": 1, "sub": 1, "delayed": 255, "value": "",
                           "delivery": "response" } ],
            "cyclic": [ { "type": 2, "obj": 31, "periodMs": 3600000, "value": -1e300,
                          "status": 255, "step": 3 },
                        { "type": 1, "obj": 1, "periodMs": 1, "value": 7 } ] } ] })");
    ASSERT_EQ(s.adapters.size(), 2u);
    EXPECT_EQ(s.adapters[0].device, 15);
    EXPECT_EQ(s.adapters[0].port, 0);
    EXPECT_TRUE(s.adapters[0].firmwareRunning);
    EXPECT_EQ(s.adapters[0].token, 255);
    EXPECT_EQ(s.adapters[0].nextToken, 0);
    EXPECT_FALSE(s.adapters[1].firmwareRunning);
    EXPECT_FALSE(s.bus.connected);
    EXPECT_FALSE(s.bus.loggedOn);
    EXPECT_EQ(s.bus.answerDelayMs, 60000);
    EXPECT_FALSE(s.bus.crc);

    const auto& objects = s.devices.at(0).objects;
    ASSERT_EQ(objects.size(), 4u);
    EXPECT_EQ(objects[0].obj, 65535);
    EXPECT_EQ(objects[0].sub, 255);
    EXPECT_EQ(objects[0].value, (std::vector<std::uint8_t>{0xA0, 0xFF}));
    EXPECT_TRUE(objects[0].writable);
    EXPECT_EQ(objects[1].value, std::vector<std::uint8_t>(128, 0xFF));
    EXPECT_EQ(objects[2].error, 0);
    EXPECT_EQ(objects[3].delayed, 255);
    EXPECT_TRUE(objects[3].deliverAsResponse);
    EXPECT_TRUE(objects[3].value.empty());

    const auto& cyclic = s.devices.at(0).cyclic;
    ASSERT_EQ(cyclic.size(), 2u);
    EXPECT_EQ(cyclic[0].type, 2);
    EXPECT_EQ(cyclic[0].obj, 31);
    EXPECT_EQ(cyclic[0].periodMs, 3600000);
    EXPECT_EQ(cyclic[0].value, -1e300);  // a 64-bit float may use its whole range
    EXPECT_EQ(cyclic[0].status, 255);
    EXPECT_EQ(cyclic[0].step, 3.0);
    EXPECT_EQ(cyclic[1].value, 7.0);
}

TEST(ScenarioParse, ShippedFiles) {
    EXPECT_EQ(describe(sim::loadScenario(kScenarioDir / "demo.json")),
              describe(sim::demoScenario()));

    const auto two = sim::loadScenario(kScenarioDir / "two-adapters.json");
    ASSERT_EQ(two.adapters.size(), 2u);
    EXPECT_EQ(two.adapters[0].device, 3);
    EXPECT_EQ(two.adapters[0].port, 0x5F);
    EXPECT_EQ(two.adapters[1].device, 7);
    EXPECT_EQ(two.adapters[1].port, 0xEF);
    for (const auto& a : two.adapters) EXPECT_TRUE(a.firmwareRunning);

    // The measured values the test page's cyclic read asks for: objects 20..24.
    const auto service = sim::loadScenario(kScenarioDir / "service.json");
    ASSERT_EQ(service.devices.size(), 1u);
    std::vector<int> objects;
    for (const auto& c : service.devices[0].cyclic) objects.push_back(c.obj);
    EXPECT_EQ(objects, (std::vector<int>{20, 21, 22, 23, 24}));
}

TEST(ScenarioParse, DemoScenarioHasEveryKindOfObject) {
    const auto s = sim::demoScenario();
    ASSERT_EQ(s.adapters.size(), 1u);
    EXPECT_EQ(s.adapters[0].device, 0);
    EXPECT_EQ(s.adapters[0].port, 255);
    EXPECT_FALSE(s.adapters[0].firmwareRunning);  // the driver must download it
    ASSERT_EQ(s.devices.size(), 1u);
    const auto& d = s.devices[0];
    EXPECT_EQ(d.name, "demo");
    bool writable = false, readOnly = false, failing = false, delayed = false;
    for (const auto& o : d.objects) {
        EXPECT_FALSE(o.error && o.delayed);
        EXPECT_LE(o.value.size(), 128u);
        writable |= o.writable;
        readOnly |= !o.writable && !o.error && !o.delayed && !o.value.empty();
        failing |= o.error.has_value();
        delayed |= o.delayed.has_value();
    }
    EXPECT_TRUE(writable && readOnly && failing && delayed);
    ASSERT_EQ(d.cyclic.size(), 3u);
    for (int type = 0; type < 3; ++type) EXPECT_EQ(d.cyclic[type].type, type);

    // What the walkthrough reads: the text object says "TIV ".
    EXPECT_EQ(d.objects[1].obj, 1218);
    EXPECT_EQ(std::string(d.objects[1].value.begin(), d.objects[1].value.end()), "TIV ");
}

TEST(ScenarioErrors, MessageStartsWithTheOffendingField) {
    const std::string longHex(258, '0');
    const std::string seventeen = [] {
        std::string s = R"({"adapters": [)";
        for (int i = 0; i < 17; ++i) s += i ? ",{}" : "{}";
        return s + "]}";
    }();
    const struct {
        std::string json;
        std::string message;
    } cases[] = {
        {"[]", "scenario: must be a JSON object"},
        {R"({"colour": 1})", "colour: unknown field"},
        {R"({"adapters": {}})", "adapters: must be an array"},
        {R"({"adapters": [5]})", "adapters[0]: must be an object"},
        {R"({"adapters": [{}, {"colour": "red"}]})", "adapters[1].colour: unknown field"},
        {R"({"adapters": [{"device": 16}]})", "adapters[0].device: must be 0..15"},
        {R"({"adapters": [{"device": -1}]})", "adapters[0].device: must be 0..15"},
        {R"({"adapters": [{"device": 1.5}]})", "adapters[0].device: must be an integer 0..15"},
        {R"({"adapters": [{"device": "1"}]})", "adapters[0].device: must be an integer"},
        {R"({"adapters": [{"device": 18446744073709551615}]})",
         "adapters[0].device: must be 0..15"},
        {R"({"adapters": [{"device": 1e30}]})", "adapters[0].device: must be an integer"},
        {R"({"adapters": [{"port": 256}]})", "adapters[0].port: must be 0..255"},
        {R"({"adapters": [{"firmware": "loaded"}]})",
         R"(adapters[0].firmware: must be "running" or "none")"},
        {R"({"adapters": [{"firmware": true}]})", "adapters[0].firmware: must be a string"},
        {R"({"adapters": [{"token": 256}]})", "adapters[0].token: must be 0..255"},
        {R"({"adapters": [{"nextToken": -1}]})", "adapters[0].nextToken: must be 0..255"},
        {R"({"adapters": [{"device": 2}, {"device": 2}]})",
         "adapters[1].device: device 2 is listed twice"},
        {R"({"adapters": [{"device": 1}, {}]})", "adapters[1].device: device 1 is listed twice"},
        {seventeen, "adapters[16].device: must be 0..15"},
        {R"({"bus": []})", "bus: must be an object"},
        {R"({"bus": {"connected": "yes"}})", "bus.connected: must be true or false"},
        {R"({"bus": {"loggedOn": 1}})", "bus.loggedOn: must be true or false"},
        {R"({"bus": {"answerDelayMs": 60001}})", "bus.answerDelayMs: must be 0..60000"},
        {R"({"bus": {"checkMethod": "CRC"}})", R"(bus.checkMethod: must be "crc" or "sum")"},
        {R"({"bus": {"speed": 9600}})", "bus.speed: unknown field"},
        {R"({"devices": {}})", "devices: must be an array"},
        {R"({"devices": [{"name": 5}]})", "devices[0].name: must be a string"},
        {R"({"devices": [{"id": 5}]})", "devices[0].id: unknown field"},
        {R"({"devices": [{"objects": {}}]})", "devices[0].objects: must be an array"},
        {R"({"devices": [{}, {"objects": [{}, {"obj": 1}, {"sub": 256}]}]})",
         "devices[1].objects[2].sub: must be 0..255"},
        {R"({"devices": [{"objects": [{"obj": 65536}]}]})",
         "devices[0].objects[0].obj: must be 0..65535"},
        {R"({"devices": [{"objects": [{"value": "ABC"}]}]})",
         "devices[0].objects[0].value: must have an even number of hex digits"},
        {R"({"devices": [{"objects": [{"value": "0G"}]}]})",
         "devices[0].objects[0].value: 'G' is not a hex digit"},
        {R"({"devices": [{"objects": [{"value": "0x12"}]}]})",
         "devices[0].objects[0].value: 'x' is not a hex digit"},
        {R"({"devices": [{"objects": [{"value": "12 34 "}]}]})",
         "devices[0].objects[0].value: ' ' is not a hex digit"},
        {R"({"devices": [{"objects": [{"value": ")" + longHex + R"("}]}]})",
         "devices[0].objects[0].value: must be at most 128 bytes"},
        {R"({"devices": [{"objects": [{"value": 12}]}]})",
         "devices[0].objects[0].value: must be a string"},
        {R"({"devices": [{"objects": [{"writable": "true"}]}]})",
         "devices[0].objects[0].writable: must be true or false"},
        {R"({"devices": [{"objects": [{"error": 256}]}]})",
         "devices[0].objects[0].error: must be 0..255"},
        {R"({"devices": [{"objects": [{"delayed": 0}]}]})",
         "devices[0].objects[0].delayed: must be 1..255"},
        {R"({"devices": [{"objects": [{"error": 132, "delayed": 5}]}]})",
         "devices[0].objects[0].delayed: cannot be combined with \"error\""},
        {R"({"devices": [{"objects": [{"delayed": 5, "delivery": "late"}]}]})",
         R"(devices[0].objects[0].delivery: must be "service" or "response")"},
        {R"({"devices": [{"objects": [{"delivery": "response"}]}]})",
         R"(devices[0].objects[0].delivery: needs "delayed")"},
        {R"({"devices": [{"objects": [{"obj": 7, "sub": 1}, {"obj": 7}, {"sub": 1, "obj": 7}]}]})",
         "devices[0].objects[2]: object 7/1 is listed twice"},
        {R"({"devices": [{"objects": [{"colour": 1}]}]})",
         "devices[0].objects[0].colour: unknown field"},
        {R"({"devices": [{"cyclic": [{"type": 3}]}]})", "devices[0].cyclic[0].type: must be 0..2"},
        {R"({"devices": [{"cyclic": [{"obj": 0}]}]})", "devices[0].cyclic[0].obj: must be 1..31"},
        {R"({"devices": [{"cyclic": [{"obj": 32}]}]})", "devices[0].cyclic[0].obj: must be 1..31"},
        {R"({"devices": [{"cyclic": [{"periodMs": 0}]}]})",
         "devices[0].cyclic[0].periodMs: must be 1..3600000"},
        {R"({"devices": [{"cyclic": [{"status": 256}]}]})",
         "devices[0].cyclic[0].status: must be 0..255"},
        {R"({"devices": [{"cyclic": [{"value": "1.5"}]}]})",
         "devices[0].cyclic[0].value: must be a number"},
        {R"({"devices": [{"cyclic": [{"step": null}]}]})",
         "devices[0].cyclic[0].step: must be a number"},
        {R"({"devices": [{"cyclic": [{"type": 1, "value": 1e39}]}]})",
         "devices[0].cyclic[0].value: does not fit a 32-bit float"},
        {R"({"devices": [{"cyclic": [{"value": 1e39}]}]})",
         "devices[0].cyclic[0].value: does not fit a 32-bit float"},
        {R"({"devices": [{"cyclic": [{"rate": 1}]}]})", "devices[0].cyclic[0].rate: unknown field"},
        {R"({"devices": [{"cyclic": [{"type": 1, "step": 1e39}]}]})",
         "devices[0].cyclic[0].step: overflows the value on its first step"},
        {R"({"devices": [{"cyclic": [{"type": 2, "value": 1e308, "step": 1e308}]}]})",
         "devices[0].cyclic[0].step: overflows the value on its first step"},
        {std::string("{}\0{\"adapters\": 5}", 17), "scenario: contains a NUL byte at offset 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json.substr(0, 120));
        const std::string error = errorOf(c.json);
        EXPECT_EQ(error.substr(0, c.message.size()), c.message) << error;
    }

    // Enormous keys are cut short in the message rather than echoed whole.
    const std::string key(10000, 'k');
    EXPECT_LT(errorOf(R"({")" + key + R"(": 1})").size(), 200u);
}

TEST(ScenarioErrors, BrokenJsonIsRefusedWithItsPosition) {
    const std::string error = errorOf("{\n  \"adapters\": [ { \"device\": 1, } ]\n}");
    EXPECT_EQ(error.rfind("JSON", 0), 0u) << error;
    EXPECT_NE(error.find("line 2"), std::string::npos) << error;
    EXPECT_NE(error.find("column"), std::string::npos) << error;

    for (const std::string& bad : std::vector<std::string>{
             "", "   ", "{", "{} []", "nul", "{\"bus\": {\"connected\": tru}}", "\"\xff\xfe\"",
             std::string("{\"a\0b\": 1}", 10), std::string(100000, '['),
             std::string(50000, '{') + std::string(50000, '}')}) {
        SCOPED_TRACE(bad.substr(0, 40));
        EXPECT_THROW(sim::parseScenario(bad), sim::ScenarioError);
    }

    // Numbers too large for a double are no scenario values either.
    const std::string huge = errorOf(R"({"devices": [{"cyclic": [{"type": 2, "value": 1e400}]}]})");
    EXPECT_TRUE(huge.rfind("JSON", 0) == 0 || huge.rfind("devices[0].cyclic[0].value", 0) == 0)
        << huge;
}

TEST(ScenarioLoad, FileProblemsNameTheFile) {
    const std::string missing = "/nonexistent-dir/scenario.json";
    try {
        sim::loadScenario(missing);
        ADD_FAILURE() << "a missing file loaded";
    } catch (const sim::ScenarioError& e) {
        EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
    }
    try {
        sim::loadScenario("/tmp");
        ADD_FAILURE() << "a directory loaded";
    } catch (const sim::ScenarioError& e) {
        EXPECT_NE(std::string(e.what()).find("/tmp"), std::string::npos) << e.what();
    }

    // A FIFO would block a plain open until somebody writes to it.
    TempFile fifoDir("");
    const auto fifo = fifoDir.path.string() + ".fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    try {
        sim::loadScenario(fifo);
        ADD_FAILURE() << "a FIFO loaded";
    } catch (const sim::ScenarioError& e) {
        EXPECT_EQ(std::string(e.what()), fifo + ": not a regular file, not a scenario file");
    }
    ::unlink(fifo.c_str());

    TempFile good(R"({"adapters": [{"device": 4}]})");
    EXPECT_EQ(sim::loadScenario(good.path).adapters.at(0).device, 4);

    TempFile bad(R"({"adapters": [{"device": 40}]})");
    EXPECT_THROW(
        {
            try {
                sim::loadScenario(bad.path);
            } catch (const sim::ScenarioError& e) {
                EXPECT_EQ(
                    std::string(e.what()).rfind(bad.path.string() + ": adapters[0].device", 0), 0u)
                    << e.what();
                throw;
            }
        },
        sim::ScenarioError);
}
