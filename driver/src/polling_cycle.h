#pragma once
// The polling cycle behind the polling thread, with its waits and its block reads behind
// small seams so that the pacing and ordering rules can be driven step by step.

#include <chrono>
#include <cstdint>
#include <functional>

#include "kvx/platform/clock.h"
#include "model.h"

namespace kvx::driver {

// How the cycle waits. `waitForStop` returns true when the stop event was signalled.
class PollWaits {
  public:
    virtual ~PollWaits() = default;
    virtual bool waitForStop(platform::Millis timeout) = 0;
    virtual void sleep(platform::Millis duration) = 0;
};

// The waits in use: the stop event and the plug-in's clock. The pauses of one idle stretch
// between two bus exchanges are paced against a common deadline, so the time a wait or sleep
// overruns (a busy machine wakes threads late) is taken off the next pause of the same stretch
// instead of adding up over the cycle. A stretch never ends before its nominal length; an
// overrun of more than `kMaxCatchUp` is not made up.
class PacedWaits final : public PollWaits {
  public:
    static constexpr platform::Millis kMaxCatchUp{20};

    explicit PacedWaits(DriverState& state) : state_(state) {}
    bool waitForStop(platform::Millis timeout) override;
    void sleep(platform::Millis duration) override;
    // A bus exchange ended: the next pause starts a new stretch.
    void exchangeDone() { paced_ = false; }

  private:
    // Time left until the pause's deadline (zero when the stretch is behind).
    platform::MonoClock::duration nextPause(platform::Millis duration);

    DriverState& state_;
    platform::MonoTime deadline_{};
    bool paced_ = false;
};

// How the cycle reads one fetch block (the bus link's block read in use).
class PollReads {
  public:
    virtual ~PollReads() = default;
    virtual std::int32_t readBlock(std::uint8_t* destination, int busAddress, int dataAddress,
                                   int byteCount) = 0;
};

// Caption and text of the notice that stands in for the beep of a pass in which the bus port
// could not be opened.
inline constexpr const char* kPortFailureCaption = "ZAN KVX-OPC-Server";
inline constexpr const char* kPortFailureText = "bus port could not be opened";

// Pauses that pace the bus.
inline constexpr platform::Millis kAddressWait{10};
inline constexpr platform::Millis kMemberPause{50};
inline constexpr platform::Millis kBlockPause{20};

class PollCycle {
  public:
    PollCycle(DriverState& state, PollWaits& waits, PollReads& reads);

    // Runs passes until the stop event is seen.
    void run();

    // One step of the cycle: the wait before an address, then the poll of a written member
    // (the priority member), or the move to the next address (with the cycle pause after
    // address 31) and that address's poll. False once stopped.
    bool step();

    // Called with the time the cycle waited for the image lock before it copied an accepted
    // poll into the image (for measurements; none by default).
    void setLockWaitProbe(std::function<void(std::chrono::nanoseconds)> probe) {
        lockWaitProbe_ = std::move(probe);
    }

    // The address polled by the last step (-1 before the first step, or when the step
    // stopped).
    int lastAddress() const { return lastAddress_; }

  private:
    void pollMember(int address);
    // The figures of one ended poll, and of a pass over the addresses.
    void notePoll(int address, bool accepted, platform::MonoTime began);
    void notePassEnd();

    DriverState& state_;
    PollWaits& waits_;
    PollReads& reads_;
    std::int8_t counter_ = 0;     // the walk over the addresses
    bool priorityTaken_ = false;  // the last step polled a written member
    // Bus time of this pass's polls of written members, and of the walk's own polls.
    platform::MonoClock::duration priorityTime_{};
    platform::MonoClock::duration walkTime_{};
    platform::MonoTime passStart_{};
    std::array<std::uint32_t, 8> recentPasses_{};
    std::size_t passCount_ = 0;
    bool portFailed_ = false;
    int lastAddress_ = -1;
    std::array<std::uint8_t, kImageBlockSize> pollBuffer_{};
    std::array<std::uint8_t, 256> response_{};
    std::function<void(std::chrono::nanoseconds)> lockWaitProbe_;
};

// The identification check of member `member` on the joined poll data `buffer`. On acceptance
// `name` receives the name of the identified device type.
bool IdentifyMember(const MemberRecord& member, const std::uint8_t* buffer, std::size_t size,
                    std::string& name);

}  // namespace kvx::driver
