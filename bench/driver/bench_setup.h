#pragma once
// A plug-in built from a device description with mixed tags (integers, floats, scaled values,
// strings) for the read-path figures.

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "driver_test_support.h"
#include "fenlodrv/plugin_abi.h"
#include "plugin.h"

namespace kvx::bench {

inline const char* const kMixedDescription =
    "fetch1\tdesadr=0\tbytes=64\t\n"
    "scanID\treadoffset=0\tlength=6\tIDstr=KX-100\tname=Pump KX-100\t\n"
    "tag\tname=Count\taccess=rw\tdtype=int\treadoffset=8\twriteoffset=8\tlength=2\t\n"
    "tag\tname=Total\taccess=rw\tdtype=long\treadoffset=10\twriteoffset=10\tlength=4\t\n"
    "tag\tname=Temp\taccess=rw\tdtype=float\treadoffset=14\twriteoffset=14\tlength=2\t"
    "factor=0\tdivoffset=63\t\n"
    "tag\tname=Flow\taccess=rw\tdtype=float\treadoffset=16\twriteoffset=16\tlength=4\t"
    "factor=1\t\n"
    "tag\tname=Level\taccess=rw\tdtype=int\treadoffset=38\twriteoffset=38\tlength=2\t"
    "fscale=1\t\n"
    "tag\tname=Rate\taccess=rw\tdtype=float\treadoffset=20\twriteoffset=20\tlength=4\t"
    "factor=1\tfscale=1\t\n"
    "tag\tname=Label\taccess=rw\tdtype=string\treadoffset=24\twriteoffset=24\tlength=8\t\n"
    "tag\tname=Speed\taccess=rw\tdtype=uint\treadoffset=40\twriteoffset=40\tlength=2\t\n";

inline const char* const kMixedTags[] = {"Count", "Total", "Temp",  "Flow",
                                         "Level", "Rate",  "Label", "Speed"};

inline std::vector<std::uint8_t> MixedMemory() {
    std::vector<std::uint8_t> m(64, 0);
    std::memcpy(m.data(), "KX-100", 6);
    const std::uint8_t values[] = {0xFF, 0xFE, 0x00, 0x01, 0x02, 0x03,
                                   0x00, 0x64, 0x00, 0x00, 0xC0, 0x3F};
    std::copy(std::begin(values), std::end(values), m.begin() + 8);
    std::memcpy(m.data() + 24, "Pump 1  ", 8);
    m[39] = 0x32;
    m[63] = 10;
    return m;
}

// An installation with `members` members (addresses 0..members-1) described by the mixed
// description; `port` goes into the INI file.
class MixedInstallation {
  public:
    MixedInstallation(int members, const std::string& port, int waitMs) {
        testing::UseInstallDir(dir_.path());
        dir_.write("mixed.cfg", kMixedDescription);
        std::string ini =
            "[RS232]\nCOM=" + port + "\n[KXBUS]\nWAIT=" + std::to_string(waitMs) + "\n";
        for (int a = 0; a < members; ++a) {
            char section[32];
            std::snprintf(section, sizeof(section), "[SLAVE%02d]", a);
            ini += std::string(section) + "\nCFG=mixed.cfg\nNAME=Mixed\n";
        }
        dir_.write("fenlodrv.ini", ini);
        plugin_.Initialize();
        plugin_.BuildNamespace(&testing::CallbackRecorder::AddNode,
                               &testing::CallbackRecorder::AddTag);
    }

    driver::Plugin& plugin() { return plugin_; }

    // A read batch of `count` records cycling through every mixed tag of every member.
    std::vector<SOXpSRequest> readBatch(std::size_t count, int members) {
        std::vector<SOXpSRequest> batch(count);
        for (std::size_t i = 0; i < count; ++i) {
            char path[96];
            std::snprintf(path, sizeof(path), "ADR%02d.%s", static_cast<int>(i / 8) % members,
                          kMixedTags[i % 8]);
            const testing::Callback* tag = recorder_.tag(path);
            std::memset(static_cast<void*>(&batch[i]), 0, sizeof(SOXpSRequest));
            batch[i].userData = tag ? tag->userData : 0;
            batch[i].value.vt = tag ? static_cast<VARTYPE>(tag->valueType) : 0;
        }
        return batch;
    }

  private:
    testing::ScratchDir dir_;
    testing::CallbackRecorder recorder_;
    driver::Plugin plugin_;
};

}  // namespace kvx::bench
