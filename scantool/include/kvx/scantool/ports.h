#pragma once
// The ports the tool offers: "COM1" to "COM8" when they open, then the USB serial adapters
// and the stable by-id names. A trial open is an exclusive open that is closed at once, so a
// port held by another program counts as not openable.

#include <string>
#include <string_view>
#include <vector>

namespace kvx::scantool {

bool TrialOpen(std::string_view name);

// Every name worth a trial open, in the order the list shows them.
std::vector<std::string> CandidatePorts();

// The candidates that open now, order kept.
std::vector<std::string> OpenablePorts(const std::vector<std::string>& candidates);

}  // namespace kvx::scantool
