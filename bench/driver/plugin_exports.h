#pragma once
// The plug-in as a host loads it: the shared library and its five entry points, and an
// installation of members served by the simulator.

#include <fmt/format.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver_test_support.h"
#include "fenlodrv/plugin_abi.h"
#include "fenlodrv/plugin_ext.h"
#include "kvx/platform/shared_library.h"

namespace kvx::bench {

class PluginExports {
  public:
    PluginExports() {
        std::string error;
        if (!library_.open(FENLODRV_PATH, error)) {
            throw std::runtime_error(fmt::format("cannot load {}: {}", FENLODRV_PATH, error));
        }
        initialize = symbol<SOXpSInitializeFn>("SOXpSInitialize");
        build = symbol<SOXpSBuildDANameSpaceFn>("SOXpSBuildDANameSpace");
        start = symbol<SOXpSStartFn>("SOXpSStart");
        stop = symbol<SOXpSStopFn>("SOXpSStop");
        handle = symbol<SOXpSHandleDARequestsFn>("SOXpSHandleDARequests");
        // The extension is optional for hosts: null where the plug-in has none.
        waitForPoll = reinterpret_cast<FenloWaitForPollFn>(library_.symbol("FenloWaitForPoll"));
        memberStatus =
            reinterpret_cast<FenloGetMemberStatusFn>(library_.symbol("FenloGetMemberStatus"));
    }
    ~PluginExports() { stop(); }
    PluginExports(const PluginExports&) = delete;
    PluginExports& operator=(const PluginExports&) = delete;

    // Initialize and browse; the CallbackRecorder alive at the time records the namespace.
    void initializeAndBrowse() {
        initialize(0, 0, 0);
        build(&testing::CallbackRecorder::AddNode, &testing::CallbackRecorder::AddTag, 0);
    }

    SOXpSInitializeFn initialize = nullptr;
    SOXpSBuildDANameSpaceFn build = nullptr;
    SOXpSStartFn start = nullptr;
    SOXpSStopFn stop = nullptr;
    SOXpSHandleDARequestsFn handle = nullptr;
    FenloWaitForPollFn waitForPoll = nullptr;
    FenloGetMemberStatusFn memberStatus = nullptr;

  private:
    template <typename Fn>
    Fn symbol(const char* name) {
        auto* address = reinterpret_cast<Fn>(library_.symbol(name));
        if (address == nullptr) throw std::runtime_error(fmt::format("{} not exported", name));
        return address;
    }
    platform::SharedLibrary library_;
};

// The INI file of an installation on `port` with one section per address in `members`, each
// with the description `cfg`. `waitMs` < 0 leaves WAIT out (its default applies).
inline std::string InstallationIni(const std::string& port, const std::vector<int>& members,
                                   const std::vector<std::string>& cfgs, int waitMs) {
    std::string ini = "[RS232]\nCOM=" + port + "\n";
    if (waitMs >= 0) ini += "[KXBUS]\nWAIT=" + std::to_string(waitMs) + "\n";
    for (std::size_t i = 0; i < members.size(); ++i) {
        ini +=
            fmt::format("[SLAVE{:02d}]\nCFG={}\nNAME=Member{}\n", members[i], cfgs[i], members[i]);
    }
    return ini;
}

// A read batch for `items` (value types as the host registered them), starting at item
// `first` and wrapping around.
inline std::vector<SOXpSRequest> ReadBatch(const std::vector<testing::Callback>& items,
                                           std::size_t first, std::size_t count) {
    std::vector<SOXpSRequest> batch(count);
    for (std::size_t i = 0; i < count; ++i) {
        const testing::Callback& item = items[(first + i) % items.size()];
        std::memset(static_cast<void*>(&batch[i]), 0, sizeof(SOXpSRequest));
        batch[i].userData = item.userData;
        batch[i].value.vt = static_cast<VARTYPE>(item.valueType);
    }
    return batch;
}

}  // namespace kvx::bench
