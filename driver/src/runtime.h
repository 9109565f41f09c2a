#pragma once
// The run-time side of the plug-in: the polling thread, the value decoder and encoder, and
// the scaling property requests. The entry points and the batch dispatcher call these.

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include "fenlodrv/plugin_abi.h"
#include "fenlodrv/plugin_ext.h"
#include "model.h"

namespace kvx::driver {

// The write-unlock code that a password-protected member needs at data address 2 before it
// takes writes (see docs/driver-write-unlock.md).
inline constexpr std::array<std::uint8_t, 2> kWriteUnlockCode = {0xA5, 0x5A};
inline constexpr int kWriteUnlockAddress = 2;

// Caption of the messages about values that were not sent.
inline constexpr const char* kWriteErrorCaption = "ZAN KVX-OPC-Server WRITE-ERROR";

// Value decoder of a read request: fills `value` from the member's image block under the
// image lock (read scaling included). Leaves `value` untouched where a tag has no value.
void DecodeTagValue(DriverState& state, const TagDescriptor& tag, VARIANT& value);

// Value encoder of a write request: write-unlock check, write scaling (on a copy), encoding
// and the block write(s). Returns the outcome for the record's quality field
// (SOXPS_WRITE_ACKNOWLEDGED or the reason the value did not reach the member).
std::uint16_t EncodeAndWriteTagValue(DriverState& state, const TagDescriptor& tag, VARIANT& value);

// Scaling property requests of a property node (kind Property). Property writes from several
// host threads are taken one at a time; the scaling values in memory are guarded by
// ScaleValuesLock(), which the read and write scaling take too (innermost lock).
void ReadScaleProperty(const TagNode& node, VARIANT& value);
// Returns the outcome for the record's quality field.
std::uint16_t WriteScaleProperty(DriverState& state, const TagNode& node, const VARIANT& value);
std::mutex& ScaleValuesLock();
// Held by each property write while it rewrites the scaling table, and by a namespace build
// (which may add rows to it) so that neither loses the other's rows.
std::mutex& ScaleTableWriteLock();

// The extension's figures (fenlodrv/plugin_ext.h): false for an address above 31 or a record
// size that is not the one this plug-in knows.
bool FillMemberStatus(const DriverState& state, std::uint32_t address, FenloMemberStatus& status);
bool FillBusStatus(DriverState& state, bool polling, FenloBusStatus& status);

// The polling thread. start() starts no second thread while one runs; stop() sets the stop
// event and waits for the thread to end.
class PollingThread {
  public:
    explicit PollingThread(DriverState& state);
    ~PollingThread();
    bool start();
    void stop();
    bool running() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kvx::driver
