#pragma once
// The scaling table FreeScale.dat and the small table component it is read with.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>

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

class TabularFile;

// The scaling table as one namespace build uses it: read once, rows of new scaled tags added
// in memory, written once at the end, so a build costs one read and at most one write
// whatever the number of scaled tags.
class ScalingTable {
  public:
    ScalingTable();
    ~ScalingTable();
    ScalingTable(const ScalingTable&) = delete;
    ScalingTable& operator=(const ScalingTable&) = delete;

    // Reads the table. A missing or empty file starts a new one with the standard columns.
    // False when the file is refused (no regular file, far too many rows or columns): Error()
    // then names the file; records get defaults and nothing is ever written.
    bool Load(const std::filesystem::path& path);
    // Fills the record's scaling fields from its row, or sets the defaults and adds a row for
    // it (written by Flush). False when the record holds defaults that no row will keep (a
    // refused table, or one without "Address" and "TagID" columns, which is never changed).
    bool LoadOrAdd(ScaleRecord& record);
    // Writes the table when rows were added. False when they could not be written (Error()
    // names the file and the cause); true when there was nothing to write.
    bool Flush();
    // Whether LoadOrAdd added rows that Flush has not written yet.
    bool Pending() const { return pending_; }
    const std::string& Error() const { return error_; }

  private:
    std::unique_ptr<TabularFile> table_;
    std::filesystem::path path_;
    // First row of each (address, TagID): the lookup of one tag costs no scan of the table.
    std::map<std::pair<std::uint8_t, std::string>, std::size_t> rows_;
    bool usable_ = false;   // loaded and not refused
    bool canAdd_ = false;   // has the columns a new row needs
    bool pending_ = false;  // rows added since the last write
    std::string error_;
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
