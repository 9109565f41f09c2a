// Device description files from untrusted hands: the plug-in's parser, the tool's reader and
// the checker must take any bytes without reading or writing out of bounds.

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "kvx/config/cfg_check.h"
#include "kvx/config/device_description.h"

using namespace kvx::config;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    {
        std::istringstream in(text);
        CfgParser parser(in);
        CfgRecord r;
        int previousLine = 0;
        while (parser.ReadNextRecord(r)) {
            if (r.name.size() >= kCfgTextField || r.idStr.size() >= kCfgTextField) std::abort();
            if (r.line < previousLine) std::abort();  // line numbers never go back
            previousLine = r.line;
        }
    }
    {
        std::istringstream in(text);
        LogicalLineReader reader(in, 260);
        while (auto line = reader.next()) {
            if (line->size() > 259) std::abort();
        }
    }
    {
        std::istringstream in(text);
        const ToolDeviceType t = ReadToolDeviceType(in, "fuzz.cfg");
        if (t.entries.size() > kMaxScanIdEntries) std::abort();
        std::istringstream again(text);
        std::int32_t desadr = 0, bytes = 0;
        ReadToolTestBlock(again, desadr, bytes);
    }
    {
        std::istringstream in(text);
        (void)CheckDeviceDescription(in);
    }
    return 0;
}
