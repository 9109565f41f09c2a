// Members built from device descriptions, and the sample descriptions themselves: both masters
// must recognise a member, read from the line with the plug-in's own block read.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "kvx/bus/bus_link.h"
#include "kvx/config/device_description.h"
#include "kvx/sim/scenario.h"
#include "kvx/sim/simulator.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using kvx::config::ScanIdEntry;
using ::testing::HasSubstr;

const fs::path kSamples = KVX_SAMPLES_DIR;

// The identification rule both masters apply: the text at each entry's offset, cut at a zero
// byte, blanks removed, must equal IDstr; of a group of entries sharing the last repeated
// neighbouring offset, one must match. Returns the name given, or nullopt when rejected.
std::optional<std::string> identify(const std::vector<ScanIdEntry>& entries, const Bytes& data) {
    if (entries.empty()) return std::nullopt;
    std::optional<int> group;
    for (std::size_t i = 0; i + 1 < entries.size(); ++i) {
        if (entries[i].readoffset == entries[i + 1].readoffset) group = entries[i].readoffset;
    }
    std::optional<std::size_t> matched;
    bool groupSeen = false;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const ScanIdEntry& e = entries[i];
        std::string text;
        for (int k = 0; k < e.length; ++k) {
            const auto at = static_cast<std::size_t>(e.readoffset + k);
            if (at >= data.size() || data[at] == 0) break;
            if (data[at] != ' ') text += static_cast<char>(data[at]);
        }
        if (group && e.readoffset == *group) {
            groupSeen = true;
            if (text == e.idStr) matched = i;
        } else if (text != e.idStr) {
            return std::nullopt;
        }
    }
    if (groupSeen && !matched) return std::nullopt;
    return entries[matched ? *matched : entries.size() - 1].name;
}

struct DriverView {
    struct Block {
        int desadr = 0;
        int bytes = 0;
    };
    Block fetch[4];
    std::vector<ScanIdEntry> entries;
    std::vector<kvx::config::CfgRecord> tags;
};

DriverView driverView(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    kvx::config::CfgParser parser(in);
    kvx::config::CfgRecord r;
    DriverView v;
    while (parser.ReadNextRecord(r)) {
        const int k = static_cast<int>(r.kind);
        if (k >= 1 && k <= 4) v.fetch[k - 1] = {r.desadr, r.bytes};
        if (r.kind == kvx::config::RecordKind::ScanId) {
            v.entries.push_back({r.readoffset, r.length, r.idStr, r.name});
        }
        if (r.kind == kvx::config::RecordKind::Tag) v.tags.push_back(r);
    }
    return v;
}

kvx::config::ToolDeviceType toolView(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return kvx::config::ReadToolDeviceType(in, file);
}

// Polls like the plug-in: the fetch blocks read one after the other and joined.
std::optional<Bytes> pollJoined(kvx::bus::BusLink& link, int address, const DriverView& v) {
    Bytes joined;
    for (const auto& b : v.fetch) {
        if (b.bytes == 0) continue;
        std::uint8_t buf[256];
        if (link.BusReadBlock(buf, address, b.desadr, b.bytes, 0) != b.bytes + 11) {
            return std::nullopt;
        }
        joined.insert(joined.end(), buf, buf + b.bytes);
    }
    return joined;
}

std::optional<Bytes> readIdBlock(kvx::bus::BusLink& link, int address,
                                 const kvx::config::ToolDeviceType& t) {
    std::uint8_t buf[256];
    if (link.BusReadBlock(buf, address, t.fetchIdAddress, t.fetchIdBytes, 0) !=
        t.fetchIdBytes + 11) {
        return std::nullopt;
    }
    return Bytes(buf, buf + t.fetchIdBytes);
}

