// Scaling property requests: read and change the range, unit, format, factor and name of a
// freely scaled tag. A change lives in memory only once FreeScale.dat holds it.

#include <fmt/format.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "fenlodrv/oleauto.h"
#include "kvx/config/scaling_table.h"
#include "kvx/platform/codepage.h"
#include "notifier.h"
#include "runtime.h"
#include "value_codec.h"
#include "variant_values.h"

namespace kvx::driver {

namespace {

constexpr std::size_t kUnitLength = 10;
constexpr std::size_t kNameLength = 29;

// One property write at a time: each one reads and rewrites the whole table.
std::mutex& TableWriteLock() {
    static std::mutex lock;
    return lock;
}

std::string AnsiText(const VARIANT& value, std::size_t limit) {
    std::string ansi = VariantAnsiText(value);
    if (ansi.size() > limit) ansi.resize(limit);
    return ansi;
}

const char* PropertySuffix(PropertyIndex index) {
    switch (index) {
        case PropertyIndex::Start:
            return "_start";
        case PropertyIndex::End:
            return "_end";
        case PropertyIndex::Unit:
            return "_unit";
        case PropertyIndex::Factor:
            return "_factor";
        case PropertyIndex::Format:
            return "_format";
        case PropertyIndex::Name:
            return "_name";
    }
    return "";
}

// Whether a changed range or factor may be taken. A scaling that is zero, denormal or not
// finite in the
// single precision the read and write scaling use turns every write into 0 and reads into
// values that are not finite, so a change that would make one is refused. A scaling that is
// already unusable (a row of the table written so by hand) takes any change of a value that is
// itself finite in single precision, so that it can be mended one property at a time; writes
// under it are refused meanwhile.
bool ScalingTaken(const TagNode& node, const ScaleRecord& before, const ScaleRecord& after) {
    if (node.property != PropertyIndex::Start && node.property != PropertyIndex::End &&
        node.property != PropertyIndex::Factor) {
        return true;
    }
    if (ScalingUsable(after.rangeStart, after.rangeEnd, after.factor)) return true;
    if (ScalingUsable(before.rangeStart, before.rangeEnd, before.factor)) return false;
    const double changed = node.property == PropertyIndex::Start ? after.rangeStart
                           : node.property == PropertyIndex::End ? after.rangeEnd
                                                                 : after.factor;
    const auto single = FiniteFloat(changed);
    return single && NormalOrZeroFloat(changed) &&
           (node.property != PropertyIndex::Factor || *single != 0.0f);
}

}  // namespace

std::mutex& ScaleTableWriteLock() {
    return TableWriteLock();
}

std::mutex& ScaleValuesLock() {
    static std::mutex lock;
    return lock;
}

void ReadScaleProperty(const TagNode& node, VARIANT& value) {
    if (node.owner == nullptr || !node.owner->scale) return;
    ScaleRecord scale;
    {
        std::lock_guard lock(ScaleValuesLock());
        scale = *node.owner->scale;
    }
    switch (node.property) {
        case PropertyIndex::Start:
            value.vt = VT_R8;
            value.value.dblVal = scale.rangeStart;
            break;
        case PropertyIndex::End:
            value.vt = VT_R8;
            value.value.dblVal = scale.rangeEnd;
            break;
        case PropertyIndex::Factor:
            value.vt = VT_R8;
            value.value.dblVal = scale.factor;
            break;
        case PropertyIndex::Format:
            value.vt = VT_UI1;
            value.value.bVal = scale.format;
            break;
        case PropertyIndex::Unit:
            SetVariantText(value, scale.unit);
            break;
        case PropertyIndex::Name:
            SetVariantText(value, scale.name);
            break;
    }
}

namespace {

// A property write that was not taken is told once per property and value.
std::uint16_t Refuse(DriverState& state, const TagNode& node, const VARIANT& value,
                     const std::string& why, std::uint16_t outcome) {
    const std::string text =
        fmt::format("{}{}: value {} not taken: {}", node.owner->name, PropertySuffix(node.property),
                    VariantValueText(value), why);
    if (state.writeRefusals.first(*node.owner, text)) Notify(kWriteErrorCaption, text);
    return outcome;
}

// The number a range or factor write carries, or why it cannot be taken.
std::optional<double> RangeNumber(DriverState& state, const TagNode& node, const VARIANT& value,
                                  std::uint16_t& outcome) {
    const auto number = VariantNumber(value, VT_R8);
    if (!number) {
        outcome = Refuse(state, node, value, "it is not a number", SOXPS_WRITE_TYPE_MISMATCH);
        return std::nullopt;
    }
    if (!std::isfinite(*number)) {
        outcome = Refuse(state, node, value, "it is not finite", SOXPS_WRITE_OUT_OF_RANGE);
        return std::nullopt;
    }
    return number;
}

}  // namespace

std::uint16_t WriteScaleProperty(DriverState& state, const TagNode& node, const VARIANT& value) {
    if (node.owner == nullptr || !node.owner->scale) return SOXPS_WRITE_NOT_WRITABLE;
    std::lock_guard writeLock(TableWriteLock());
    ScaleRecord working;
    {
        std::lock_guard lock(ScaleValuesLock());
        working = *node.owner->scale;
    }
    const ScaleRecord before = working;
    std::uint16_t outcome = SOXPS_WRITE_ACKNOWLEDGED;
    switch (node.property) {
        case PropertyIndex::Start: {
            const auto start = RangeNumber(state, node, value, outcome);
            if (!start) return outcome;
            if (!(*start < working.rangeEnd)) {
                return SOXPS_WRITE_OUT_OF_RANGE;  // told by the outcome alone
            }
            working.rangeStart = *start;
            break;
        }
        case PropertyIndex::End: {
            const auto end = RangeNumber(state, node, value, outcome);
            if (!end) return outcome;
            if (!(*end > working.rangeStart)) {
                return SOXPS_WRITE_OUT_OF_RANGE;  // told by the outcome alone
            }
            working.rangeEnd = *end;
            break;
        }
        case PropertyIndex::Factor: {
            const auto factor = RangeNumber(state, node, value, outcome);
            if (!factor) return outcome;
            if (*factor == 0.0) {
                return SOXPS_WRITE_OUT_OF_RANGE;  // told by the outcome alone
            }
            working.factor = *factor;
            break;
        }
        case PropertyIndex::Format:
            if (value.vt == VT_UI1) {
                working.format = value.value.bVal;
            } else if (const auto format = VariantNumber(value, VT_R8);
                       format && std::isfinite(*format)) {
                working.format = static_cast<std::uint8_t>(
                    static_cast<std::int64_t>(std::fmod(std::trunc(*format), 256.0)) & 0xFF);
            } else {
                return Refuse(state, node, value, "it is not a finite number",
                              format ? SOXPS_WRITE_OUT_OF_RANGE : SOXPS_WRITE_TYPE_MISMATCH);
            }
            break;
        case PropertyIndex::Unit:
            working.unit = AnsiText(value, kUnitLength);
            break;
        case PropertyIndex::Name:
            working.name = AnsiText(value, kNameLength);
            break;
    }
    if (!ScalingTaken(node, before, working)) {
        return Refuse(state, node, value,
                      fmt::format("the scaling (start {}, end {}, factor {}) would be zero, "
                                  "denormal or not finite in single precision",
                                  working.rangeStart, working.rangeEnd, working.factor),
                      SOXPS_WRITE_OUT_OF_RANGE);
    }
    // The table is the record's home: memory follows it only when the save went through (a
    // write-protected table is never replaced, so its save fails).
    if (state.scalingTablePath.empty() ||
        !config::SaveScaleRecord(state.scalingTablePath, working)) {
        return Refuse(state, node, value,
                      state.scalingTablePath.empty()
                          ? std::string("the installation directory, which holds FreeScale.dat, "
                                        "is not known")
                          : fmt::format("{} could not be written (missing, write-protected, or "
                                        "without the tag's row); the scaling stays as it was",
                                        state.scalingTablePath.string()),
                      SOXPS_WRITE_NOT_STORED);
    }
    std::lock_guard lock(ScaleValuesLock());
    *node.owner->scale = std::move(working);
    return SOXPS_WRITE_ACKNOWLEDGED;
}

}  // namespace kvx::driver
