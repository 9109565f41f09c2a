// linkspy-cli end to end: the program against the sample devices on the simulator, the files
// it writes, and the generated fenlodrv.ini driving the plug-in through fenlo-host.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "kvx/platform/serial_device.h"
#include "kvx/sim/simulator.h"
#include "temp_dir.h"

namespace {

using kvx::testing::TempDir;

struct CliRun {
    int code = -1;
    std::string out;
    std::string err;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream ss(text);
    for (std::string line; std::getline(ss, line);) lines.push_back(line);
    return lines;
}

class CliTest : public ::testing::Test {
  protected:
    static constexpr int kDelay = 40;

    void SetUp() override {
        const std::filesystem::path samples = KVX_SAMPLES_DIR;
        for (const char* name : {"tc200.cfg", "dio16.cfg", "fd7.cfg"}) {
            std::filesystem::copy_file(samples / "devices" / name, dir_ / name);
        }
        sim_.addMemberFromCfg(3, dir_ / "tc200.cfg");
        sim_.addMemberFromCfg(7, dir_ / "dio16.cfg");
        sim_.addMemberFromCfg(12, dir_ / "fd7.cfg");
        sim_.start();
        dir_.write("LINKSPY.INI", "[RS232]\r\nCOM=" + sim_.devicePath() +
                                      "\r\n[Timeout]\r\nTime=" + std::to_string(kDelay) + "\r\n");
    }

    // Runs linkspy-cli in `where` (the working directory by default) with stdin empty. With
    // `whileRunning` the program runs in the background, and that is called with its process
    // id before the program is waited for.
    CliRun Cli(const std::string& args, const std::string& prefix = {},
               std::optional<std::filesystem::path> where = {},
               std::function<void(const std::string& pid)> whileRunning = {}) {
        const auto d = where.value_or(dir_.path());
        const std::string program = prefix + "'" LINKSPY_CLI "' " + args + " </dev/null >'" +
                                    (out_ / "stdout").string() + "' 2>'" +
                                    (out_ / "stderr").string() + "'";
        const std::string rc = " echo $? >'" + (out_ / "rc").string() + "'";
        if (!whileRunning) {
            const std::string command = "cd '" + d.string() + "' && " + program + ";" + rc;
            std::system(command.c_str());
        } else {
            // The shell stays the program's parent and collects its exit status.
            const std::filesystem::path pidFile = out_ / "pid";
            std::filesystem::remove(pidFile);
            const std::string command = "cd '" + d.string() + "' && { " + program +
                                        " & echo $! >'" + pidFile.string() + ".new' && mv '" +
                                        pidFile.string() + ".new' '" + pidFile.string() +
                                        "'; wait $!;" + rc + "; }";
            std::thread shell([command] { std::system(command.c_str()); });
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (!std::filesystem::exists(pidFile) && std::chrono::steady_clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_TRUE(std::filesystem::exists(pidFile)) << "the program did not start";
            whileRunning(TempDir::read(pidFile));
            shell.join();
        }
        CliRun run;
        run.code = std::stoi(TempDir::read(out_ / "rc"));
        run.out = TempDir::read(out_ / "stdout");
        run.err = TempDir::read(out_ / "stderr");
        return run;
    }

    static void Signal(std::string pid, const std::string& name = "INT") {
        while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
        const std::string command = "kill -" + name + " " + pid;
        std::system(command.c_str());
    }

    std::string MemberLine(int a) const {
        const std::string adr = (a <= 9 ? "0" : "") + std::to_string(a);
        switch (a) {
            case 3:
                return "Adr. 03:\tTC-200\ttc200.cfg";
            case 7:
                return "Adr. 07:\tDIO-16\tdio16.cfg";
            case 12:
                return "Adr. 12:\tFD-7\tfd7.cfg";
            default:
                return "Adr. " + adr + ":\t-----\t-----";
        }
    }

    TempDir dir_;
    TempDir out_;
    // Answers come whole: the program's output, not the line's timing, is checked here, and
    // a paced answer can stall on a loaded machine past the tool's interval time-out.
    kvx::sim::Simulator sim_{kvx::sim::SimulatorOptions{false, 1}};
};

TEST_F(CliTest, ScanListsTheSampleDevices) {
    const CliRun run = Cli("scan");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const auto lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 32u) << run.out;
    for (int a = 0; a < 32; ++a) EXPECT_EQ(lines[static_cast<std::size_t>(a)], MemberLine(a));

