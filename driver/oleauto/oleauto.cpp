// OLE-automation stand-in: BSTR texts, VARIANT lifetime and the current time as a FILETIME.
//
// A BSTR points at UTF-16 text that is preceded by its length in bytes (4 bytes) and followed
// by a zero code unit; the block is allocated and freed here only, so every user of a BSTR
// shares one allocator.

#include "fenlodrv/oleauto.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr std::size_t kPrefix = sizeof(std::uint32_t);
// Largest length whose byte count still fits the 4-byte prefix.
constexpr std::uint32_t kMaxLength = (std::numeric_limits<std::uint32_t>::max() - 8u) / 2u;

std::uint8_t* blockOf(BSTR text) {
    return reinterpret_cast<std::uint8_t*>(text) - kPrefix;
}

}  // namespace

extern "C" {

BSTR SysAllocStringLen(const OLECHAR* text, std::uint32_t length) {
    if (length > kMaxLength) return nullptr;
    const std::size_t bytes = std::size_t{length} * sizeof(OLECHAR);
    auto* block = static_cast<std::uint8_t*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR)));
    if (block == nullptr) return nullptr;
    const auto byteLength = static_cast<std::uint32_t>(bytes);
    std::memcpy(block, &byteLength, kPrefix);
    auto* body = reinterpret_cast<OLECHAR*>(block + kPrefix);
    if (text != nullptr && bytes != 0) {
        std::memcpy(body, text, bytes);
    } else if (bytes != 0) {
        std::memset(body, 0, bytes);
    }
    body[length] = 0;
    return body;
}

BSTR SysAllocString(const OLECHAR* text) {
    if (text == nullptr) return nullptr;
    std::uint32_t length = 0;
    while (text[length] != 0) {
        if (length == kMaxLength) return nullptr;
        ++length;
    }
    return SysAllocStringLen(text, length);
}

void SysFreeString(BSTR text) {
    if (text != nullptr) std::free(blockOf(text));
}

std::uint32_t SysStringLen(BSTR text) {
    if (text == nullptr) return 0;
    std::uint32_t byteLength = 0;
    std::memcpy(&byteLength, blockOf(text), kPrefix);
    return byteLength / static_cast<std::uint32_t>(sizeof(OLECHAR));
}

void VariantInit(VARIANT* value) {
    if (value == nullptr) return;
    std::memset(static_cast<void*>(value), 0, sizeof(VARIANT));
    value->vt = VT_EMPTY;
}

std::int32_t VariantClear(VARIANT* value) {
    if (value == nullptr) return 0;
    if (value->vt == VT_BSTR) {
        BSTR text = nullptr;
        std::memcpy(&text, &value->value, sizeof(text));
        SysFreeString(text);
    }
    VariantInit(value);
    return 0;
}

std::int32_t CoFileTimeNow(FILETIME* now) {
    if (now == nullptr) return 0;
    // 1601-01-01 lies 11644473600 s before the Unix epoch; the file time counts 100 ns ticks.
    constexpr std::int64_t kEpochOffsetTicks = 116444736000000000LL;
    const auto sinceUnix = std::chrono::system_clock::now().time_since_epoch();
    const std::int64_t ticks =
        std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>>(
            sinceUnix)
            .count() +
        kEpochOffsetTicks;
    const auto value = static_cast<std::uint64_t>(ticks);
    FILETIME result{static_cast<std::uint32_t>(value & 0xFFFFFFFFu),
                    static_cast<std::uint32_t>(value >> 32)};
    std::memcpy(static_cast<void*>(now), &result, sizeof(result));
    return 0;
}

}  // extern "C"
