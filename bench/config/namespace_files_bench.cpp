// Namespace build time and memory with the configuration files a large or hostile
// installation has. Targets, each the median of several rounds:
// - 2000 freely scaled tags build in under 1 s, with no FreeScale.dat yet (every row new)
//   and with all rows present: the table is read once and written at most once, so the
//   work is a few milliseconds of parsing and one write, far below the second allowed;
// - a 7 MB fenlodrv.ini builds in under 2 s: one parse of 7 MB of text;
// - a scaling table at the row limit (short rows) builds in under 2 s and its peak memory
//   grows by at most 64 bytes per byte of the file plus 16 MB: a row needs at least two
//   bytes of the file and keeps one vector (24 bytes) with its allocation, a cell at least
//   one byte and keeps one string (32 bytes);
// - the 601 KB table of 1010 columns and 300 000 short rows is refused in under 0.5 s.
// Exit status 1 when a figure misses its target.

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "driver_test_support.h"
#include "plugin.h"

namespace {

using Clock = std::chrono::steady_clock;

// Peak and current resident memory of this process in kB, from /proc/self/status.
long statusKb(const std::string& key) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
    }
    return -1;
}

// Initializes and builds a plug-in over the installation directory; seconds taken by the
// build, and the number of notifier messages.
double timedBuild(std::size_t* messages = nullptr) {
    kvx::testing::RecordingNotifier notes;
    kvx::driver::Plugin plugin;
    plugin.Initialize();
    const auto start = Clock::now();
    plugin.BuildNamespace(nullptr, nullptr);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (messages) *messages = notes.messages().size();
    plugin.Stop();
    return seconds;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool report(const std::string& what, double value, double target, const char* unit) {
    const bool ok = value < target;
    fmt::print("{:<58} {:>9.3f} {} (target < {} {}) {}\n", what, value, unit, target, unit,
               ok ? "ok" : "MISSED");
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    bool ok = true;
    kvx::testing::ScratchDir dir;
    kvx::testing::UseInstallDir(dir.path());
    const auto table = dir.path() / "FreeScale.dat";

    // Memory first, while the process's peak is still its start-up size.
    {
        std::string text = "Address\tTagID\n";
        for (std::size_t i = 0; i < 100000; ++i) text += "1\t\n";
        dir.write("FreeScale.dat", text);
        dir.write("one.cfg", kvx::testing::TagLine("name=A\taccess=rw\tdtype=int\treadoffset=0\t"
                                                   "length=2\tfscale=1"));
        dir.write("fenlodrv.ini", "[SLAVE01]\nCFG=one.cfg\n");
        const long before = statusKb("VmRSS");
        const double seconds = timedBuild();
        const long peak = statusKb("VmHWM");
        const double grownMb = static_cast<double>(peak - before) / 1024.0;
        const double budgetMb = (64.0 * static_cast<double>(text.size())) / (1024.0 * 1024.0) + 16;
        ok &= report("build with a 100 000-row table of short rows", seconds, 2.0, "s");
        ok &= report(fmt::format("  peak memory growth ({} KB file)", text.size() / 1024), grownMb,
                     budgetMb, "MB");
    }
    {
        std::string text = std::string(1009, '\t') + "\r\n";
        while (text.size() < 601 * 1024) text += "1\r\n";
        dir.write("FreeScale.dat", text);
        std::vector<double> times;
        std::size_t messages = 0;
        for (int r = 0; r < rounds; ++r) times.push_back(timedBuild(&messages));
        ok &=
            report("build with a 601 KB table of 1010 columns (refused)", median(times), 0.5, "s");
        if (messages != 1) {
            fmt::print("  expected one message about the refused table, got {}\n", messages);
            ok = false;
        }
    }

    // 2000 freely scaled tags over eight members.
    {
        std::string cfg = "fetch1\tdesadr=0\tbytes=64\t\n";
        for (int t = 0; t < 250; ++t) {
            cfg += kvx::testing::TagLine(fmt::format(
                "name=T{}\taccess=rw\tdtype=int\treadoffset={}\tlength=2\tfscale=1", t, t % 62));
        }
        dir.write("scaled.cfg", cfg);
        std::string ini;
        for (int a = 0; a < 8; ++a) ini += fmt::format("[SLAVE{:02}]\nCFG=scaled.cfg\n", a);
        dir.write("fenlodrv.ini", ini);
        std::vector<double> fresh, loaded;
        for (int r = 0; r < rounds; ++r) {
            std::filesystem::remove(table);
            fresh.push_back(timedBuild());
            loaded.push_back(timedBuild());
        }
        std::ifstream in(table, std::ios::binary);
        const auto rows =
            std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n') -
            1;
        ok &= report("build of 2000 scaled tags, no FreeScale.dat yet", median(fresh), 1.0, "s");
        ok &= report("build of 2000 scaled tags, every row present", median(loaded), 1.0, "s");
        if (rows != 2000) {
            fmt::print("  FreeScale.dat holds {} rows, expected 2000\n", rows);
            ok = false;
        }
    }

    // A 7 MB INI file: the 32 member sections and a long tail of other keys.
    {
        dir.write("small.cfg", "fetch1\tdesadr=0\tbytes=8\t\n");
        std::string ini;
        for (int a = 0; a < 32; ++a)
            ini += fmt::format("[SLAVE{:02}]\nCFG=small.cfg\nNAME=M{}\n", a, a);
        ini += "[NOTES]\n";
        for (int i = 0; ini.size() < 7 * 1024 * 1024; ++i) {
            ini += fmt::format("KEY{}=some text of a note that nobody reads\n", i);
        }
        dir.write("fenlodrv.ini", ini);
        std::filesystem::remove(table);
        std::vector<double> times;
        for (int r = 0; r < rounds; ++r) times.push_back(timedBuild());
        ok &= report("build with a 7 MB fenlodrv.ini", median(times), 2.0, "s");
    }
    return ok ? 0 : 1;
}