    const CliRun json = Cli("scan --json");
    ASSERT_EQ(json.code, 0) << json.err;
    const auto table = nlohmann::json::parse(json.out);
    EXPECT_EQ(table["foundMembers"], 3);
    EXPECT_EQ(table["requestDelay"], kDelay);
    EXPECT_EQ(table["members"][7]["memberName"], "DIO-16");
    EXPECT_EQ(table["members"][7]["present"], true);
    EXPECT_EQ(table["members"][8]["present"], false);
}

TEST_F(CliTest, TestPrintsPercentagesAndFields) {
    const CliRun run = Cli("test --cycles 10");
    ASSERT_EQ(run.code, 0) << run.err;
    const auto lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 34u) << run.out;
    EXPECT_EQ(lines[3], MemberLine(3) + "\t10 / 10\t100,00%");
    EXPECT_EQ(lines[12], MemberLine(12) + "\t10 / 10\t100,00%");
    EXPECT_EQ(lines[0], MemberLine(0));
    EXPECT_EQ(lines[32], "Cycle: 10 / 10 ");
    EXPECT_TRUE(std::regex_match(lines[33], std::regex(R"(Test-Time: \d+:\d\d:\d\d )")))
        << lines[33];
}

TEST_F(CliTest, TextReportWithCommentAndFileName) {
    const CliRun run =
        Cli("report --cycles 10 --type txt --file proto --comment \"$(printf 'Site 3\\nBus A')\"");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, (dir_ / "proto.txt").string() + "\n");
    std::string text = TempDir::read(dir_ / "proto.txt");
    // Date and times masked.
    text = std::regex_replace(
        text, std::regex(R"(\d{1,2}\.\d\d\.\d{4}  --  Start: \d+:\d\d:\d\d -- End: \d+:\d\d:\d\d)"),
        "DATE  --  Start: T -- End: T");
    text = std::regex_replace(text, std::regex(R"(Test-Time: \d+:\d\d:\d\d )"), "Test-Time: T ");
    std::string lines;
    for (int a = 0; a < 32; ++a) {
        const std::string adr = (a <= 9 ? "0" : "") + std::to_string(a);
        if (a == 3) {
            lines += "Adr.03:\tTC-200\t\ttc200.cfg\t10 / 10\t\t100,00%\r\n";
        } else if (a == 7) {
            lines += "Adr.07:\tDIO-16\t\tdio16.cfg\t10 / 10\t\t100,00%\r\n";
        } else if (a == 12) {
            lines += "Adr.12:\tFD-7\t\tfd7.cfg\t\t10 / 10\t\t100,00%\r\n";
        } else {
            lines += "Adr." + adr + ":\t-----\t\t-----\r\n";
        }
    }
    const std::string dashes(64, '-');
    EXPECT_EQ(text,
              "Site 3\r\r\nBus A\r\n\r\nDATE  --  Start: T -- End: T\r\n\r\n"
              "Adr.\tname\t\tconfig\t\tOK / Cycles\tin %\r\n" +
                  dashes + "\r\n" + lines + dashes +
                  "\r\nTest-Time: T \r\nMax. Request-Delay: 40ms");
}

TEST_F(CliTest, TableReportNamedAfterTheCommentAndRefusedExtension) {
    CliRun run = Cli("report --cycles 10 --comment 'Site 3'");
    ASSERT_EQ(run.code, 0) << run.err;
    const std::string table = TempDir::read(dir_ / "Site 3.xls");
    EXPECT_NE(table.find("\r\nSite 3\r\n\r\nMax. Request-Delay: "
                         "40ms\r\n\r\nAdr.\tname\tconfig\tOK\tCycles\tin %\r\n"
                         " 00\t-----\t-----\r\n"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("\r\n 07\tDIO-16\tdio16.cfg\t10 \t 10\t100,00\r\n"), std::string::npos);

    // A refused name is refused before the scan: no frame goes out.
    sim_.clearFrames();
    run = Cli("report --cycles 10 --type txt --file report.old.txt");
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(run.err, "ZAN LINKSPY FILE-ERROR: Extension Error\n");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "report.old.txt"));
    run = Cli("report --cycles 10");
    EXPECT_EQ(run.code, 2);
    EXPECT_NE(run.err.find("linkspy-cli: report needs a file name: give --file NAME"),
              std::string::npos)
        << run.err;
    run = Cli("report --cycles 10 --comment '.hidden'");  // the name never follows
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(sim_.frameCount(), 0u);
}

