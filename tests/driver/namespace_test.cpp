// Namespace building through the plug-in object: branches, folders, tags, properties, value
// types, the member table, and what a bad device description does.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "driver_test_support.h"
#include "namespace_builder.h"
#include "plugin.h"

namespace kvx::driver {
namespace {

using kvx::testing::CallbackRecorder;
using kvx::testing::RecordingNotifier;
using kvx::testing::ScratchDir;
using kvx::testing::TagLine;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class NamespaceTest : public ::testing::Test {
  protected:
    void SetUp() override { kvx::testing::UseInstallDir(dir.path()); }

    // Writes the INI, initialises and builds; returns the build's result.
    std::int32_t build(const std::string& ini) {
        dir.write("fenlodrv.ini", ini);
        plugin.Initialize();
        return plugin.BuildNamespace(&CallbackRecorder::AddNode, &CallbackRecorder::AddTag);
    }
    MemberRecord& member(int address) { return plugin.state().members[address]; }
    std::string scaleTable() const { return ScratchDir::read(dir.path() / "FreeScale.dat"); }

    ScratchDir dir;
    RecordingNotifier notes;
    CallbackRecorder recorder;
    Plugin plugin;
};

TEST_F(NamespaceTest, OnlyConfiguredSectionsGetBranchesWithDeviceId) {
    dir.write("a.cfg", "fetch1\tdesadr=0\tbytes=8\t\n");
    EXPECT_EQ(build("[KXBUS]\nMAXADR=5\n[SLAVE03]\nCFG=a.cfg\n[SLAVE07]\nCFG=\n"
                    "[SLAVE20]\nCFG=a.cfg\nNAME=Boiler\n"),
              2);
    EXPECT_THAT(recorder.lines(), ElementsAre("node ADR03", "tag ADR03.DEVICE_ID 8 1", "node ADR20",
                                              "tag ADR20.DEVICE_ID 8 1"));
    // Branches hang at the root; DEVICE_ID under its branch; the sixth argument is 0.
    EXPECT_EQ(recorder.calls[0].parent, 0u);
    EXPECT_EQ(recorder.calls[1].parent, 1u);
    EXPECT_EQ(recorder.calls[1].reserved, 0u);
    EXPECT_EQ(member(3).name, "NoID");
    EXPECT_EQ(member(20).name, "Boiler");
    EXPECT_EQ(member(7).fetchLength[0], 0);
    for (const MemberRecord& m : plugin.state().members) EXPECT_EQ(m.errorCounter.load(), 10);
    EXPECT_TRUE(notes.messages().empty());
}

TEST_F(NamespaceTest, TagsWithoutNodeLineSitUnderTheBranchAndKeyStartsWithIt) {
    dir.write("a.cfg",
              TagLine("name=Level\taccess=rw\tdtype=int\treadoffset=0\tlength=2\tfscale=1"));
    build("[SLAVE03]\nCFG=a.cfg\n");
    ASSERT_NE(recorder.tag("ADR03.Level"), nullptr);
    EXPECT_EQ(recorder.tag("ADR03.Level")->parent, 1u);
    EXPECT_THAT(scaleTable(), HasSubstr("\n3\tADR03.Level\t0.0\t100.0\t%\t1.0\t1\t"));
    ASSERT_NE(plugin.state().items.get()->nodes[1].tag.scale, nullptr);
    EXPECT_EQ(plugin.state().items.get()->nodes[1].tag.scale->key, "ADR03.Level");
}

// The table is read once and the rows of new scaled tags are written together, also when
// the build stops at a missing description; existing rows keep their values.
TEST_F(NamespaceTest, ScalingTableRowsOfNewTagsAreAddedToTheTableAsFound) {
    const std::string header =
        "Address\tTagID\tRangeStart\tRangeEnd\tUnit\tFactor\tFormat\tName\r\n";
    dir.write("FreeScale.dat", header + "1\tADR01.B\t-5.0\t5.0\tbar\t2.0\t3\tPressure\r\n");
    const std::string scaled = "access=rw\tdtype=int\treadoffset=0\tlength=2\tfscale=1";
    dir.write("a.cfg", TagLine("name=A\t" + scaled) + TagLine("name=B\t" + scaled) +
                           TagLine("name=C\t" + scaled));
    build("[SLAVE01]\nCFG=a.cfg\n[SLAVE02]\nCFG=missing.cfg\n");
    EXPECT_EQ(scaleTable(), header + "1\tADR01.B\t-5.0\t5.0\tbar\t2.0\t3\tPressure\r\n" +
                                "1\tADR01.A\t0.0\t100.0\t%\t1.0\t1\t\r\n" +
                                "1\tADR01.C\t0.0\t100.0\t%\t1.0\t1\t\r\n");
    const ScaleRecord* b = nullptr;
    for (const TagNode& node : plugin.state().items.get()->nodes) {
        if (node.kind == TagKind::Data && node.tag.scale && node.tag.scale->key == "ADR01.B") {
            b = node.tag.scale.get();
        }
    }
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->unit, "bar");
    EXPECT_EQ(b->factor, 2.0);
    ASSERT_EQ(notes.messages().size(), 1u);  // the missing description only
}

// A table far beyond any plant is not used and never rewritten; the build says so, naming
// the file, and its scaled tags start with the default values.
TEST_F(NamespaceTest, RefusedScalingTableIsReportedAndLeftAlone) {
    const std::string wide = std::string(1009, '\t') + "\r\n" + std::string(3000, '\n');
    dir.write("FreeScale.dat", wide);
    dir.write("a.cfg", TagLine("name=A\taccess=rw\tdtype=int\treadoffset=0\tlength=2\tfscale=1"));
    build("[SLAVE01]\nCFG=a.cfg\n");
    EXPECT_EQ(scaleTable(), wide);
    ASSERT_NE(recorder.tag("ADR01.A"), nullptr);
    ASSERT_NE(plugin.state().items.get()->nodes[1].tag.scale, nullptr);
    EXPECT_EQ(plugin.state().items.get()->nodes[1].tag.scale->rangeEnd, 100.0);
    const auto messages = notes.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "ZAN KVX-OPC-Server FILE-ERROR");
    EXPECT_THAT(messages[0].text, HasSubstr("FreeScale.dat: its header has 1010 columns"));
}

