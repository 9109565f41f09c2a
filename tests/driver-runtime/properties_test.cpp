// Scaling property requests: reads in the registered types, writes through FreeScale.dat.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <string>

#include "../driver/driver_test_support.h"
#include "fenlodrv/oleauto.h"
#include "kvx/config/scaling_table.h"
#include "runtime.h"

using namespace kvx::driver;
namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class Properties : public ::testing::Test {
  protected:
    Properties() {
        std::random_device random;
        dir = fs::temp_directory_path() / ("kvx-properties-" + std::to_string(random()));
        fs::create_directories(dir);
        state->scalingTablePath = dir / "FreeScale.dat";
        tag.member = 3;
        tag.dtype = kvx::config::DtypeCode::Int;
        tag.fscale = 1;
        tag.scale = std::make_unique<ScaleRecord>();
        tag.scale->member = 3;
        tag.scale->key = "ADR03.Level";
        EXPECT_TRUE(kvx::config::LoadOrCreateScaleRecord(state->scalingTablePath, *tag.scale));
    }
    ~Properties() override {
        std::error_code ignored;
        fs::permissions(dir / "FreeScale.dat", fs::perms::owner_all, ignored);
        fs::remove_all(dir, ignored);
    }

    TagNode node(PropertyIndex index) {
        TagNode n;
        n.kind = TagKind::Property;
        n.owner = &tag;
        n.property = index;
        return n;
    }
    std::uint16_t writeNumber(PropertyIndex index, double number) {
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_R8;
        value.value.dblVal = number;
        return WriteScaleProperty(*state, node(index), value);
    }
    void writeText(PropertyIndex index, const std::u16string& text) {
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_BSTR;
        value.value.bstrVal = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                                static_cast<std::uint32_t>(text.size()));
        WriteScaleProperty(*state, node(index), value);
        VariantClear(&value);
    }
    double readNumber(PropertyIndex index) {
        VARIANT value;
        VariantInit(&value);
        ReadScaleProperty(node(index), value);
        EXPECT_EQ(value.vt, VT_R8);
        return value.value.dblVal;
    }
    std::u16string readText(PropertyIndex index) {
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_R8;  // a number in the VARIANT passed in: the read still gives a text
        value.value.dblVal = 1.0;
        ReadScaleProperty(node(index), value);
        EXPECT_EQ(value.vt, VT_BSTR);
        std::u16string text(reinterpret_cast<const char16_t*>(value.value.bstrVal),
                            SysStringLen(value.value.bstrVal));
        VariantClear(&value);
        return text;
    }
    // The row of the tag as the file holds it, cells joined by tabs.
    std::string fileRow() {
        std::istringstream lines(ReadFile(state->scalingTablePath));
        std::string line;
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.rfind("3\tADR03.Level\t", 0) == 0) return line;
        }
        return "(no row)";
    }

    fs::path dir;
    std::unique_ptr<DriverState> state = std::make_unique<DriverState>();
    TagDescriptor tag;
};

}  // namespace

TEST_F(Properties, ReadsGiveTheRegisteredTypes) {
    EXPECT_EQ(readNumber(PropertyIndex::Start), 0.0);
    EXPECT_EQ(readNumber(PropertyIndex::End), 100.0);
    EXPECT_EQ(readNumber(PropertyIndex::Factor), 1.0);
    VARIANT format;
    VariantInit(&format);
    ReadScaleProperty(node(PropertyIndex::Format), format);
    EXPECT_EQ(format.vt, VT_UI1);
    EXPECT_EQ(format.value.bVal, 1);
    EXPECT_EQ(readText(PropertyIndex::Unit), u"%");
    EXPECT_EQ(readText(PropertyIndex::Name), u"");
}

TEST_F(Properties, RangeWritesKeepStartBelowEndAndArePersisted) {
    writeNumber(PropertyIndex::Start, 150.0);
    EXPECT_EQ(readNumber(PropertyIndex::Start), 0.0);
    writeNumber(PropertyIndex::Start, 50.0);
    EXPECT_EQ(readNumber(PropertyIndex::Start), 50.0);
    EXPECT_EQ(fileRow(), "3\tADR03.Level\t50.0\t100.0\t%\t1.0\t1\t");
    writeNumber(PropertyIndex::End, 50.0);  // not above the start
    EXPECT_EQ(readNumber(PropertyIndex::End), 100.0);
    writeNumber(PropertyIndex::End, 250.5);
    EXPECT_EQ(readNumber(PropertyIndex::End), 250.5);
    writeNumber(PropertyIndex::Factor, 0.0);
    EXPECT_EQ(readNumber(PropertyIndex::Factor), 1.0);
    writeNumber(PropertyIndex::Factor, -2.0);
    EXPECT_EQ(fileRow(), "3\tADR03.Level\t50.0\t250.5\t%\t-2.0\t1\t");

    // What the file holds is what a restart loads.
    ScaleRecord reloaded;
    reloaded.member = 3;
    reloaded.key = "ADR03.Level";
    ASSERT_TRUE(kvx::config::LoadOrCreateScaleRecord(state->scalingTablePath, reloaded));
    EXPECT_EQ(reloaded.rangeStart, 50.0);
    EXPECT_EQ(reloaded.rangeEnd, 250.5);
    EXPECT_EQ(reloaded.factor, -2.0);
}

