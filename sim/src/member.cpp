#include "member.h"

#include <algorithm>
#include <numeric>

#include "kvx/bus/frame.h"

namespace kvx::sim::detail {

namespace {
constexpr std::uint8_t kWrongEndChar = 0x17;
constexpr std::uint8_t kForeignIdentity = '?';
}  // namespace

std::vector<std::uint8_t> BuildAnswer(Member& member, const ScannedFrame& frame,
                                      const AnswerFaults& faults, std::uint32_t& bits) {
    const Faults& f = member.faults;
    const std::size_t first = frame.dataAddress;
    std::size_t count = frame.byteCount;
    if (faults.longAnswer && f.longAnswer.bytes > 0) {
        count += static_cast<std::size_t>(f.longAnswer.bytes);
        bits |= kFaultLong;
    }
    // Memory past its end reads as zero.
    std::vector<std::uint8_t> data(count, 0);
    for (std::size_t i = 0; i < count && first + i < kMemorySize; ++i) {
        data[i] = member.memory[first + i];
    }
    if (faults.wrongIdentity) {
        bool touched = false;
        for (const IdentityRegion& r : member.identity) {
            for (std::size_t at = r.offset; at < r.offset + r.length; ++at) {
                if (at >= first && at < first + data.size()) {
                    data[at - first] = kForeignIdentity;
                    touched = true;
                }
            }
        }
        if (touched) bits |= kFaultWrongIdentity;
    }
    std::size_t cutFromEnd = 0;
    if (faults.shortAnswer && f.shortAnswer.bytes > 0) {
        const auto missing = static_cast<std::size_t>(f.shortAnswer.bytes);
        const std::size_t fromData = std::min(missing, data.size());
        data.resize(data.size() - fromData);
        cutFromEnd = missing - fromData;
        bits |= kFaultShort;
    }
    std::vector<std::uint8_t> answer(data.size() + bus::kLongFrameOverhead);
    // The byte count field carries the low 8 bits of the data length, like every frame.
    bus::BuildLongFrame(answer, frame.address, frame.dataAddress, frame.zeroByte, data);
    constexpr std::size_t dataStart = 9;
    if (faults.garbled && f.garbled.bytes > 0 && !data.empty()) {
        std::vector<std::size_t> positions(data.size());
        std::iota(positions.begin(), positions.end(), std::size_t{0});
        std::shuffle(positions.begin(), positions.end(), member.rng);
        const std::size_t n = std::min(positions.size(), static_cast<std::size_t>(f.garbled.bytes));
        for (std::size_t i = 0; i < n; ++i) answer[dataStart + positions[i]] ^= 0xFF;
        bits |= kFaultGarbled;
    }
    if (faults.wrongEnd) {
        answer.back() = kWrongEndChar;
        bits |= kFaultWrongEnd;
    }
    if (faults.twoPreamble) {
        answer.erase(answer.begin());
        bits |= kFaultTwoPreamble;
    }
    answer.resize(answer.size() - std::min(cutFromEnd, answer.size()));
    return answer;
}

}  // namespace kvx::sim::detail