TEST_F(NamespaceTest, TwoNodeLinesGiveSiblingFolders) {
    dir.write("a.cfg", "node\tname=Analog\t\n" +
                           TagLine("name=T1\taccess=r\tdtype=int\treadoffset=0\tlength=2") +
                           "node\tname=Digital\t\n" +
                           TagLine("name=D1\taccess=r\tdtype=char\treadoffset=2\tlength=1"));
    build("[SLAVE03]\nCFG=a.cfg\n");
    EXPECT_THAT(recorder.lines(), ElementsAre("node ADR03", "tag ADR03.DEVICE_ID 8 1",
                                              "node ADR03.Analog", "tag ADR03.Analog.T1 2 1",
                                              "node ADR03.Digital", "tag ADR03.Digital.D1 17 1"));
    // Both folders are children of the member's branch (handle 1).
    EXPECT_EQ(recorder.calls[2].parent, 1u);
    EXPECT_EQ(recorder.calls[4].parent, 1u);
}

TEST_F(NamespaceTest, ScaledLongGetsSixPropertiesBeforeItAndIsAFloat) {
    dir.write("a.cfg", "node\tname=Analog\t\n" +
                           TagLine("name=Temp\taccess=rw\tdtype=long\treadoffset=4\tlength=4"
                                   "\tfscale=1"));
    build("[SLAVE03]\nCFG=a.cfg\n");
    EXPECT_THAT(recorder.lines(),
                ElementsAre("node ADR03", "tag ADR03.DEVICE_ID 8 1", "node ADR03.Analog",
                            "tag ADR03.Analog.Temp_start 5 3", "tag ADR03.Analog.Temp_end 5 3",
                            "tag ADR03.Analog.Temp_unit 8 3", "tag ADR03.Analog.Temp_format 17 3",
                            "tag ADR03.Analog.Temp_factor 5 3", "tag ADR03.Analog.Temp_name 8 3",
                            "tag ADR03.Analog.Temp 4 3"));
    // Node list: DEVICE_ID, the tag, then its properties in registration order.
    const auto& nodes = plugin.state().items.get()->nodes;
    ASSERT_EQ(nodes.size(), 8u);
    EXPECT_EQ(nodes[1].kind, TagKind::Data);
    ASSERT_NE(nodes[1].tag.scale, nullptr);
    EXPECT_EQ(nodes[1].tag.scale->key, "Analog.Temp");
    const PropertyIndex order[] = {PropertyIndex::Start,  PropertyIndex::End,
                                   PropertyIndex::Unit,   PropertyIndex::Format,
                                   PropertyIndex::Factor, PropertyIndex::Name};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(nodes[2 + i].kind, TagKind::Property);
        EXPECT_EQ(nodes[2 + i].property, order[i]);
        EXPECT_EQ(nodes[2 + i].owner, &nodes[1].tag);
    }
    // Each property's user data names its own node; the tag's names the tag.
    EXPECT_EQ(
        FindNode(*plugin.state().items.get(), recorder.tag("ADR03.Analog.Temp_unit")->userData),
        &nodes[4]);
    EXPECT_EQ(FindNode(*plugin.state().items.get(), recorder.tag("ADR03.Analog.Temp")->userData),
              &nodes[1]);
}

