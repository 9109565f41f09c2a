#include "kvx/sim/simulator.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <span>
#include <thread>

#include "frame_scanner.h"
#include "kvx/bus/frame.h"
#include "kvx/platform/pseudo_terminal.h"
#include "member.h"

namespace kvx::sim {

namespace {

using platform::MonoClock;
using platform::MonoTime;

// After this long without a byte, an incomplete frame is given up (the line went quiet).
constexpr auto kIdleGap = std::chrono::milliseconds(50);
constexpr auto kPollSlice = std::chrono::milliseconds(20);
// First byte of the acknowledgement of a write; the rest has the short-frame layout.
constexpr std::uint8_t kAckStart = 0xE5;

void checkAddress(int address) {
    if (address < 0 || address > kMaxBusAddress) {
        throw SimError("bus address " + std::to_string(address) + " is outside 0..31");
    }
}

std::uint64_t memberSeed(std::uint64_t seed, int address) {
    return seed * 0x9E3779B97F4A7C15ull +
           static_cast<std::uint64_t>(address) * 0xBF58476D1CE4E5B9ull + 1;
}

using detail::Member;

bool roll(std::mt19937_64& rng, double rate) {
    // Always draw, so that the sequence of draws does not depend on the rates.
    const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
    return u < rate;
}

std::string faultNames(std::uint32_t bits) {
    static const char* const names[] = {"silence",   "short",   "long",     "two-preamble",
                                        "wrong-end", "garbled", "wrong-id", "delay"};
    std::string out;
    for (int i = 0; i < 8; ++i) {
        if (bits & (1u << i)) {
            if (!out.empty()) out += ',';
            out += names[i];
        }
    }
    return out;
}

}  // namespace

std::string HexText(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i) out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0F];
    }
    return out;
}

bool ParseHexText(std::string_view text, std::vector<std::uint8_t>& out) {
    out.clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t') {
            if (high >= 0) return false;  // a lone digit
            continue;
        }
        int v;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            v = c - 'A' + 10;
        } else {
            return false;
        }
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    return high < 0;
}

struct Simulator::Impl {
    std::unique_ptr<platform::PseudoTerminal> pty;
    std::atomic<bool> wireTiming{true};
    std::uint64_t seed = 1;

    mutable std::mutex mutex;  // members, frames, log sink
    mutable std::condition_variable framesChanged;
    std::array<std::unique_ptr<Member>, kMaxBusAddress + 1> members;
    std::vector<ReceivedFrame> frames;
    std::array<std::size_t, kMaxBusAddress + 1> perAddress{};
    std::function<void(const std::string&)> log;

    std::atomic<std::size_t> pacingSlips{0};

    std::thread thread;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> isRunning{false};

    Member& member(int address) {
        checkAddress(address);
        auto& m = members[static_cast<std::size_t>(address)];
        if (!m) throw SimError("no member at bus address " + std::to_string(address));
        return *m;
    }

    void serve();
    void handle(detail::ScannedFrame&& frame, MonoTime arrival);
    // Records the frame, applies a write and rolls the faults; true with the answer and the
    // member's turnaround when an answer goes out. Logs the exchange.
    bool respond(const detail::ScannedFrame& frame, MonoTime arrival,
                 std::vector<std::uint8_t>& answer, std::chrono::microseconds& turnaround);
    void sendPaced(const std::vector<std::uint8_t>& bytes, MonoTime start);
    // Sleeps until `t`; false at once when a stop is requested (the answer is then dropped).
    bool sleepUntil(MonoTime t);

    std::mutex stopMutex;
    std::condition_variable stopWake;
};

// Serving thread: read what arrives, pick frames out of it, answer them.
void Simulator::Impl::serve() {
    detail::FrameScanner scanner;
    std::uint8_t chunk[512];
    MonoTime lastByte = MonoClock::now();
    while (!stopRequested.load()) {
        const long n = pty->readSome(chunk, sizeof chunk, kPollSlice);
        const MonoTime now = MonoClock::now();
        if (n < 0) {
            std::this_thread::sleep_for(kPollSlice);
            continue;
        }
        if (n > 0) {
            scanner.feed(chunk, static_cast<std::size_t>(n));
            lastByte = now;
            while (auto frame = scanner.next()) handle(std::move(*frame), now);
        } else if (scanner.pending() && now - lastByte >= kIdleGap) {
            while (auto frame = scanner.idle()) handle(std::move(*frame), now);
            scanner.reset();
        }
    }
}

