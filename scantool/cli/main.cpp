// linkspy-cli: the service tool's bus scan, bus test, test protocol, INI generation and port
// selection from a terminal or a script. Works in the current directory like the window
// version: the .cfg files, LINKSPY.INI and the protocol files are found and written there.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <system_error>

#include "cli_front_end.h"
#include "kvx/platform/codepage.h"
#include "kvx/platform/console.h"
#include "kvx/scantool/bus_access.h"
#include "kvx/scantool/dialogs.h"
#include "kvx/scantool/ports.h"
#include "kvx/scantool/scan_tool.h"

using namespace kvx::scantool;
using kvx::scantool::cli::ForTerminal;

namespace {

void PrintMemberList(const CScanToolDlg& tool) {
    for (const auto& line : tool.memberList()) std::cout << ForTerminal(line) << '\n';
    std::cout.flush();
}

nlohmann::json ScanTableJson(const CScanToolDlg& tool, bool withTest) {
    nlohmann::json members = nlohmann::json::array();
    for (int a = 0; a <= kMaxAddress; ++a) {
        const auto& e = tool.scanTable()[static_cast<std::size_t>(a)];
        nlohmann::json m = {{"address", a},
                            {"present", e.present},
                            {"memberName", ForTerminal(e.memberName)},
                            {"cfgFileName", ForTerminal(e.cfgFileName)}};
        if (withTest && e.present) {
            m["okCount"] = e.okCount;
            m["line"] = ForTerminal(static_cast<std::size_t>(a) < tool.memberList().size()
                                        ? tool.memberList()[static_cast<std::size_t>(a)]
                                        : std::string());
        }
        members.push_back(std::move(m));
    }
    nlohmann::json out = {{"port", ForTerminal(tool.portName())},
                          {"requestDelay", tool.requestDelay()},
                          {"foundMembers", tool.foundMembers()},
                          {"members", std::move(members)}};
    if (withTest) {
        out["requestedCycles"] = tool.requestedCycles();
        out["completedCycles"] = tool.completedCycles();
        out["start"] = tool.startText();
        out["end"] = tool.endText();
        out["cycleField"] = tool.cycleField();
        out["elapsedField"] = tool.elapsedField();
    }
    return out;
}

void Refuse(const std::string& text) {
    std::fputs(fmt::format("linkspy-cli: {}\n", text).c_str(), stderr);
}

// Unusable arguments: the reason, a hint, exit code 2.
int ArgumentError(const std::string& text) {
    Refuse(text);
    std::fputs("Run with --help for more information.\n", stderr);
    return 2;
}

// Scan, then the test when `cycles` is set. 0 when every step completed.
int ScanAndTest(CScanToolDlg& tool, bool test) {
    tool.OnScan();
    if (!tool.lastScanCompleted()) return 1;
    if (!test) return 0;
    if (!tool.enabled(Button::Test)) {
        Refuse("no member found, nothing to test");
        return 1;
    }
    tool.OnTest();
    return tool.lastTestCompleted() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // The messages are UTF-8 ("Can´t"): a Windows console shows them so while the tool runs.
    const kvx::platform::Utf8Console utf8;
    CLI::App app{"KVX RS485 link spy: bus scan, bus test, test protocol and driver INI generation"};
    // Options of the program (-C, --port, --delay) may also follow the command; the commands
    // created below inherit this.
    app.fallthrough();
    app.set_version_flag("--version", std::string("linkspy-cli ") + KVX_VERSION);

    std::string directory;
    std::optional<std::string> port;
    std::optional<int> delay;
    app.add_option("-C", directory, "Change to DIR first")->option_text("DIR");
    app.add_option("--port", port, "Port for this run (not stored)");
    app.add_option("--delay", delay, "Request delay in ms")->check(CLI::Range(0, 60000));

    cli::DialogAnswers answers;

    auto* ports = app.add_subcommand("ports", "List the ports that can be opened now");

    auto* portTest = app.add_subcommand("port-test", "Test whether the port can be opened");
    std::optional<std::string> testName;
    portTest->add_option("NAME", testName, "Port to test (default: the tool's port)");

    auto* portCmd = app.add_subcommand("port", "Port selection");
    auto* portSet = portCmd->add_subcommand("set", "Choose the port and store it in LINKSPY.INI");
    std::string setName;
    portSet->add_option("NAME", setName, "Port name")->required();

    bool json = false;
    auto* scan = app.add_subcommand("scan", "Scan the bus and print the member list");
    scan->add_flag("--json", json, "Print the scan table as JSON");

    int cycles = 0;
    auto* test = app.add_subcommand("test", "Scan, then test the members over N cycles");
    test->add_option("--cycles", cycles, "Number of cycles (10 to 10000)")
        ->required()
        ->check(CLI::Range(CCyclesDlg::kMinCycles, CCyclesDlg::kMaxCycles));
    test->add_flag("--json", json, "Print the scan table with the test figures as JSON");

    auto* report = app.add_subcommand("report", "Scan, test, then save the test protocol");
    std::string type = "xls";
    std::optional<std::string> file;
    std::string comment;
    report->add_option("--cycles", cycles, "Number of cycles (10 to 10000)")
        ->required()
        ->check(CLI::Range(CCyclesDlg::kMinCycles, CCyclesDlg::kMaxCycles));
    report->add_option("--type", type, "File type")->check(CLI::IsMember({"txt", "xls"}));
    report->add_option("--file", file, "File name (without a dot the type's extension is added)");
    report->add_option("--comment", comment, "Short comment (at most 250 characters)");

    auto* generate = app.add_subcommand("generate", "Scan, then write fenlodrv.ini");
    generate->add_flag("--system-dir", answers.systemDirectory,
                       "Write into the system directory (/etc)");
    std::optional<std::string> com;
    generate->add_option("--com", com, "Port to name in the file (default: the tool's port)");

    auto* fetch = app.add_subcommand("fetch", "Read one block from a member");
    int addr = 0, data = 0, count = 0;
    fetch->add_option("--addr", addr, "Bus address")->required()->check(CLI::Range(0, 255));
    fetch->add_option("--data", data, "Data address")->required()->check(CLI::Range(0, 255));
    fetch->add_option("--count", count, "Byte count")
        ->required()
        ->check(CLI::Range(0, kMaxFetchBytes));

    // Anything the commands do not take is collected here and named below.
    app.allow_extras();
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return ArgumentError(e.what());
    }
    const auto unknownCommand = [&app](const std::string& what) {
        if (!app.remaining().empty() && app.remaining().front().rfind('-', 0) != 0) {
            return ArgumentError(
                fmt::format("unknown command \"{}{}\"", what, app.remaining().front()));
        }
        return ArgumentError(what.empty() ? "a command is required"
                                          : fmt::format("{}needs a command: set", what));
    };
    if (app.get_subcommands().empty()) return unknownCommand("");
    if (*portCmd && !*portSet) return unknownCommand("port ");
    if (!app.remaining().empty()) {
        std::string extras;
        for (const auto& a : app.remaining()) extras += (extras.empty() ? "" : " ") + a;
        return ArgumentError(fmt::format("unexpected arguments: {}", extras));
    }

