#include "kvx/config/scaling_table.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "kvx/config/tabular_file.h"
#include "kvx/platform/file_size_limit.h"
#include "temp_dir.h"

namespace {

using namespace kvx::config;
using kvx::testing::TempDir;

constexpr const char* kHeader =
    "Address\tTagID\tRangeStart\tRangeEnd\tUnit\tFactor\tFormat\tName\r\n";

ScaleRecord record(std::uint8_t member, std::string key) {
    ScaleRecord r;
    r.member = member;
    r.key = std::move(key);
    return r;
}

TEST(ScaleNumber, Formatting) {
    EXPECT_EQ(FormatScaleNumber(100.0), "100.0");
    EXPECT_EQ(FormatScaleNumber(0.0), "0.0");
    EXPECT_EQ(FormatScaleNumber(250.5), "250.5");
    EXPECT_EQ(FormatScaleNumber(2.0), "2.0");
    EXPECT_EQ(FormatScaleNumber(-3.0), "-3.0");
    EXPECT_EQ(FormatScaleNumber(1.0 / 3.0), "0.333333333333");
    EXPECT_EQ(FormatScaleNumber(12345678901.0), "12345678901");
    EXPECT_EQ(FormatScaleNumber(1e20), "1e+20");
    EXPECT_EQ(FormatScaleNumber(1.5e-7), "1.5e-07");
}

// A host process may switch the C library to a locale that writes a decimal comma; the table
// is read with a point, so it must be written with one whatever the host chose.
TEST(ScaleNumber, WrittenWithAPointUnderAHostLocaleWithDecimalComma) {
    TempDir dir;
    const std::string build =
        "localedef -i de_DE -f UTF-8 " + (dir / "de_DE.UTF-8").string() + " >/dev/null 2>&1";
    if (std::system(build.c_str()) != 0) GTEST_SKIP() << "no German locale can be built here";
    ::setenv("LOCPATH", dir.path().c_str(), 1);
    struct Restore {
        ~Restore() {
            std::setlocale(LC_NUMERIC, "C");
            ::unsetenv("LOCPATH");
        }
    } restore;
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "locale refused";
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 2.5);
    ASSERT_STREQ(probe, "2,5");  // the locale is really in force

    EXPECT_EQ(FormatScaleNumber(250.5), "250.5");
    EXPECT_EQ(FormatScaleNumber(1.5e-7), "1.5e-07");
    const auto file = dir / "FreeScale.dat";
    auto r = record(5, "ADR05.P");
    ASSERT_TRUE(LoadOrCreateScaleRecord(file, r));
    r.rangeEnd = 250.5;
    r.factor = 0.25;
    ASSERT_TRUE(SaveScaleRecord(file, r));
    auto back = record(5, "ADR05.P");
    ASSERT_TRUE(LoadOrCreateScaleRecord(file, back));
    EXPECT_EQ(back.rangeEnd, 250.5);
    EXPECT_EQ(back.factor, 0.25);
}

TEST(ScaleTable, MissingFileIsCreatedWithDefaultRows) {
    TempDir dir;
    const auto file = dir / "FreeScale.dat";
    auto a = record(1, "ADR01.Level");
    a.rangeEnd = 7;  // overwritten by the defaults
    auto b = record(2, "Tanks.Temp");
    EXPECT_TRUE(LoadOrCreateScaleRecord(file, a));
    EXPECT_TRUE(LoadOrCreateScaleRecord(file, b));
    EXPECT_EQ(a.rangeEnd, 100.0);
    EXPECT_EQ(a.unit, "%");
    EXPECT_EQ(TempDir::read(file), std::string(kHeader) +
                                       "1\tADR01.Level\t0.0\t100.0\t%\t1.0\t1\t\r\n"
                                       "2\tTanks.Temp\t0.0\t100.0\t%\t1.0\t1\t\r\n");
}

