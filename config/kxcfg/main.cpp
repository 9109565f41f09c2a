// kxcfg: shows how the plug-in and the scan tool read a device description file, and checks
// such files for the mistakes that make them read differently from what the author meant.

#include <CLI/CLI.hpp>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kvx/config/cfg_check.h"
#include "kvx/config/device_description.h"
#include "kvx/platform/codepage.h"

namespace {

using json = nlohmann::ordered_json;
using namespace kvx::config;

// Texts in .cfg files are Windows-1252; JSON wants UTF-8.
std::string utf8(const std::string& ansi) {
    return kvx::platform::AnsiToUtf8(ansi);
}

// The factor as its shortest float text reads, so 0.1 shows as 0.1 and not as the
// double nearest to the float.
double shortestFloat(float f) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, f);
    double d = 0.0;
    std::from_chars(buf, res.ptr, d);
    return d;
}

json recordJson(const CfgRecord& r) {
    json j;
    j["line"] = r.line;
    j["kind"] = static_cast<int>(r.kind);
    switch (r.kind) {
        case RecordKind::Ignored:
            break;
        case RecordKind::Fetch1:
        case RecordKind::Fetch2:
        case RecordKind::Fetch3:
        case RecordKind::Fetch4:
        case RecordKind::FetchId:
            j["desadr"] = r.desadr;
            j["bytes"] = r.bytes;
            break;
        case RecordKind::ScanId:
            j["readoffset"] = r.readoffset;
            j["length"] = r.length;
            j["IDstr"] = utf8(r.idStr);
            j["name"] = utf8(r.name);
            break;
        case RecordKind::Node:
            j["name"] = utf8(r.name);
            break;
        case RecordKind::Tag:
            j["name"] = utf8(r.name);
            j["access"] = r.access;
            j["dtype"] = static_cast<int>(r.dtype);
            j["readoffset"] = r.readoffset;
            j["writeoffset"] = r.writeoffset;
            j["factor"] = shortestFloat(r.factor);
            j["divoffset"] = r.divoffset;
            j["bitoffset"] = r.bitoffset;
            j["length"] = r.length;
            j["fscale"] = r.fscale;
            break;
    }
    return j;
}

bool open(const std::string& file, std::ifstream& in) {
    // A device, FIFO or directory is no description: reading one would never end or fail.
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        std::cerr << "kxcfg: " << file << ": is not a regular file\n";
        return false;
    }
    in.open(file, std::ios::binary);
    if (!in) {
        std::cerr << "kxcfg: " << file << ": cannot open the file\n";
        return false;
    }
    return true;
}

int dump(const std::string& file) {
    std::ifstream in;
    if (!open(file, in)) return 2;
    CfgParser parser(in);
    CfgRecord r;
    while (parser.ReadNextRecord(r)) std::cout << recordJson(r).dump() << '\n';
    return 0;
}

int dumpTool(const std::string& file) {
    std::ifstream in;
    if (!open(file, in)) return 2;
    const ToolDeviceType type = ReadToolDeviceType(in, file);
    in.clear();
    in.seekg(0);
    std::int32_t desadr = 0, bytes = 0;
    ReadToolTestBlock(in, desadr, bytes);

    json j;
    j["file"] = utf8(file);
    j["fetchID"] = {{"desadr", type.fetchIdAddress}, {"bytes", type.fetchIdBytes}};
    j["scanID"] = json::array();
    for (const auto& e : type.entries) {
        j["scanID"].push_back({{"readoffset", e.readoffset},
                               {"length", e.length},
                               {"IDstr", utf8(e.idStr)},
                               {"name", utf8(e.name)}});
    }
    j["fetch1"] = {{"desadr", desadr}, {"bytes", bytes}};
    j["recognisedLines"] = type.recognisedLines;
    j["loaded"] = type.loaded();
    j["warnings"] = json::array();
    for (const auto& w : type.warnings) j["warnings"].push_back(utf8(w));
    std::cout << j.dump() << '\n';
    return 0;
}

int check(const std::vector<std::string>& files) {
    bool error = false;
    for (const auto& file : files) {
        std::ifstream in;
        if (!open(file, in)) {
            error = true;
            continue;
        }
        auto findings = CheckDeviceDescription(in);
        if (auto name = CheckDescriptionFileName(file)) findings.push_back(std::move(*name));
        for (const auto& f : findings) {
            const bool isError = f.severity == CfgFinding::Severity::Error;
            error |= isError;
            std::cout << file;
            if (f.line > 0) std::cout << ':' << f.line;
            std::cout << ": " << (isError ? "error" : "warning") << ": " << utf8(f.message) << '\n';
        }
    }
    return error ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kxcfg - shows and checks device description files (.cfg)"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("kxcfg ") + KVX_VERSION);

    std::string dumpFile;
    bool tool = false;
    auto* dumpCmd = app.add_subcommand(
        "dump", "print what the plug-in reads from FILE, one JSON object per logical line");
    dumpCmd->add_flag("--tool", tool, "print what the scan tool takes from FILE instead");
    dumpCmd->add_option("FILE", dumpFile, "device description file")->required();

    std::vector<std::string> checkFiles;
    auto* checkCmd = app.add_subcommand(
        "check", "report mistakes with file and line; exit status 1 when an error was found");
    checkCmd->add_option("FILE", checkFiles, "device description files")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end here with 0; unusable arguments are bad input.
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    try {
        if (*dumpCmd) return tool ? dumpTool(dumpFile) : dump(dumpFile);
        return check(checkFiles);
    } catch (const std::exception& e) {
        std::cerr << "kxcfg: " << e.what() << '\n';
        return 2;
    }
}
