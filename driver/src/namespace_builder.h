#pragma once
// Namespace building: reads the member sections of the driver INI file and each member's
// device description, fills the member table, creates every TagNode and registers branches
// and tags with the host's callbacks.

#include <cstdint>

#include "fenlodrv/plugin_abi.h"
#include "model.h"

namespace kvx::driver {

inline constexpr const char* kFileErrorCaption = "ZAN KVX-OPC-Server FILE-ERROR";
inline constexpr const char* kCfgErrorCaption = "ZAN KVX-OPC-Server CFG-ERROR";
inline constexpr const char* kCfgNotFoundText = "CFG-file not found!\nChange FENLODRV.INI";
inline constexpr const char* kCfgNotClosedText = "Could not close cfg file!";

// Value type under which a data tag is registered (low 16 bits: the VARIANT type), after the
// fscale reset. DEVICE_ID is registered as text.
std::uint32_t RegisteredValueType(const TagDescriptor& tag);

// Fills the member table of `state` and builds the items into `items` (handles of
// `items.generation`). The polling thread must not run; request batches of an earlier
// namespace may, so member fields they read are written under the image lock or are atomic.
// Null callbacks are skipped. Returns the number of members whose branch was built.
int BuildNamespace(DriverState& state, Namespace& items, SOXpSAddNode addNode, SOXpSAddTag addTag);

}  // namespace kvx::driver
