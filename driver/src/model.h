#pragma once
// The plug-in's in-memory model: member table, process image, tag nodes and the shared state
// that the entry points, the polling thread and the request handlers work on.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "kvx/bus/bus_link.h"
#include "kvx/config/device_description.h"
#include "kvx/config/scaling_table.h"
#include "kvx/platform/clock.h"
#include "statistics.h"

namespace kvx::driver {

using config::DtypeCode;
using config::ScaleRecord;
using config::ScanIdEntry;

inline constexpr int kMemberCount = 32;
inline constexpr std::size_t kImageBlockSize = 1024;
inline constexpr int kFetchBlocks = 4;
inline constexpr int kBadErrorCount = 10;
// Room of the encoder's copy of the password state.
inline constexpr std::size_t kPasswordStateCapacity = 11;
inline constexpr const char* kDefaultMemberName = "NoID";

// What a tag is: where its bytes lie and how they are encoded.
struct TagDescriptor {
    std::uint8_t member = 0;
    DtypeCode dtype = DtypeCode::Unknown;
    std::int32_t readoffset = 0;
    std::int32_t writeoffset = 0;
    float factor = 0.0f;
    std::int32_t divoffset = 0;
    std::int8_t bitoffset = 0;
    std::int8_t length = 0;
    std::uint8_t fscale = 0;
    std::unique_ptr<ScaleRecord> scale;  // owned; null unless fscale is 1
    std::string name;                    // item path ("ADR05.Folder.Tag"), for messages
};

enum class TagKind : std::int32_t { Data = 0, Property = 1 };

enum class PropertyIndex : std::int32_t {
    Start = 0,
    End = 1,
    Unit = 2,
    Factor = 3,
    Format = 4,
    Name = 5
};

// One namespace item. Nodes never move once created (they live in a deque).
struct TagNode {
    TagKind kind = TagKind::Data;
    TagDescriptor tag;               // kind Data (also DEVICE_ID)
    TagDescriptor* owner = nullptr;  // kind Property: the scaled tag
    PropertyIndex property = PropertyIndex::Start;
};

// Atomic fields: a write batch of an earlier namespace may still look at them while a
// rebuild fills them anew.
struct PasswordEntry {
    std::atomic<std::int32_t> readoffset{0};
    std::atomic<std::int32_t> length{0};
    std::atomic<std::int32_t> writeoffset{0};
    std::atomic<std::int32_t> flag{0};  // 1: a read-only password tag marks the password state

    void clear() {
        readoffset = 0;
        length = 0;
        writeoffset = 0;
        flag = 0;
    }
};

struct MemberRecord {
    std::array<std::uint8_t, kFetchBlocks> fetchAddress{};
    std::array<std::uint8_t, kFetchBlocks> fetchLength{};
    // Written by the polling thread, read by request threads without the image lock.
    std::atomic<std::int32_t> errorCounter{kBadErrorCount};
    PasswordEntry password;
    std::int32_t idCount = 0;
    std::array<ScanIdEntry, config::kMaxScanIdEntries> ids{};
    std::string name;  // guarded by the image lock once polling runs
    // The image block holds the data of an accepted poll (guarded by the image lock). Until
    // then, and again once the block has been cleared, its bytes come from no member.
    bool imageFromPoll = false;
    // The last poll's identification was rejected: another device may answer at the address,
    // so the image's bytes are not this member's current data.
    std::atomic<bool> identityRejected{false};
    // A write went unanswered and no poll has been accepted since: further writes are not
    // sent (each would hold the bus for a whole answer time-out) until the member answers.
    std::atomic<bool> writesUnanswered{false};

    // Back to the state of a member that no INI section configures (error counter 10).
    void reset() {
        fetchAddress.fill(0);
        fetchLength.fill(0);
        errorCounter.store(kBadErrorCount);
        password.clear();
        idCount = 0;
        ids.fill(ScanIdEntry{});
        name.clear();
        imageFromPoll = false;
        identityRejected = false;
        writesUnanswered = false;
    }