void Simulator::Impl::handle(detail::ScannedFrame&& frame, MonoTime arrival) {
    std::vector<std::uint8_t> answer;
    std::chrono::microseconds turnaround{0};
    if (!respond(frame, arrival, answer, turnaround)) return;
    // A master that speaks has finished with earlier answers; what it left unread goes.
    pty->discardUnreadOutput();
    MonoTime start = MonoClock::now();
    if (wireTiming.load()) {
        // The request ends on the line no earlier than its bytes take to travel.
        start = std::max(start, arrival + kByteTime * static_cast<long>(frame.raw.size()));
    }
    start += turnaround;
    sendPaced(answer, start);
}

bool Simulator::Impl::respond(const detail::ScannedFrame& frame, MonoTime arrival,
                              std::vector<std::uint8_t>& answer,
                              std::chrono::microseconds& turnaround) {
    ReceivedFrame record;
    record.kind = frame.kind;
    record.address = frame.address;
    record.dataAddress = frame.dataAddress;
    record.zeroByte = frame.zeroByte;
    record.byteCount = frame.byteCount;
    record.data = frame.data;
    record.when = arrival;

    answer.clear();
    turnaround = std::chrono::microseconds{0};
    std::function<void(const std::string&)> logSink;
    {
        std::lock_guard lock(mutex);
        logSink = log;
        Member* m = frame.address <= kMaxBusAddress ? members[frame.address].get() : nullptr;
        if (m) {
            record.forMember = true;
            auto& rng = m->rng;
            const Faults& f = m->faults;
            const bool silence = roll(rng, f.silence);
            const bool shortAnswer = roll(rng, f.shortAnswer.rate);
            const bool longAnswer = roll(rng, f.longAnswer.rate);
            const bool twoPreamble = roll(rng, f.twoPreamble);
            const bool wrongEnd = roll(rng, f.wrongEnd);
            const bool garbled = roll(rng, f.garbled.rate);
            const bool wrongIdentity = roll(rng, f.wrongIdentity);
            const bool delay = roll(rng, f.delayRate);
            std::uint32_t bits = 0;
            if (silence) {
                bits = kFaultSilence;
            } else if (frame.kind == FrameKind::Write) {
                record.writeRefused = m->refusesWrite(frame.dataAddress);
                if (!record.writeRefused) {
                    const std::size_t at = frame.dataAddress;
                    const std::size_t count = std::min(frame.data.size(), kMemorySize - at);
                    std::copy_n(frame.data.begin(), count,
                                m->memory.begin() + static_cast<std::ptrdiff_t>(at));
                }
                answer = {0x00,
                          0x00,
                          0x00,
                          kAckStart,
                          frame.address,
                          frame.dataAddress,
                          frame.zeroByte,
                          frame.byteCount,
                          bus::HeaderCheck(kAckStart, frame.address, frame.dataAddress,
                                           frame.zeroByte, frame.byteCount),
                          bus::kEndChar};
                if (delay) bits |= kFaultDelay;
            } else {
                const detail::AnswerFaults shaping{shortAnswer, longAnswer, twoPreamble,
                                                   wrongEnd,    garbled,    wrongIdentity};
                answer = detail::BuildAnswer(*m, frame, shaping, bits);
                if (delay) bits |= kFaultDelay;
            }
            turnaround = m->turnaround + (delay ? f.delay : std::chrono::microseconds{0});
            record.faults = bits;
            record.answered = !silence;
        }
        frames.push_back(record);
        if (record.forMember) ++perAddress[record.address];
    }
    framesChanged.notify_all();

    if (logSink) {
        std::string line =
            "ADR " + std::string(record.address < 10 ? "0" : "") + std::to_string(record.address) +
            (record.kind == FrameKind::Read ? " READ  " : " WRITE ") + "rx " + HexText(frame.raw);
        if (!record.forMember) {
            line += " | no member";
        } else if (!record.answered) {
            line += " | silent";
        } else {
            line += " | tx " + HexText(answer);
        }
        if (record.writeRefused) line += " | locked: not written";
        if (record.faults) line += " | faults " + faultNames(record.faults);
        logSink(line);
    }
    return record.answered;
}

