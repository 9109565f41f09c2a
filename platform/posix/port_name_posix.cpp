#include <cctype>
#include <charconv>
#include <optional>

#include "kvx/platform/port_name.h"

namespace kvx::platform {

namespace {
// "COMn" with n >= 1, letters in any case; returns n.
std::optional<unsigned> comPortNumber(std::string_view name) {
    if (name.size() < 4) return std::nullopt;
    for (int i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return std::nullopt;
    }
    unsigned n = 0;
    const auto digits = name.substr(3);
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (ec != std::errc{} || end != digits.data() + digits.size() || n == 0) return std::nullopt;
    return n;
}
}  // namespace

std::string devicePathForPort(std::string_view name) {
    if (name.find('/') != std::string_view::npos) return std::string(name);
    if (auto n = comPortNumber(name)) return "/dev/ttyS" + std::to_string(*n - 1);
    return "/dev/" + std::string(name);
}

}  // namespace kvx::platform