TEST_F(NamespaceTest, ScaledBoolGetsFactorAndNameOnlyAndStaysBoolean) {
    dir.write("a.cfg", TagLine("name=Run\taccess=rw\tdtype=bool\treadoffset=0\tlength=1"
                               "\tfscale=1"));
    build("[SLAVE01]\nCFG=a.cfg\n");
    // A bool value is never written to the bus: the tag is registered readable only, with a
    // message, while its scaling properties stay writable.
    EXPECT_THAT(recorder.lines(),
                ElementsAre("node ADR01", "tag ADR01.DEVICE_ID 8 1", "tag ADR01.Run_factor 5 3",
                            "tag ADR01.Run_name 8 3", "tag ADR01.Run 11 1"));
    ASSERT_EQ(notes.messages().size(), 1u);
    EXPECT_NE(notes.messages()[0].text.find(
                  "tag \"Run\" registered without write right: a bool value is never written"),
              std::string::npos)
        << notes.messages()[0].text;
}

TEST_F(NamespaceTest, FscaleIsIgnoredForTypesWithoutScaling) {
    dir.write("a.cfg",
              TagLine("name=Text\taccess=rw\tdtype=string\treadoffset=0\tlength=6\tfscale=1") +
                  TagLine("name=Code\taccess=r\tdtype=hex\treadoffset=0\tlength=2\tfscale=1") +
                  TagLine("name=Byte\taccess=r\tdtype=char\treadoffset=0\tlength=1\tfscale=1"));
    build("[SLAVE02]\nCFG=a.cfg\n");
    EXPECT_THAT(recorder.lines(),
                ElementsAre("node ADR02", "tag ADR02.DEVICE_ID 8 1", "tag ADR02.Text 8 3",
                            "tag ADR02.Code 8 1", "tag ADR02.Byte 17 1"));
    for (const TagNode& node : plugin.state().items.get()->nodes) {
        EXPECT_EQ(node.tag.fscale, 0);
        EXPECT_EQ(node.tag.scale, nullptr);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "FreeScale.dat"));
}

TEST_F(NamespaceTest, FscaleIsCutToEightBits) {
    // 257 is 1 in its low byte: a freely scaled tag.
    dir.write("a.cfg", TagLine("name=V\taccess=r\tdtype=float\treadoffset=0\tlength=4"
                               "\tfscale=257\tfactor=1"));
    build("[SLAVE02]\nCFG=a.cfg\n");
    ASSERT_NE(recorder.tag("ADR02.V_start"), nullptr);
    EXPECT_EQ(recorder.tag("ADR02.V")->valueType, 4u);
}