TEST_F(CliTest, ArgumentErrorsExitTwoAndOptionsGoEitherSide) {
    const std::string usage = "Run with --help for more information.\n";
    CliRun run = Cli("frobnicate");
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(run.err, "linkspy-cli: unknown command \"frobnicate\"\n" + usage);
    run = Cli("");
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(run.err, "linkspy-cli: a command is required\n" + usage);
    run = Cli("port frob");
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(run.err, "linkspy-cli: unknown command \"port frob\"\n" + usage);
    for (const char* bad : {"test", "test --cycles 9", "scan --bogus", "scan extra",
                            "fetch --addr 3 --data 0 --count 246", "--delay -1 scan"}) {
        run = Cli(bad);
        EXPECT_EQ(run.code, 2) << bad << ": " << run.err;
        EXPECT_NE(run.err.find(usage), std::string::npos) << bad << ": " << run.err;
    }
    EXPECT_EQ(sim_.frameCount(), 0u);
    EXPECT_EQ(Cli("--help").code, 0);

    // The program's options after the command: the INI names a port that does not exist.
    dir_.write("LINKSPY.INI", "[RS232]\r\nCOM=/dev/kvx-no-such-port\r\n");
    run =
        Cli("scan --port '" + sim_.devicePath() + "' --delay 40 -C '" + dir_.path().string() + "'",
            {}, out_.path());
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(Lines(run.out).at(7), MemberLine(7));
    run = Cli("fetch --addr 3 --data 4 --count 8 --port '" + sim_.devicePath() + "'");
    EXPECT_EQ(run.code, 0) << run.err;
}

TEST_F(CliTest, ReportNameFollowsTheCommentAsItIsTyped) {
    // The name follows the comment up to its first line break or "." ...
    CliRun run = Cli("report --cycles 10 --comment \"$(printf 'Site 4\\nBus A. North')\"");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(std::filesystem::exists(dir_ / "Site 4.xls"));
    // ... and up to its 36th character.
    const std::string longComment = "Commissioning of the north station bus A";
    run = Cli("report --cycles 10 --type txt --comment '" + longComment + "'");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(std::filesystem::exists(dir_ / (longComment.substr(0, 36) + ".txt")));
}

TEST_F(CliTest, FileNamesStayFileSystemNames) {
    std::filesystem::rename(dir_ / "dio16.cfg", dir_ /
                                                    "dio16-pr\xC3\xBC"
                                                    "f.cfg");
    CliRun run = Cli("scan");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(Lines(run.out).at(7),
              "Adr. 07:\tDIO-16\tdio16-pr\xC3\xBC"
              "f.cfg");

    run =
        Cli("report --cycles 10 --comment 'Pr\xC3\xBC"
            "fung'");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, (dir_ / "Pr\xC3\xBC"
                               "fung.xls")
                               .string() +
                           "\n");
    const std::string table = TempDir::read(dir_ /
                                            "Pr\xC3\xBC"
                                            "fung.xls");
    EXPECT_NE(table.find("\r\nPr\xFC"
                         "fung\r\n"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("\tdio16-pr\xFC"
                         "f.cfg\t"),
              std::string::npos)
        << table;

    run = Cli("report --cycles 10 --type txt --file 'Bericht-\xC3\xA4'");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(std::filesystem::exists(dir_ / "Bericht-\xC3\xA4.txt"));
    sim_.clearFrames();
    run = Cli("report --cycles 10 --file '\xE5\xA0\xB1'");  // no Windows-1252 form
    EXPECT_EQ(run.code, 2);
    EXPECT_NE(run.err.find("characters that Windows-1252 cannot hold"), std::string::npos);
    EXPECT_EQ(sim_.frameCount(), 0u);
}

