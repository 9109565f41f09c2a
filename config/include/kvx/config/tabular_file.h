#pragma once
// A small table of named columns read from and written to a separated text file: line 1 holds
// the column names, every further line one row, cells separated by a single separator.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kvx::config {

class TabularFile {
  public:
    static constexpr std::uint32_t RF_READ_AS_DOUBLE = 1;
    static constexpr std::uint32_t READ_AS_STRING = 2;
    // Far beyond any real table (the scaling table has 8 columns and a row per scaled tag; a
    // big plant has a few thousand): a file with more is refused rather than loaded.
    static constexpr std::size_t kMaxColumns = 64;
    static constexpr std::size_t kMaxRows = 100000;

    enum class ReadResult { Ok, NotFound, Refused };

    // Reads the whole file (the table is cleared first). The header's separators give the
    // number of columns. Each non-empty line is one row; a row with fewer cells reads as empty
    // cells and the last column's cell takes the rest of a longer row, so columns always stay
    // of equal length. Cells and names are kept whole, whatever their length, so rewriting
    // loses nothing. Only the cells a row has are stored. False with error 7 when the file cannot
    // be opened; false with a text naming the file when it is no regular file or has more than
    // kMaxColumns columns or kMaxRows rows (LastReadResult() tells which).
    bool Read(const std::filesystem::path& file, std::uint32_t readFlags, char separator = '\t');
    ReadResult LastReadResult() const { return readResult_; }
    // Writes the whole table, replacing the file atomically. Lines end in CR LF. False (the
    // old file left as it was) when the file cannot be written.
    bool Write(const std::filesystem::path& file, char separator = '\t');

    void Clear();
    void AddVariable(std::string_view header, std::string_view defaultCell, std::size_t count);
    bool AppendString(std::size_t column, std::string_view text);
    bool SetString(std::size_t column, std::size_t row, std::string_view text);
    // Copies the cell into `text`; its length, or -1 (see LastError()).
    int GetString(std::string_view column, std::size_t row, std::string& text);
    // Copies the whole column; the number of cells, or -1.
    int GetData(std::string_view column, std::vector<std::string>& cells);
    // Number cells of a table read with RF_READ_AS_DOUBLE; -1 on failure.
    int GetNumbers(std::string_view column, std::vector<double>& cells);

    // Position of the first column with that header, or -1.
    int ColumnIndex(std::string_view header) const;
    std::size_t ColumnCount() const { return columns_.size(); }
    std::size_t RowCount() const;
    // Cells of one column; cells past the end of a shorter row are empty.
    std::size_t CellCount(std::size_t column) const { return columns_.at(column).length; }
    const std::string& Cell(std::size_t column, std::size_t row) const;
    const std::string& Header(std::size_t column) const { return columns_.at(column).name; }
    const std::string& LastError() const { return lastError_; }

  private:
    struct Column {
        std::string name;
        std::filesystem::path file;  // where it was read from; empty when added
        std::size_t length = 0;      // cells in this column
    };
    // Room for the cell at (column, row) in its row.
    std::string& cellSlot(std::size_t column, std::size_t row);

    std::vector<Column> columns_;
    // Row by row, each holding only the cells it has (a short row stays short), so memory
    // follows the file's size and not rows times columns.
    std::vector<std::vector<std::string>> rows_;
    std::vector<std::vector<double>> numberRows_;  // the same cells as numbers, when asked
    std::filesystem::path file_;
    std::uint32_t readFlags_ = READ_AS_STRING;
    char separator_ = '\t';
    ReadResult readResult_ = ReadResult::Ok;
    std::string lastError_;
};

}  // namespace kvx::config
