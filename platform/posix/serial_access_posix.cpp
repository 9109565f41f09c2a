#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "kvx/platform/port_name.h"
#include "kvx/platform/serial_device.h"

namespace kvx::platform {

namespace {
bool InGroup(gid_t group) {
    if (getegid() == group) return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = getgroups(count, groups.data());
    if (got < 0) return false;
    groups.resize(static_cast<std::size_t>(got));
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

std::string GroupName(gid_t group) {
    std::vector<char> buffer(4096);
    struct group entry {};
    struct group* found = nullptr;
    if (getgrgid_r(group, &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->gr_name) {
        return found->gr_name;
    }
    return std::to_string(group);
}
}  // namespace

std::string accessRefusal(std::string_view name, int error) {
    if (error != EACCES && error != EPERM) return {};
    struct stat st {};
    const std::string path = devicePathForPort(name);
    // Serial devices are kept for their group (dialout on most systems): a user outside it
    // is refused even though the device is there.
    if (::stat(path.c_str(), &st) == 0 && geteuid() != 0 && st.st_uid != geteuid() &&
        !InGroup(st.st_gid)) {
        return "not in group " + GroupName(st.st_gid);
    }
    std::string text;
    if (!systemErrorText(static_cast<std::uint32_t>(error), text)) text = "access refused";
    return text;
}

}  // namespace kvx::platform
