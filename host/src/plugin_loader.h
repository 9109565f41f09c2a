#pragma once
// The plug-in as a host sees it: a shared library with five entry points.

#include <filesystem>
#include <string>

#include "fenlodrv/plugin_abi.h"
#include "fenlodrv/plugin_ext.h"
#include "kvx/platform/shared_library.h"

namespace kvx::host {

struct PluginEntryPoints {
    SOXpSInitializeFn initialize = nullptr;
    SOXpSBuildDANameSpaceFn buildNamespace = nullptr;
    SOXpSStartFn start = nullptr;
    SOXpSStopFn stop = nullptr;
    SOXpSHandleDARequestsFn handleRequests = nullptr;
};

struct PluginExtension {
    FenloGetMemberStatusFn memberStatus = nullptr;
    FenloGetBusStatusFn busStatus = nullptr;
    FenloWaitForPollFn waitForPoll = nullptr;
    bool present() const { return memberStatus && busStatus && waitForPoll; }
};

class LoadedPlugin {
  public:
    // Loads the library and finds all five entry points. On failure returns false with a
    // message naming the file and what is missing.
    bool load(const std::filesystem::path& file, std::string& error);
    const PluginEntryPoints& entry() const { return entry_; }
    // The plug-in's optional extension (fenlodrv/plugin_ext.h); null pointers when the plug-in
    // has none.
    const PluginExtension& extension() const { return extension_; }

  private:
    platform::SharedLibrary library_;
    PluginEntryPoints entry_;
    PluginExtension extension_;
};

// The plug-in that belongs to the running program: beside it, in ../lib when installed, or in
// ../driver in the build tree.
std::filesystem::path DefaultPluginPath();

}  // namespace kvx::host
