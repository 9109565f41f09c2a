#include "kvx/scantool/ports.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "kvx/platform/serial_device.h"

namespace kvx::scantool {

bool TrialOpen(std::string_view name) {
    int error = 0;
    auto device = platform::SerialDevice::open(name, error);
    if (!device) return false;
    device->close();
    return true;
}

namespace {
// Names in `directory` starting with `prefix`, sorted, as full paths.
std::vector<std::string> DeviceNames(const std::filesystem::path& directory,
                                     std::string_view prefix) {
    std::vector<std::string> names;
    std::error_code ec;
    std::filesystem::directory_iterator it(directory, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const std::string leaf = it->path().filename().string();
        if (leaf.rfind(prefix, 0) == 0) names.push_back(it->path().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}
}  // namespace

std::vector<std::string> CandidatePorts() {
    std::vector<std::string> names;
    for (int i = 1; i <= 8; ++i) names.push_back("COM" + std::to_string(i));
    for (const char* prefix : {"ttyUSB", "ttyACM"}) {
        for (auto& n : DeviceNames("/dev", prefix)) names.push_back(std::move(n));
    }
    for (auto& n : DeviceNames("/dev/serial/by-id", "")) names.push_back(std::move(n));
    return names;
}

std::vector<std::string> OpenablePorts(const std::vector<std::string>& candidates) {
    std::vector<std::string> names;
    for (const auto& name : candidates) {
        if (TrialOpen(name)) names.push_back(name);
    }
    return names;
}

}  // namespace kvx::scantool
