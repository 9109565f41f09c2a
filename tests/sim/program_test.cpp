// The kxbus-sim program, run as users run it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "kvx/bus/bus_link.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

const std::string kProgram = KXBUS_SIM_PATH;
const fs::path kSamples = KVX_SAMPLES_DIR;

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class ProgramTest : public ::testing::Test {
  protected:
    ProgramTest() {
        dir = fs::temp_directory_path() /
              ("kvx-sim-prog-" +
               std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        fs::create_directories(dir);
    }
    ~ProgramTest() override {
        // A program still running after a failed check is stopped here.
        if (fs::exists(dir / "pid") && !fs::exists(dir / "rc")) {
            std::system(("kill -TERM $(cat '" + (dir / "pid").string() + "') 2>/dev/null").c_str());
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        fs::remove_all(dir);
    }

    // Runs the program to its end; returns its exit code, stderr in `err`.
    int run(const std::string& args, std::string& err) {
        const std::string cmd = "'" + kProgram + "' " + args + " >'" + (dir / "out").string() +
                                "' 2>'" + (dir / "err").string() + "' </dev/null";
        const int status = std::system(("timeout 10 " + cmd).c_str());
        err = slurp(dir / "err");
        // std::system gives the wait status; the exit code is its second byte.
        return (status >> 8) & 0xFF;
    }

    fs::path dir;
};

TEST_F(ProgramTest, BadInputGivesExitCodeTwoAndNamesTheFault) {
    std::string err;
    EXPECT_EQ(run("--member 3=/nonexistent/tc200.cfg", err), 2);
    EXPECT_THAT(err, HasSubstr("/nonexistent/tc200.cfg: cannot be read"));

    EXPECT_EQ(run("--member 40=" + (kSamples / "devices/tc200.cfg").string(), err), 2);
    EXPECT_THAT(err, HasSubstr("bus address 40 is outside 0..31"));

    EXPECT_EQ(run("--member tc200.cfg", err), 2);
    EXPECT_THAT(err, HasSubstr("ADDR=FILE.cfg is expected"));

    EXPECT_EQ(run("--member 3=" + (kSamples / "devices/tc200.cfg").string() +
                      " --member 3=" + (kSamples / "devices/fd7.cfg").string(),
                  err),
              2);
    EXPECT_THAT(err, HasSubstr("given twice"));

    std::ofstream(dir / "broken.json") << "{\"members\": {\"3\": ";
    EXPECT_EQ(run("--scenario '" + (dir / "broken.json").string() + "'", err), 2);
    EXPECT_THAT(err, AllOf(HasSubstr("broken.json"), HasSubstr("not valid JSON")));

    std::ofstream(dir / "addr.json") << R"({"members": {"33": {}}})";
    EXPECT_EQ(run("--scenario '" + (dir / "addr.json").string() + "'", err), 2);
    EXPECT_THAT(err, AllOf(HasSubstr("addr.json"), HasSubstr("outside 0..31")));

    // A cfg named by the scenario that is missing: named relative to the scenario's folder.
    std::ofstream(dir / "cfg.json") << R"({"members": {"3": {"cfg": "missing.cfg"}}})";
    EXPECT_EQ(run("--scenario '" + (dir / "cfg.json").string() + "'", err), 2);
    EXPECT_THAT(err, HasSubstr((dir / "missing.cfg").string() + ": cannot be read"));

    EXPECT_EQ(run("--scenario '" + (dir / "none.json").string() + "'", err), 2);
    EXPECT_THAT(err, HasSubstr("none.json: cannot be read"));

    // A link path that is a plain file is not replaced.
    std::ofstream(dir / "plain") << "keep";
    EXPECT_EQ(run("--link '" + (dir / "plain").string() + "'", err), 2);
    EXPECT_THAT(err, HasSubstr("exists and is not a symbolic link"));
    EXPECT_EQ(slurp(dir / "plain"), "keep");

    EXPECT_EQ(run("--frobnicate", err), 2);
    // Nothing was started: no device line.
    EXPECT_EQ(slurp(dir / "out").find("pty "), std::string::npos);
}

TEST_F(ProgramTest, ServesTheDeviceUntilTerminated) {
    const fs::path link = dir / "bus";
    const fs::path out = dir / "out";
    {
        std::ofstream script(dir / "run.sh");
        script << "cd '" << dir.string() << "'\n"
               << "( '" << kProgram << "' --scenario '"
               << (kSamples / "scenarios/demo.json").string() << "' --link '" << link.string()
               << "' --no-wire-timing --log >out 2>err &\n"
               << "  echo $! >pid; wait $!; echo $? >rc ) &\n";
    }
    ASSERT_EQ(std::system(
                  ("bash '" + (dir / "run.sh").string() + "' </dev/null >/dev/null 2>&1").c_str()),
              0);

    // The first line names the device, and the link points at it.
    std::string text;
    for (int i = 0; i < 100 && text.find('\n') == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        text = slurp(out);
    }
    ASSERT_EQ(text.rfind("pty /dev/", 0), 0u) << text;
    const std::string device = text.substr(4, text.find('\n') - 4);
    for (int i = 0; i < 100 && !fs::is_symlink(link); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), device);

    // A read through the link: the TC-200 at address 3 shows its identification.
    kvx::bus::BusLink bus;
    bus.setPortName(link.string());
    std::uint8_t buf[256];
    ASSERT_EQ(bus.BusReadBlock(buf, 3, 0, 32, 0), 43);
    EXPECT_EQ(std::string(buf + 4, buf + 10), "KORVEX");
    EXPECT_EQ(std::string(buf + 12, buf + 17), "TC200");
    EXPECT_EQ(bus.BusReadBlock(buf, 4, 0, 10, 0), 0);  // nobody at address 4

    ASSERT_EQ(std::system(("kill -TERM $(cat '" + (dir / "pid").string() + "')").c_str()), 0);
    for (int i = 0; i < 100 && !fs::exists(dir / "rc"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(slurp(dir / "rc"), "0\n");
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    const std::string log = slurp(out);
    EXPECT_THAT(log,
                HasSubstr("ADR 03 READ  rx 00 00 00 10 03 00 00 20 33 16 | tx 00 00 00 68 03"));
    EXPECT_THAT(log, HasSubstr("ADR 04 READ  rx 00 00 00 10 04 00 00 0A 1E 16 | no member"));
    EXPECT_THAT(slurp(dir / "err"), HasSubstr("stopped (SIGTERM)"));
}

TEST_F(ProgramTest, AppliesScenarioChangesFromStandardInputWhileServing) {
    const fs::path link = dir / "bus";
    {
        // A memory change, a line that is refused, then silence of the member.
        std::ofstream changes(dir / "changes.txt");
        changes << R"({"members": {"3": {"memory": [{"offset": 12, "text": "XY200"}]}}})" << '\n'
                << R"({"members": {"3": {"cfg": "other.cfg"}}})" << '\n'
                << '\n'
                << R"({"members": {"3": {"faults": {"silence": 1}}}})" << '\n';
        std::ofstream script(dir / "run.sh");
        script << "cd '" << dir.string() << "'\n"
               << "( { sleep 0.5; head -n 1 changes.txt; sleep 1; tail -n +2 changes.txt; sleep "
                  "30; } | '"
               << kProgram << "' --scenario '" << (kSamples / "scenarios/demo.json").string()
               << "' --link '" << link.string() << "' --no-wire-timing --changes >out 2>err &\n"
               << "  echo $! >pid; wait $!; echo $? >rc ) &\n";
    }
    ASSERT_EQ(std::system(
                  ("bash '" + (dir / "run.sh").string() + "' </dev/null >/dev/null 2>&1").c_str()),
              0);
    auto waitFor = [&](const std::string& text) {
        for (int i = 0; i < 100 && slurp(dir / "out").find(text) == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return slurp(dir / "out").find(text) != std::string::npos;
    };
    ASSERT_TRUE(waitFor("changed 1\n")) << slurp(dir / "out") << slurp(dir / "err");

    kvx::bus::BusLink bus;
    bus.setPortName(link.string());
    std::uint8_t buf[256];
    ASSERT_EQ(bus.BusReadBlock(buf, 3, 0, 32, 0), 43);
    EXPECT_EQ(std::string(buf + 12, buf + 17), "XY200");

    // The refused line is named and skipped; the empty line is no change; the next one applies.
    ASSERT_TRUE(waitFor("changed 4\n")) << slurp(dir / "out") << slurp(dir / "err");
    EXPECT_THAT(slurp(dir / "err"),
                HasSubstr("standard input line 2: members.3.cfg: members are not replaced here"));
    EXPECT_EQ(slurp(dir / "out").find("changed 2"), std::string::npos);
    EXPECT_EQ(bus.BusReadBlock(buf, 3, 0, 32, 0), 0);  // silent now
}

}  // namespace
