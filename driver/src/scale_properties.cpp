// Scaling property requests: read and change the range, unit, format, factor and name of a
// freely scaled tag. A change lives in memory only once FreeScale.dat holds it.

#include <fmt/format.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <mutex>
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

// The number carried by a property write (registered as VT_R8 or VT_UI1); not a number when
// the VARIANT carries none, which the callers' finiteness checks then refuse.
double NumberOf(const VARIANT& value) {
    return VariantNumber(value, VT_R8).value_or(std::nan(""));
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

// Whether a changed range or factor may be taken. A scaling that is zero or not finite in the
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
    return single && (node.property != PropertyIndex::Factor || *single != 0.0f);
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

void WriteScaleProperty(DriverState& state, const TagNode& node, const VARIANT& value) {
    if (node.owner == nullptr || !node.owner->scale) return;
    std::lock_guard writeLock(TableWriteLock());
    ScaleRecord working;
    {
        std::lock_guard lock(ScaleValuesLock());
        working = *node.owner->scale;
    }
    const ScaleRecord before = working;
    switch (node.property) {
        case PropertyIndex::Start: {
            const double start = NumberOf(value);
            if (!(std::isfinite(start) && start < working.rangeEnd)) return;
            working.rangeStart = start;
            break;
        }
        case PropertyIndex::End: {
            const double end = NumberOf(value);
            if (!(std::isfinite(end) && end > working.rangeStart)) return;
            working.rangeEnd = end;
            break;
        }
        case PropertyIndex::Factor: {
            const double factor = NumberOf(value);
            if (!(std::isfinite(factor) && factor != 0.0)) return;
            working.factor = factor;
            break;
        }
        case PropertyIndex::Format:
            if (value.vt == VT_UI1) {
                working.format = value.value.bVal;
            } else if (const double format = NumberOf(value); std::isfinite(format)) {
                working.format = static_cast<std::uint8_t>(
                    static_cast<std::int64_t>(std::fmod(std::trunc(format), 256.0)) & 0xFF);
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
        Notify(kWriteErrorCaption,
               fmt::format("{}{}: value {} not taken: the scaling (start {}, end {}, factor {}) "
                           "would be zero or not finite in single precision",
                           node.owner->name, PropertySuffix(node.property), VariantValueText(value),
                           working.rangeStart, working.rangeEnd, working.factor));
        return;
    }
    // The table is the record's home: memory follows it only when the save went through (a
    // write-protected table is never replaced, so its save fails).
    if (state.scalingTablePath.empty() ||
        !config::SaveScaleRecord(state.scalingTablePath, working)) {
        return;
    }
    std::lock_guard lock(ScaleValuesLock());
    *node.owner->scale = std::move(working);
}

}  // namespace kvx::driver