TEST_F(NamespaceTest, ValueTypesFollowTheDtype) {
    const std::pair<const char*, std::uint32_t> cases[] = {
        {"char", 17},  {"int", 2},    {"uint", 18}, {"long", 3},     {"ulong", 19},
        {"float", 4},  {"string", 8}, {"bool", 11}, {"timeout", 2},  {"s5time", 4},
        {"float2", 4}, {"hex", 8},    {"bin", 8},   {"Float", 65535}};
    std::string cfg;
    for (const auto& [dtype, vt] : cases) {
        cfg += TagLine(std::string("name=T_") + dtype + "\taccess=r\tdtype=" + dtype +
                       "\treadoffset=0\tlength=4");
    }
    dir.write("a.cfg", cfg);
    build("[SLAVE00]\nCFG=a.cfg\n");
    for (const auto& [dtype, vt] : cases) {
        const auto* tag = recorder.tag(std::string("ADR00.T_") + dtype);
        ASSERT_NE(tag, nullptr) << dtype;
        EXPECT_EQ(tag->valueType, vt) << dtype;
    }
}

TEST_F(NamespaceTest, AccessRightsComeFromTheAccessText) {
    dir.write("a.cfg", TagLine("name=A\taccess=read\tdtype=int\treadoffset=0\tlength=2") +
                           TagLine("name=B\taccess=write\tdtype=int\treadoffset=0\tlength=2") +
                           TagLine("name=C\taccess=-\tdtype=int\treadoffset=0\tlength=2"));
    build("[SLAVE00]\nCFG=a.cfg\n");
    EXPECT_EQ(recorder.tag("ADR00.A")->access, 1u);
    EXPECT_EQ(recorder.tag("ADR00.B")->access, 3u);  // "write" contains an r
    EXPECT_EQ(recorder.tag("ADR00.C")->access, 0u);
}

TEST_F(NamespaceTest, ReadOnlyPasswordIsHiddenAndMarksThePasswordState) {
    dir.write("a.cfg", TagLine("name=PW\taccess=r\tdtype=password\treadoffset=20\tlength=2"
                               "\twriteoffset=7"));
    dir.write("b.cfg",
              TagLine("name=PW\taccess=r\tdtype=password\treadoffset=20\tlength=2") +
                  TagLine("name=Code\taccess=rw\tdtype=password\treadoffset=30\tlength=2"));
    build("[SLAVE04]\nCFG=a.cfg\n[SLAVE05]\nCFG=b.cfg\n");
    EXPECT_THAT(recorder.lines(), ElementsAre("node ADR04", "tag ADR04.DEVICE_ID 8 1", "node ADR05",
                                              "tag ADR05.DEVICE_ID 8 1", "tag ADR05.Code 2 3"));
    EXPECT_EQ(member(4).password.flag, 1);
    EXPECT_EQ(member(4).password.readoffset, 20);
    EXPECT_EQ(member(4).password.length, 2);
    EXPECT_EQ(member(4).password.writeoffset, 7);
    // A writable password registered after the read-only one clears the flag again.
    EXPECT_EQ(member(5).password.flag, 0);
}

TEST_F(NamespaceTest, MemberRecordTakesFetchBlocksAndIdentificationEntries) {
    dir.write("a.cfg",
              "fetch1\tdesadr=16\tbytes=32\t\n"
              "fetch3\tdesadr=300\tbytes=260\t\n"
              "fetchID\tdesadr=99\tbytes=99\t\n"
              "scanID\treadoffset=0\tlength=4\tIDstr=KX10\tname=Controller\tend=1\n"
              "scanID\treadoffset=0\tlength=4\tIDstr=KX11\tname=Controller B\tend=1\n");
    build("[SLAVE06]\nCFG=a.cfg\nNAME=Oven\n");
    const MemberRecord& m = member(6);
    EXPECT_EQ(m.fetchAddress[0], 16);
    EXPECT_EQ(m.fetchLength[0], 32);
    EXPECT_EQ(m.fetchAddress[1], 0);
    EXPECT_EQ(m.fetchLength[1], 0);
    EXPECT_EQ(m.fetchAddress[2], 300 % 256);
    EXPECT_EQ(m.fetchLength[2], 260 % 256);
    ASSERT_EQ(m.idCount, 2);
    EXPECT_EQ(m.ids[0].idStr, "KX10");
    EXPECT_EQ(m.ids[1].name, "Controller B");
    EXPECT_EQ(m.ids[1].length, 4);
    EXPECT_EQ(m.name, "Oven");
    EXPECT_EQ(m.errorCounter.load(), 10);
}

