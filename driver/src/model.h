#pragma once
// The plug-in's in-memory model: member table, process image, tag nodes and the shared state
// that the entry points, the polling thread and the request handlers work on.

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "kvx/bus/bus_link.h"
#include "kvx/config/device_description.h"
#include "kvx/config/scaling_table.h"
#include "kvx/platform/clock.h"

namespace kvx::driver {

using config::DtypeCode;
using config::ScaleRecord;
using config::ScanIdEntry;

inline constexpr int kMemberCount = 32;
inline constexpr std::size_t kImageBlockSize = 1024;
inline constexpr int kFetchBlocks = 4;
inline constexpr int kBadErrorCount = 10;

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
};

enum class TagKind : std::int32_t { Data = 0, Property = 1 };

enum class PropertyIndex : std::int32_t { Start = 0, End = 1, Unit = 2, Factor = 3, Format = 4, Name = 5 };

// One namespace item. Nodes never move once created (they live in a deque).
struct TagNode {
    TagKind kind = TagKind::Data;
    TagDescriptor tag;                  // kind Data (also DEVICE_ID)
    TagDescriptor* owner = nullptr;     // kind Property: the scaled tag
    PropertyIndex property = PropertyIndex::Start;
};

struct PasswordEntry {
    std::int32_t readoffset = 0;
    std::int32_t length = 0;
    std::int32_t writeoffset = 0;
    std::int32_t flag = 0;  // 1: a read-only password tag marks where the password state lies
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
    std::array<ImageBlock, kMemberCount> image{};
    std::array<MemberRecord, kMemberCount> members;
    std::deque<TagNode> nodes;
    PriorityMember priority;
    bus::BusLink bus;  // owns the port lock: it lives as long as the plug-in
    platform::TimeSource* time = &platform::systemTime();
};

}  // namespace kvx::driver
