// fenlo-host as people and scripts run it: the program, the real plug-in beside it, an
// installation directory with an INI file and device descriptions.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

namespace {

using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class Scratch {
  public:
    Scratch() {
        std::random_device rd;
        path_ = std::filesystem::temp_directory_path() /
                ("kvx-host-" + std::to_string(rd()) + "-" + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }
    void write(const std::string& name, const std::string& text) const {
        std::ofstream(path_ / name, std::ios::binary) << text;
    }
    std::string read(const std::string& name) const {
        std::ifstream in(path_ / name, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

  private:
    std::filesystem::path path_;
};

struct HostRun {
    int code = -1;
    std::string out;
    std::string err;
    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::stringstream ss(out);
        for (std::string line; std::getline(ss, line);) result.push_back(line);
        return result;
    }
};

class FenloHostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir.write("sensor.cfg",
                  "fetch1\tdesadr=0\tbytes=16\t\n"
                  "scanID\treadoffset=0\tlength=4\tIDstr=SN01\tname=Sensor\tend=1\n"
                  "tag\tname=Mode\taccess=r\tdtype=char\treadoffset=4\tlength=1\t\n"
                  "node\tname=Analog\t\n"
                  "tag\tname=Level\taccess=rw\tdtype=int\treadoffset=6\tlength=2\t\n"
                  "tag\tname=Temp\taccess=rw\tdtype=long\treadoffset=8\tlength=4\tfscale=1\t\n"
                  "node\tname=Text\t\n"
                  "tag\tname=Label\taccess=rw\tdtype=string\treadoffset=0\tlength=8\t\n");
        dir.write("fenlodrv.ini",
                  "[RS232]\nCOM=/nonexistent/kvx-port\n[KXBUS]\nWAIT=0\n"
                  "[SLAVE03]\nCFG=sensor.cfg\nNAME=Tank\n");
    }

    // Runs fenlo-host with the arguments (and standard input text) in the scratch directory.
    HostRun run(const std::string& args, const std::string& input = "",
                const std::string& serverConf = "/nonexistent") {
        dir.write("stdin.txt", input);
        const std::string command = "cd '" + dir.path().string() + "' && KORVEX_OPC_SERVER_CONF='" +
                                    serverConf + "' " + "KORVEX_OPC_INSTDIR='" +
                                    dir.path().string() + "' '" FENLO_HOST_PATH "' " + args +
                                    " <stdin.txt >stdout.txt 2>stderr.txt; echo $? >rc.txt";
        std::system(command.c_str());
        HostRun r;
        r.code = std::stoi(dir.read("rc.txt"));
        r.out = dir.read("stdout.txt");
        r.err = dir.read("stderr.txt");
        return r;
    }

    Scratch dir;
};

TEST_F(FenloHostTest, DescribePrintsTheServerDescription) {
    dir.write("server.conf", "[OPC Server]\nVersion=2.10.7\n");
    const HostRun r = run("describe");
    ASSERT_EQ(r.code, 0) << r.err;
    const json d = json::parse(r.out);
    EXPECT_EQ(d["progId"], "Korvex.OPC_Server.2");
    EXPECT_EQ(d["versionIndependentProgId"], "Korvex.OPC_Server");
    EXPECT_EQ(d["description"], "Korvex OPC Server");
    EXPECT_EQ(d["vendor"], "Korvex germany");
    EXPECT_EQ(d["versionText"], "Korvex OPC Server V:2.02.01");
    EXPECT_EQ(d["numbers"], json::parse(R"({"28":10000,"60":2,"62":10,"64":16,"70":1,"78":101,
                                             "108":4096,"112":4096})"));
    EXPECT_EQ(d["reservedZero"], true);

    const HostRun versioned = run("describe", "", (dir.path() / "server.conf").string());
    ASSERT_EQ(versioned.code, 0) << versioned.err;
    EXPECT_EQ(json::parse(versioned.out)["versionText"], "Korvex OPC Server V:2.10.7");
    EXPECT_EQ(json::parse(versioned.out)["clsid"], d["clsid"]);
}

TEST_F(FenloHostTest, BrowsePrintsEveryCallbackInOrder) {
    const HostRun r = run("browse");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(
        r.lines(),
        ElementsAre("node\tADR03", "tag\tADR03.DEVICE_ID\t8\t1", "tag\tADR03.Mode\t17\t1",
                    "node\tADR03.Analog", "tag\tADR03.Analog.Level\t2\t3",
                    "tag\tADR03.Analog.Temp_start\t5\t3", "tag\tADR03.Analog.Temp_end\t5\t3",
                    "tag\tADR03.Analog.Temp_unit\t8\t3", "tag\tADR03.Analog.Temp_format\t17\t3",
                    "tag\tADR03.Analog.Temp_factor\t5\t3", "tag\tADR03.Analog.Temp_name\t8\t3",
                    "tag\tADR03.Analog.Temp\t4\t3", "node\tADR03.Text",
                    "tag\tADR03.Text.Label\t8\t3"));
    EXPECT_EQ(r.err, "");
    EXPECT_THAT(dir.read("FreeScale.dat"), HasSubstr("3\tAnalog.Temp\t0.0\t100.0\t%\t1.0\t1\t"));
}

TEST_F(FenloHostTest, BrowseShowsTheBuildMessagesOnStandardError) {
    dir.write("fenlodrv.ini",
              "[SLAVE01]\nCFG=sensor.cfg\n[SLAVE02]\nCFG=gone.cfg\n"
              "[SLAVE04]\nCFG=sensor.cfg\n");
    const HostRun r = run("browse");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.lines().front(), "node\tADR01");
    EXPECT_THAT(r.out, testing::Not(HasSubstr("ADR04")));
    EXPECT_THAT(r.err, HasSubstr("ZAN KVX-OPC-Server FILE-ERROR: CFG-file not found! / Change "
                                 "FENLODRV.INI / [SLAVE02] CFG=gone.cfg: " +
                                 (dir.path() / "gone.cfg").string() + " does not exist\n"));
}

