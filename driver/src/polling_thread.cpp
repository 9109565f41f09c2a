// The polling thread: walks the bus addresses over and over, reads each configured member's
// fetch blocks into the process image and keeps the member's error counter.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "fenlodrv/oleauto.h"
#include "kvx/platform/codepage.h"
#include "kvx/platform/console.h"
#include "notifier.h"
#include "polling_cycle.h"
#include "runtime.h"
#include "value_codec.h"

namespace kvx::driver {

namespace {

// The identification text of one entry: its bytes up to the first zero, without any blank,
// converted to ANSI. Nothing when the entry does not lie inside the poll data.
std::optional<std::string> IdText(const ScanIdEntry& entry, const std::uint8_t* buffer,
                                  std::size_t size) {
    if (!ByteRangeFits(entry.readoffset, entry.length, size)) return std::nullopt;
    std::string text;
    const std::uint8_t* bytes = buffer + entry.readoffset;
    for (std::int32_t i = 0; i < entry.length && bytes[i] != 0; ++i) {
        if (bytes[i] != ' ') text.push_back(platform::OemToAnsiChar(static_cast<char>(bytes[i])));
    }
    return text;
}

void RaiseErrorCounter(MemberRecord& member) {
    // Only the polling thread writes the counter; readers may see the previous value.
    const std::int32_t now = member.errorCounter.load(std::memory_order_relaxed);
    if (now < kBadErrorCount) member.errorCounter.store(now + 1, std::memory_order_relaxed);
}

// Block reads of the polling thread. A read that still waits for the port when the thread is
// told to stop (host writes may keep the port busy for long) gives up at once.
class BusReads final : public PollReads {
  public:
    BusReads(DriverState& state, PacedWaits& waits, const std::atomic<bool>& stopping)
        : state_(state), waits_(waits), stopping_(stopping) {}
    std::int32_t readBlock(std::uint8_t* destination, int busAddress, int dataAddress,
                           int byteCount) override {
        const std::int32_t result =
            state_.bus.BusReadBlock(destination, busAddress, dataAddress, byteCount, 0, &stopping_);
        waits_.exchangeDone();
        return result;
    }

