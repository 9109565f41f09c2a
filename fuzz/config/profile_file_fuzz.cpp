// Profile files as anyone may have edited them: reads never fail, and a written key always
// reads back while the rest of the file's lines stay as they were.

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "kvx/config/install_settings.h"
#include "kvx/config/profile_file.h"
#include "scratch_file.h"

using namespace kvx::config;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto file = kvx::fuzzing::WriteScratch("fenlodrv.ini", data, size);
    (void)ReadWaitMs(file);
    (void)ReadMaxAddress(file);
    (void)ReadPortName(file);
    for (int a = 0; a < 32; a += 7) {
        if (ReadMemberCfg(file, a).size() > 48) std::abort();
        if (ReadMemberName(file, a).size() > 126) std::abort();
    }
    (void)GetProfileString(file, "OPC Server", "InstDir", "");

    if (!WriteProfileString(file, "RS232", "COM", "ttyUSB7")) std::abort();
    if (GetProfileString(file, "rs232", "com", "") != "ttyUSB7") std::abort();
    // The other keys keep their values.
    if (!WriteProfileString(file, "KXBUS", "WAIT", "250")) std::abort();
    if (GetProfileInt(file, "KXBUS", "WAIT", 0) != 250) std::abort();
    if (GetProfileString(file, "RS232", "COM", "") != "ttyUSB7") std::abort();
    return 0;
}