TEST_F(FenloHostTest, ReadAnswersOneJsonObjectPerItem) {
    const HostRun r = run("read ADR03.DEVICE_ID ADR03.Analog.Temp_end ADR03.Analog.Level");
    ASSERT_EQ(r.code, 0) << r.err;
    const auto lines = r.lines();
    ASSERT_EQ(lines.size(), 3u);
    const json id = json::parse(lines[0]);
    EXPECT_EQ(id["item"], "ADR03.DEVICE_ID");
    EXPECT_EQ(id["quality"], 0);  // nothing can be polled on a missing port
    EXPECT_THAT(id["time"].get<std::string>(),
                testing::MatchesRegex("20[0-9][0-9]-[01][0-9]-[0-3][0-9]T.*Z"));
    const json end = json::parse(lines[1]);
    EXPECT_EQ(end["vt"], 5);
    EXPECT_EQ(end["quality"], 192);
    EXPECT_EQ(json::parse(lines[2])["vt"], 2);
}

TEST_F(FenloHostTest, ReadWithWaitGoodGivesUpAfterTheTime) {
    const HostRun r = run("read ADR03.Analog.Level --wait-good 150");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(json::parse(r.lines().at(0))["quality"], 0);
}

TEST_F(FenloHostTest, UnknownItemsBadValuesAndMissingPluginsExitWithTwo) {
    HostRun r = run("read ADR03.Nothing");
    EXPECT_EQ(r.code, 2);
    EXPECT_THAT(r.err, HasSubstr("unknown item ADR03.Nothing"));
    EXPECT_EQ(r.out, "");

    r = run("write ADR03.Analog.Level=70000");
    EXPECT_EQ(r.code, 2);
    EXPECT_THAT(r.err, HasSubstr("ADR03.Analog.Level"));
    EXPECT_THAT(r.err, HasSubstr("VT_I2"));

    r = run("write ADR03.Mode=1");
    EXPECT_EQ(r.code, 2);
    EXPECT_THAT(r.err, HasSubstr("read-only"));

    r = run("write ADR03.Analog.Level");
    EXPECT_EQ(r.code, 2);
    EXPECT_THAT(r.err, HasSubstr("ITEM=VALUE"));

    r = run("--plugin ./no-such-plugin.so describe");
    EXPECT_EQ(r.code, 2);
    EXPECT_THAT(r.err, HasSubstr("cannot load plug-in ./no-such-plugin.so"));

    dir.write("not-a-library.so", "garbage");
    r = run("--plugin not-a-library.so describe");
    EXPECT_EQ(r.code, 2);
    EXPECT_THAT(r.err, HasSubstr("not-a-library.so"));

    r = run("frobnicate");
    EXPECT_EQ(r.code, 2);
}

