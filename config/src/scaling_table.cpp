#include "kvx/config/scaling_table.h"

#include <charconv>
#include <cstring>
#include <iterator>
#include <string_view>
#include <vector>

#include "kvx/config/tabular_file.h"
#include "value_text.h"

namespace kvx::config {

namespace {

// The columns of FreeScale.dat in the order they are written.
constexpr std::string_view kColumns[] = {"Address", "TagID",  "RangeStart", "RangeEnd",
                                         "Unit",    "Factor", "Format",     "Name"};
constexpr std::size_t kUnitChars = 10;
constexpr std::size_t kNameChars = 31;
constexpr std::size_t kKeyChars = 262;

std::string cut(std::string_view s, std::size_t n) {
    return std::string(s.substr(0, n));
}

// Texts that go into a cell: a tab or line break would split the row.
std::string cellText(std::string_view s, std::size_t n) {
    std::string t = cut(s, n);
    for (char& c : t) {
        if (c == '\t' || c == '\r' || c == '\n') c = ' ';
    }
    return t;
}

double parseNumber(const std::string& text) {
    const auto at = text.find_first_not_of(" \t");
    return at == std::string::npos ? 0.0 : detail::ReadDouble(text, at);
}

std::int32_t parseInt(const std::string& text) {
    const auto at = text.find_first_not_of(" \t");
    return at == std::string::npos ? 0 : detail::ReadInt(text, at);
}

// The record's row: the first whose address (cut to 8 bits) and TagID (case included) match.
int findRow(TabularFile& table, const ScaleRecord& record) {
    std::vector<std::string> addresses, keys;
    const int n = table.GetData("Address", addresses);
    if (n < 0 || table.GetData("TagID", keys) < 0) return -1;
    if (addresses.size() != keys.size()) return -1;
    for (int row = 0; row < n; ++row) {
        if (static_cast<std::uint8_t>(parseInt(addresses[row])) == record.member &&
            keys[row] == record.key) {
            return row;
        }
    }
    return -1;
}

void setDefaults(ScaleRecord& r) {
    r.rangeStart = 0.0;
    r.rangeEnd = 100.0;
    r.factor = 1.0;
    r.format = 1;
    r.unit = "%";
    r.name.clear();
}

// The cell texts of a record by column header.
std::string cellFor(std::string_view column, const ScaleRecord& r) {
    if (column == "Address") return std::to_string(r.member);
    if (column == "TagID") return cellText(r.key, kKeyChars);
    if (column == "RangeStart") return FormatScaleNumber(r.rangeStart);
    if (column == "RangeEnd") return FormatScaleNumber(r.rangeEnd);
    if (column == "Unit") return cellText(r.unit, kUnitChars);
    if (column == "Factor") return FormatScaleNumber(r.factor);
    if (column == "Format") return std::to_string(r.format);
    if (column == "Name") return cellText(r.name, kNameChars);
    return {};
}

// Cells are placed by column name, so a file whose columns were reordered by hand keeps every
// value in its own column.
bool appendRow(TabularFile& table, const ScaleRecord& r) {
    if (table.ColumnIndex("Address") < 0 || table.ColumnIndex("TagID") < 0) return false;
    for (std::size_t i = 0; i < table.ColumnCount(); ++i) {
        // Only the first column of a name gets the value; duplicates stay aligned with blanks.
        const bool first = table.ColumnIndex(table.Header(i)) == static_cast<int>(i);
        if (!table.AppendString(i, first ? cellFor(table.Header(i), r) : std::string())) {
            return false;
        }
    }
    return true;
}

std::string cellOr(TabularFile& table, std::string_view column, int row, bool& present) {
    std::string text;
    present = table.GetString(column, static_cast<std::size_t>(row), text) >= 0;
    return text;
}

}  // namespace

std::string FormatScaleNumber(double value) {
    // Not printf: the host's locale might write a decimal comma, which the reader cannot take.
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 12);
    std::string text(buf, res.ptr);
    // Whole numbers keep a decimal point and a zero ("100.0") while that fits in 12
    // characters; exponent forms and special values stay as they are.
    if (text.find_first_of(".eEnN") == std::string::npos) {
        if (text.size() + 1 < 12) text += ".0";
    }
    return text;
}

ScalingTable::ScalingTable() : table_(std::make_unique<TabularFile>()) {}
ScalingTable::~ScalingTable() = default;

