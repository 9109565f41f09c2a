// Scan answers of any content against device types of any shape: identification never reads
// outside the receive area and reports only entries the type has.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "kvx/scantool/scan_tool.h"

using kvx::scantool::MemberType;

namespace {

// Reads the input front to back; past its end every read gives zeros.
class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::int32_t int16() {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(byte() << 8 | byte()));
    }
    std::string text(std::size_t n) {
        std::string s;
        while (n-- > 0 && pos_ < size_) s += static_cast<char>(data_[pos_++]);
        return s;
    }
    std::span<const std::uint8_t> rest() {
        return {data_ + std::min(pos_, size_), size_ - std::min(pos_, size_)};
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    MemberType type;
    type.fileName = "fuzz.cfg";
    type.idAddress = in.int16();
    type.idBytes = in.int16();
    const int entries = in.byte() % 11;
    for (int i = 0; i < entries; ++i) {
        kvx::config::ScanIdEntry e;
        // Offsets near the area's ends and beyond them, in both directions.
        e.readoffset = in.int16() % 300;
        e.length = static_cast<std::int8_t>(in.byte());
        e.idStr = in.text(in.byte() % 24);
        e.name = in.text(in.byte() % 16);
        type.entries.push_back(e);
    }
    // The receive area: what the scan read, at most the tool's 256 bytes.
    const auto area = in.rest().first(std::min<std::size_t>(in.rest().size(), 256));

    const auto match = kvx::scantool::MatchType(type, area);
    if (match.matched && (match.entry < 0 || match.entry >= entries)) std::abort();
    if (!match.matched && match.entry >= entries) std::abort();
    for (const auto& e : type.entries) {
        const std::string id = kvx::scantool::IdText(area, e.readoffset, e.length);
        if (id.find(' ') != std::string::npos) std::abort();  // blanks are removed
    }
    return 0;
}