    // Bytes of the joined fetch data, the part of the image block a poll fills.
    std::size_t polledBytes() const {
        std::size_t total = 0;
        for (std::uint8_t length : fetchLength) total += length;
        return total;
    }
};

// Member a write asks to be polled next: the address is stored first, then the flag.
struct PriorityMember {
    std::atomic<std::uint8_t> address{0};
    std::atomic<bool> pending{false};
    void request(std::uint8_t member) {
        address.store(member, std::memory_order_relaxed);
        pending.store(true, std::memory_order_release);
    }
};

using ImageBlock = std::array<std::uint8_t, kImageBlockSize>;

// Messages that go out once per tag (and, where given, per value), so that a client that
// keeps reading a broken value or writing a refused one does not flood the notifier.
class OncePerTag {
  public:
    // True the first time it is asked for `tag` with `what`.
    bool first(const TagDescriptor& tag, std::string_view what = {}) {
        std::lock_guard lock(mutex_);
        // Bounded: a client writing ever new refused values must not grow this without end.
        // Past the bound the memory starts afresh, and a message may come once more.
        if (seen_.size() >= kMaxRemembered) seen_.clear();
        return seen_.emplace(&tag, std::string(what)).second;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        seen_.clear();
    }

  private:
    static constexpr std::size_t kMaxRemembered = 4096;
    std::mutex mutex_;
    std::set<std::pair<const TagDescriptor*, std::string>> seen_;
};

// One build's namespace items, in creation order, with the generation of their handles.
struct Namespace {
    std::deque<TagNode> nodes;
    std::uint32_t generation = 1;
};

// The namespace in use. Build and stop put another one in place without waiting for any
// request batch; a batch holds the one it started with until it ends, bus writes included,
// so the nodes it works on stay alive and a rebuild or stop is never held up by hosts.
class NamespaceSlot {
  public:
    std::shared_ptr<Namespace> get() const {
        std::lock_guard lock(mutex_);
        return current_;
    }
    void put(std::shared_ptr<Namespace> next) {
        std::lock_guard lock(mutex_);
        current_.swap(next);
        // The earlier namespace is freed outside the lock, by the last batch that holds it.
    }

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<Namespace> current_ = std::make_shared<Namespace>();
};

// Everything global to one loaded plug-in.
struct DriverState {
    // Settings resolved by SOXpSInitialize.
    std::filesystem::path iniPath;
    std::filesystem::path installDir;
    std::filesystem::path scalingTablePath;  // empty when the installation directory is unknown
    std::string version = "2.02.01";
    std::int32_t cyclePauseMs = 1000;

    platform::StopEvent stopEvent;
    std::mutex imageLock;  // guards `image` and every MemberRecord::name
    // Called by a read that found the image lock held, with the time it waited for it (for
    // measurements; none by default). Set before any request batch runs.
    std::function<void(std::chrono::nanoseconds)> imageWaitProbe;
    std::array<ImageBlock, kMemberCount> image{};
    std::array<MemberRecord, kMemberCount> members;
    NamespaceSlot items;
    // Generation of the last namespace put in place (build and stop only): every new one
    // gets the next, so that handles of an earlier build stay unknown.
    std::uint32_t generation = 1;
    PriorityMember priority;
    OncePerTag infinityReports;
    OncePerTag writeRefusals;  // values not sent, once per tag and value
    // A stretch of writes that found the bus port not openable is under way (told once).
    std::atomic<bool> writePortFailing{false};
    bus::BusLink bus;  // owns the port lock: it lives as long as the plug-in
    // Figures since the plug-in was loaded (a rebuild keeps them).
    std::array<MemberStatistics, kMemberCount> memberStats;
    BusStatistics busStats;
    platform::TimeSource* time = &platform::systemTime();
};

// Item handles: the host keeps a 32-bit handle per item, never an address. The low bits hold
// the node's index + 1, the high bits the generation of the build that created it.
inline constexpr unsigned kHandleIndexBits = 20;
inline constexpr std::uint32_t kHandleIndexMask = (1u << kHandleIndexBits) - 1u;
inline constexpr std::uint32_t kGenerationMask = (1u << (32 - kHandleIndexBits)) - 1u;
// Most nodes one build can hand out.
inline constexpr std::size_t kMaxNodes = kHandleIndexMask - 1u;

inline std::uint32_t MakeHandle(std::uint32_t generation, std::size_t index) {
    return ((generation & kGenerationMask) << kHandleIndexBits) |
           static_cast<std::uint32_t>(index + 1u);
}

// Next generation: never 0, so no handle of any build is 0.
inline std::uint32_t NextGeneration(std::uint32_t generation) {
    const std::uint32_t next = (generation + 1u) & kGenerationMask;
    return next == 0u ? 1u : next;
}

// The node a handle names in `items`, or null for a handle of another build or none at all.
inline TagNode* FindNode(Namespace& items, std::uint32_t handle) {
    if ((handle >> kHandleIndexBits) != (items.generation & kGenerationMask)) return nullptr;
    const std::uint32_t slot = handle & kHandleIndexMask;
    if (slot == 0u || slot > items.nodes.size()) return nullptr;
    return &items.nodes[slot - 1u];
}

}  // namespace kvx::driver