class TempDir {
  public:
    TempDir() {
        path_ = fs::temp_directory_path() /
                ("kvx-sim-cfg-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }
    fs::path write(const std::string& name, const std::string& text) const {
        std::ofstream(path_ / name, std::ios::binary) << text;
        return path_ / name;
    }

  private:
    fs::path path_;
};

struct Sample {
    const char* file;
    int address;
    const char* name;
};
const Sample kSampleDevices[] = {
    {"tc200.cfg", 3, "TC-200"}, {"dio16.cfg", 7, "DIO-16"}, {"fd7.cfg", 12, "FD-7"}};

class SampleMembers : public ::testing::Test {
  protected:
    SampleMembers() : sim(kvx::sim::SimulatorOptions{false, 1}) {
        for (const auto& s : kSampleDevices) {
            auto info = sim.addMemberFromCfg(s.address, kSamples / "devices" / s.file);
            EXPECT_TRUE(info.warnings.empty()) << s.file << ": " << info.warnings.front();
            EXPECT_EQ(info.deviceName, s.name);
        }
        sim.start();
        link.setPortName(sim.devicePath());
    }
    kvx::sim::Simulator sim;
    kvx::bus::BusLink link;
};

TEST_F(SampleMembers, BothMastersIdentifyEverySample) {
    for (const auto& s : kSampleDevices) {
        SCOPED_TRACE(s.file);
        const fs::path file = kSamples / "devices" / s.file;
        const auto tool = toolView(file);
        ASSERT_TRUE(tool.loaded());
        auto idBlock = readIdBlock(link, s.address, tool);
        ASSERT_TRUE(idBlock);
        EXPECT_EQ(identify(tool.entries, *idBlock), std::optional<std::string>(s.name));

        const auto driver = driverView(file);
        auto joined = pollJoined(link, s.address, driver);
        ASSERT_TRUE(joined);
        EXPECT_EQ(identify(driver.entries, *joined), std::optional<std::string>(s.name));
    }
}

TEST_F(SampleMembers, WrongIdentityFoolsNeitherMaster) {
    kvx::sim::Faults f;
    f.wrongIdentity = 1.0;
    sim.setFaults(12, f);
    const fs::path file = kSamples / "devices" / "fd7.cfg";
    const auto tool = toolView(file);
    auto idBlock = readIdBlock(link, 12, tool);
    ASSERT_TRUE(idBlock);
    EXPECT_FALSE(identify(tool.entries, *idBlock));
    const auto driver = driverView(file);
    auto joined = pollJoined(link, 12, driver);
    ASSERT_TRUE(joined);
    EXPECT_FALSE(identify(driver.entries, *joined));
    // Other members are not affected.
    EXPECT_TRUE(identify(toolView(kSamples / "devices" / "tc200.cfg").entries,
                         *readIdBlock(link, 3, toolView(kSamples / "devices" / "tc200.cfg"))));
}

TEST_F(SampleMembers, DemoScenarioValuesArriveWhereTheTagsRead) {
    const auto scenario = kvx::sim::LoadScenario(kSamples / "scenarios" / "demo.json");
    ASSERT_EQ(scenario.members.size(), 3u);
    EXPECT_TRUE(kvx::sim::ApplyScenario(sim, scenario).empty());
    sim.setWireTiming(false);
    auto joinedOf = [&](int address, const char* cfg) {
        auto j = pollJoined(link, address, driverView(kSamples / "devices" / cfg));
        EXPECT_TRUE(j);
        return j.value_or(Bytes(256, 0));
    };
    auto be = [](const Bytes& b, std::size_t at, int n) {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i) v = v << 8 | b[at + static_cast<std::size_t>(i)];
        return v;
    };
    const Bytes tc = joinedOf(3, "tc200.cfg");
    EXPECT_EQ(be(tc, 20, 2), 235u);    // ActualTemp raw
    EXPECT_EQ(tc[22], 10);             // its divisor
    EXPECT_EQ(be(tc, 48, 4), 12345u);  // OperatingHours, in the second block
    EXPECT_EQ(std::string(tc.begin() + 52, tc.begin() + 60), "TC240117");
    const Bytes dio = joinedOf(7, "dio16.cfg");
    EXPECT_EQ(be(dio, 0, 2), 0x0205u);
    EXPECT_EQ(be(dio, 32, 4), 482113u);  // Counter0, first byte of the third block
    const Bytes fd = joinedOf(12, "fd7.cfg");
    EXPECT_EQ(be(fd, 28, 4), 123456u);  // Position
    EXPECT_EQ(be(fd, 40, 2), 1450u);    // SpeedSetpoint, second block
    EXPECT_EQ(std::string(fd.begin() + 56, fd.begin() + 64), "V2.04.1 ");
    EXPECT_EQ(be(fd, 72, 2), 17u);  // LastFault, fourth block
    // Identification still holds with the values in place.
    EXPECT_TRUE(identify(driverView(kSamples / "devices" / "fd7.cfg").entries, fd));
}

// The samples are meant to cover the whole description format, and every tag has to lie in
// the polled data; a writable tag must write where it reads, or written values never show.
TEST(SampleDescriptions, CoverTheFormatAndStayConsistent) {
    std::set<kvx::config::DtypeCode> dtypes;
    std::set<int> fetchBlocks;
    bool alternatives = false, nodes = false, scaledLong = false, scaledBool = false;
    bool readOnlyPassword = false, float2Divisor = false, bool1 = false, bool2 = false;
    bool float4 = false;
    for (const auto& s : kSampleDevices) {
        SCOPED_TRACE(s.file);
        const fs::path file = kSamples / "devices" / s.file;
        const auto v = driverView(file);
        std::ifstream in(file, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        nodes = nodes || all.str().find("\nnode\t") != std::string::npos;
        int joinedSize = 0;
        std::vector<std::pair<int, int>> map;  // joined start -> memory start per block
        for (int b = 0; b < 4; ++b) {
            if (v.fetch[b].bytes == 0) continue;
            fetchBlocks.insert(b + 1);
            map.emplace_back(joinedSize, v.fetch[b].desadr);
            joinedSize += v.fetch[b].bytes;
        }
        auto memoryOf = [&](int joined) {
            int mem = -1;
            for (std::size_t i = 0; i < map.size(); ++i) {
                if (joined >= map[i].first) mem = map[i].second + joined - map[i].first;
            }
            return mem;
        };
        for (std::size_t i = 0; i + 1 < v.entries.size(); ++i) {
            alternatives |= v.entries[i].readoffset == v.entries[i + 1].readoffset;
        }
        for (const auto& t : v.tags) {
            SCOPED_TRACE(t.name);
            EXPECT_NE(t.dtype, kvx::config::DtypeCode::Unknown);
            dtypes.insert(t.dtype);
            using D = kvx::config::DtypeCode;
            if (t.dtype != D::Timeout) {
                EXPECT_LE(t.readoffset + t.length, joinedSize);
            }
            if (t.dtype == D::Float && t.factor == 0.0f) {
                EXPECT_LT(t.divoffset, joinedSize);
                float2Divisor |= t.length == 2;
            }
            float4 |= t.dtype == D::Float && t.length == 4;
            bool1 |= t.dtype == D::Bool && t.length == 1;
            bool2 |= t.dtype == D::Bool && t.length == 2;
            scaledLong |= t.dtype == D::Long && t.fscale == 1;
            scaledBool |= t.dtype == D::Bool && t.fscale == 1;
            if (t.dtype == D::Password && !(t.access & 2)) {
                readOnlyPassword = true;
                // The unlock frame goes to memory address 2: the state must be read there.
                EXPECT_EQ(memoryOf(t.readoffset), 2);
            }
            if ((t.access & 2) && t.dtype != D::Password) {
                EXPECT_EQ(memoryOf(t.readoffset), t.writeoffset);
            }
        }
    }
    using D = kvx::config::DtypeCode;
    for (D d : {D::Char, D::Int, D::Uint, D::Long, D::Ulong, D::Float, D::String, D::Bool,
                D::Timeout, D::Password, D::S5Time, D::Float2, D::Hex, D::Bin}) {
        EXPECT_TRUE(dtypes.count(d)) << "dtype code " << static_cast<int>(d) << " unused";
    }
    EXPECT_EQ(fetchBlocks, (std::set<int>{1, 2, 3, 4}));
    EXPECT_TRUE(alternatives);
    EXPECT_TRUE(nodes);
    EXPECT_TRUE(scaledLong);
    EXPECT_TRUE(scaledBool);
    EXPECT_TRUE(readOnlyPassword);
    EXPECT_TRUE(float2Divisor);
    EXPECT_TRUE(float4);
    EXPECT_TRUE(bool1);
    EXPECT_TRUE(bool2);
}

// fetchID and fetch1 in different places: each master finds the texts where it looks.
TEST(CfgMember, TextsArePlacedForBothMastersWhenBlocksDiffer) {
    TempDir dir;
    const auto file = dir.write("split.cfg",
                                "fetchID\tdesadr=100\tbytes=20\r\n"
                                "fetch1\tdesadr=10\tbytes=4\r\n"
                                "fetch2\tdesadr=40\tbytes=16\r\n"
                                "scanID\tIDstr=ACME\tname=Alpha\treadoffset=2\tlength=6\r\n"
                                "scanID\tIDstr=X1\tname=X-One\treadoffset=10\tlength=4\r\n"
                                "scanID\tIDstr=X2\tname=X-Two\treadoffset=10\tlength=4\r\n");
    kvx::sim::Simulator sim(kvx::sim::SimulatorOptions{false, 1});
    auto info = sim.addMemberFromCfg(4, file);
    EXPECT_TRUE(info.warnings.empty());
    EXPECT_EQ(info.deviceName, "X-One");
    // Driver: joined offset 2..7 spans fetch1 (memory 12, 13) and fetch2 (memory 40..43).
    EXPECT_EQ(sim.readMemory(4, 12, 2), (Bytes{'A', 'C'}));
    EXPECT_EQ(sim.readMemory(4, 40, 4), (Bytes{'M', 'E', ' ', ' '}));
    EXPECT_EQ(sim.readMemory(4, 46, 4), (Bytes{'X', '1', ' ', ' '}));
    // Tool: fetchID block from memory 100.
    EXPECT_EQ(sim.readMemory(4, 102, 6), (Bytes{'A', 'C', 'M', 'E', ' ', ' '}));
    EXPECT_EQ(sim.readMemory(4, 110, 4), (Bytes{'X', '1', ' ', ' '}));

    sim.start();
    kvx::bus::BusLink link;
    link.setPortName(sim.devicePath());
    auto joined = pollJoined(link, 4, driverView(file));
    ASSERT_TRUE(joined);
    EXPECT_EQ(identify(driverView(file).entries, *joined), std::optional<std::string>("X-One"));
    auto block = readIdBlock(link, 4, toolView(file));
    ASSERT_TRUE(block);
    EXPECT_EQ(identify(toolView(file).entries, *block), std::optional<std::string>("X-One"));
}

TEST(CfgMember, TextsThatCannotBePlacedAreReported) {
    TempDir dir;
    kvx::sim::Simulator sim;
    auto warningsOf = [&](const std::string& text) {
        std::string all;
        for (const auto& w : sim.addMemberFromCfg(1, dir.write("w.cfg", text)).warnings) {
            all += w + "\n";
        }
        return all;
    };
    EXPECT_THAT(warningsOf("fetchID\tdesadr=0\tbytes=8\r\nfetch1\tdesadr=0\tbytes=8\r\n"
                           "scanID\tIDstr=ABC\tname=N\treadoffset=6\tlength=4\r\n"),
                AllOf(HasSubstr("w.cfg"), HasSubstr("outside the joined fetch blocks"),
                      HasSubstr("outside the fetchID block")));
    EXPECT_THAT(warningsOf("fetchID\tdesadr=0\tbytes=20\r\nfetch1\tdesadr=0\tbytes=20\r\n"
                           "scanID\tIDstr=TOOLONG\tname=N\treadoffset=0\tlength=3\r\n"),
                HasSubstr("does not fit its length 3"));
    EXPECT_THAT(warningsOf("fetch1\tdesadr=0\tbytes=20\r\n"),
                HasSubstr("the scan tool does not load"));
    EXPECT_THAT(warningsOf("fetchID\tdesadr=0\tbytes=20\r\n"
                           "scanID\tIDstr=A\tname=N\treadoffset=0\tlength=3\r\n"),
                HasSubstr("no fetch1 block"));
    // Two texts that both masters expect in the same memory but differ: a collision.
    EXPECT_THAT(warningsOf("fetchID\tdesadr=0\tbytes=20\r\nfetch1\tdesadr=4\tbytes=20\r\n"
                           "scanID\tIDstr=AAAA\tname=N\treadoffset=0\tlength=4\r\n"
                           "scanID\tIDstr=BBBB\tname=N\treadoffset=4\tlength=4\r\n"),
                HasSubstr("collides at memory offset"));
}

TEST(CfgMember, UnreadableFileAndBadAddressNameTheFile) {
    kvx::sim::Simulator sim;
    try {
        sim.addMemberFromCfg(3, "/nonexistent/tc.cfg");
        FAIL() << "no error";
    } catch (const kvx::sim::SimError& e) {
        EXPECT_THAT(e.what(), HasSubstr("/nonexistent/tc.cfg: cannot be read"));
    }
    try {
        sim.addMemberFromCfg(32, kSamples / "devices" / "tc200.cfg");
        FAIL() << "no error";
    } catch (const kvx::sim::SimError& e) {
        EXPECT_THAT(e.what(), AllOf(HasSubstr("tc200.cfg"), HasSubstr("outside 0..31")));
    }
    EXPECT_FALSE(sim.hasMember(3));
}

}  // namespace