TEST_F(CliTest, GenerateWritesTheDriverIni) {
    const CliRun run = Cli("generate --com COM3");
    ASSERT_EQ(run.code, 0) << run.err;
    std::string ini = TempDir::read(dir_ / "fenlodrv.ini");
    ini = std::regex_replace(ini,
                             std::regex(R"(Last Update \d{1,2}\.\d\d\.\d{4} - \d+:\d\d:\d\d \r\n)"),
                             "Last Update DATE - TIME \r\n");
    EXPECT_EQ(ini,
              "\r\n;      Init-file for  ZAN Korvex OPC-Server V2.x \r\n"
              ";              Last Update DATE - TIME \r\n\r\n"
              "[RS232]\r\nCOM=COM3\r\n\r\n;----- only used by V1.x----\r\n"
              "[KXBUS]\r\nMAXADR=31\r\n;---------------------------\r\n\r\n"
              "[SLAVE03]\r\nCFG=tc200.cfg\r\nNAME=TC-200\r\n\r\n"
              "[SLAVE07]\r\nCFG=dio16.cfg\r\nNAME=DIO-16\r\n\r\n"
              "[SLAVE12]\r\nCFG=fd7.cfg\r\nNAME=FD-7\r\n\r\n");
}

#ifdef FENLO_HOST_PATH
TEST_F(CliTest, GeneratedIniDrivesThePlugInToTheSameMembers) {
    // One description with a name beyond ASCII: the INI holds it as ANSI text, the plug-in
    // finds the file as the file system spells it.
    std::filesystem::rename(dir_ / "dio16.cfg", dir_ /
                                                    "dio16-pr\xC3\xBC"
                                                    "f.cfg");
    const CliRun run = Cli("generate");
    ASSERT_EQ(run.code, 0) << run.err;
    ASSERT_NE(TempDir::read(dir_ / "fenlodrv.ini")
                  .find("CFG=dio16-pr\xFC"
                        "f.cfg\r\n"),
              std::string::npos);
    // The plug-in reads the generated file from its installation directory, polls the
    // members on the simulator and names them as the scan did.
    dir_.write(
        "session.txt",
        "wait ADR03.DEVICE_ID good 10000\nwait ADR07.DEVICE_ID good 10000\n"
        "wait ADR12.DEVICE_ID good 10000\nread ADR03.DEVICE_ID ADR07.DEVICE_ID ADR12.DEVICE_ID\n");
    const std::string command =
        "cd '" + dir_.path().string() +
        "' && KORVEX_OPC_SERVER_CONF=/nonexistent KORVEX_OPC_INSTDIR='" + dir_.path().string() +
        "' '" FENLO_HOST_PATH "' session <session.txt >'" + (out_ / "host.out").string() + "' 2>'" +
        (out_ / "host.err").string() + "'; echo $? >'" + (out_ / "rc").string() + "'";
    std::system(command.c_str());
    ASSERT_EQ(std::stoi(TempDir::read(out_ / "rc")), 0) << TempDir::read(out_ / "host.err");
    std::vector<nlohmann::json> reads;
    for (const auto& line : Lines(TempDir::read(out_ / "host.out"))) {
        auto j = nlohmann::json::parse(line);
        if (j.contains("value")) reads.push_back(j);
    }
    ASSERT_EQ(reads.size(), 3u) << TempDir::read(out_ / "host.out");
    EXPECT_EQ(reads[0]["value"], "TC-200");
    EXPECT_EQ(reads[1]["value"], "DIO-16");
    EXPECT_EQ(reads[2]["value"], "FD-7");
    for (const auto& r : reads) EXPECT_EQ(r["quality"], 192) << r.dump();
}
#endif