std::vector<std::uint8_t> Simulator::exchange(std::span<const std::uint8_t> request) {
    detail::FrameScanner scanner;
    scanner.feed(request.data(), request.size());
    const MonoTime now = MonoClock::now();
    std::vector<std::uint8_t> answers;
    std::vector<std::uint8_t> answer;
    std::chrono::microseconds turnaround{0};
    auto serve = [&](const detail::ScannedFrame& frame) {
        // As on the line, a later answer replaces what the master left unread.
        if (impl_->respond(frame, now, answer, turnaround)) answers = answer;
    };
    while (auto frame = scanner.next()) serve(*frame);
    // The request is all there is: an incomplete frame in it is never completed.
    while (auto frame = scanner.idle()) serve(*frame);
    return answers;
}

// Writes the answer so that byte i arrives complete at start + (i+1) byte times. Pacing works
// against absolute deadlines, so sleeping late never accumulates into the next byte.
void Simulator::Impl::sendPaced(const std::vector<std::uint8_t>& bytes, MonoTime start) {
    if (!wireTiming.load()) {
        if (!sleepUntil(start)) return;
        pty->writeAll(bytes.data(), bytes.size());
        return;
    }
    std::size_t sent = 0;
    // How far behind its byte's time the last write went out; a write that falls further
    // behind than that by more than kPacingSlip tore the answer apart on the line.
    std::chrono::nanoseconds behind{0};
    bool slipped = false;
    while (sent < bytes.size()) {
        const MonoTime now = MonoClock::now();
        std::size_t due = 0;
        if (now > start) {
            due = std::min<std::size_t>(bytes.size(),
                                        static_cast<std::size_t>((now - start) / kByteTime));
        }
        if (due > sent) {
            const auto late = now - (start + kByteTime * static_cast<long>(sent + 1));
            if (sent > 0 && late - behind > kPacingSlip) slipped = true;
            behind = std::max(late, std::chrono::nanoseconds{0});
            pty->writeAll(bytes.data() + sent, due - sent);
            sent = due;
            continue;
        }
        if (!sleepUntil(start + kByteTime * static_cast<long>(sent + 1))) return;
    }
    if (slipped) ++pacingSlips;
}

std::size_t Simulator::pacingSlips() const {
    return impl_->pacingSlips.load();
}

bool Simulator::Impl::sleepUntil(MonoTime t) {
    std::unique_lock lock(stopMutex);
    return !stopWake.wait_until(lock, t, [this] { return stopRequested.load(); });
}

Simulator::Simulator(SimulatorOptions options) : impl_(std::make_unique<Impl>()) {
    int error = 0;
    impl_->pty = platform::PseudoTerminal::create(error);
    if (!impl_->pty) {
        throw SimError("cannot create a pseudo-terminal (system error " + std::to_string(error) +
                       ")");
    }
    impl_->wireTiming = options.wireTiming;
    impl_->seed = options.seed;
}

Simulator::~Simulator() {
    stop();
}

const std::string& Simulator::devicePath() const {
    return impl_->pty->slavePath();
}

void Simulator::start() {
    if (impl_->isRunning.exchange(true)) return;
    impl_->stopRequested = false;
    impl_->thread = std::thread([this] { impl_->serve(); });
}

void Simulator::stop() {
    if (!impl_->isRunning.load()) return;
    {
        std::lock_guard lock(impl_->stopMutex);
        impl_->stopRequested = true;
    }
    impl_->stopWake.notify_all();
    if (impl_->thread.joinable()) impl_->thread.join();
    impl_->isRunning = false;
}

bool Simulator::running() const {
    return impl_->isRunning.load();
}

void Simulator::setWireTiming(bool on) {
    impl_->wireTiming = on;
}
bool Simulator::wireTiming() const {
    return impl_->wireTiming.load();
}

void Simulator::setSeed(std::uint64_t seed) {
    std::lock_guard lock(impl_->mutex);
    impl_->seed = seed;
    for (int a = 0; a <= kMaxBusAddress; ++a) {
        if (auto& m = impl_->members[static_cast<std::size_t>(a)]) m->rng.seed(memberSeed(seed, a));
    }
}

