// The whole road: kxbus-sim plays a member on a pseudo-terminal, the plug-in polls it, and
// fenlo-host reads and writes its items.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>

namespace {

using nlohmann::json;

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class FenloHostSimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device rd;
        dir_ = std::filesystem::temp_directory_path() /
               ("kvx-host-sim-" + std::to_string(rd()) + "-" + std::to_string(rd()));
        std::filesystem::create_directories(dir_);
        write("sensor.cfg",
              "fetchID\tdesadr=0\tbytes=16\t\n"
              "fetch1\tdesadr=0\tbytes=16\t\n"
              "fetch2\tdesadr=100\tbytes=8\t\n"
              "scanID\treadoffset=0\tlength=4\tIDstr=SN01\tname=Sensor\tend=1\n"
              "node\tname=Analog\t\n"
              "tag\tname=Level\taccess=rw\tdtype=int\treadoffset=6\twriteoffset=6\tlength=2\t\n"
              "tag\tname=Far\taccess=rw\tdtype=long\treadoffset=16\twriteoffset=100\tlength=4\t\n"
              "tag\tname=Comm\taccess=r\tdtype=timeout\treadoffset=0\tlength=2\t\n");
        const std::string command = "cd '" + dir_.string() +
                                    "' && '" KXBUS_SIM_PATH
                                    "' --member 3=sensor.cfg --no-wire-timing >sim.out 2>&1 & "
                                    "echo $! >'" +
                                    (dir_ / "sim.pid").string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        for (int i = 0; i < 100 && port_.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::stringstream out(readFile(dir_ / "sim.out"));
            for (std::string line; std::getline(out, line);) {
                if (line.rfind("pty ", 0) == 0) port_ = line.substr(4);
            }
        }
        ASSERT_FALSE(port_.empty()) << readFile(dir_ / "sim.out");
        write("fenlodrv.ini", "[RS232]\nCOM=" + port_ +
                                  "\n[KXBUS]\nWAIT=0\n[SLAVE03]\n"
                                  "CFG=sensor.cfg\nNAME=Unpolled\n");
    }
    void TearDown() override {
        const std::string pid = readFile(dir_ / "sim.pid");
        if (!pid.empty()) std::system(("kill " + pid + " 2>/dev/null").c_str());
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    void write(const std::string& name, const std::string& text) {
        std::ofstream(dir_ / name, std::ios::binary) << text;
    }
    // Runs a session with `commands`; returns its JSON lines.
    std::vector<json> session(const std::string& commands, int& code) {
        write("stdin.txt", commands);
        const std::string command =
            "cd '" + dir_.string() +
            "' && KORVEX_OPC_SERVER_CONF=/nonexistent KORVEX_OPC_INSTDIR='" + dir_.string() +
            "' '" FENLO_HOST_PATH
            "' session <stdin.txt >stdout.txt 2>stderr.txt; "
            "echo $? >rc.txt";
        std::system(command.c_str());
        code = std::stoi(readFile(dir_ / "rc.txt"));
        std::vector<json> lines;
        std::stringstream out(readFile(dir_ / "stdout.txt"));
        for (std::string line; std::getline(out, line);) lines.push_back(json::parse(line));
        return lines;
    }

    // Runs fenlo-host with `arguments`; returns its standard output.
    std::string run(const std::string& arguments, int& code) {
        const std::string command =
            "cd '" + dir_.string() +
            "' && KORVEX_OPC_SERVER_CONF=/nonexistent KORVEX_OPC_INSTDIR='" + dir_.string() +
            "' '" FENLO_HOST_PATH "' " + arguments + " >stdout.txt 2>stderr.txt; echo $? >rc.txt";
        std::system(command.c_str());
        code = std::stoi(readFile(dir_ / "rc.txt"));
        return readFile(dir_ / "stdout.txt");
    }

    std::filesystem::path dir_;
    std::string port_;
};

// The health of the bus and of each configured member, from the plug-in's extension.
TEST_F(FenloHostSimTest, StatusShowsEachConfiguredMembersHealthAndTheBus) {
    int code = -1;
    const std::string out = run("status --json --settle 10000", code);
    ASSERT_EQ(code, 0) << readFile(dir_ / "stderr.txt");
    const json status = json::parse(out);
    EXPECT_EQ(status["bus"]["port"], port_);
    EXPECT_GT(status["bus"]["exchanges"].get<int>(), 0);
    EXPECT_GT(status["bus"]["lastCycleMs"].get<double>(), 0.0);
    ASSERT_EQ(status["members"].size(), 1u);  // only the configured member
    const json& member = status["members"][0];
    EXPECT_EQ(member["address"], 3);
    EXPECT_EQ(member["state"], "good");
    EXPECT_GE(member["pollsAccepted"].get<int>(), 1);
    EXPECT_EQ(member["consecutiveFailures"], 0);
    EXPECT_EQ(member["lastGoodPoll"].get<std::string>().size(), 24u);  // ISO 8601 UTC

    const std::string table = run("status --settle 10000", code);
    EXPECT_EQ(code, 0);
    EXPECT_NE(table.find("bus " + port_ + ": cycle"), std::string::npos) << table;
    EXPECT_NE(table.find("\n03     good"), std::string::npos) << table;
}

TEST_F(FenloHostSimTest, PolledValuesTurnGoodAndWrittenValuesReadBack) {
    int code = -1;
    // After the write, read again for a while: the member is polled next, but a loaded machine
    // may take its time.
    std::string readBack;
    for (int i = 0; i < 15; ++i)
        readBack += "sleep 200\nread ADR03.Analog.Level ADR03.Analog.Far\n";
    const auto lines = session(
        "read ADR03.DEVICE_ID\n"
        "wait ADR03.DEVICE_ID good 10000\n"
        "read ADR03.DEVICE_ID ADR03.Analog.Comm\n"
        "write ADR03.Analog.Level=-1234 ADR03.Analog.Far=70000\n" +
            readBack,
        code);
    ASSERT_EQ(code, 0) << readFile(dir_ / "stderr.txt");
    ASSERT_EQ(lines.size(), 5u + 2u * 15u);
    // Before the first accepted poll: the INI name, bad quality.
    EXPECT_EQ(lines[0]["value"], "Unpolled");
    EXPECT_EQ(lines[0]["quality"], 0);
    EXPECT_EQ(lines[1]["quality"], 192);
    EXPECT_EQ(lines[2]["value"], "Sensor");
    EXPECT_EQ(lines[2]["quality"], 192);
    EXPECT_EQ(lines[3]["value"], 0);  // the error counter
    EXPECT_EQ(lines[4], json::parse(R"({"written":["ADR03.Analog.Level","ADR03.Analog.Far"]})"));
    const json& level = lines[lines.size() - 2];
    const json& far = lines.back();
    EXPECT_EQ(level["value"], -1234);
    EXPECT_EQ(level["quality"], 192);
    // The second fetch block lies right after the first in the image.
    EXPECT_EQ(far["value"], 70000);
    EXPECT_EQ(far["vt"], 3);
}

}  // namespace
