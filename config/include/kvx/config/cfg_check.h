#pragma once
// Findings about a device description file, for the people who write them: places where the
// plug-in and the scan tool would read something other than what the author meant.

#include <filesystem>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kvx/config/device_description.h"
#include "kvx/config/install_settings.h"

namespace kvx::config {

struct CfgFinding {
    enum class Severity { Warning, Error };
    Severity severity = Severity::Error;
    int line = 0;  // physical line where the logical line starts; 0 for the whole file
    std::string message;
};

inline constexpr int kImageBlockBytes = 1024;  // one member's process image block
inline constexpr int kReceiveAreaBytes = 256;  // the scan tool's receive area
inline constexpr int kMaxBlockBytes = 245;     // largest block read

// Reads the whole description and returns the findings in line order (file-wide findings,
// line 0, last).
std::vector<CfgFinding> CheckDeviceDescription(std::istream& in);

// A finding when the file's name is longer than a CFG= value the plug-in keeps.
std::optional<CfgFinding> CheckDescriptionFileName(const std::filesystem::path& file);

// The lengths (as digits) whose bytes a write of this type fills correctly; empty for types
// whose length is free (texts, byte fields) or that are never written.
std::string_view WrittenLengths(DtypeCode dtype);

// The dtype keyword of a code ("int"), or the code's number when it has none.
std::string DtypeWord(DtypeCode dtype);

// Bytes a tag of this type takes from the image (its length for texts and bit fields).
int TagByteSize(DtypeCode dtype, int length);

}  // namespace kvx::config