TEST_F(Properties, TextsAreCutAndFormatKeepsItsLowBits) {
    writeText(PropertyIndex::Unit, u"m\u00B3/h per hour");  // 14 characters
    EXPECT_EQ(readText(PropertyIndex::Unit), u"m\u00B3/h per h");
    writeText(PropertyIndex::Name, u"0123456789012345678901234567890123456789");
    EXPECT_EQ(readText(PropertyIndex::Name), u"01234567890123456789012345678");
    EXPECT_EQ(fileRow(),
              "3\tADR03.Level\t0.0\t100.0\tm\xB3/h per h\t1.0\t1\t"
              "01234567890123456789012345678");

    VARIANT format;
    VariantInit(&format);
    format.vt = VT_UI1;
    format.value.bVal = 7;
    WriteScaleProperty(*state, node(PropertyIndex::Format), format);
    EXPECT_EQ(tag.scale->format, 7);
    format.vt = VT_I4;
    format.value.lVal = 300;
    WriteScaleProperty(*state, node(PropertyIndex::Format), format);
    EXPECT_EQ(tag.scale->format, 44);

    VARIANT empty;
    VariantInit(&empty);
    empty.vt = VT_BSTR;
    empty.value.bstrVal = nullptr;
    WriteScaleProperty(*state, node(PropertyIndex::Unit), empty);
    EXPECT_EQ(readText(PropertyIndex::Unit), u"");
}

TEST_F(Properties, DeletedTableLeavesTheValuesUnchanged) {
    fs::remove(state->scalingTablePath);
    writeNumber(PropertyIndex::Start, 50.0);
    writeText(PropertyIndex::Unit, u"bar");
    EXPECT_EQ(readNumber(PropertyIndex::Start), 0.0);
    EXPECT_EQ(readText(PropertyIndex::Unit), u"%");
    EXPECT_FALSE(fs::exists(state->scalingTablePath));
}

