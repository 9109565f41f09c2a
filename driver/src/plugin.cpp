#include "plugin.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "fenlodrv/oleauto.h"
#include "kvx/platform/shared_library.h"
#include "namespace_builder.h"
#include "runtime.h"
#include "settings.h"

namespace kvx::driver {
namespace {

// The host's records are packed and may lie at any address. The value is worked on in an
// aligned copy, so that no handler ever reads a misaligned number, and then put back.
class AlignedValue {
  public:
    explicit AlignedValue(SOXpSRequest& record) : record_(record) {
        std::memcpy(static_cast<void*>(&value_), &record.value, sizeof(VARIANT));
    }
    ~AlignedValue() { std::memcpy(static_cast<void*>(&record_.value), &value_, sizeof(VARIANT)); }
    AlignedValue(const AlignedValue&) = delete;
    AlignedValue& operator=(const AlignedValue&) = delete;
    VARIANT& get() { return value_; }

  private:
    SOXpSRequest& record_;
    alignas(8) VARIANT value_;
};

// The server's COM class identifier.
constexpr SOXpSGuid kServerClassId = {
    0x6B1E4C2Au, 0x93D7u, 0x4F05u, {0xA8u, 0x4Cu, 0x2Eu, 0x71u, 0x0Fu, 0xB3u, 0x5Du, 0x96u}};

SOXpSServerDescription makeDescription() {
    SOXpSServerDescription d{};
    d.clsid = kServerClassId;
    d.progId = "Korvex.OPC_Server.2";
    d.versionIndependentProgId = "Korvex.OPC_Server";
    d.description = "Korvex OPC Server";
    d.value10000 = 10000;
    d.value2 = 2;
    d.value10 = 10;
    d.value16 = 16;
    d.vendor = "Korvex germany";
    d.value1 = 1;
    d.versionText = kStaticVersionText;
    d.value101 = 101;
    d.value4096a = 4096;
    d.value4096b = 4096;
    return d;
}

}  // namespace

Plugin::Plugin() : polling_(state_), description_(makeDescription()) {}

Plugin::~Plugin() {
    polling_.stop();
}

const SOXpSServerDescription* Plugin::Initialize() {
    PluginSettings settings = ResolvePluginSettings();
    state_.installDir = std::move(settings.installDir);
    state_.scalingTablePath = std::move(settings.scalingTablePath);
    state_.version = std::move(settings.version);
    state_.iniPath = std::move(settings.iniPath);
    state_.cyclePauseMs = ReadCyclePause(state_.iniPath);
    std::snprintf(versionText_.data(), versionText_.size(), "Korvex OPC Server V:%s",
                  state_.version.c_str());
    description_.versionText = versionText_.data();
    return &description_;
}

std::int32_t Plugin::BuildNamespace(SOXpSAddNode addNode, SOXpSAddTag addTag) {
    std::lock_guard lifecycle(lifecycle_);
    // The polling thread reads the member table without a lock. A build while it runs would
    // change fetch blocks and identification entries under it: the thread is held for the
    // build and started again afterwards.
    const bool wasPolling = polling_.running();
    if (wasPolling) polling_.stop();
    // Batches go on with the earlier namespace meanwhile; the build never waits for them.
    auto items = nextNamespace();
    std::int32_t built = 0;
    {
        std::lock_guard table(ScaleTableWriteLock());
        built = driver::BuildNamespace(state_, *items, addNode, addTag);
    }
    putInPlace(std::move(items));
    if (wasPolling) {
        state_.stopEvent.reset();
        polling_.start();
    }
    return built;
}

std::int32_t Plugin::Start() {
    std::lock_guard lifecycle(lifecycle_);
    state_.bus.setPortName(ReadPortName(state_.iniPath));
    state_.bus.setAnswerCheck(ReadAnswerCheck(state_.iniPath));
    if (polling_.running()) return 1;
    // A host that unloads the plug-in without stopping it must not pull the code from under
    // the polling thread.
    platform::PinOwnModule();
    // A stop event set while no thread ran would end the new thread at once.
    state_.stopEvent.reset();
    return polling_.start() ? 1 : 0;
}

std::int32_t Plugin::Stop() {
    std::lock_guard lifecycle(lifecycle_);
    polling_.stop();
    putInPlace(nextNamespace());
    return 0;
}

std::shared_ptr<Namespace> Plugin::nextNamespace() {
    auto items = std::make_shared<Namespace>();
    state_.generation = NextGeneration(state_.generation);
    items->generation = state_.generation;
    return items;
}

void Plugin::putInPlace(std::shared_ptr<Namespace> items) {
    // Reports are remembered by tag address; a rebuild may put new tags at the same places.
    state_.infinityReports.clear();
    state_.writeRefusals.clear();
    // Property nodes only point at their owner's scaling record; the owner frees it, with
    // the last batch that still holds the earlier namespace.
    state_.items.put(std::move(items));
}

std::int32_t Plugin::HandleRequests(std::int32_t direction, std::uint32_t count,
                                    SOXpSRequest* records) {
    if (count == 0 || records == nullptr) return 0;
    // The batch keeps the namespace it started with, also across its bus writes; a build or
    // stop meanwhile puts another one in place without waiting, and later batches use that.
    const std::shared_ptr<Namespace> items = state_.items.get();
    for (std::uint32_t i = 0; i < count; ++i) {
        if (direction == SOXPS_READ) {
            handleRead(*items, records[i]);
        } else {
            handleWrite(*items, records[i]);
        }
        records[i].completion = SOXPS_COMPLETED;
    }
    return static_cast<std::int32_t>(count);
}

void Plugin::handleRead(Namespace& items, SOXpSRequest& record) {
    // The record is packed: its time stamp is not aligned, so it is filled by copy.
    FILETIME now{};
    CoFileTimeNow(&now);
    std::memcpy(reinterpret_cast<unsigned char*>(&record) + offsetof(SOXpSRequest, timestamp), &now,
                sizeof(now));

    TagNode* node = FindNode(items, record.userData);
    if (node == nullptr) {
        record.quality = SOXPS_QUALITY_BAD;
        return;
    }
    AlignedValue value(record);
    if (node->kind == TagKind::Data) {
        DecodeTagValue(state_, node->tag, value.get());
        const std::int32_t errors =
            state_.members[node->tag.member % kMemberCount].errorCounter.load();
        record.quality = errors < kBadErrorCount ? SOXPS_QUALITY_GOOD : SOXPS_QUALITY_BAD;
    } else {
        ReadScaleProperty(*node, value.get());
        record.quality = SOXPS_QUALITY_GOOD;
    }
}

void Plugin::handleWrite(Namespace& items, SOXpSRequest& record) {
    // The outcome goes into the quality field, which an OPC DA host does not look at on
    // writes; hosts that know it learn whether the value reached the member.
    TagNode* node = FindNode(items, record.userData);
    if (node == nullptr) {
        record.quality = SOXPS_WRITE_NOT_WRITABLE;
        return;
    }
    AlignedValue value(record);
    std::uint16_t outcome = SOXPS_WRITE_NOT_WRITABLE;
    if (node->kind == TagKind::Data) {
        outcome = EncodeAndWriteTagValue(state_, node->tag, value.get());
        // The written member is polled next only while it answers: a silent member's poll
        // would cost every other member a whole answer time-out per write.
        const std::uint8_t member = node->tag.member;
        if (member < kMemberCount && state_.members[member].errorCounter.load() == 0) {
            state_.priority.request(member);
        }
    } else {
        outcome = WriteScaleProperty(state_, *node, value.get());
    }
    record.quality = outcome;
}

bool Plugin::MemberStatus(std::uint32_t address, FenloMemberStatus& status) {
    return FillMemberStatus(state_, address, status);
}

bool Plugin::BusStatus(FenloBusStatus& status) {
    return FillBusStatus(state_, polling_.running(), status);
}

std::uint64_t Plugin::WaitForPoll(std::uint64_t after, std::chrono::milliseconds timeout) {
    return state_.busStats.polls.waitAfter(after, timeout);
}

}  // namespace kvx::driver