TEST_F(NamespaceTest, CfgNameIsFoundWithoutRegardToCase) {
    dir.write("typea.cfg", "fetch1\tdesadr=0\tbytes=4\t\n");
    build("[SLAVE09]\nCFG=TypeA.CFG\n");
    EXPECT_THAT(recorder.lines(), ElementsAre("node ADR09", "tag ADR09.DEVICE_ID 8 1"));
    EXPECT_EQ(member(9).fetchLength[0], 4);
}

TEST_F(NamespaceTest, MissingDescriptionStopsTheBuildThere) {
    dir.write("a.cfg", TagLine("name=T\taccess=r\tdtype=int\treadoffset=0\tlength=2"));
    build(
        "[SLAVE02]\nCFG=a.cfg\n[SLAVE05]\nCFG=missing.cfg\nNAME=Gone\n"
        "[SLAVE07]\nCFG=a.cfg\n");
    EXPECT_THAT(recorder.lines(),
                ElementsAre("node ADR02", "tag ADR02.DEVICE_ID 8 1", "tag ADR02.T 2 1"));
    const auto messages = notes.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "ZAN KVX-OPC-Server FILE-ERROR");
    EXPECT_EQ(messages[0].text,
              "CFG-file not found!\nChange FENLODRV.INI\n[SLAVE05] CFG=missing.cfg: " +
                  (dir.path() / "missing.cfg").string() + " does not exist");
    EXPECT_EQ(member(7).fetchLength[0], 0);
    EXPECT_EQ(member(7).name, "");
}

// Only regular files are descriptions: a directory, an endless device, a FIFO without a
// writer or a link loop would otherwise stall the build or fail; each stops it as a missing
// file does, and the message says which member, which file and why.
TEST_F(NamespaceTest, DescriptionThatIsNoRegularFileIsNotFound) {
    std::filesystem::create_directory(dir.path() / "dir.cfg");
    std::filesystem::create_symlink("/dev/zero", dir.path() / "zero.cfg");
    const std::string fifo = (dir.path() / "fifo.cfg").string();
    ASSERT_EQ(std::system(("mkfifo '" + fifo + "'").c_str()), 0);
    std::filesystem::create_symlink(dir.path() / "loop.cfg", dir.path() / "loop.cfg");
    dir.write("ok.cfg", "fetch1\tdesadr=0\tbytes=4\t\n");
    std::filesystem::create_symlink(dir.path() / "ok.cfg", dir.path() / "link.cfg");
    const std::pair<const char*, const char*> cases[] = {
        {"dir.cfg", "is a directory"},
        {"zero.cfg", "is a device"},
        {"fifo.cfg", "is a FIFO"},
        {"loop.cfg", "cannot be opened: Too many levels of symbolic links"},
    };
    for (const auto& [name, why] : cases) {
        SCOPED_TRACE(name);
        recorder.calls.clear();
        const auto before = notes.messages().size();
        build(std::string("[SLAVE00]\nCFG=link.cfg\n[SLAVE01]\nCFG=") + name +
              "\n[SLAVE02]\nCFG=ok.cfg\n");
        // A link to a regular file is one; the build stops at the address after it.
        EXPECT_THAT(recorder.lines(), ElementsAre("node ADR00", "tag ADR00.DEVICE_ID 8 1"));
        ASSERT_EQ(notes.messages().size(), before + 1);
        EXPECT_EQ(notes.messages().back().text,
                  std::string("CFG-file not found!\nChange FENLODRV.INI\n[SLAVE01] CFG=") + name +
                      ": " + (dir.path() / name).string() + " " + why);
    }
}

