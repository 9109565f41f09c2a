// The sample devices and their INI file browsed with fenlo-host, as a user would first try
// them: every configured member appears, nothing is refused, and every scaled tag carries the
// properties its type calls for.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>

namespace {

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct Listing {
    std::vector<std::string> nodes;
    std::map<std::string, std::pair<int, int>> tags;  // path -> (vt, access)
};

Listing parse(const std::string& out) {
    Listing listing;
    std::stringstream ss(out);
    for (std::string line; std::getline(ss, line);) {
        std::vector<std::string> fields;
        std::stringstream ls(line);
        for (std::string f; std::getline(ls, f, '\t');) fields.push_back(f);
        if (fields.size() == 2 && fields[0] == "node") {
            listing.nodes.push_back(fields[1]);
        } else if (fields.size() == 4 && fields[0] == "tag") {
            listing.tags[fields[1]] = {std::stoi(fields[2]), std::stoi(fields[3])};
        } else {
            ADD_FAILURE() << "unexpected browse line: " << line;
        }
    }
    return listing;
}

TEST(FenloHostSamples, SampleDevicesBrowseCompletelyAndConsistently) {
    std::random_device rd;
    const auto dir = std::filesystem::temp_directory_path() /
                     ("kvx-host-samples-" + std::to_string(rd()) + "-" + std::to_string(rd()));
    std::filesystem::create_directories(dir);
    const std::filesystem::path samples = KVX_SAMPLES_DIR;
    for (const auto& entry : std::filesystem::directory_iterator(samples / "devices")) {
        std::filesystem::copy_file(entry.path(), dir / entry.path().filename());
    }
    std::filesystem::copy_file(samples / "fenlodrv.ini", dir / "fenlodrv.ini");
    const std::string command =
        "cd '" + dir.string() + "' && KORVEX_OPC_SERVER_CONF=/nonexistent KORVEX_OPC_INSTDIR='" +
        dir.string() + "' '" FENLO_HOST_PATH "' browse >stdout.txt 2>stderr.txt; echo $? >rc.txt";
    std::system(command.c_str());
    const int code = std::stoi(readFile(dir / "rc.txt"));
    const std::string out = readFile(dir / "stdout.txt");
    const std::string err = readFile(dir / "stderr.txt");
    const std::string scaleTable = readFile(dir / "FreeScale.dat");
    std::filesystem::remove_all(dir);

    ASSERT_EQ(code, 0) << err;
    EXPECT_EQ(err, "") << "the sample devices must register completely";
    const Listing listing = parse(out);

    // Every [SLAVEnn] of the sample INI is a branch with its DEVICE_ID.
    const std::string ini = readFile(samples / "fenlodrv.ini");
    const std::regex section(R"(\[SLAVE([0-9][0-9])\])");
    int members = 0;
    for (auto it = std::sregex_iterator(ini.begin(), ini.end(), section);
         it != std::sregex_iterator(); ++it) {
        const std::string branch = "ADR" + (*it)[1].str();
        EXPECT_NE(std::find(listing.nodes.begin(), listing.nodes.end(), branch),
                  listing.nodes.end())
            << branch;
        EXPECT_EQ(listing.tags.count(branch + ".DEVICE_ID"), 1u) << branch;
        EXPECT_EQ(listing.tags.at(branch + ".DEVICE_ID"), std::make_pair(8, 1));
        ++members;
    }
    EXPECT_GE(members, 3);

    // Scaled tags: factor and name always, range, unit and format unless boolean; the tag
    // itself is a float, or a boolean.
    int scaled = 0;
    for (const auto& [path, type] : listing.tags) {
        const std::string suffix = "_factor";
        if (path.size() <= suffix.size() ||
            path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        const std::string tag = path.substr(0, path.size() - suffix.size());
        if (listing.tags.count(tag) == 0) continue;  // a tag that merely ends in "_factor"
        ++scaled;
        EXPECT_EQ(type, std::make_pair(5, 3)) << path;
        EXPECT_EQ(listing.tags.at(tag + "_name"), std::make_pair(8, 3)) << tag;
        const int vt = listing.tags.at(tag).first;
        if (vt == 11) {
            EXPECT_EQ(listing.tags.count(tag + "_start"), 0u) << tag;
        } else {
            EXPECT_EQ(vt, 4) << tag;
            EXPECT_EQ(listing.tags.at(tag + "_start"), std::make_pair(5, 3)) << tag;
            EXPECT_EQ(listing.tags.at(tag + "_end"), std::make_pair(5, 3)) << tag;
            EXPECT_EQ(listing.tags.at(tag + "_unit"), std::make_pair(8, 3)) << tag;
            EXPECT_EQ(listing.tags.at(tag + "_format"), std::make_pair(17, 3)) << tag;
        }
    }
    EXPECT_GE(scaled, 1);
    // One scaling row per scaled tag, after the header.
    EXPECT_EQ(static_cast<int>(std::count(scaleTable.begin(), scaleTable.end(), '\n')), scaled + 1);

    // A read-only password is no item; no item carries an unknown type.
    for (const auto& [path, type] : listing.tags) {
        EXPECT_NE(type.first, 65535) << path;
        EXPECT_NE(type.first, 30001) << path;
    }
}

}  // namespace