TEST(ScaleTable, LoadsExistingRowAndMatchesKeyCaseAndAddress) {
    TempDir dir;
    const auto file = dir.write(
        "FreeScale.dat", std::string(kHeader) + "3\tN.Flow\t-5\t2.5e2\tl/h\t0.5\t3\tFlow\r\n");
    auto r = record(3, "N.Flow");
    EXPECT_TRUE(LoadOrCreateScaleRecord(file, r));
    EXPECT_EQ(r.rangeStart, -5.0);
    EXPECT_EQ(r.rangeEnd, 250.0);
    EXPECT_EQ(r.unit, "l/h");
    EXPECT_EQ(r.factor, 0.5);
    EXPECT_EQ(r.format, 3);
    EXPECT_EQ(r.name, "Flow");

    auto otherCase = record(3, "N.FLOW");
    EXPECT_TRUE(LoadOrCreateScaleRecord(file, otherCase));
    EXPECT_EQ(otherCase.unit, "%");
    auto otherAddress = record(4, "N.Flow");
    EXPECT_TRUE(LoadOrCreateScaleRecord(file, otherAddress));
    EXPECT_EQ(otherAddress.rangeEnd, 100.0);
    TabularFile t;
    ASSERT_TRUE(t.Read(file, TabularFile::READ_AS_STRING));
    EXPECT_EQ(t.RowCount(), 3u);  // two rows appended
}

TEST(ScaleTable, SaveWritesRowAndReportsMissingFileOrRow) {
    TempDir dir;
    const auto file = dir / "FreeScale.dat";
    auto r = record(5, "ADR05.P");
    EXPECT_FALSE(SaveScaleRecord(file, r));  // no file
    ASSERT_TRUE(LoadOrCreateScaleRecord(file, r));
    r.rangeEnd = 250.5;
    r.factor = 2;
    r.unit = "bar\tx";  // a tab would split the row
    r.name = "Pressure";
    r.format = 4;
    ASSERT_TRUE(SaveScaleRecord(file, r));
    EXPECT_EQ(TempDir::read(file),
              std::string(kHeader) + "5\tADR05.P\t0.0\t250.5\tbar x\t2.0\t4\tPressure\r\n");
    auto back = record(5, "ADR05.P");
    ASSERT_TRUE(LoadOrCreateScaleRecord(file, back));
    EXPECT_EQ(back.rangeEnd, 250.5);
    EXPECT_EQ(back.factor, 2.0);
    EXPECT_EQ(back.name, "Pressure");
    EXPECT_FALSE(SaveScaleRecord(file, record(5, "ADR05.Q")));  // no row
}

TEST(ScaleTable, FailedSaveReportsFailureAndKeepsFile) {
    TempDir dir;
    const auto file = dir / "FreeScale.dat";
    auto r = record(1, "A.B");
    ASSERT_TRUE(LoadOrCreateScaleRecord(file, r));
    const std::string before = TempDir::read(file);
    r.name = std::string(31, 'n');
    {
        kvx::platform::ScopedFileSizeLimit limit(before.size());
        ASSERT_TRUE(limit.active());
        EXPECT_FALSE(SaveScaleRecord(file, r));
        auto fresh = record(2, "C.D");
        EXPECT_FALSE(LoadOrCreateScaleRecord(file, fresh));  // row not stored
        EXPECT_EQ(fresh.rangeEnd, 100.0);                    // defaults in memory
    }
    EXPECT_EQ(TempDir::read(file), before);
}

TEST(ScaleTable, ReorderedColumnsAreReadAndAppendedByName) {
    TempDir dir;
    const auto file =
        dir.write("FreeScale.dat",
                  "TagID\tAddress\tName\tFormat\tFactor\tUnit\tRangeEnd\tRangeStart\r\n"
                  "X.Y\t1\tNm\t2\t3.0\tmm\t40.0\t-1.0\r\n");
    auto r = record(1, "X.Y");
    ASSERT_TRUE(LoadOrCreateScaleRecord(file, r));
    EXPECT_EQ(r.rangeStart, -1.0);
    EXPECT_EQ(r.rangeEnd, 40.0);
    EXPECT_EQ(r.unit, "mm");
    EXPECT_EQ(r.factor, 3.0);
    EXPECT_EQ(r.format, 2);
    EXPECT_EQ(r.name, "Nm");
    auto added = record(9, "Z.W");
    ASSERT_TRUE(LoadOrCreateScaleRecord(file, added));
    EXPECT_EQ(TempDir::read(file),
              "TagID\tAddress\tName\tFormat\tFactor\tUnit\tRangeEnd\tRangeStart\r\n"
              "X.Y\t1\tNm\t2\t3.0\tmm\t40.0\t-1.0\r\n"
              "Z.W\t9\t\t1\t1.0\t%\t100.0\t0.0\r\n");
    added.rangeStart = 5;
    ASSERT_TRUE(SaveScaleRecord(file, added));
    auto back = record(9, "Z.W");
    ASSERT_TRUE(LoadOrCreateScaleRecord(file, back));
    EXPECT_EQ(back.rangeStart, 5.0);
}