// The host learns what became of each property write; a write the table could not take,
// and a value that is not finite, are also told once, naming the property and the file.
TEST_F(Properties, WriteProtectedTableLeavesMemoryAndFileUnchanged) {
    tag.name = "ADR03.Level";
    kvx::testing::RecordingNotifier notifier;
    const std::string before = ReadFile(state->scalingTablePath);
    fs::permissions(state->scalingTablePath,
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_EQ(writeNumber(PropertyIndex::Start, 50.0), SOXPS_WRITE_NOT_STORED);
    EXPECT_EQ(writeNumber(PropertyIndex::Start, 50.0), SOXPS_WRITE_NOT_STORED);
    EXPECT_EQ(readNumber(PropertyIndex::Start), 0.0);
    EXPECT_EQ(ReadFile(state->scalingTablePath), before);
    ASSERT_EQ(notifier.messages().size(), 1u);
    EXPECT_EQ(notifier.messages()[0].caption, kWriteErrorCaption);
    EXPECT_NE(notifier.messages()[0].text.find(
                  "ADR03.Level_start: value 50 not taken: " + state->scalingTablePath.string() +
                  " could not be written"),
              std::string::npos)
        << notifier.messages()[0].text;

    fs::permissions(state->scalingTablePath, fs::perms::owner_all);
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(writeNumber(PropertyIndex::Factor, nan), SOXPS_WRITE_OUT_OF_RANGE);
    EXPECT_EQ(writeNumber(PropertyIndex::Start, -inf), SOXPS_WRITE_OUT_OF_RANGE);
    EXPECT_EQ(writeNumber(PropertyIndex::End, inf), SOXPS_WRITE_OUT_OF_RANGE);
    ASSERT_EQ(notifier.messages().size(), 4u);
    EXPECT_NE(notifier.messages()[1].text.find("ADR03.Level_factor: value nan not taken: it "
                                               "is not finite"),
              std::string::npos)
        << notifier.messages()[1].text;
    // The relation rules refuse quietly: the host is told by the outcome.
    EXPECT_EQ(writeNumber(PropertyIndex::Start, 150.0), SOXPS_WRITE_OUT_OF_RANGE);
    EXPECT_EQ(writeNumber(PropertyIndex::Factor, 0.0), SOXPS_WRITE_OUT_OF_RANGE);
    EXPECT_EQ(writeNumber(PropertyIndex::Start, 50.0), SOXPS_WRITE_ACKNOWLEDGED);
    EXPECT_EQ(notifier.messages().size(), 4u);
}

TEST_F(Properties, TableWithoutTheRowLeavesTheValuesUnchanged) {
    std::ofstream(state->scalingTablePath, std::ios::trunc)
        << "Address\tTagID\tRangeStart\tRangeEnd\tUnit\tFactor\tFormat\tName\r\n";
    writeNumber(PropertyIndex::End, 80.0);
    EXPECT_EQ(readNumber(PropertyIndex::End), 100.0);
}

TEST_F(Properties, ScalingThatIsZeroOrNotFiniteInSinglePrecisionIsRefusedWithoutSaving) {
    tag.name = "ADR03.Level";
    // A cell changed on disk behind the plug-in's back: a save would overwrite it.
    std::string text = ReadFile(state->scalingTablePath);
    text.replace(text.find("\t%\t"), 3, "\tdisk\t");
    std::ofstream(state->scalingTablePath, std::ios::binary | std::ios::trunc) << text;

    struct Case {
        PropertyIndex index;
        double number;
    };
    const Case refused[] = {
        {PropertyIndex::Factor, 1e-300},  // not 0 as a double, 0 as a float
        {PropertyIndex::Factor, 1e300},  {PropertyIndex::Factor, 1e-45},
        {PropertyIndex::End, 1e308},     {PropertyIndex::Start, -1e308},
        {PropertyIndex::End, 1e-300},    // span 0 as a float
        {PropertyIndex::End, 3.5e38},    // beyond the largest float
        {PropertyIndex::Factor, 1e-42},  // denormal as a float: writes lose their precision
        {PropertyIndex::Start, 1e-40},
    };
    kvx::testing::RecordingNotifier notifier;
    for (const Case& c : refused) {
        EXPECT_EQ(writeNumber(c.index, c.number), SOXPS_WRITE_OUT_OF_RANGE) << c.number;
        EXPECT_EQ(readNumber(PropertyIndex::Start), 0.0) << c.number;
        EXPECT_EQ(readNumber(PropertyIndex::End), 100.0) << c.number;
        EXPECT_EQ(readNumber(PropertyIndex::Factor), 1.0) << c.number;
    }
    EXPECT_EQ(ReadFile(state->scalingTablePath), text);
    ASSERT_EQ(notifier.messages().size(), std::size(refused));
    EXPECT_EQ(notifier.messages()[0].caption, kWriteErrorCaption);
    EXPECT_NE(notifier.messages()[0].text.find("ADR03.Level_factor: value 1e-300 not taken"),
              std::string::npos)
        << notifier.messages()[0].text;

    // Each bound alone is fine; together their span is beyond the largest float.
    writeNumber(PropertyIndex::End, 3e38);
    EXPECT_EQ(readNumber(PropertyIndex::End), 3e38);
    writeNumber(PropertyIndex::Start, -3e38);
    EXPECT_EQ(readNumber(PropertyIndex::Start), 0.0);
    // Just inside: the smallest normal float factor still gives a finite scaling both ways.
    writeNumber(PropertyIndex::End, 100.0);
    writeNumber(PropertyIndex::Factor, 1.2e-38);
    EXPECT_EQ(readNumber(PropertyIndex::Factor), 1.2e-38);
}

TEST_F(Properties, ScalingAlreadyUnusableCanBeMendedOnePropertyAtATime) {
    tag.scale->rangeStart = -1e308;  // as a hand-edited table row loads
    tag.scale->rangeEnd = 1e308;
    kvx::testing::RecordingNotifier notifier;
    writeNumber(PropertyIndex::Start, -1e300);  // still not a float: refused
    EXPECT_EQ(readNumber(PropertyIndex::Start), -1e308);
    writeNumber(PropertyIndex::Start, 0.0);
    EXPECT_EQ(readNumber(PropertyIndex::Start), 0.0);
    writeNumber(PropertyIndex::End, 100.0);
    EXPECT_EQ(readNumber(PropertyIndex::End), 100.0);
    EXPECT_EQ(fileRow(), "3\tADR03.Level\t0.0\t100.0\t%\t1.0\t1\t");
}
