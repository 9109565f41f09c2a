#pragma once
// The plug-in's global object: its state, the polling thread and the server description, and
// what each of the five entry points (and the extension) does. The exported functions forward
// to one instance.

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "fenlodrv/plugin_abi.h"
#include "fenlodrv/plugin_ext.h"
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
    // Stops the polling thread and frees every item (batches still at work keep theirs until
    // they end). Waits for the polling thread only. Returns 0.
    std::int32_t Stop();
    // Serves one batch of read (direction 0) or write requests. Returns the number of
    // records handled.
    std::int32_t HandleRequests(std::int32_t direction, std::uint32_t count, SOXpSRequest* records);

    // The extension for hosts that know it (fenlodrv/plugin_ext.h): false for an address above
    // 31 or a record size the plug-in does not know.
    bool MemberStatus(std::uint32_t address, FenloMemberStatus& status);
    bool BusStatus(FenloBusStatus& status);
    // The poll sequence number once it is above `after`, or after `timeout`.
    std::uint64_t WaitForPoll(std::uint64_t after, std::chrono::milliseconds timeout);

    DriverState& state() { return state_; }
    const SOXpSServerDescription& description() const { return description_; }
    bool pollingRunning() const { return polling_.running(); }

  private:
    // An empty namespace with the next generation, and putting one in place of the namespace
    // in use (caller holds the lifecycle lock for both).
    std::shared_ptr<Namespace> nextNamespace();
    void putInPlace(std::shared_ptr<Namespace> items);
    void handleRead(Namespace& items, SOXpSRequest& record);
    void handleWrite(Namespace& items, SOXpSRequest& record);

    // Build, start and stop one at a time.
    std::mutex lifecycle_;
    DriverState state_;
    PollingThread polling_;
    std::array<char, kVersionTextCapacity> versionText_{};
    SOXpSServerDescription description_{};
};

}  // namespace kvx::driver
