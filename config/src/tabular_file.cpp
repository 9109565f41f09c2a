#include "kvx/config/tabular_file.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "kvx/platform/atomic_file.h"
#include "value_text.h"

namespace kvx::config {

namespace {
constexpr const char* kErrUnknown = "ERROR 0000: UNKNOWN ERROR";
constexpr const char* kErrGetData = "ERROR 0002: An unknown error occurred in GetData()!";
constexpr const char* kErrNotString =
    "ERROR 0003: GetString() was called while the dwReadFlags was not READ_AS_STRING.";
constexpr const char* kErrNotDouble =
    "ERROR 0004: GetData() was called while the dwReadFlags was not RF_READ_AS_DOUBLE.";
constexpr const char* kErrNoVariable = "ERROR 0005: Variable name not found!";
constexpr const char* kErrNoFile = "ERROR 0007: File not found!";
constexpr const char* kErrSubscript = "invalid vector<T> subscript";

// Splits one line into at most `count` cells: every cell but the last ends at the next
// separator, the last takes the rest of the line. Cells are kept whole, so a rewrite gives
// back every character of the row.
std::vector<std::string_view> splitCells(std::string_view line, char separator, std::size_t count) {
    std::vector<std::string_view> cells;
    while (cells.size() + 1 < count) {
        const std::size_t at = line.find(separator);
        if (at == std::string_view::npos) break;
        cells.push_back(line.substr(0, at));
        line.remove_prefix(at + 1);
    }
    cells.push_back(line);
    return cells;
}

// Number of columns: every separator of the header, however long it is, plus one.
std::size_t columnCount(std::string_view header, char separator) {
    return static_cast<std::size_t>(std::count(header.begin(), header.end(), separator)) + 1;
}
}  // namespace

void TabularFile::Clear() {
    columns_.clear();
    rows_.clear();
    numberRows_.clear();
    lastError_.clear();
}

std::size_t TabularFile::RowCount() const {
    std::size_t rows = 0;
    for (const auto& c : columns_) rows = std::max(rows, c.length);
    return rows;
}

int TabularFile::ColumnIndex(std::string_view header) const {
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        if (columns_[i].name == header) return static_cast<int>(i);
    }
    return -1;
}

const std::string& TabularFile::Cell(std::size_t column, std::size_t row) const {
    static const std::string empty;
    if (row >= rows_.size() || column >= rows_[row].size()) return empty;
    return rows_[row][column];
}

std::string& TabularFile::cellSlot(std::size_t column, std::size_t row) {
    if (rows_.size() <= row) rows_.resize(row + 1);
    auto& cells = rows_[row];
    if (cells.size() <= column) cells.resize(column + 1);
    return cells[column];
}

bool TabularFile::Read(const std::filesystem::path& file, std::uint32_t readFlags, char separator) {
    file_ = file;
    readFlags_ = readFlags;
    separator_ = separator;
    readResult_ = ReadResult::Ok;
    Clear();
    auto refuse = [&](const std::string& why) {
        Clear();
        readResult_ = ReadResult::Refused;
        lastError_ = file.string() + ": " + why;
        return false;
    };
    // A device or FIFO would never end or would block the reader: only regular files are
    // tables.
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        return refuse("is no regular file");
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        readResult_ = ReadResult::NotFound;
        lastError_ = std::string(kErrNoFile) + "\nDetails: " + file.string();
        return false;
    }
    std::string data;
    char block[65536];
    while (in.read(block, sizeof block) || in.gcount() > 0) {
        data.append(block, static_cast<std::size_t>(in.gcount()));
    }
    std::string_view rest = data;
    bool header = true;
    while (!rest.empty()) {
        const std::size_t lf = rest.find('\n');
        std::string_view line = rest.substr(0, lf);
        rest = lf == std::string_view::npos ? std::string_view{} : rest.substr(lf + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (header) {
            header = false;
            const std::size_t count = columnCount(line, separator);
            if (count > kMaxColumns) {
                return refuse("its header has " + std::to_string(count) +
                              " columns; a table has at most " + std::to_string(kMaxColumns));
            }
            for (std::string_view name : splitCells(line, separator, count)) {
                Column c;
                c.name = std::string(name);
                c.file = file;
                columns_.push_back(std::move(c));
            }
            continue;
        }
        if (line.empty()) continue;  // an empty line holds no row
        if (rows_.size() == kMaxRows) {
            return refuse("more than " + std::to_string(kMaxRows) + " rows");
        }
        auto cells = splitCells(line, separator, columns_.size());
        // Trailing empty cells read as missing ones: a line of separators takes no room.
        while (!cells.empty() && cells.back().empty()) cells.pop_back();
        auto& row = rows_.emplace_back();
        row.reserve(cells.size());
        for (std::string_view cell : cells) row.emplace_back(cell);
        if (readFlags_ & RF_READ_AS_DOUBLE) {
            auto& numbers = numberRows_.emplace_back();
            numbers.reserve(cells.size());
            for (std::string_view cell : cells) {
                const std::string text(cell);
                const auto at = text.find_first_not_of(" \t");
                numbers.push_back(at == std::string::npos ? 0.0 : detail::ReadDouble(text, at));
            }
        }
    }
    for (auto& c : columns_) c.length = rows_.size();
    return true;
}