// One batch; what did not reach its member (here: no bus port) is told as such, and the
// program fails, while the scaling property that was stored counts as written.
TEST_F(FenloHostTest, WriteSendsOneBatchAndTellsWhatDidNotArrive) {
    const HostRun r =
        run("write ADR03.Analog.Level=12 \"ADR03.Text.Label=a b\" "
            "ADR03.Analog.Temp_factor=2.5");
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_EQ(json::parse(r.out), json::parse(R"({"written":["ADR03.Analog.Temp_factor"],
              "refused":[{"item":"ADR03.Analog.Level","outcome":"no communication"},
                         {"item":"ADR03.Text.Label","outcome":"no communication"}]})"));
}

TEST_F(FenloHostTest, SessionAnswersCommandsWithJsonLines) {
    const HostRun r = run("session",
                          "read ADR03.Analog.Temp_unit\n"
                          "\n"
                          "wait ADR03.DEVICE_ID bad 1000\n"
                          "wait ADR03.DEVICE_ID good 60\n"
                          "sleep 5\n"
                          "write ADR03.Analog.Level=-5\n"
                          "read ADR03.Missing\n"
                          "quit\n"
                          "read ADR03.DEVICE_ID\n");
    EXPECT_EQ(r.code, 2);  // one command failed
    const auto lines = r.lines();
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(json::parse(lines[0])["item"], "ADR03.Analog.Temp_unit");
    const json bad = json::parse(lines[1]);
    EXPECT_EQ(bad["quality"], 0);
    EXPECT_LT(bad["waited_ms"].get<int>(), 1000);
    EXPECT_EQ(json::parse(lines[2]), json::parse(R"({"item":"ADR03.DEVICE_ID","timeout":true})"));
    EXPECT_EQ(json::parse(lines[3]), json::parse(R"({"written":[],
              "refused":[{"item":"ADR03.Analog.Level","outcome":"no communication"}]})"));
    EXPECT_THAT(r.err, HasSubstr("unknown item ADR03.Missing"));
}

TEST_F(FenloHostTest, SessionEndsCleanlyAtEndOfInput) {
    const HostRun r = run("session", "read ADR03.Analog.Temp_start\n");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(json::parse(r.lines().at(0))["value"], 0.0);
}

TEST_F(FenloHostTest, WatchPrintsATableEachRound) {
    const HostRun r = run("watch ADR03.Analog.Temp_unit ADR03.DEVICE_ID --interval 10 --count 2");
    ASSERT_EQ(r.code, 0) << r.err;
    std::size_t headers = 0;
    for (const auto& line : r.lines()) {
        if (line.rfind("ITEM", 0) == 0) ++headers;
    }
    EXPECT_EQ(headers, 2u);
    EXPECT_THAT(r.out, HasSubstr("ADR03.Analog.Temp_unit"));
    EXPECT_THAT(r.out, HasSubstr("good"));
    EXPECT_THAT(r.out, HasSubstr("bad"));
}

}  // namespace