// An INI file that is there but cannot be read is told once per build, naming the file and
// why, and is never passed over for another file; nothing blocks on a FIFO or reads an
// endless device.
class UnreadableIniTest : public NamespaceTest {
  protected:
    void expectToldAndNothingBuilt(const std::string& why) {
        SCOPED_TRACE(why);
        recorder.calls.clear();
        const auto before = notes.messages().size();
        plugin.Initialize();
        EXPECT_EQ(plugin.BuildNamespace(&CallbackRecorder::AddNode, &CallbackRecorder::AddTag), 0);
        EXPECT_TRUE(recorder.calls.empty());
        const auto messages = notes.messages();
        ASSERT_EQ(messages.size(), before + 1);
        EXPECT_EQ(messages.back().caption, "ZAN KVX-OPC-Server FILE-ERROR");
        EXPECT_EQ(
            messages.back().text,
            ini.string() + " " + why + ": every key takes its default, so no member is configured");
    }
    const std::filesystem::path ini = dir.path() / "fenlodrv.ini";
};

TEST_F(UnreadableIniTest, DirectoryDeviceFifoAndLinkLoop) {
    dir.write("a.cfg", "fetch1\tdesadr=0\tbytes=4\t\n");
    std::filesystem::create_directory(ini);
    expectToldAndNothingBuilt("is a directory");
    std::filesystem::remove(ini);
    std::filesystem::create_symlink("/dev/zero", ini);
    expectToldAndNothingBuilt("is a device");
    std::filesystem::remove(ini);
    ASSERT_EQ(std::system(("mkfifo '" + ini.string() + "'").c_str()), 0);
    expectToldAndNothingBuilt("is a FIFO");
    std::filesystem::remove(ini);
    std::filesystem::create_symlink(ini, ini);
    expectToldAndNothingBuilt("cannot be opened: Too many levels of symbolic links");
}

TEST_F(UnreadableIniTest, FileOfMode000) {
    dir.write("a.cfg", "fetch1\tdesadr=0\tbytes=4\t\n");
    dir.write("fenlodrv.ini", "[SLAVE01]\nCFG=a.cfg\n");
    std::filesystem::permissions(ini, std::filesystem::perms::none);
    if (std::ifstream(ini).is_open()) {
        GTEST_SKIP() << "running as root, which reads a file of mode 000 (the other unreadable "
                        "kinds are tested in DirectoryDeviceFifoAndLinkLoop)";
    }
    expectToldAndNothingBuilt("cannot be opened: Permission denied");
}

TEST_F(NamespaceTest, WithoutIniFileNothingIsConfigured) {
    plugin.Initialize();
    EXPECT_EQ(plugin.BuildNamespace(&CallbackRecorder::AddNode, &CallbackRecorder::AddTag), 0);
    EXPECT_TRUE(recorder.calls.empty());
}

