#include "namespace_builder.h"

#include <fmt/format.h>

#include <optional>
#include <sstream>
#include <string>

#include "kvx/config/cfg_check.h"
#include "kvx/config/device_description.h"
#include "kvx/config/install_settings.h"
#include "kvx/config/profile_file.h"
#include "kvx/config/scaling_table.h"
#include "kvx/platform/file_read.h"
#include "notifier.h"
#include "value_codec.h"

namespace kvx::driver {
namespace {

// Far beyond any device description (a few kilobytes): a larger file is refused rather than
// read into memory.
constexpr std::uint64_t kMaxDescriptionBytes = 16u * 1024u * 1024u;

using config::CfgRecord;
using config::RecordKind;

bool hasWriteRight(std::uint8_t access) {
    return (access & SOXPS_ACCESS_WRITE) != 0;
}

// Types whose fscale is ignored: they have no scaling.
bool ignoresFreeScaling(DtypeCode dtype) {
    switch (dtype) {
        case DtypeCode::String:
        case DtypeCode::Char:
        case DtypeCode::Password:
        case DtypeCode::Timeout:
        case DtypeCode::S5Time:
        case DtypeCode::Float2:
        case DtypeCode::Hex:
        case DtypeCode::Bin:
            return true;
        default:
            return false;
    }
}

std::int32_t nonNegative(std::int32_t value) {
    return value < 0 ? 0 : value;
}

// Number of image bytes from readoffset that the value decoder reads for this tag.
std::int32_t decodedByteCount(const TagDescriptor& tag) {
    const std::int32_t length = tag.length;
    switch (tag.dtype) {
        case DtypeCode::Char:
            return 1;
        case DtypeCode::Int:
        case DtypeCode::Uint:
        case DtypeCode::Password:
            return length == 2 ? 2 : 0;
        case DtypeCode::Long:
        case DtypeCode::Ulong:
            return length == 4 ? 4 : 0;
        case DtypeCode::Float:
        case DtypeCode::Float2:
        case DtypeCode::String:
        case DtypeCode::Hex:
        case DtypeCode::Bin:
            return nonNegative(length);
        case DtypeCode::Bool:
            return (length == 1 || length == 2 || length == 4) ? length : 0;
        case DtypeCode::S5Time:
            return 2;
        default:
            return 0;
    }
}

bool usesDivisorByte(const TagDescriptor& tag) {
    if (tag.factor != 0.0f) return false;
    if (tag.dtype == DtypeCode::Float2) return true;
    return tag.dtype == DtypeCode::Float && (tag.length == 2 || tag.length == 4);
}

bool insideImage(std::int64_t offset, std::int64_t count) {
    return offset >= 0 && count >= 0 &&
           offset + count <= static_cast<std::int64_t>(kImageBlockSize);
}

// Why a tag cannot be served safely, or nullopt when it can.
std::optional<std::string> refusalReason(const TagDescriptor& tag) {
    const std::int32_t count = decodedByteCount(tag);
    if (count > 0 && !insideImage(tag.readoffset, count)) {
        return fmt::format("its {} byte(s) at readoffset {} lie outside the {}-byte image block",
                           count, tag.readoffset, kImageBlockSize);
    }
    if (usesDivisorByte(tag) && !insideImage(tag.divoffset, 1)) {
        return fmt::format("its divisor byte at divoffset {} lies outside the {}-byte image block",
                           tag.divoffset, kImageBlockSize);
    }
    return std::nullopt;
}

// Why writes to a tag cannot reach its place in the member, or nullopt when they can. The
// data address of a write frame is one byte, and a write sends `length` bytes.
std::optional<std::string> writeRefusalReason(const TagDescriptor& tag) {
    if (tag.writeoffset < 0 || tag.writeoffset > 0xFF) {
        return fmt::format("its writeoffset {} is no data address (0 to 255)", tag.writeoffset);
    }
    if (tag.length <= 0) {
        return fmt::format("its length {} is no byte count to write", static_cast<int>(tag.length));
    }
    if (!HasWriteEncoding(tag.dtype)) {
        return fmt::format("a {} value is never written to the bus", DtypeWord(tag.dtype));
    }
    return std::nullopt;
}

class Builder {
  public:
    Builder(DriverState& state, Namespace& items, SOXpSAddNode addNode, SOXpSAddTag addTag)
        : state_(state), items_(items), addNode_(addNode), addTag_(addTag) {}

    int run();

  private:
    enum class Outcome { Built, Skipped, Stop };

    Outcome buildMember(int address);
    void handleRecord(const CfgRecord& record);
    void handleScanId(const CfgRecord& record);
    void handleFolder(const CfgRecord& record);
    void handleTag(const CfgRecord& record);
    void refuse(const CfgRecord& record, const std::string& what, const std::string& why);

