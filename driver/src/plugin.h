#pragma once
// The plug-in's global object: its state, the polling thread and the server description, and
// what each of the five entry points does. The exported functions forward to one instance.

#include <array>
#include <cstdint>

#include "fenlodrv/plugin_abi.h"
#include "model.h"
#include "runtime.h"

namespace kvx::driver {

inline constexpr std::size_t kVersionTextCapacity = 256;
inline constexpr const char* kStaticVersionText = "Korvex OPC Server V2.02";

class Plugin {
  public:
    Plugin();
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    // Resolves the settings, reads WAIT and returns the server description.
    const SOXpSServerDescription* Initialize();
    // Builds the namespace (an earlier one is freed first). Returns the number of members
    // whose branch was built.
    std::int32_t BuildNamespace(SOXpSAddNode addNode, SOXpSAddTag addTag);
    // Reads the port name and starts the polling thread unless it already runs. Returns 1
    // when the polling thread runs afterwards, else 0.
    std::int32_t Start();
    // Stops the polling thread and frees every item. Returns 0.
    std::int32_t Stop();
    // Serves one batch of read (direction 0) or write requests. Returns the number of
    // records handled.
    std::int32_t HandleRequests(std::int32_t direction, std::uint32_t count, SOXpSRequest* records);

    DriverState& state() { return state_; }
    const SOXpSServerDescription& description() const { return description_; }
    bool pollingRunning() const { return polling_.running(); }

  private:
    void freeNodes();  // caller holds the nodes lock exclusively
    void handleRead(SOXpSRequest& record);
    void handleWrite(SOXpSRequest& record);

    DriverState state_;
    PollingThread polling_;
    std::array<char, kVersionTextCapacity> versionText_{};
    SOXpSServerDescription description_{};
};

}  // namespace kvx::driver