// Items whose bytes cannot lie inside the image block are refused with a message naming
// file, line and tag; their neighbours register as usual. Texts and writes of any length a
// tag can have (up to 127 bytes) are served whole, so length alone refuses nothing.
TEST_F(NamespaceTest, TagsOutsideTheImageOrBuffersAreRefusedWithFileLineAndTag) {
    dir.write("a.cfg",
              TagLine("name=Edge\taccess=r\tdtype=long\treadoffset=1020\tlength=4") +        // 1
                  TagLine("name=Past\taccess=r\tdtype=long\treadoffset=1021\tlength=4") +    // 2
                  TagLine("name=Neg\taccess=r\tdtype=int\treadoffset=-1\tlength=2") +        // 3
                  TagLine("name=Hex54\taccess=r\tdtype=hex\treadoffset=0\tlength=54") +      // 4
                  TagLine("name=Hex55\taccess=r\tdtype=hex\treadoffset=0\tlength=55") +      // 5
                  TagLine("name=Bin18\taccess=r\tdtype=bin\treadoffset=0\tlength=18") +      // 6
                  TagLine("name=Bin19\taccess=r\tdtype=bin\treadoffset=0\tlength=19") +      // 7
                  TagLine("name=Str52\taccess=rw\tdtype=string\treadoffset=0\tlength=52") +  // 8
                  TagLine("name=Str53\taccess=rw\tdtype=string\treadoffset=0\tlength=53") +  // 9
                  TagLine("name=Ro53\taccess=r\tdtype=string\treadoffset=0\tlength=53") +    // 10
                  TagLine("name=Div\taccess=r\tdtype=float\treadoffset=0\tlength=2"          // 11
                          "\tfactor=0\tdivoffset=1024") +
                  TagLine("name=DivOk\taccess=r\tdtype=float\treadoffset=0\tlength=2"  // 12
                          "\tfactor=0.5\tdivoffset=5000") +
                  TagLine("name=Neg8\taccess=rw\tdtype=string\treadoffset=0\tlength=200") +  // 13
                  TagLine("name=S5\taccess=r\tdtype=s5time\treadoffset=1023\tlength=1"));    // 14
    build("[SLAVE03]\nCFG=a.cfg\n");
    std::vector<std::string> registered;
    for (const auto& call : recorder.calls) {
        if (call.isTag) registered.push_back(call.path);
    }
    EXPECT_THAT(registered, ElementsAre("ADR03.DEVICE_ID", "ADR03.Edge", "ADR03.Hex54",
                                        "ADR03.Hex55", "ADR03.Bin18", "ADR03.Bin19", "ADR03.Str52",
                                        "ADR03.Str53", "ADR03.Ro53", "ADR03.DivOk", "ADR03.Neg8"));
    auto messages = notes.messages();
    // Neg8 (length 200 is -56 as a signed byte) stays readable, but loses its write right.
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_THAT(messages[3].text, HasSubstr("a.cfg line 13: tag \"Neg8\" registered without "
                                            "write right"));
    messages.erase(messages.begin() + 3);
    // The s5time tag reads two bytes whatever its length: 1023 leaves room for one only.
    const std::pair<int, const char*> refused[] = {
        {2, "Past"}, {3, "Neg"}, {11, "Div"}, {14, "S5"}};
    ASSERT_EQ(messages.size(), std::size(refused));
    for (std::size_t i = 0; i < std::size(refused); ++i) {
        EXPECT_EQ(messages[i].caption, "ZAN KVX-OPC-Server CFG-ERROR");
        EXPECT_THAT(messages[i].text, HasSubstr("a.cfg line " + std::to_string(refused[i].first) +
                                                ": tag \"" + refused[i].second + "\""));
        EXPECT_THAT(messages[i].text, HasSubstr("not registered"));
    }
    EXPECT_THAT(notes.messages().back().text, HasSubstr("[SLAVE03]"));
}