    if (!directory.empty()) {
        std::error_code ec;
        std::filesystem::current_path(directory, ec);
        if (ec) {
            Refuse(fmt::format("cannot change to {}: {}", directory, ec.message()));
            return 2;
        }
    }

    const std::string ansiComment = kvx::platform::Utf8ToAnsi(comment);
    if (ansiComment.size() > CSaveProtocolDlg::kCommentLimit) {
        Refuse(fmt::format("the comment has more than {} characters",
                           CSaveProtocolDlg::kCommentLimit));
        return 2;
    }
    answers.cycles = cycles;
    answers.comment = ansiComment;
    answers.fileType = type == "txt" ? 0 : 1;
    if (file) {
        // The dialog's rules work on ANSI text; the name must come back unchanged from it.
        answers.fileName = kvx::platform::Utf8ToAnsi(*file);
        if (kvx::platform::AnsiToUtf8(*answers.fileName) != *file) {
            return ArgumentError(fmt::format(
                "the file name \"{}\" has characters that Windows-1252 cannot hold", *file));
        }
    }
    if (com) answers.iniPort = *com;
    if (*portSet) answers.portChoice = setName;

    if (*ports) {
        // One line per device: a by-id link with the device it leads to.
        for (const auto& c : PortCandidates()) {
            if (!TrialOpen(c.name)) continue;
            std::cout << c.name << (c.device.empty() ? "" : "  (" + c.device + ")") << '\n';
        }
        return 0;
    }