void Simulator::addMember(int address, std::vector<std::uint8_t> initial) {
    checkAddress(address);
    auto m = std::make_unique<Member>();
    std::copy_n(initial.begin(), std::min(initial.size(), kMemorySize), m->memory.begin());
    std::lock_guard lock(impl_->mutex);
    m->rng.seed(memberSeed(impl_->seed, address));
    impl_->members[static_cast<std::size_t>(address)] = std::move(m);
}

void Simulator::removeMember(int address) {
    checkAddress(address);
    std::lock_guard lock(impl_->mutex);
    impl_->members[static_cast<std::size_t>(address)].reset();
}

bool Simulator::hasMember(int address) const {
    if (address < 0 || address > kMaxBusAddress) return false;
    std::lock_guard lock(impl_->mutex);
    return impl_->members[static_cast<std::size_t>(address)] != nullptr;
}

std::vector<int> Simulator::memberAddresses() const {
    std::vector<int> out;
    std::lock_guard lock(impl_->mutex);
    for (int a = 0; a <= kMaxBusAddress; ++a) {
        if (impl_->members[static_cast<std::size_t>(a)]) out.push_back(a);
    }
    return out;
}

std::vector<std::uint8_t> Simulator::readMemory(int address, std::size_t offset,
                                                std::size_t count) const {
    std::lock_guard lock(impl_->mutex);
    const Member& m = impl_->member(address);
    if (offset >= kMemorySize) return {};
    count = std::min(count, kMemorySize - offset);
    return {m.memory.begin() + static_cast<std::ptrdiff_t>(offset),
            m.memory.begin() + static_cast<std::ptrdiff_t>(offset + count)};
}

std::array<std::uint8_t, kMemorySize> Simulator::memory(int address) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->member(address).memory;
}

void Simulator::writeMemory(int address, std::size_t offset,
                            const std::vector<std::uint8_t>& bytes) {
    std::lock_guard lock(impl_->mutex);
    Member& m = impl_->member(address);
    if (offset >= kMemorySize) return;
    const std::size_t count = std::min(bytes.size(), kMemorySize - offset);
    std::copy_n(bytes.begin(), count, m.memory.begin() + static_cast<std::ptrdiff_t>(offset));
}

void Simulator::writeText(int address, std::size_t offset, std::string_view text) {
    writeMemory(address, offset, std::vector<std::uint8_t>(text.begin(), text.end()));
}

void Simulator::setTurnaround(int address, std::chrono::microseconds turnaround) {
    std::lock_guard lock(impl_->mutex);
    impl_->member(address).turnaround = std::max(turnaround, std::chrono::microseconds{0});
}

void Simulator::setWriteLock(int address, bool locked) {
    std::lock_guard lock(impl_->mutex);
    impl_->member(address).writeLock = locked;
}

void Simulator::setFaults(int address, const Faults& faults) {
    std::lock_guard lock(impl_->mutex);
    impl_->member(address).faults = faults;
}

Faults Simulator::faults(int address) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->member(address).faults;
}

void Simulator::clearFaults(int address) {
    setFaults(address, Faults{});
}

void Simulator::setIdentityRegions(int address, std::vector<IdentityRegion> regions) {
    std::lock_guard lock(impl_->mutex);
    impl_->member(address).identity = std::move(regions);
}

std::vector<ReceivedFrame> Simulator::frames() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->frames;
}

std::size_t Simulator::frameCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->frames.size();
}

std::size_t Simulator::frameCount(int address) const {
    checkAddress(address);
    std::lock_guard lock(impl_->mutex);
    return impl_->perAddress[static_cast<std::size_t>(address)];
}

void Simulator::clearFrames() {
    std::lock_guard lock(impl_->mutex);
    impl_->frames.clear();
    impl_->perAddress.fill(0);
}

bool Simulator::waitForFrames(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->framesChanged.wait_for(lock, timeout,
                                         [&] { return impl_->frames.size() >= count; });
}

bool Simulator::waitForFrames(int address, std::size_t count,
                              std::chrono::milliseconds timeout) const {
    checkAddress(address);
    std::unique_lock lock(impl_->mutex);
    return impl_->framesChanged.wait_for(lock, timeout, [&] {
        return impl_->perAddress[static_cast<std::size_t>(address)] >= count;
    });
}

void Simulator::setLog(std::function<void(const std::string&)> sink) {
    std::lock_guard lock(impl_->mutex);
    impl_->log = std::move(sink);
}

}  // namespace kvx::sim
