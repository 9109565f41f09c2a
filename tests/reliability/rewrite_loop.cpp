// Rewrites the three files this system keeps up to date - FreeScale.dat (a scaling property
// write), fenlodrv.ini (INI generation) and LINKSPY.INI (port selection) - with the writers
// the programs use, so that a crash test can kill it at any moment.
//   kvx-rewrite-loop DIR a|b   writes version A or B of all three files once
//   kvx-rewrite-loop DIR loop  alternates between the versions until killed

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "kvx/config/profile_file.h"
#include "kvx/config/scaling_table.h"
#include "kvx/platform/atomic_file.h"

namespace {

std::string DriverIni(bool b) {
    // Big enough that a write takes more than one system call.
    std::string ini = "[RS232]\r\nCOM=" + std::string(b ? "COM2" : "COM1") + "\r\n";
    for (int address = 0; address < 32; ++address) {
        char section[64];
        std::snprintf(section, sizeof section, "\r\n[SLAVE%02d]\r\nCFG=%s%02d.cfg\r\nNAME=", address,
                      b ? "typeb" : "typea", address);
        ini += section + std::string(200, b ? 'B' : 'A') + "\r\n";
    }
    return ini;
}

bool WriteVersion(const std::filesystem::path& dir, bool b) {
    kvx::config::ScaleRecord record;
    record.member = 3;
    record.key = "Process.ActualTemp";
    if (!kvx::config::LoadOrCreateScaleRecord(dir / "FreeScale.dat", record)) return false;
    record.rangeStart = b ? -50.0 : 0.0;
    record.rangeEnd = b ? 450.5 : 100.0;
    record.unit = b ? "degC" : "%";
    record.name = b ? "Version B" : "Version A";
    if (!kvx::config::SaveScaleRecord(dir / "FreeScale.dat", record)) return false;
    if (!kvx::platform::WriteFileAtomically(dir / "fenlodrv.ini", DriverIni(b))) return false;
    return kvx::config::WriteProfileString(dir / "LINKSPY.INI", "RS232", "COM",
                                           b ? "/dev/serial/by-id/usb-B" : "/dev/ttyUSB0");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kvx-rewrite-loop DIR a|b|loop\n");
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    if (std::strcmp(argv[2], "loop") != 0) {
        if (!WriteVersion(dir, std::strcmp(argv[2], "b") == 0)) {
            std::fprintf(stderr, "kvx-rewrite-loop: a file in %s could not be written\n", argv[1]);
            return 1;
        }
        return 0;
    }
    for (bool b = false;; b = !b) {
        if (!WriteVersion(dir, b)) return 1;
    }
}
