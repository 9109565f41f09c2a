#pragma once
// The ports the tool offers: "COM1" to "COM8" when they open, then the USB serial adapters.
// An adapter with a stable by-id name (the one that survives re-plugging) is offered once,
// under that name. A trial open is an exclusive open that is closed at once, so a port held
// by another program counts as not openable.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kvx::scantool {

bool TrialOpen(std::string_view name);
// The same; when the system refused the open for lack of permission, `refusal` says why.
bool TrialOpen(std::string_view name, std::string& refusal);
// The no-access message of a port, with the reason of a refusal in a line of its own.
std::string NoAccessText(std::string_view name, const std::string& refusal);

// One device worth a trial open: the name to use and, for a by-id link, the device name it
// leads to (empty otherwise).
struct PortCandidate {
    std::string name;
    std::string device;
};

// The candidates among the devices of `devDirectory` and the links of `byIdDirectory`, in the
// order the list shows them: COM1..COM8, adapters without a by-id link, then the by-id links.
std::vector<PortCandidate> PortCandidatesIn(const std::filesystem::path& devDirectory,
                                            const std::filesystem::path& byIdDirectory);
// The same for the machine's /dev and /dev/serial/by-id.
std::vector<PortCandidate> PortCandidates();

// Every name worth a trial open, in the order the list shows them.
std::vector<std::string> CandidatePorts();

// The candidates that open now, order kept.
std::vector<std::string> OpenablePorts(const std::vector<std::string>& candidates);

}  // namespace kvx::scantool
