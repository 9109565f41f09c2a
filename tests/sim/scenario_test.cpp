// Scenario files: what they set up, and how bad ones are refused.

#include "kvx/sim/scenario.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using kvx::sim::EncodeValue;
using kvx::sim::ParseScenario;
using kvx::sim::SimError;
using ::testing::HasSubstr;

std::string errorOf(const std::string& text, const std::string& file = "/cfgs/s.json") {
    try {
        ParseScenario(text, file);
    } catch (const SimError& e) {
        return e.what();
    }
    return "no error";
}

TEST(ScenarioValues, EncodeEveryType) {
    EXPECT_EQ(EncodeValue("char", 200, "x"), Bytes{200});
    EXPECT_EQ(EncodeValue("int", -2, "x"), (Bytes{0xFF, 0xFE}));
    EXPECT_EQ(EncodeValue("int", 1000, "x"), (Bytes{0x03, 0xE8}));
    EXPECT_EQ(EncodeValue("uint", 65535, "x"), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(EncodeValue("long", 66051, "x"), (Bytes{0x00, 0x01, 0x02, 0x03}));
    EXPECT_EQ(EncodeValue("long", -1, "x"), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(EncodeValue("ulong", 4294967295.0, "x"), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    // float: least significant byte first; float2: most significant first.
    EXPECT_EQ(EncodeValue("float", 1.0, "x"), (Bytes{0x00, 0x00, 0x80, 0x3F}));
    EXPECT_EQ(EncodeValue("float2", 1.0, "x"), (Bytes{0x3F, 0x80, 0x00, 0x00}));
    EXPECT_EQ(EncodeValue("float2", -2.5, "x"), (Bytes{0xC0, 0x20, 0x00, 0x00}));
}

TEST(ScenarioValues, S5TimeChoosesTheFinestBase) {
    EXPECT_EQ(EncodeValue("s5time", 123, "x"), (Bytes{0x21, 0x23}));
    EXPECT_EQ(EncodeValue("s5time", 1.23, "x"), (Bytes{0x01, 0x23}));
    EXPECT_EQ(EncodeValue("s5time", 0, "x"), (Bytes{0x00, 0x00}));
    EXPECT_EQ(EncodeValue("s5time", 9.996, "x"), (Bytes{0x11, 0x00}));  // rounds into base 1
    EXPECT_EQ(EncodeValue("s5time", 45.6, "x"), (Bytes{0x14, 0x56}));
    EXPECT_EQ(EncodeValue("s5time", 9990, "x"), (Bytes{0x39, 0x99}));
    EXPECT_THROW(EncodeValue("s5time", 9995, "x"), SimError);
    EXPECT_THROW(EncodeValue("s5time", -1, "x"), SimError);
}

TEST(ScenarioValues, OutOfRangeAndUnknownTypes) {
    EXPECT_THROW(EncodeValue("char", 256, "x"), SimError);
    EXPECT_THROW(EncodeValue("int", 32768, "x"), SimError);
    EXPECT_THROW(EncodeValue("uint", -1, "x"), SimError);
    EXPECT_THROW(EncodeValue("int", 1.5, "x"), SimError);
    try {
        EncodeValue("Float", 1, "members.3.memory[0]");
        FAIL() << "no error";
    } catch (const SimError& e) {
        EXPECT_THAT(e.what(), HasSubstr("members.3.memory[0]"));
        EXPECT_THAT(e.what(), HasSubstr("unknown value type \"Float\""));
    }
}

TEST(ScenarioParse, FullScenario) {
    const auto s = ParseScenario(R"({
        "wireTiming": false, "seed": 99,
        "members": {
          "12": {"cfg": "dev/fd7.cfg", "turnaroundMs": 2.5, "writeLock": true,
                 "memory": [{"offset": 4, "text": "Grüße"},
                            {"offset": 20, "hex": "0a 1B"},
                            {"offset": 30, "type": "int", "value": -2}],
                 "faults": {"silence": 0.25, "short": {"rate": 1, "bytes": 3},
                            "long": 0.5, "twoPreamble": 0.1, "wrongEnd": 0.2,
                            "garbled": {"bytes": 4}, "wrongIdentity": 1,
                            "delay": {"rate": 0.3, "ms": 40}}},
          "3": {}
        }})",
                                 "/scen/demo.json");
    EXPECT_EQ(s.wireTiming, false);
    EXPECT_EQ(s.seed, 99u);
    ASSERT_EQ(s.members.size(), 2u);
    EXPECT_EQ(s.members[0].address, 3);  // in address order
    EXPECT_FALSE(s.members[0].cfg);
    EXPECT_FALSE(s.members[0].faults);
    const auto& m = s.members[1];
    EXPECT_EQ(m.address, 12);
    EXPECT_EQ(*m.cfg, std::filesystem::path("/scen/dev/fd7.cfg"));
    EXPECT_EQ(*m.turnaround, std::chrono::microseconds(2500));
    EXPECT_EQ(m.writeLock, true);
    EXPECT_FALSE(s.members[0].writeLock);
    ASSERT_EQ(m.memory.size(), 3u);
    // Texts go to the members in the OEM code page (850): u-umlaut 0x81, sharp s 0xE1.
    EXPECT_EQ(m.memory[0].bytes, (Bytes{'G', 'r', 0x81, 0xE1, 'e'}));
    EXPECT_EQ(m.memory[1].offset, 20u);
    EXPECT_EQ(m.memory[1].bytes, (Bytes{0x0A, 0x1B}));
    EXPECT_EQ(m.memory[2].bytes, (Bytes{0xFF, 0xFE}));
    ASSERT_TRUE(m.faults);
    EXPECT_DOUBLE_EQ(m.faults->silence, 0.25);
    EXPECT_DOUBLE_EQ(m.faults->shortAnswer.rate, 1.0);
    EXPECT_EQ(m.faults->shortAnswer.bytes, 3);
    EXPECT_DOUBLE_EQ(m.faults->longAnswer.rate, 0.5);
    EXPECT_EQ(m.faults->longAnswer.bytes, 1);
    EXPECT_DOUBLE_EQ(m.faults->twoPreamble, 0.1);
    EXPECT_DOUBLE_EQ(m.faults->wrongEnd, 0.2);
    EXPECT_DOUBLE_EQ(m.faults->garbled.rate, 0.0);
    EXPECT_EQ(m.faults->garbled.bytes, 4);
    EXPECT_DOUBLE_EQ(m.faults->wrongIdentity, 1.0);
    EXPECT_DOUBLE_EQ(m.faults->delayRate, 0.3);
    EXPECT_EQ(m.faults->delay, std::chrono::milliseconds(40));
}

TEST(ScenarioParse, BadInputNamesFileAndItem) {
    EXPECT_THAT(errorOf("{\"members\": {\"3\": {}"), HasSubstr("/cfgs/s.json: not valid JSON"));
    EXPECT_THAT(errorOf(R"({"seed": 6e666})"), HasSubstr("/cfgs/s.json: not valid JSON"));
    EXPECT_THAT(errorOf("[]"), HasSubstr("top level must be an object"));
    EXPECT_THAT(errorOf(R"({"members": {"40": {}}})"),
                HasSubstr("/cfgs/s.json: members.40: bus address 40 is outside 0..31"));
    EXPECT_THAT(errorOf(R"({"members": {"-1": {}}})"), HasSubstr("outside 0..31"));
    EXPECT_THAT(errorOf(R"({"members": {"3x": {}}})"), HasSubstr("must be a bus address"));
    EXPECT_THAT(errorOf(R"({"members": {"3": {}, "03": {}}})"), HasSubstr("given twice"));
    EXPECT_THAT(errorOf(R"({"members": {"3": {"fault": {}}}})"),
                HasSubstr("members.3: unknown key \"fault\""));
    EXPECT_THAT(errorOf(R"({"members": {"3": {"faults": {"silence": 1.5}}}})"),
                HasSubstr("members.3.faults.silence: a rate from 0 to 1"));
    EXPECT_THAT(errorOf(R"({"members": {"3": {"faults": {"short": {"bytes": -1}}}}})"),
                HasSubstr("members.3.faults.short.bytes"));
    EXPECT_THAT(errorOf(R"({"members": {"3": {"memory": [{"offset": 512, "hex": "00"}]}}})"),
                HasSubstr("members.3.memory[0].offset"));
    EXPECT_THAT(errorOf(R"({"members": {"3": {"memory": [{"offset": 510, "text": "abc"}]}}})"),
                HasSubstr("reach past the 512 bytes"));
    EXPECT_THAT(errorOf(R"({"members": {"3": {"memory": [{"offset": 1, "hex": "0"}]}}})"),
                HasSubstr("members.3.memory[0].hex"));
    EXPECT_THAT(
        errorOf(R"({"members": {"3": {"memory": [{"offset": 1, "hex": "00", "text": "a"}]}}})"),
        HasSubstr("exactly one of"));
    EXPECT_THAT(errorOf(R"({"members": {"3": {"memory": [{"offset": 1, "type": "int"}]}}})"),
                HasSubstr("\"value\" is missing"));
    EXPECT_THAT(
        errorOf(R"({"members": {"3": {"memory": [{"offset": 1, "type": "int", "value": 1e6}]}}})"),
        HasSubstr("/cfgs/s.json: members.3.memory[0]: int value"));
    EXPECT_THAT(errorOf(R"({"members": {"3": {"writeLock": "yes"}}})"),
                HasSubstr("members.3.writeLock: true or false"));
    EXPECT_THAT(errorOf(R"({"seed": -4})"), HasSubstr("seed"));
    EXPECT_THAT(errorOf(R"({"wireTiming": 1})"), HasSubstr("wireTiming"));
}

TEST(ScenarioParse, UnreadableFile) {
    try {
        kvx::sim::LoadScenario("/nonexistent/dir/x.json");
        FAIL() << "no error";
    } catch (const SimError& e) {
        EXPECT_THAT(e.what(), HasSubstr("/nonexistent/dir/x.json: cannot be read"));
    }
}

TEST(ScenarioApply, RawMembersGetMemoryTimingAndFaults) {
    kvx::sim::Simulator sim;
    sim.addMember(3, Bytes(8, 0x11));
    const auto s = ParseScenario(R"({"wireTiming": false, "members": {
        "3": {"memory": [{"offset": 2, "hex": "AA BB"}], "faults": {"wrongEnd": 1}},
        "9": {"turnaroundMs": 1, "memory": [{"offset": 0, "text": "ok"}]}}})",
                                 "s.json");
    EXPECT_TRUE(kvx::sim::ApplyScenario(sim, s).empty());
    EXPECT_FALSE(sim.wireTiming());
    // The existing member keeps what the scenario does not change.
    EXPECT_EQ(sim.readMemory(3, 0, 5), (Bytes{0x11, 0x11, 0xAA, 0xBB, 0x11}));
    EXPECT_DOUBLE_EQ(sim.faults(3).wrongEnd, 1.0);
    EXPECT_EQ(sim.readMemory(9, 0, 3), (Bytes{'o', 'k', 0}));
    EXPECT_EQ(sim.memberAddresses(), (std::vector<int>{3, 9}));
}

}  // namespace