// A write frame carries a one-byte data address and `length` bytes: a tag whose writes could
// never reach its place keeps its read right only, with a message naming file, line and tag.
TEST_F(NamespaceTest, TagsThatCannotBeWrittenAreRegisteredReadOnly) {
    dir.write("w.cfg",
              TagLine("name=Top\taccess=rw\tdtype=int\treadoffset=0\twriteoffset=255\tlength=2") +
                  TagLine("name=Far\taccess=rw\tdtype=int\treadoffset=0\twriteoffset=256"
                          "\tlength=2") +
                  TagLine("name=Neg\taccess=rw\tdtype=uint\treadoffset=0\twriteoffset=-1"
                          "\tlength=2") +
                  TagLine("name=Zero\taccess=rw\tdtype=char\treadoffset=0\twriteoffset=3"
                          "\tlength=0") +
                  TagLine("name=Minus\taccess=rw\tdtype=string\treadoffset=0\twriteoffset=3"
                          "\tlength=-3") +
                  TagLine("name=RoFar\taccess=r\tdtype=int\treadoffset=0\twriteoffset=900"
                          "\tlength=2") +
                  TagLine("name=WoFar\taccess=w\tdtype=int\treadoffset=0\twriteoffset=900"
                          "\tlength=2"));
    build("[SLAVE06]\nCFG=w.cfg\n");
    EXPECT_THAT(recorder.lines(),
                ElementsAre("node ADR06", "tag ADR06.DEVICE_ID 8 1", "tag ADR06.Top 2 3",
                            "tag ADR06.Far 2 1", "tag ADR06.Neg 18 1", "tag ADR06.Zero 17 1",
                            "tag ADR06.Minus 8 1", "tag ADR06.RoFar 2 1"));
    const auto messages = notes.messages();
    ASSERT_EQ(messages.size(), 5u);
    const std::pair<int, const char*> readOnly[] = {
        {2, "Far"}, {3, "Neg"}, {4, "Zero"}, {5, "Minus"}};
    for (std::size_t i = 0; i < std::size(readOnly); ++i) {
        EXPECT_EQ(messages[i].caption, "ZAN KVX-OPC-Server CFG-ERROR");
        EXPECT_THAT(
            messages[i].text,
            HasSubstr("[SLAVE06] w.cfg line " + std::to_string(readOnly[i].first) + ": tag \"" +
                      readOnly[i].second + "\" registered without write right"));
    }
    EXPECT_THAT(messages[0].text, HasSubstr("writeoffset 256"));
    EXPECT_THAT(messages[3].text, HasSubstr("length -3"));
    // Without its write right a write-only tag has no right left: it is not registered.
    EXPECT_THAT(messages[4].text, HasSubstr("w.cfg line 7: tag \"WoFar\" not registered"));
}

TEST_F(NamespaceTest, IdentificationEntriesOutsideTheImageOrBeyondTenAreNotKept) {
    std::string cfg = "scanID\treadoffset=1020\tlength=5\tIDstr=X\tname=Far\tend=1\n";
    for (int i = 0; i < 11; ++i) {
        cfg += "scanID\treadoffset=" + std::to_string(i) + "\tlength=1\tIDstr=X\tname=N" +
               std::to_string(i) + "\tend=1\n";
    }
    cfg += TagLine("name=PW\taccess=r\tdtype=password\treadoffset=0\tlength=12");
    dir.write("a.cfg", cfg);
    build("[SLAVE08]\nCFG=a.cfg\n");
    const MemberRecord& m = member(8);
    ASSERT_EQ(m.idCount, 10);
    EXPECT_EQ(m.ids[0].name, "N0");
    EXPECT_EQ(m.ids[9].name, "N9");
    EXPECT_EQ(m.password.flag, 0);  // 12 password bytes do not fit the write check's copy
    const auto messages = notes.messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_THAT(messages[0].text, HasSubstr("line 1: identification entry \"Far\" not kept"));
    EXPECT_THAT(messages[1].text, HasSubstr("line 12: identification entry \"N10\" not kept"));
    EXPECT_THAT(messages[2].text, HasSubstr("line 13: password entry \"PW\" not kept"));
}

TEST_F(NamespaceTest, RebuildFreesTheEarlierNodesAndItsHandles) {
    dir.write("a.cfg", TagLine("name=T\taccess=r\tdtype=int\treadoffset=0\tlength=2"));
    build("[SLAVE03]\nCFG=a.cfg\n");
    const std::uint32_t first = recorder.tag("ADR03.T")->userData;
    recorder.calls.clear();
    plugin.BuildNamespace(&CallbackRecorder::AddNode, &CallbackRecorder::AddTag);
    const std::uint32_t second = recorder.tag("ADR03.T")->userData;
    EXPECT_NE(first, second);
    EXPECT_EQ(plugin.state().items.get()->nodes.size(), 2u);
    EXPECT_EQ(FindNode(*plugin.state().items.get(), first), nullptr);
    EXPECT_NE(FindNode(*plugin.state().items.get(), second), nullptr);
}

}  // namespace
}  // namespace kvx::driver
