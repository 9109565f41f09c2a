#pragma once
// The scaling table FreeScale.dat and the small table component it is read with.

#include <cstdint>
#include <filesystem>
#include <string>

namespace kvx::config {

struct ScaleRecord {
    std::uint8_t member = 0;
    std::string key;  // "%s.%s" of folder and tag name, at most 262 characters
    double rangeStart = 0.0;
    double rangeEnd = 100.0;
    double factor = 1.0;
    std::uint8_t format = 1;
    std::string unit = "%";  // at most 10 characters
    std::string name;        // at most 31 characters
};

// Fills the record's scaling fields from the table, adding and saving a default row when the
// record has none. Returns false when that row could not be saved (the record then holds the
// defaults in memory only), true otherwise.
bool LoadOrCreateScaleRecord(const std::filesystem::path& table, ScaleRecord& record);

// Writes the record's six scaling values into its row. False when the file or the row was
// not found or the file could not be written (the caller then keeps its old values).
bool SaveScaleRecord(const std::filesystem::path& table, const ScaleRecord& record);

// Number format of the table: 12 significant digits, "100.0", "0.0", "250.5".
std::string FormatScaleNumber(double value);

}  // namespace kvx::config