bool TabularFile::Write(const std::filesystem::path& file, char separator) {
    std::string out;
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        out += columns_[i].name;
        out += (i + 1 < columns_.size()) ? std::string(1, separator) : std::string("\r\n");
    }
    const std::size_t rows = RowCount();
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            if (r < columns_[i].length) out += Cell(i, r);
            out += (i + 1 < columns_.size()) ? std::string(1, separator) : std::string("\r\n");
        }
    }
    std::string error;
    if (!platform::WriteFileAtomically(file, out, &error)) {
        lastError_ = std::string(kErrUnknown) + "\nDetails: " + error;
        return false;
    }
    return true;
}

void TabularFile::AddVariable(std::string_view header, std::string_view defaultCell,
                              std::size_t count) {
    Column c;
    c.name = std::string(header);
    c.length = count;
    columns_.push_back(std::move(c));
    if (defaultCell.empty()) return;  // missing cells read as empty ones
    for (std::size_t r = 0; r < count; ++r) cellSlot(columns_.size() - 1, r) = defaultCell;
}

bool TabularFile::AppendString(std::size_t column, std::string_view text) {
    if (column >= columns_.size()) {
        lastError_ = kErrSubscript;
        return false;
    }
    const std::size_t row = columns_[column].length++;
    if (!text.empty()) cellSlot(column, row) = text;
    return true;
}

bool TabularFile::SetString(std::size_t column, std::size_t row, std::string_view text) {
    if (column >= columns_.size() || row >= columns_[column].length) {
        lastError_ = kErrSubscript;
        return false;
    }
    if (text.empty() && Cell(column, row).empty()) return true;
    cellSlot(column, row) = text;
    return true;
}

int TabularFile::GetString(std::string_view column, std::size_t row, std::string& text) {
    const int at = ColumnIndex(column);
    if (at < 0) {
        lastError_ = kErrNoVariable;
        return -1;
    }
    if (!(readFlags_ & READ_AS_STRING)) {
        lastError_ = kErrNotString;
        return -1;
    }
    if (row >= columns_[at].length) {
        lastError_ = kErrSubscript;
        return -1;
    }
    text = Cell(static_cast<std::size_t>(at), row);
    return static_cast<int>(std::min<std::size_t>(text.size(), 0x7fffffff));
}

int TabularFile::GetData(std::string_view column, std::vector<std::string>& cells) {
    const int at = ColumnIndex(column);
    if (at < 0) {
        lastError_ = kErrNoVariable;
        return -1;
    }
    const std::size_t length = columns_[at].length;
    if (length > 0x7fffffff) {
        lastError_ = kErrGetData;
        return -1;
    }
    cells.assign(length, std::string());
    for (std::size_t r = 0; r < length; ++r) cells[r] = Cell(static_cast<std::size_t>(at), r);
    return static_cast<int>(cells.size());
}

int TabularFile::GetNumbers(std::string_view column, std::vector<double>& cells) {
    const int at = ColumnIndex(column);
    if (at < 0) {
        lastError_ = kErrNoVariable;
        return -1;
    }
    if (!(readFlags_ & RF_READ_AS_DOUBLE)) {
        lastError_ = kErrNotDouble;
        return -1;
    }
    const auto c = static_cast<std::size_t>(at);
    cells.assign(columns_[c].length, 0.0);
    for (std::size_t r = 0; r < cells.size() && r < numberRows_.size(); ++r) {
        if (c < numberRows_[r].size()) cells[r] = numberRows_[r][c];
    }
    return static_cast<int>(cells.size());
}

}  // namespace kvx::config