    // Appends a node; null when the handle space is exhausted.
    TagNode* appendNode(std::uint32_t& handle);
    std::uint32_t addFolder(std::uint32_t parent, const std::string& name);
    void addTag(std::uint32_t parent, const std::string& name, std::uint32_t type,
                std::uint32_t access, std::uint32_t handle);

    DriverState& state_;
    Namespace& items_;
    SOXpSAddNode addNode_;
    SOXpSAddTag addTag_;
    config::ProfileSnapshot ini_;
    config::ScalingTable scaling_;

    // Per member.
    int address_ = 0;
    std::uint32_t memberHandle_ = 0;
    std::uint32_t folderHandle_ = 0;
    std::string folderName_;
    std::string fileLabel_;
    bool reportedFull_ = false;
};

std::uint32_t Builder::addFolder(std::uint32_t parent, const std::string& name) {
    std::uint32_t handle = 0;
    if (addNode_ != nullptr) addNode_(parent, name.c_str(), &handle);
    return handle;
}

void Builder::addTag(std::uint32_t parent, const std::string& name, std::uint32_t type,
                     std::uint32_t access, std::uint32_t handle) {
    if (addTag_ != nullptr) addTag_(parent, name.c_str(), type, access, handle, 0);
}

TagNode* Builder::appendNode(std::uint32_t& handle) {
    if (items_.nodes.size() >= kMaxNodes) {
        if (!reportedFull_) {
            Notify(kCfgErrorCaption,
                   fmt::format("{}: more than {} items; the rest is not registered", fileLabel_,
                               kMaxNodes));
            reportedFull_ = true;
        }
        return nullptr;
    }
    handle = MakeHandle(items_.generation, items_.nodes.size());
    return &items_.nodes.emplace_back();
}

void Builder::refuse(const CfgRecord& record, const std::string& what, const std::string& why) {
    Notify(kCfgErrorCaption, fmt::format("{} line {}: {} \"{}\" not registered: {}", fileLabel_,
                                         record.line, what, record.name, why));
}

int Builder::run() {
    // One parse of the INI file serves every key of this build.
    ini_ = config::ProfileSnapshot::Read(state_.iniPath);
    if (!ini_.Problem().empty()) {
        Notify(kFileErrorCaption,
               fmt::format("{} {}: every key takes its default, so no member is configured",
                           state_.iniPath.string(), ini_.Problem()));
    }
    // [KXBUS] MAXADR is read for compatibility; every address 0..31 is handled regardless.
    (void)config::ReadMaxAddress(ini_);
    // Every member starts unconfigured with bad quality, also those after a stop below, so
    // that a rebuild leaves nothing of an earlier build behind.
    {
        std::lock_guard lock(state_.imageLock);
        for (MemberRecord& member : state_.members) member.reset();
    }
    // The scaling table is read once; rows of new scaled tags are written together at the
    // end, also when the build stops early.
    const bool scaled = !state_.scalingTablePath.empty();
    if (scaled && !scaling_.Load(state_.scalingTablePath)) {
        Notify(kFileErrorCaption, scaling_.Error() +
                                      ": the scaling table is not used; scaled tags start with "
                                      "default values");
    }
    int built = 0;
    for (int address = 0; address < kMemberCount; ++address) {
        const Outcome outcome = buildMember(address);
        if (outcome == Outcome::Built) ++built;
        if (outcome == Outcome::Stop) break;
    }
    if (scaled && !scaling_.Flush()) {
        Notify(kFileErrorCaption, "rows of new scaled tags were not saved: " + scaling_.Error());
    }
    return built;
}

Builder::Outcome Builder::buildMember(int address) {
    MemberRecord& member = state_.members[static_cast<std::size_t>(address)];
    const std::string cfg = config::ReadMemberCfg(ini_, address);
    if (cfg.empty()) return Outcome::Skipped;

    config::InstallSettings install;
    install.instDir = state_.installDir;
    const std::filesystem::path file = install.deviceDescriptionPath(cfg);
    {
        std::string name = config::ReadMemberName(ini_, address);
        std::lock_guard lock(state_.imageLock);
        member.name = std::move(name);
    }

    // Only a regular file is a description: a directory, a device such as /dev/zero or a
    // FIFO would never end or block the build. The message keeps the text operators know
    // and adds a line naming the member's section, its CFG value, the file and why.
    platform::FileReadResult read = platform::ReadRegularFile(file, kMaxDescriptionBytes);
    const bool closeFailed = read.failure == platform::FileReadFailure::Close;
    if (!read.ok() && !closeFailed) {
        Notify(kFileErrorCaption, fmt::format("{}\n[SLAVE{:02d}] CFG={}: {} {}", kCfgNotFoundText,
                                              address, cfg, file.string(), read.reason));
        return Outcome::Stop;
    }

    address_ = address;
    fileLabel_ = fmt::format("[SLAVE{:02d}] {}", address, file.filename().string());
    folderName_ = fmt::format("ADR{:02d}", address);
    memberHandle_ = addFolder(0, folderName_);
    folderHandle_ = memberHandle_;

    std::uint32_t handle = 0;
    if (TagNode* node = appendNode(handle)) {
        node->kind = TagKind::Data;
        node->tag.member = static_cast<std::uint8_t>(address);
        node->tag.dtype = DtypeCode::DeviceId;
        addTag(memberHandle_, "DEVICE_ID", VT_BSTR, SOXPS_ACCESS_READ, handle);
    }

    std::istringstream in(std::move(read.contents));
    config::CfgParser parser(in);
    CfgRecord record;
    while (parser.ReadNextRecord(record)) handleRecord(record);

    if (closeFailed) {
        Notify(kFileErrorCaption, fmt::format("{}\n[SLAVE{:02d}] CFG={}: {} {}", kCfgNotClosedText,
                                              address, cfg, file.string(), read.reason));
        return Outcome::Stop;
    }
    return Outcome::Built;
}

void Builder::handleRecord(const CfgRecord& record) {
    MemberRecord& member = state_.members[static_cast<std::size_t>(address_)];
    switch (record.kind) {
        case RecordKind::Fetch1:
        case RecordKind::Fetch2:
        case RecordKind::Fetch3:
        case RecordKind::Fetch4: {
            const auto block = static_cast<std::size_t>(record.kind) - 1u;
            // Writes of an earlier namespace look at the fetch lengths under the image lock.
            std::lock_guard lock(state_.imageLock);
            member.fetchAddress[block] = static_cast<std::uint8_t>(record.desadr);
            member.fetchLength[block] = static_cast<std::uint8_t>(record.bytes);
            break;
        }
        case RecordKind::ScanId:
            handleScanId(record);
            break;
        case RecordKind::Node:
            handleFolder(record);
            break;
        case RecordKind::Tag:
            handleTag(record);
            break;
        case RecordKind::FetchId:
        case RecordKind::Ignored:
            break;
    }
}

void Builder::handleScanId(const CfgRecord& record) {
    MemberRecord& member = state_.members[static_cast<std::size_t>(address_)];
    if (member.idCount >= static_cast<std::int32_t>(config::kMaxScanIdEntries)) {
        Notify(kCfgErrorCaption,
               fmt::format("{} line {}: identification entry \"{}\" not kept: a member holds at "
                           "most {} entries",
                           fileLabel_, record.line, record.name, config::kMaxScanIdEntries));
        return;
    }
    if (!insideImage(record.readoffset, record.length)) {
        Notify(kCfgErrorCaption,
               fmt::format("{} line {}: identification entry \"{}\" not kept: its {} byte(s) at "
                           "readoffset {} lie outside the {}-byte image block",
                           fileLabel_, record.line, record.name, record.length, record.readoffset,
                           kImageBlockSize));
        return;
    }
    ScanIdEntry& entry = member.ids[static_cast<std::size_t>(member.idCount)];
    entry.readoffset = record.readoffset;
    entry.length = record.length;
    entry.idStr = record.idStr;
    entry.name = record.name;
    ++member.idCount;
}

void Builder::handleFolder(const CfgRecord& record) {
    // Folders are siblings under the member's branch: a later node line opens a new one.
    folderHandle_ = addFolder(memberHandle_, record.name);
    folderName_ = record.name;
}

void Builder::handleTag(const CfgRecord& record) {
    MemberRecord& member = state_.members[static_cast<std::size_t>(address_)];

    TagDescriptor tag;
    tag.member = static_cast<std::uint8_t>(address_);
    tag.dtype = record.dtype;
    tag.readoffset = record.readoffset;
    tag.writeoffset = record.writeoffset;
    tag.factor = record.factor;
    tag.divoffset = record.divoffset;
    tag.bitoffset = static_cast<std::int8_t>(record.bitoffset);
    tag.length = static_cast<std::int8_t>(record.length);
    tag.fscale = static_cast<std::uint8_t>(record.fscale);
    if (ignoresFreeScaling(tag.dtype)) tag.fscale = 0;
    tag.name = folderHandle_ == memberHandle_
                   ? fmt::format("ADR{:02d}.{}", address_, record.name)
                   : fmt::format("ADR{:02d}.{}.{}", address_, folderName_, record.name);

    // A password without write right is no item: it marks where the member's password state
    // lies, which every write checks first.
    if (tag.dtype == DtypeCode::Password && !hasWriteRight(record.access)) {
        if (tag.length < 0 || tag.length > static_cast<std::int32_t>(kPasswordStateCapacity) ||
            !insideImage(tag.readoffset, tag.length)) {
            Notify(kCfgErrorCaption,
                   fmt::format("{} line {}: password entry \"{}\" not kept: its {} byte(s) at "
                               "readoffset {} must lie inside the {}-byte image block and be at "
                               "most {}",
                               fileLabel_, record.line, record.name, static_cast<int>(tag.length),
                               tag.readoffset, kImageBlockSize, kPasswordStateCapacity));
            return;
        }
        member.password.readoffset = tag.readoffset;
        member.password.length = tag.length;
        member.password.writeoffset = tag.writeoffset;
        member.password.flag = 1;
        return;
    }

    if (auto why = refusalReason(tag)) {
        refuse(record, "tag", *why);
        return;
    }
    std::uint32_t access = record.access;
    if (hasWriteRight(record.access)) {
        if (auto why = writeRefusalReason(tag)) {
            if ((access & SOXPS_ACCESS_READ) == 0) {
                refuse(record, "tag", *why + ", and it has no read right");
                return;
            }
            // Every write would be dropped: the item says so by being read-only.
            access &= ~static_cast<std::uint32_t>(SOXPS_ACCESS_WRITE);
            Notify(kCfgErrorCaption,
                   fmt::format("{} line {}: tag \"{}\" registered without write right: {}",
                               fileLabel_, record.line, record.name, *why));
        }
    }

    std::uint32_t tagHandle = 0;
    TagNode* node = appendNode(tagHandle);
    if (node == nullptr) return;
    node->kind = TagKind::Data;
    node->tag = std::move(tag);
    TagDescriptor& owner = node->tag;

    if (owner.fscale == 1) {
        auto scale = std::make_unique<ScaleRecord>();
        scale->member = owner.member;
        scale->key = fmt::format("{}.{}", folderName_, record.name);
        if (!state_.scalingTablePath.empty()) scaling_.LoadOrAdd(*scale);
        owner.scale = std::move(scale);

        struct Property {
            const char* format;
            PropertyIndex index;
            std::uint32_t type;
        };
        static constexpr Property kRange[] = {
            {"{}_start", PropertyIndex::Start, VT_R8},
            {"{}_end", PropertyIndex::End, VT_R8},
            {"{}_unit", PropertyIndex::Unit, VT_BSTR},
            {"{}_format", PropertyIndex::Format, VT_UI1},
        };
        static constexpr Property kEvery[] = {
            {"{}_factor", PropertyIndex::Factor, VT_R8},
            {"{}_name", PropertyIndex::Name, VT_BSTR},
        };
        auto addProperty = [&](const Property& property) {
            std::uint32_t handle = 0;
            TagNode* prop = appendNode(handle);
            if (prop == nullptr) return;
            prop->kind = TagKind::Property;
            prop->owner = &owner;
            prop->property = property.index;
            addTag(folderHandle_, fmt::format(fmt::runtime(property.format), record.name),
                   property.type, SOXPS_ACCESS_READ | SOXPS_ACCESS_WRITE, handle);
        };
        if (owner.dtype != DtypeCode::Bool) {
            for (const Property& property : kRange) addProperty(property);
        }
        for (const Property& property : kEvery) addProperty(property);
    }

    addTag(folderHandle_, record.name, RegisteredValueType(owner), access, tagHandle);
    if (owner.dtype == DtypeCode::Password) member.password.flag = 0;
}

}  // namespace

std::uint32_t RegisteredValueType(const TagDescriptor& tag) {
    if (tag.dtype == DtypeCode::DeviceId) return VT_BSTR;
    if (tag.fscale == 1) return tag.dtype == DtypeCode::Bool ? VT_BOOL : VT_R4;
    switch (tag.dtype) {
        case DtypeCode::S5Time:
        case DtypeCode::Float2:
            return VT_R4;
        case DtypeCode::Hex:
        case DtypeCode::Bin:
            return VT_BSTR;
        case DtypeCode::Timeout:
        case DtypeCode::Password:
            return VT_I2;
        default:
            return static_cast<std::uint32_t>(tag.dtype);
    }
}

int BuildNamespace(DriverState& state, Namespace& items, SOXpSAddNode addNode, SOXpSAddTag addTag) {
    Builder builder(state, items, addNode, addTag);
    return builder.run();
}

}  // namespace kvx::driver