  private:
    DriverState& state_;
    PacedWaits& waits_;
    const std::atomic<bool>& stopping_;
};

}  // namespace

platform::MonoClock::duration PacedWaits::nextPause(platform::Millis duration) {
    const platform::MonoTime now = state_.time->now();
    // A new stretch, or one that fell too far behind, starts from now.
    if (!paced_ || now - deadline_ > kMaxCatchUp) deadline_ = now;
    paced_ = true;
    deadline_ += duration;
    return deadline_ > now ? deadline_ - now : platform::MonoClock::duration::zero();
}

bool PacedWaits::waitForStop(platform::Millis timeout) {
    return state_.stopEvent.waitFor(nextPause(timeout));
}

void PacedWaits::sleep(platform::Millis duration) {
    state_.time->sleepFor(nextPause(duration));
}

bool IdentifyMember(const MemberRecord& member, const std::uint8_t* buffer, std::size_t size,
                    std::string& name) {
    const int count = std::clamp<int>(member.idCount, 0, static_cast<int>(member.ids.size()));
    if (count < 1) return false;  // a device type without identification never gets data

    // The alternative group: the offset of the last neighbouring pair with equal offsets.
    std::optional<std::int32_t> group;
    for (int i = 0; i + 1 < count; ++i) {
        if (member.ids[i].readoffset == member.ids[i + 1].readoffset) {
            group = member.ids[i].readoffset;
        }
    }
    int groupSize = 0;
    if (group) {
        groupSize = static_cast<int>(
            std::count_if(member.ids.begin(), member.ids.begin() + count,
                          [&](const ScanIdEntry& entry) { return entry.readoffset == *group; }));
    }

    int misses = 0;
    int matched = -1;
    for (int i = 0; i < count; ++i) {
        const ScanIdEntry& entry = member.ids[i];
        const auto text = IdText(entry, buffer, size);
        const bool equal = text && *text == entry.idStr;
        if (!group || entry.readoffset != *group) {
            if (!equal) return false;
            continue;
        }
        if (equal) {
            matched = i;
        } else if (++misses == groupSize) {
            return false;  // every alternative has failed
        }
    }
    name = member.ids[matched >= 0 ? matched : count - 1].name;
    return true;
}

PollCycle::PollCycle(DriverState& state, PollWaits& waits, PollReads& reads)
    : state_(state), waits_(waits), reads_(reads) {}

void PollCycle::run() {
    while (step()) {
    }
}

bool PollCycle::step() {
    lastAddress_ = -1;
    if (waits_.waitForStop(kAddressWait)) return false;

    // A written member is polled next, so that reads soon show the new value. The walk over
    // the addresses keeps its place and takes the step after such a poll, and the written
    // members' polls of a pass never take more bus time than the walk's own (give or take one
    // member pause): hosts that write all the time never keep the other members from being
    // polled.
    if (!priorityTaken_ && priorityTime_ <= walkTime_ + kMemberPause &&
        state_.priority.pending.exchange(false, std::memory_order_acquire)) {
        const std::uint8_t address = state_.priority.address.load(std::memory_order_relaxed);
        if (address < kMemberCount) {
            priorityTaken_ = true;
            lastAddress_ = address;
            const platform::MonoTime began = state_.time->now();
            pollMember(address);
            priorityTime_ += state_.time->now() - began;
            return true;
        }
    }
    priorityTaken_ = false;

    if (counter_ < 31) {
        ++counter_;
    } else {
        counter_ = 0;
        priorityTime_ = walkTime_ = {};
        notePassEnd();
        // The cycle pause ends at once when the stop event is set.
        if (state_.cyclePauseMs > 0 && waits_.waitForStop(platform::Millis(state_.cyclePauseMs))) {
            return false;
        }
        if (portFailed_) {
            Notify(kPortFailureCaption, kPortFailureText);
            platform::WarningBeep();
            portFailed_ = false;
        }
    }

    lastAddress_ = counter_;
    const platform::MonoTime began = state_.time->now();
    pollMember(counter_);
    walkTime_ += state_.time->now() - began;
    return true;
}

void PollCycle::notePassEnd() {
    const platform::MonoTime now = state_.time->now();
    if (passStart_ != platform::MonoTime{}) {
        const auto micros = static_cast<std::uint32_t>(std::min<std::int64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(now - passStart_).count(),
            UINT32_MAX));
        recentPasses_[passCount_ % recentPasses_.size()] = micros;
        ++passCount_;
        const std::size_t kept = std::min(passCount_, recentPasses_.size());
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < kept; ++i) sum += recentPasses_[i];
        BusStatistics& bus = state_.busStats;
        bus.lastCycleMicros.store(micros, std::memory_order_relaxed);
        bus.meanCycleMicros.store(static_cast<std::uint32_t>(sum / kept),
                                  std::memory_order_relaxed);
        bus.cycles.fetch_add(1, std::memory_order_relaxed);
    }
    passStart_ = now;
}

void PollCycle::notePoll(int address, bool accepted, platform::MonoTime began) {
    MemberStatistics& stats = state_.memberStats[static_cast<std::size_t>(address)];
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(state_.time->now() - began);
    stats.lastPollMicros.store(
        static_cast<std::uint32_t>(std::min<std::int64_t>(micros.count(), UINT32_MAX)),
        std::memory_order_relaxed);
    if (accepted) {
        stats.pollsAccepted.fetch_add(1, std::memory_order_relaxed);
        stats.consecutiveFailures.store(0, std::memory_order_relaxed);
    } else {
        stats.pollsFailed.fetch_add(1, std::memory_order_relaxed);
        stats.consecutiveFailures.fetch_add(1, std::memory_order_relaxed);
    }
    // The sequence number goes last: a host that wakes on it finds the figures in place.
    stats.lastPollSequence.store(state_.busStats.polls.sequence() + 1, std::memory_order_relaxed);
    state_.busStats.polls.next();
}