    cli::CliFrontEnd frontEnd(answers);
    ToolEnvironment environment;
    environment.title = std::filesystem::path(argv[0]).stem().string();
    CScanToolDlg tool(frontEnd, environment);
    frontEnd.SetAddressSource([&tool] { return tool.currentAddress(); });
    tool.OverrideRequestDelay(delay);
    tool.Start();
    if (port && !tool.OverridePort(*port)) return 2;

    if (*portTest) {
        const std::string name = testName.value_or(tool.portName());
        if (TrialOpen(name)) {
            frontEnd.ShowMessage("Test OK!", "ZAN LINKSPY COM-TEST", MessageIcon::Information);
            return 0;
        }
        frontEnd.ShowMessage("No access to the COM-Port!\nChange Com-Port",
                             "ZAN LINKSPY COM-TEST-ERROR", MessageIcon::Warning);
        return 1;
    }
    if (*portSet) {
        tool.OnCom();
        return tool.lastFileWritten() ? 0 : 1;
    }
    if (*fetch) {
        std::array<std::uint8_t, kReceiveAreaSize> area{};
        tool.bus().answerTimeout = AnswerTimeout(tool.requestDelay(), count);
        const int n = tool.bus().FetchBlock(area, addr, data, count, 0);
        std::cout << n << '\n';
        const int arrived = std::clamp(n - 9, 0, count);
        std::string hex;
        for (int i = 0; i < arrived; ++i) {
            hex += fmt::format("{}{:02X}", i ? " " : "", area[static_cast<std::size_t>(i)]);
        }
        std::cout << hex << '\n';
        return n == count + 11 ? 0 : 1;
    }

    int rc = 0;
    if (*scan) {
        rc = ScanAndTest(tool, false);
        if (json) {
            std::cout << ScanTableJson(tool, false).dump(2) << '\n';
        } else {
            PrintMemberList(tool);
        }
        return rc;
    }
    if (*test) {
        rc = ScanAndTest(tool, true);
        if (json) {
            std::cout << ScanTableJson(tool, true).dump(2) << '\n';
        } else {
            PrintMemberList(tool);
            std::cout << "Cycle: " << tool.cycleField() << '\n'
                      << "Test-Time: " << tool.elapsedField() << '\n';
        }
        return rc;
    }
    if (*report) {
        // The file name is settled as the dialog settles it, before the scan and the test
        // spend their time on a protocol that could not be saved.
        CSaveProtocolDlg preview(".", '/');
        preview.Open();
        frontEnd.RunSaveProtocolDialog(preview);
        switch (preview.outcome()) {
            case CSaveProtocolDlg::Outcome::Ok:
                break;
            case CSaveProtocolDlg::Outcome::ExtensionError:
                frontEnd.ShowMessage("Extension Error", "ZAN LINKSPY FILE-ERROR",
                                     MessageIcon::Warning);
                return 2;
            case CSaveProtocolDlg::Outcome::NotAFileName:
                frontEnd.ShowMessage(
                    preview.fileName() + " is no file name in the current directory!",
                    "ZAN LINKSPY FILE-ERROR", MessageIcon::Warning);
                return 2;
            default:
                return ArgumentError(
                    "report needs a file name: give --file NAME, or a --comment whose beginning "
                    "names the file (up to its first line break or \".\", at most 36 "
                    "characters)");
        }
        rc = ScanAndTest(tool, true);
        if (!tool.enabled(Button::Report)) return rc == 0 ? 1 : rc;
        tool.OnReport();
        if (!tool.lastFileWritten()) return 1;
        std::cout << tool.lastFilePath().string() << '\n';
        return rc;
    }
    if (*generate) {
        rc = ScanAndTest(tool, false);
        if (rc != 0 || !tool.enabled(Button::Generate)) return 1;
        tool.OnGenerate();
        if (!tool.lastFileWritten()) return 1;
        std::cout << tool.lastFilePath().string() << '\n';
        return 0;
    }
    return 0;
}
