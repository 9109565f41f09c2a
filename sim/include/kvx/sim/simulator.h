#pragma once
// Bus-member simulator: members at bus addresses 0..31 that answer the field-bus frame
// protocol on a pseudo-terminal. Masters open devicePath() like a serial port.
//
//   kvx::sim::Simulator sim;                 // creates the pseudo-terminal
//   sim.addMember(5, {0x12, 0x34});          // 512 bytes of memory, initial bytes at 0
//   sim.start();                             // a thread serves the terminal
//   ... open sim.devicePath(), send frames ...
//   sim.waitForFrames(1, std::chrono::seconds(1));
//   sim.frames();                            // what arrived
//
// Every member operation is thread-safe and may be used while the simulator runs.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kvx/platform/clock.h"

namespace kvx::sim {

inline constexpr int kMaxBusAddress = 31;
inline constexpr std::size_t kMemorySize = 512;
// Data address of the password state, where masters write their unlock code.
inline constexpr std::size_t kUnlockAddress = 2;

// Time one character takes on the line: 11 bit times at 19200 baud (0.5729 ms).
inline constexpr std::chrono::nanoseconds kByteTime{572'917};
// A gap inside an answer this much longer than the line's pace: half the quiet time after
// which a master takes the line to be free again.
inline constexpr std::chrono::milliseconds kPacingSlip{10};

// Bad input or a failed set-up; the text names the file or item and what is wrong.
class SimError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A fault that strikes an exchange with probability `rate` (0 = never, 1 = always).
// `bytes` is the size of the fault where it has one (bytes left out, added or garbled).
struct FaultRate {
    double rate = 0.0;
    int bytes = 1;
};

// Faults of one member, rolled afresh for every exchange with the simulator's seeded random
// generator, so a given seed and frame sequence always gives the same faults.
struct Faults {
    // No answer at all; the member also ignores the frame (a write is not applied).
    double silence = 0.0;
    // Answer `bytes` bytes short: that many data bytes are left out (the frame keeps its
    // header, checks and end character); beyond the data, the rest is cut from its end.
    FaultRate shortAnswer;
    // Answer with `bytes` extra data bytes (the following memory) in a well-formed frame.
    FaultRate longAnswer;
    // Two preamble bytes instead of three.
    double twoPreamble = 0.0;
    // An end character other than 0x16.
    double wrongEnd = 0.0;
    // `bytes` data bytes inverted; the checks still describe the original data.
    FaultRate garbled;
    // Identification texts in the answer replaced by '?' (see setIdentityRegions).
    double wrongIdentity = 0.0;
    // An extra `delay` before the answer starts, on top of the member's turnaround.
    double delayRate = 0.0;
    std::chrono::microseconds delay{std::chrono::milliseconds(100)};
};

// Which faults struck one exchange (bit set).
enum FaultBit : std::uint32_t {
    kFaultSilence = 1u << 0,
    kFaultShort = 1u << 1,
    kFaultLong = 1u << 2,
    kFaultTwoPreamble = 1u << 3,
    kFaultWrongEnd = 1u << 4,
    kFaultGarbled = 1u << 5,
    kFaultWrongIdentity = 1u << 6,
    kFaultDelay = 1u << 7,
};

enum class FrameKind : std::uint8_t {
    Read,   // short frame (start 0x10)
    Write,  // long frame (start 0x68)
};

// One well-formed frame that arrived on the line.
struct ReceivedFrame {
    FrameKind kind = FrameKind::Read;
    std::uint8_t address = 0;
    std::uint8_t dataAddress = 0;
    std::uint8_t zeroByte = 0;
    std::uint8_t byteCount = 0;
    std::vector<std::uint8_t> data;  // the written bytes (writes only)
    bool forMember = false;          // a member is configured at `address`
    bool answered = false;           // an answer or acknowledgement goes out
    std::uint32_t faults = 0;        // FaultBit values that struck this exchange
    bool writeRefused = false;       // a locked member acknowledged the write but kept it out
    platform::MonoTime when{};       // arrival of the frame's last byte
};

// Where one identification text lies in a member's memory.
struct IdentityRegion {
    std::size_t offset = 0;
    std::size_t length = 0;
};

// What adding a member from a device description did.
struct CfgMemberInfo {
    std::string deviceName;                // name of the first scanID entry
    std::vector<IdentityRegion> identity;  // where the identification texts were placed
    std::vector<std::string> warnings;     // texts that could not be placed, and why
};

struct SimulatorOptions {
    // Pace answers at 11 bit times per byte at 19200 baud, and start an answer no earlier
    // than the request would have ended on the line.
    bool wireTiming = true;
    // Seed of the fault generator.
    std::uint64_t seed = 1;
};

class Simulator {
  public:
    // Creates the pseudo-terminal; throws SimError when that fails.
    explicit Simulator(SimulatorOptions options = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // The device path that masters open ("/dev/pts/N").
    const std::string& devicePath() const;

    // Serving thread. start() twice is harmless; stop() waits for the thread and is called by
    // the destructor.
    void start();
    void stop();
    bool running() const;

    void setWireTiming(bool on);
    bool wireTiming() const;
    // Reseeds the fault generator (and clears nothing else).
    void setSeed(std::uint64_t seed);

    // --- members -------------------------------------------------------------------------
    // Adds (or replaces) a member with 512 bytes of memory; `initial` is copied to offset 0
    // (at most 512 bytes). Throws SimError for an address outside 0..31.
    void addMember(int address, std::vector<std::uint8_t> initial = {});
    // Adds (or replaces) a member described by a device description file: its memory holds
    // blanks where identification texts may lie and the first text of every scanID read
    // offset, placed where the scan tool (within the fetchID block) and the driver (within
    // the joined fetch blocks) look for it. Throws SimError naming the file when it cannot
    // be read or the address is outside 0..31.
    CfgMemberInfo addMemberFromCfg(int address, const std::filesystem::path& cfgFile);
    void removeMember(int address);
    bool hasMember(int address) const;
    std::vector<int> memberAddresses() const;

    // Memory access. Offsets and lengths are clipped to the 512 bytes; throws SimError when
    // no member is at `address`.
    std::vector<std::uint8_t> readMemory(int address, std::size_t offset, std::size_t count) const;
    std::array<std::uint8_t, kMemorySize> memory(int address) const;
    void writeMemory(int address, std::size_t offset, const std::vector<std::uint8_t>& bytes);
    void writeText(int address, std::size_t offset, std::string_view text);

    // Time from the end of a request on the line to the first byte of the answer.
    void setTurnaround(int address, std::chrono::microseconds turnaround);
    void setFaults(int address, const Faults& faults);
    // A password-protected member: writes are acknowledged but not applied unless they go
    // to data address 2 (the unlock) or memory 2..3 holds two non-zero bytes (unlocked).
    void setWriteLock(int address, bool locked);
    Faults faults(int address) const;
    void clearFaults(int address);
    // Memory ranges that the wrong-identity fault disturbs (set by addMemberFromCfg).
    void setIdentityRegions(int address, std::vector<IdentityRegion> regions);

    // Serves `request` in-process instead of from the terminal: its frames are picked out,
    // recorded, applied and answered exactly as the serving thread does, faults included, and
    // the answer to the last answered frame is returned (empty when none was answered). No
    // turnaround, delay or line pacing is waited for. Callable with or without start().
    std::vector<std::uint8_t> exchange(std::span<const std::uint8_t> request);

    // --- what arrived ----------------------------------------------------------------------
    std::vector<ReceivedFrame> frames() const;
    std::size_t frameCount() const;
    std::size_t frameCount(int address) const;
    void clearFrames();
    // Wait until at least `count` frames in all (or for `address`) have been taken in. A frame
    // is on record, and a write is in memory, before its answer goes out, so a master that has
    // read its answer always finds the frame here. False on time-out.
    bool waitForFrames(std::size_t count, std::chrono::milliseconds timeout) const;
    bool waitForFrames(int address, std::size_t count, std::chrono::milliseconds timeout) const;

    // Answers that the serving thread could not send at line speed: inside one of them it
    // fell more than kPacingSlip further behind (a busy machine), so the line went quiet
    // where a member's answer never does. Tests of the line's timing leave such rounds out.
    std::size_t pacingSlips() const;

    // Exchange log: one line per exchange, the request and the answer in hex. Called from the
    // serving thread; an empty function turns the log off.
    void setLog(std::function<void(const std::string&)> sink);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Formats bytes as upper-case hex pairs separated by blanks ("00 10 05").
std::string HexText(const std::vector<std::uint8_t>& bytes);
// Parses hex pairs, blanks allowed between pairs ("0A 1b" or "0a1B"); false for anything
// else (a lone digit, other characters).
bool ParseHexText(std::string_view text, std::vector<std::uint8_t>& out);

}  // namespace kvx::sim