void PollCycle::pollMember(int address) {
    MemberRecord& member = state_.members[static_cast<std::size_t>(address)];
    if (member.fetchLength[0] == 0) {
        member.errorCounter.store(kBadErrorCount, std::memory_order_relaxed);
        return;
    }

    const platform::MonoTime began = state_.time->now();
    waits_.sleep(kMemberPause);
    std::size_t offset = 0;
    bool failed = false;
    for (int block = 0; block < kFetchBlocks; ++block) {
        const std::uint8_t length = member.fetchLength[static_cast<std::size_t>(block)];
        if (length == 0) continue;
        const std::int32_t result =
            reads_.readBlock(response_.data(), address,
                             member.fetchAddress[static_cast<std::size_t>(block)], length);
        // Told to stop while waiting for the port: the member did nothing wrong.
        if (result == bus::kReadAbandoned) return;
        state_.busStats.exchanges.fetch_add(1, std::memory_order_relaxed);
        if (result != length + 11) {
            state_.busStats.failedExchanges.fetch_add(1, std::memory_order_relaxed);
        }
        if (result == -1) state_.busStats.portOpenFailures.fetch_add(1, std::memory_order_relaxed);
        if (result == length + 11 && offset + length <= pollBuffer_.size()) {
            std::copy_n(response_.begin(), length, pollBuffer_.begin() + offset);
            offset += length;
        } else {
            if (result == -1) portFailed_ = true;
            if (member.errorCounter.load(std::memory_order_relaxed) >= kBadErrorCount) {
                std::lock_guard lock(state_.imageLock);
                state_.image[static_cast<std::size_t>(address)].fill(0);
                member.imageFromPoll = false;
            }
            failed = true;
        }
        waits_.sleep(kBlockPause);
    }
    // A poll that failed in any block is a failed poll: values of blocks that no longer
    // answer must not go on with good quality for ever.
    if (failed) {
        RaiseErrorCounter(member);
        notePoll(address, false, began);
        return;
    }

    std::string name;
    if (!IdentifyMember(member, pollBuffer_.data(), pollBuffer_.size(), name)) {
        member.identityRejected.store(true, std::memory_order_relaxed);
        RaiseErrorCounter(member);
        notePoll(address, false, began);
        return;
    }
    std::unique_lock lock(state_.imageLock, std::defer_lock);
    if (lockWaitProbe_) {
        const auto asked = std::chrono::steady_clock::now();
        lock.lock();
        lockWaitProbe_(std::chrono::steady_clock::now() - asked);
    } else {
        lock.lock();
    }
    member.name = std::move(name);
    state_.image[static_cast<std::size_t>(address)] = pollBuffer_;
    member.imageFromPoll = true;
    member.identityRejected.store(false, std::memory_order_relaxed);
    member.writesUnanswered.store(false, std::memory_order_relaxed);
    member.errorCounter.store(0, std::memory_order_relaxed);
    FILETIME copied{};
    CoFileTimeNow(&copied);
    state_.memberStats[static_cast<std::size_t>(address)].lastGoodPoll.store(
        (static_cast<std::uint64_t>(copied.dwHighDateTime) << 32) | copied.dwLowDateTime,
        std::memory_order_relaxed);
    lock.unlock();
    notePoll(address, true, began);
}

// ---- The thread ------------------------------------------------------------------------

struct PollingThread::Impl {
    explicit Impl(DriverState& s) : state(s) {}
    DriverState& state;
    mutable std::mutex mutex;  // start and stop
    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};  // block reads give up waiting for the port
};

PollingThread::PollingThread(DriverState& state) : impl_(std::make_unique<Impl>(state)) {}

PollingThread::~PollingThread() {
    stop();
}

bool PollingThread::start() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->thread.joinable()) return false;  // one polling thread at most
    impl_->state.stopEvent.reset();
    impl_->running.store(true);
    impl_->thread = std::thread([impl = impl_.get()] {
        PacedWaits waits(impl->state);
        BusReads reads(impl->state, waits, impl->stopping);
        PollCycle cycle(impl->state, waits, reads);
        cycle.run();
        // Nothing refreshes the image any more: no value may go on claiming good quality.
        for (MemberRecord& member : impl->state.members) {
            member.errorCounter.store(kBadErrorCount, std::memory_order_relaxed);
        }
        impl->running.store(false);
    });
    return true;
}

void PollingThread::stop() {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->thread.joinable()) return;
    impl_->stopping.store(true);
    impl_->state.stopEvent.set();
    impl_->state.bus.portLock().wakeWaiters();
    impl_->thread.join();
    impl_->stopping.store(false);
}

bool PollingThread::running() const {
    return impl_->running.load();
}

}  // namespace kvx::driver
