// Members built from a device description: memory that identifies them to both masters.

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>

#include "kvx/config/device_description.h"
#include "kvx/platform/codepage.h"
#include "kvx/sim/simulator.h"

namespace kvx::sim {

namespace {

struct Block {
    int desadr = 0;
    int bytes = 0;
};

struct Placement {
    std::size_t memoryOffset = 0;
    std::string text;  // OEM bytes, padded with blanks to the entry's length
    std::string who;   // for messages
};

// First entry of every distinct read offset, in file order.
template <typename Entry>
std::vector<const Entry*> firstPerOffset(const std::vector<Entry>& entries) {
    std::vector<const Entry*> out;
    for (const Entry& e : entries) {
        const bool seen = std::any_of(
            out.begin(), out.end(), [&](const Entry* o) { return o->readoffset == e.readoffset; });
        if (!seen) out.push_back(&e);
    }
    return out;
}

std::string idBytes(const std::string& idStr, int length) {
    std::string oem = platform::AnsiToOem(idStr);
    if (length > 0 && oem.size() < static_cast<std::size_t>(length)) {
        oem.append(static_cast<std::size_t>(length) - oem.size(), ' ');
    }
    return oem;
}

}  // namespace

CfgMemberInfo Simulator::addMemberFromCfg(int address, const std::filesystem::path& cfgFile) {
    const std::string name = cfgFile.string();
    if (address < 0 || address > kMaxBusAddress) {
        throw SimError(name + ": bus address " + std::to_string(address) + " is outside 0..31");
    }
    std::ifstream driverIn(cfgFile, std::ios::binary);
    std::ifstream toolIn(cfgFile, std::ios::binary);
    if (!driverIn || !toolIn || std::filesystem::is_directory(cfgFile)) {
        throw SimError(name + ": cannot be read");
    }

    // The driver's view: fetch blocks joined end to end, scanID offsets into the joined data.
    Block fetch[4];
    std::vector<config::ScanIdEntry> driverEntries;
    std::vector<int> driverLines;
    config::CfgParser parser(driverIn);
    config::CfgRecord rec;
    while (parser.ReadNextRecord(rec)) {
        switch (rec.kind) {
            case config::RecordKind::Fetch1:
            case config::RecordKind::Fetch2:
            case config::RecordKind::Fetch3:
            case config::RecordKind::Fetch4:
                fetch[static_cast<int>(rec.kind) - 1] = {rec.desadr, rec.bytes};
                break;
            case config::RecordKind::ScanId:
                driverEntries.push_back({rec.readoffset, rec.length, rec.idStr, rec.name});
                driverLines.push_back(rec.line);
                break;
            default:
                break;
        }
    }
    if (driverIn.bad()) throw SimError(name + ": cannot be read");
    // The scan tool's view: scanID offsets into the fetchID block.
    const config::ToolDeviceType tool = config::ReadToolDeviceType(toolIn, cfgFile);

    CfgMemberInfo info;
    std::vector<Placement> placements;

    // Joined offset -> memory offset, through the fetch blocks in use (fetch1 first).
    auto toMemory = [&](int joined) -> std::optional<std::size_t> {
        if (fetch[0].bytes <= 0) return std::nullopt;  // an unpolled member joins nothing
        int base = 0;
        for (const Block& b : fetch) {
            if (b.bytes <= 0) continue;
            if (joined >= base && joined < base + b.bytes) {
                return static_cast<std::size_t>(b.desadr + (joined - base));
            }
            base += b.bytes;
        }
        return std::nullopt;
    };

    for (const config::ScanIdEntry* e : firstPerOffset(driverEntries)) {
        const std::string text = idBytes(e->idStr, e->length);
        const std::string who =
            "scanID \"" + e->idStr + "\" (readoffset " + std::to_string(e->readoffset) + ")";
        if (e->length <= 0 || text.size() > static_cast<std::size_t>(e->length)) {
            info.warnings.push_back(name + ": " + who + ": the text does not fit its length " +
                                    std::to_string(e->length));
            continue;
        }
        // Contiguous in the joined data, but possibly split over two blocks in memory.
        bool placed = true;
        for (int i = 0; i < e->length; ++i) {
            auto at = toMemory(e->readoffset + i);
            if (!at || *at >= kMemorySize) {
                placed = false;
                break;
            }
        }
        if (!placed) {
            info.warnings.push_back(name + ": " + who +
                                    " lies outside the joined fetch blocks: the driver cannot "
                                    "identify this member");
            continue;
        }
        for (int i = 0; i < e->length; ++i) {
            placements.push_back({*toMemory(e->readoffset + i),
                                  std::string(1, text[static_cast<std::size_t>(i)]),
                                  who + " for the driver"});
        }
    }
    for (const config::ScanIdEntry* e : firstPerOffset(tool.entries)) {
        const std::string text = idBytes(e->idStr, e->length);
        const std::string who =
            "scanID \"" + e->idStr + "\" (readoffset " + std::to_string(e->readoffset) + ")";
        if (e->length <= 0 || text.size() > static_cast<std::size_t>(e->length)) continue;
        const int end = e->readoffset + e->length;
        if (e->readoffset < 0 || end > tool.fetchIdBytes ||
            tool.fetchIdAddress + end > static_cast<int>(kMemorySize)) {
            info.warnings.push_back(name + ": " + who +
                                    " lies outside the fetchID block: the scan tool cannot "
                                    "identify this member");
            continue;
        }
        for (int i = 0; i < e->length; ++i) {
            placements.push_back({static_cast<std::size_t>(tool.fetchIdAddress + e->readoffset + i),
                                  std::string(1, text[static_cast<std::size_t>(i)]),
                                  who + " for the scan tool"});
        }
    }
    if (!tool.loaded()) {
        info.warnings.push_back(name +
                                ": fewer than two scanID and fetchID lines: the scan tool "
                                "does not load this description");
    }
    if (fetch[0].bytes <= 0) {
        info.warnings.push_back(name + ": no fetch1 block: the driver does not poll this member");
    }

    // Place byte by byte; the first text to claim a byte keeps it.
    std::vector<std::uint8_t> memory(kMemorySize, 0);
    std::map<std::size_t, const Placement*> owner;
    for (const Placement& p : placements) {
        const auto byte = static_cast<std::uint8_t>(p.text[0]);
        auto [it, fresh] = owner.emplace(p.memoryOffset, &p);
        if (!fresh) {
            if (memory[p.memoryOffset] != byte) {
                info.warnings.push_back(name + ": " + p.who + " collides at memory offset " +
                                        std::to_string(p.memoryOffset) + " with " +
                                        it->second->who);
            }
            continue;
        }
        memory[p.memoryOffset] = byte;
    }
    // Identity regions: runs of placed bytes.
    for (const auto& [offset, p] : owner) {
        if (!info.identity.empty() &&
            info.identity.back().offset + info.identity.back().length == offset) {
            ++info.identity.back().length;
        } else {
            info.identity.push_back({offset, 1});
        }
    }

    // Name the driver gives on identification: the first alternative of a group (the one
    // whose text is placed), else the last entry.
    if (!driverEntries.empty()) {
        std::optional<int> group;
        for (std::size_t i = 0; i + 1 < driverEntries.size(); ++i) {
            if (driverEntries[i].readoffset == driverEntries[i + 1].readoffset) {
                group = driverEntries[i].readoffset;
            }
        }
        info.deviceName = driverEntries.back().name;
        if (group) {
            for (const auto& e : driverEntries) {
                if (e.readoffset == *group) {
                    info.deviceName = e.name;
                    break;
                }
            }
        }
    }

    addMember(address, memory);
    setIdentityRegions(address, info.identity);
    return info;
}

}  // namespace kvx::sim