TEST_F(CliTest, TerminateRequestEndsTheScanWithoutATerminal) {
    // Each empty address waits 300 ms, so the whole scan takes over 8 s; the request (a
    // SIGTERM: Ctrl-C is the first of the next test) comes once addresses 0 and 1 have had
    // their three probes, however slowly a loaded machine runs the program.
    const CliRun run = Cli("--delay 300 scan", "", {}, [this](const std::string& pid) {
        EXPECT_TRUE(sim_.waitForFrames(7, std::chrono::seconds(60)));
        Signal(pid, "TERM");
    });
    EXPECT_EQ(run.code, 1) << run.err;
    const auto lines = Lines(run.out);
    EXPECT_GT(lines.size(), 0u);
    EXPECT_LT(lines.size(), 32u);
    for (std::size_t a = 0; a < lines.size(); ++a)
        EXPECT_EQ(lines[a], MemberLine(static_cast<int>(a)));
    EXPECT_EQ(run.err, "");  // Cancel confirmed: no message
}

TEST_F(CliTest, SecondInterruptEndsALongReadAtOnce) {
    // Address 0 is empty and every probe waits 15 s: the first Ctrl-C, once the first probe
    // is on the line, is the Cancel press, which the scan could take only after the read;
    // the second ends the program at once.
    std::chrono::steady_clock::time_point interrupted;
    const CliRun run = Cli("--delay 15000 scan", "", {}, [&](const std::string& pid) {
        EXPECT_TRUE(sim_.waitForFrames(1, std::chrono::seconds(60)));
        interrupted = std::chrono::steady_clock::now();
        Signal(pid);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Signal(pid);
    });
    const auto elapsed = std::chrono::steady_clock::now() - interrupted;
    EXPECT_EQ(run.code, 128 + SIGINT);
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(sim_.frameCount(), 1u);  // the first probe, and no further one
}

TEST_F(CliTest, PortCommands) {
    CliRun run = Cli("port-test");
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.err, "ZAN LINKSPY COM-TEST: Test OK!\n");
    {
        int error = 0;
        auto holder = kvx::platform::SerialDevice::open(sim_.devicePath(), error);
        ASSERT_TRUE(holder);
        run = Cli("port-test");
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(run.err,
                  "ZAN LINKSPY COM-TEST-ERROR: No access to the COM-Port!\nChange Com-Port\n");
        // A scan whose port is held turns to the port selection, which has no terminal here.
        run = Cli("scan");
        EXPECT_EQ(run.code, 1);
        EXPECT_NE(run.err.find("linkspy-cli: No access to the COM-Port!\nChange Com-Port\n"),
                  std::string::npos)
            << run.err;
    }
    run = Cli("port-test /dev/kvx-no-such-port");
    EXPECT_EQ(run.code, 1);
    run = Cli("port set COM12");
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(TempDir::read(dir_ / "LINKSPY.INI"),
              "[RS232]\r\nCOM=COM12\r\n[Timeout]\r\nTime=40\r\n");
    run = Cli("ports");
    EXPECT_EQ(run.code, 0);
}

TEST_F(CliTest, FetchProbesOneBlock) {
    CliRun run = Cli("fetch --addr 3 --data 4 --count 8");
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "19\n4B 4F 52 56 45 58 20 20\n");
    run = Cli("fetch --addr 9 --data 0 --count 10");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "0\n\n");
}

TEST_F(CliTest, WithoutIniTheMessagesAndTheOverrides) {
    TempDir elsewhere;
    for (const char* name : {"tc200.cfg", "dio16.cfg", "fd7.cfg"}) {
        std::filesystem::copy_file(dir_ / name, elsewhere / name);
    }
    const CliRun run = Cli(
        "-C '" + elsewhere.path().string() + "' --port '" + sim_.devicePath() + "' --delay 40 scan",
        "PATH=/usr/bin:/bin ");
    EXPECT_EQ(run.code, 0) << run.err;
    const std::string missing = "ZAN LINKSPY INI-ERROR: Can\xC2\xB4t found the LINKSPY.INI file!\n";
    EXPECT_EQ(run.err, missing + missing);  // at start and before the scan
    EXPECT_EQ(Lines(run.out).at(12), MemberLine(12));
    const CliRun bad = Cli("-C /nonexistent/dir scan");
    EXPECT_EQ(bad.code, 2);
}

}  // namespace
