// The member and bus figures that hosts knowing the extension read (fenlodrv/plugin_ext.h).

#include <algorithm>
#include <cstring>
#include <string>

#include "runtime.h"

namespace kvx::driver {

bool FillMemberStatus(const DriverState& state, std::uint32_t address, FenloMemberStatus& status) {
    if (address >= kMemberCount || status.size != sizeof(FenloMemberStatus)) return false;
    const MemberRecord& member = state.members[address];
    const MemberStatistics& stats = state.memberStats[address];
    status.address = address;
    status.configured = member.fetchLength[0] != 0 ? 1 : 0;
    status.errorCounter = member.errorCounter.load();
    const std::uint64_t good = stats.lastGoodPoll.load();
    status.lastGoodPoll = {static_cast<std::uint32_t>(good),
                           static_cast<std::uint32_t>(good >> 32)};
    status.lastPollSequence = stats.lastPollSequence.load();
    status.pollsAccepted = stats.pollsAccepted.load();
    status.pollsFailed = stats.pollsFailed.load();
    status.consecutiveFailures = stats.consecutiveFailures.load();
    status.lastPollMicros = stats.lastPollMicros.load();
    status.writesAcknowledged = stats.writesAcknowledged.load();
    status.writesRefused = stats.writesRefused.load();
    status.writesUnacknowledged = stats.writesUnacknowledged.load();
    return true;
}

bool FillBusStatus(DriverState& state, bool polling, FenloBusStatus& status) {
    if (status.size != sizeof(FenloBusStatus)) return false;
    const BusStatistics& bus = state.busStats;
    status.lastCycleMicros = bus.lastCycleMicros.load();
    status.meanCycleMicros = bus.meanCycleMicros.load();
    status.polling = polling ? 1 : 0;
    status.cycles = bus.cycles.load();
    status.exchanges = bus.exchanges.load();
    status.failedExchanges = bus.failedExchanges.load();
    status.portOpenFailures = bus.portOpenFailures.load();
    status.pollSequence = bus.polls.sequence();
    const std::string port = state.bus.portName();
    const std::size_t n = std::min(port.size(), sizeof(status.port) - 1);
    std::memcpy(status.port, port.data(), n);
    status.port[n] = '\0';
    return true;
}

}  // namespace kvx::driver