TEST(ScaleTable, MissingColumnsGiveDefaultsAndShortRowsStayAligned) {
    TempDir dir;
    const auto file = dir.write("FreeScale.dat",
                                "Address\tTagID\tRangeEnd\n"
                                "1\tA.B\n"  // fewer cells than columns
                                "\n"
                                "2\tC.D\t9.5");  // last line without line break
    auto ab = record(1, "A.B");
    ASSERT_TRUE(LoadOrCreateScaleRecord(file, ab));
    EXPECT_EQ(ab.rangeEnd, 0.0);  // empty cell
    EXPECT_EQ(ab.unit, "%");
    EXPECT_EQ(ab.factor, 1.0);
    auto cd = record(2, "C.D");
    ASSERT_TRUE(LoadOrCreateScaleRecord(file, cd));
    EXPECT_EQ(cd.rangeEnd, 9.5);
    EXPECT_EQ(cd.rangeStart, 0.0);
    EXPECT_EQ(cd.format, 1);
}

TEST(ScaleTable, AddressIsCutToEightBitsAndLongTextsAreCut) {
    TempDir dir;
    const auto file =
        dir.write("FreeScale.dat", std::string(kHeader) + "257\tK\t0\t1\t" + std::string(20, 'u') +
                                       "\t1\t300\t" + std::string(40, 'n') + "\r\n");
    auto r = record(1, "K");
    ASSERT_TRUE(LoadOrCreateScaleRecord(file, r));
    EXPECT_EQ(r.unit, std::string(10, 'u'));
    EXPECT_EQ(r.name, std::string(31, 'n'));
    EXPECT_EQ(r.format, 300 % 256);
}

TEST(ScaleTable, ForeignFileIsNotRewritten) {
    TempDir dir;
    for (std::string foreign : {"just\ttext\nnothing\there\n", "\nrows below an empty line\n"}) {
        const auto file = dir.write("FreeScale.dat", foreign);
        auto r = record(1, "A.B");
        EXPECT_FALSE(LoadOrCreateScaleRecord(file, r));
        EXPECT_EQ(r.unit, "%");
        EXPECT_EQ(TempDir::read(file), foreign);
    }
}

TEST(ScaleTable, EmptyFileIsTreatedAsMissing) {
    TempDir dir;
    const auto file = dir.write("FreeScale.dat", "");
    auto r = record(4, "A.B");
    ASSERT_TRUE(LoadOrCreateScaleRecord(file, r));
    EXPECT_EQ(TempDir::read(file), std::string(kHeader) + "4\tA.B\t0.0\t100.0\t%\t1.0\t1\t\r\n");
}

TEST(TabularFileTest, ReadErrorsAndAccessors) {
    TempDir dir;
    TabularFile t;
    EXPECT_FALSE(t.Read(dir / "none.dat", TabularFile::READ_AS_STRING));
    EXPECT_EQ(t.LastError().rfind("ERROR 0007: File not found!\nDetails: ", 0), 0u);
    const auto file = dir.write("t.dat", "A\tB\r\n1\t2\r\n3\t4\r\n");
    ASSERT_TRUE(t.Read(file, TabularFile::READ_AS_STRING));
    std::string cell;
    EXPECT_EQ(t.GetString("B", 1, cell), 1);
    EXPECT_EQ(cell, "4");
    EXPECT_EQ(t.GetString("C", 0, cell), -1);
    EXPECT_EQ(t.LastError(), "ERROR 0005: Variable name not found!");
    EXPECT_EQ(t.GetString("A", 2, cell), -1);
    EXPECT_EQ(t.LastError(), "invalid vector<T> subscript");
    EXPECT_FALSE(t.SetString(5, 0, "x"));
    EXPECT_FALSE(t.AppendString(2, "x"));

    ASSERT_TRUE(t.Read(file, TabularFile::RF_READ_AS_DOUBLE));
    EXPECT_EQ(t.GetString("A", 0, cell), -1);
    EXPECT_EQ(t.LastError().substr(0, 10), "ERROR 0003");
    std::vector<double> numbers;
    ASSERT_EQ(t.GetNumbers("B", numbers), 2);
    EXPECT_EQ(numbers[1], 4.0);
}