bool ScalingTable::Load(const std::filesystem::path& path) {
    path_ = path;
    rows_.clear();
    usable_ = canAdd_ = pending_ = false;
    error_.clear();
    TabularFile& table = *table_;
    const bool read = table.Read(path, TabularFile::READ_AS_STRING);
    if (!read && table.LastReadResult() == TabularFile::ReadResult::Refused) {
        error_ = table.LastError();
        table.Clear();
        return false;
    }
    // A missing or empty file starts a new table with the standard columns; anything else is
    // kept as it is.
    const bool empty =
        read && (table.ColumnCount() == 0 ||
                 (table.ColumnCount() == 1 && table.Header(0).empty() && table.RowCount() == 0));
    if (!read || empty) {
        table.Clear();
        for (auto column : kColumns) table.AddVariable(column, "", 0);
    }
    usable_ = true;
    const int address = table.ColumnIndex("Address");
    const int key = table.ColumnIndex("TagID");
    canAdd_ = address >= 0 && key >= 0;
    if (canAdd_ && table.CellCount(static_cast<std::size_t>(address)) ==
                       table.CellCount(static_cast<std::size_t>(key))) {
        const auto a = static_cast<std::size_t>(address);
        const auto k = static_cast<std::size_t>(key);
        for (std::size_t row = 0; row < table.CellCount(a); ++row) {
            const auto member = static_cast<std::uint8_t>(parseInt(table.Cell(a, row)));
            rows_.try_emplace({member, table.Cell(k, row)}, row);  // the first row wins
        }
    }
    return true;
}

bool ScalingTable::LoadOrAdd(ScaleRecord& record) {
    if (usable_) {
        const auto found = rows_.find({record.member, record.key});
        if (found != rows_.end()) {
            const int row = static_cast<int>(found->second);
            TabularFile& table = *table_;
            bool has = false;
            std::string t = cellOr(table, "RangeStart", row, has);
            record.rangeStart = has ? parseNumber(t) : 0.0;
            t = cellOr(table, "RangeEnd", row, has);
            record.rangeEnd = has ? parseNumber(t) : 100.0;
            t = cellOr(table, "Unit", row, has);
            record.unit = has ? cut(t, kUnitChars) : "%";
            t = cellOr(table, "Factor", row, has);
            record.factor = has ? parseNumber(t) : 1.0;
            t = cellOr(table, "Format", row, has);
            record.format = has ? static_cast<std::uint8_t>(parseInt(t)) : 1;
            t = cellOr(table, "Name", row, has);
            record.name = has ? cut(t, kNameChars) : std::string();
            return true;
        }
    }
    setDefaults(record);
    // A full table takes no further row: written, it would be refused at the next start.
    if (!usable_ || !canAdd_ || table_->RowCount() >= TabularFile::kMaxRows) return false;
    const std::size_t row = table_->RowCount();
    if (!appendRow(*table_, record)) return false;
    rows_.try_emplace({record.member, record.key}, row);
    pending_ = true;
    return true;
}

bool ScalingTable::Flush() {
    if (!pending_) return true;
    if (!table_->Write(path_, '\t')) {
        // The component's text is "ERROR 0000: ...\nDetails: <file>: <cause>".
        const std::string& text = table_->LastError();
        const auto details = text.find("Details: ");
        error_ = details == std::string::npos ? text : text.substr(details + 9);
        return false;
    }
    pending_ = false;
    return true;
}

bool LoadOrCreateScaleRecord(const std::filesystem::path& path, ScaleRecord& record) {
    ScalingTable table;
    if (!table.Load(path)) {
        setDefaults(record);
        return false;
    }
    return table.LoadOrAdd(record) && table.Flush();
}

bool SaveScaleRecord(const std::filesystem::path& path, const ScaleRecord& record) {
    TabularFile table;
    if (!table.Read(path, TabularFile::READ_AS_STRING)) return false;
    const int row = findRow(table, record);
    if (row < 0) return false;
    for (std::size_t i = 2; i < std::size(kColumns); ++i) {
        const int column = table.ColumnIndex(kColumns[i]);
        if (column < 0) continue;  // a column the file does not have keeps nothing
        if (!table.SetString(static_cast<std::size_t>(column), static_cast<std::size_t>(row),
                             cellFor(kColumns[i], record))) {
            return false;
        }
    }
    return table.Write(path, '\t');
}

}  // namespace kvx::config
