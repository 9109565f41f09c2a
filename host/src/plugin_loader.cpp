#include "plugin_loader.h"

namespace kvx::host {

namespace {

#if defined(_WIN32)
constexpr const char* kPluginFileName = "fenlodrv.dll";
#else
constexpr const char* kPluginFileName = "libfenlodrv.so";
#endif

template <typename Fn>
bool resolve(const platform::SharedLibrary& library, const char* name, Fn& target,
             std::string& missing) {
    target = reinterpret_cast<Fn>(library.symbol(name));
    if (target == nullptr) {
        if (!missing.empty()) missing += ", ";
        missing += name;
        return false;
    }
    return true;
}

}  // namespace

bool LoadedPlugin::load(const std::filesystem::path& file, std::string& error) {
    std::string reason;
    if (!library_.open(file, reason)) {
        error = "cannot load plug-in " + file.string() + ": " + reason;
        return false;
    }
    std::string missing;
    resolve(library_, "SOXpSInitialize", entry_.initialize, missing);
    resolve(library_, "SOXpSBuildDANameSpace", entry_.buildNamespace, missing);
    resolve(library_, "SOXpSStart", entry_.start, missing);
    resolve(library_, "SOXpSStop", entry_.stop, missing);
    resolve(library_, "SOXpSHandleDARequests", entry_.handleRequests, missing);
    if (!missing.empty()) {
        error = "plug-in " + file.string() + " lacks the entry point(s) " + missing;
        library_.close();
        entry_ = {};
        return false;
    }
    // The extension is optional: a plug-in without it serves as before.
    extension_.memberStatus =
        reinterpret_cast<FenloGetMemberStatusFn>(library_.symbol("FenloGetMemberStatus"));
    extension_.busStatus =
        reinterpret_cast<FenloGetBusStatusFn>(library_.symbol("FenloGetBusStatus"));
    extension_.waitForPoll =
        reinterpret_cast<FenloWaitForPollFn>(library_.symbol("FenloWaitForPoll"));
    if (!extension_.present()) extension_ = {};
    return true;
}

std::filesystem::path DefaultPluginPath() {
    const std::filesystem::path exe = platform::CurrentExecutablePath();
    const std::filesystem::path dir = exe.empty() ? std::filesystem::path(".") : exe.parent_path();
    // Beside the program, in an installed tree, in the build tree.
    for (const auto& candidate : {dir / kPluginFileName, dir / KVX_BIN_TO_LIB / kPluginFileName,
                                  dir / ".." / "driver" / kPluginFileName}) {
        std::error_code ec;
        if (std::filesystem::exists(candidate, ec)) return candidate;
    }
    return dir / kPluginFileName;
}

}  // namespace kvx::host