TEST(TabularFileTest, WriteRoundTripWithUnevenColumns) {
    TempDir dir;
    TabularFile t;
    t.AddVariable("A", "d", 2);
    t.AddVariable("B", "", 0);
    ASSERT_TRUE(t.AppendString(1, "only"));
    const auto file = dir / "t.dat";
    ASSERT_TRUE(t.Write(file, '\t'));
    EXPECT_EQ(TempDir::read(file), "A\tB\r\nd\tonly\r\nd\t\r\n");
    std::vector<std::string> cells;
    ASSERT_TRUE(t.Read(file, TabularFile::READ_AS_STRING));
    EXPECT_EQ(t.GetData("B", cells), 2);
    EXPECT_EQ(cells, (std::vector<std::string>{"only", ""}));
}

}  // namespace

namespace {

using kvx::config::TabularFile;
using kvx::testing::TempDir;

TEST(TabularFileTest, LongerRowsKeepTheirRestInTheLastColumn) {
    TempDir dir;
    const auto file = dir.write("t.dat", "A\tB\n1\t2\t3\t4\n");
    TabularFile t;
    ASSERT_TRUE(t.Read(file, TabularFile::READ_AS_STRING));
    std::string cell;
    ASSERT_EQ(t.GetString("B", 0, cell), 5);
    EXPECT_EQ(cell, "2\t3\t4");
    ASSERT_TRUE(t.Write(file, '\t'));
    EXPECT_EQ(TempDir::read(file), "A\tB\r\n1\t2\t3\t4\r\n");  // nothing lost
}

// Every separator of the header makes a column, however long the header: a wide table is
// refused with its true width, and long names and cells come back whole.
TEST(TabularFileTest, LongHeadersAreCountedWholeAndNothingIsCut) {
    TempDir dir;
    std::string wideHeader = "Address\tTagID";
    for (int i = 2; i < 1000; ++i) wideHeader += "\tC" + std::to_string(i);
    const auto wide = dir.write("FreeScale.dat", wideHeader + "\r\n1\tA.B\r\n");
    TabularFile t;
    EXPECT_FALSE(t.Read(wide, TabularFile::READ_AS_STRING));
    EXPECT_EQ(t.LastError(),
              wide.string() + ": its header has 1000 columns; a table has at most 64");

    // 40 names of 30 characters run far past 1023 characters; so does the last cell.
    std::string header, row;
    for (int i = 0; i < 40; ++i) {
        header += (i == 0 ? "" : "\t") + std::string(28, 'n') + std::to_string(10 + i);
        row += (i == 0 ? "" : "\t") + std::to_string(i);
    }
    row += std::string(2000, 'x');
    const std::string longText = header + "\r\n" + row + "\r\n";
    const auto file = dir.write("long.dat", longText);
    ASSERT_TRUE(t.Read(file, TabularFile::READ_AS_STRING));
    ASSERT_EQ(t.ColumnCount(), 40u);
    EXPECT_EQ(t.Header(39), std::string(28, 'n') + "49");
    std::string cell;
    EXPECT_EQ(t.GetString(t.Header(39), 0, cell), 2002);
    ASSERT_TRUE(t.Write(file, '\t'));
    EXPECT_EQ(TempDir::read(file), longText);
}

// Tables far larger than any plant are refused with the file named, and the scaling table
// then leaves such a file as it is; at the limits the file is read.
TEST(TabularFileTest, AbsurdRowAndColumnCountsAreRefused) {
    TempDir dir;
    TabularFile t;
    const auto wide = dir.write("wide.dat", std::string(1009, '\t') + "\n1\n2\n");
    EXPECT_FALSE(t.Read(wide, TabularFile::READ_AS_STRING));
    EXPECT_EQ(t.LastReadResult(), TabularFile::ReadResult::Refused);
    EXPECT_EQ(t.LastError(),
              wide.string() + ": its header has 1010 columns; a table has at most 64");
    EXPECT_EQ(t.ColumnCount(), 0u);
    const auto widest = dir.write("widest.dat", std::string(63, '\t') + "\n1\n");
    ASSERT_TRUE(t.Read(widest, TabularFile::READ_AS_STRING));
    EXPECT_EQ(t.ColumnCount(), 64u);

    std::string rows = "Address\tTagID\n";
    for (std::size_t i = 0; i < TabularFile::kMaxRows; ++i) rows += "1\n";
    const auto longest = dir.write("longest.dat", rows);
    ASSERT_TRUE(t.Read(longest, TabularFile::READ_AS_STRING));
    EXPECT_EQ(t.RowCount(), TabularFile::kMaxRows);
    const auto longer = dir.write("FreeScale.dat", rows + "2\n");
    EXPECT_FALSE(t.Read(longer, TabularFile::READ_AS_STRING));
    EXPECT_EQ(t.LastError(), longer.string() + ": more than 100000 rows");

    // A full table is read but takes no further row.
    ScalingTable full;
    ASSERT_TRUE(full.Load(longest));
    auto extra = ScaleRecord{};
    extra.key = "A.B";
    EXPECT_FALSE(full.LoadOrAdd(extra));
    EXPECT_FALSE(full.Pending());

    ScalingTable table;
    EXPECT_FALSE(table.Load(longer));
    EXPECT_EQ(table.Error(), t.LastError());
    auto r = ScaleRecord{};
    r.key = "A.B";
    r.unit = "x";
    EXPECT_FALSE(table.LoadOrAdd(r));
    EXPECT_EQ(r.unit, "%");      // defaults
    EXPECT_TRUE(table.Flush());  // nothing to write
    EXPECT_FALSE(LoadOrCreateScaleRecord(longer, r));
    EXPECT_EQ(TempDir::read(longer), rows + "2\n");
}

// Only regular files are tables: a FIFO or device would block or never end the reader.
TEST(TabularFileTest, NoRegularFileIsRefused) {
    TempDir dir;
    std::filesystem::create_symlink("/dev/zero", dir / "FreeScale.dat");
    TabularFile t;
    EXPECT_FALSE(t.Read(dir / "FreeScale.dat", TabularFile::READ_AS_STRING));
    EXPECT_EQ(t.LastReadResult(), TabularFile::ReadResult::Refused);
    EXPECT_NE(t.LastError().find("is no regular file"), std::string::npos);
}

// Short rows keep only their own cells, read as empty ones where missing, and rewriting
// gives every row its full set of columns.
TEST(TabularFileTest, ShortRowsReadAsEmptyCellsAndAreWrittenWhole) {
    TempDir dir;
    const auto file = dir.write("t.dat", "A\tB\tC\r\n1\r\n\t\t\r\n4\t5\r\n");
    TabularFile t;
    ASSERT_TRUE(t.Read(file, TabularFile::READ_AS_STRING));
    ASSERT_EQ(t.RowCount(), 3u);
    std::vector<std::string> cells;
    ASSERT_EQ(t.GetData("C", cells), 3);
    EXPECT_EQ(cells, (std::vector<std::string>{"", "", ""}));
    ASSERT_EQ(t.GetData("B", cells), 3);
    EXPECT_EQ(cells, (std::vector<std::string>{"", "", "5"}));
    ASSERT_TRUE(t.SetString(2, 0, "x"));
    ASSERT_TRUE(t.Write(file, '\t'));
    EXPECT_EQ(TempDir::read(file), "A\tB\tC\r\n1\t\tx\r\n\t\t\r\n4\t5\t\r\n");
}

}  // namespace
