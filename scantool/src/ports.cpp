#include "kvx/scantool/ports.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "kvx/platform/codepage.h"
#include "kvx/platform/serial_device.h"

namespace kvx::scantool {

bool TrialOpen(std::string_view name) {
    std::string refusal;
    return TrialOpen(name, refusal);
}

bool TrialOpen(std::string_view name, std::string& refusal) {
    refusal.clear();
    int error = 0;
    auto device = platform::SerialDevice::open(name, error);
    if (!device) {
        refusal = platform::accessRefusal(name, error);
        return false;
    }
    device->close();
    return true;
}

std::string NoAccessText(std::string_view name, const std::string& refusal) {
    std::string text = "No access to the COM-Port!\nChange Com-Port";
    if (!refusal.empty()) {
        text += "\n\n" + platform::Utf8ToAnsi(std::string(name) + ": " + refusal);
    }
    return text;
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

// The device a name leads to, links followed; empty when it cannot be resolved.
std::string ResolvedDevice(const std::filesystem::path& path) {
    std::error_code ec;
    auto target = std::filesystem::canonical(path, ec);
    return ec ? std::string() : target.string();
}
}  // namespace

std::vector<PortCandidate> PortCandidatesIn(const std::filesystem::path& devDirectory,
                                            const std::filesystem::path& byIdDirectory) {
    std::vector<PortCandidate> list;
    for (int i = 1; i <= 8; ++i) list.push_back({"COM" + std::to_string(i), {}});
    std::vector<std::string> devices;
    for (const char* prefix : {"ttyUSB", "ttyACM"}) {
        for (auto& n : DeviceNames(devDirectory, prefix)) devices.push_back(std::move(n));
    }
    std::vector<PortCandidate> links;
    for (auto& link : DeviceNames(byIdDirectory, "")) {
        const std::string target = ResolvedDevice(link);
        // The device itself is offered under this link.
        std::string device;
        for (auto it = devices.begin(); it != devices.end(); ++it) {
            if (!target.empty() && ResolvedDevice(*it) == target) {
                device = *it;
                devices.erase(it);
                break;
            }
        }
        links.push_back({std::move(link), device.empty() ? target : device});
    }
    for (auto& d : devices) list.push_back({std::move(d), {}});
    for (auto& l : links) list.push_back(std::move(l));
    return list;
}

std::vector<PortCandidate> PortCandidates() {
    return PortCandidatesIn("/dev", "/dev/serial/by-id");
}

std::vector<std::string> CandidatePorts() {
    std::vector<std::string> names;
    for (auto& c : PortCandidates()) names.push_back(std::move(c.name));
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
