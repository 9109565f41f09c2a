// Value decoding from the process image and value encoding onto the bus (a simulated member
// on a real pseudo-terminal).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fenlodrv/oleauto.h"
#include "kvx/platform/serial_device.h"
#include "kvx/sim/simulator.h"
#include "notifier.h"
#include "runtime.h"
#include "variant_values.h"

using namespace kvx::driver;
using kvx::config::DtypeCode;
using kvx::sim::HexText;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

constexpr std::uint8_t kMember = 5;

TagDescriptor MakeTag(DtypeCode dtype, int readoffset, int length, float factor = 0.0f) {
    TagDescriptor tag;
    tag.member = kMember;
    tag.dtype = dtype;
    tag.readoffset = readoffset;
    tag.writeoffset = 40;
    tag.length = static_cast<std::int8_t>(length);
    tag.factor = factor;
    return tag;
}

void Scale(TagDescriptor& tag, double start, double end, double factor) {
    tag.fscale = 1;
    tag.scale = std::make_unique<ScaleRecord>();
    tag.scale->rangeStart = start;
    tag.scale->rangeEnd = end;
    tag.scale->factor = factor;
}

// A VARIANT as the host passes it: the registered type, a marker value.
struct HostValue {
    explicit HostValue(VARTYPE type = VT_EMPTY) {
        VariantInit(&v);
        v.vt = type;
        v.value.llVal = 0x5A5A5A5A5A5A5A5A;
    }
    ~HostValue() { VariantClear(&v); }
    HostValue(const HostValue&) = delete;
    HostValue& operator=(const HostValue&) = delete;
    bool untouched(VARTYPE type) const {
        return v.vt == type && v.value.llVal == 0x5A5A5A5A5A5A5A5A;
    }
    std::u16string text() const {
        EXPECT_EQ(v.vt, VT_BSTR);
        if (v.vt != VT_BSTR || v.value.bstrVal == nullptr) return {};
        return {reinterpret_cast<const char16_t*>(v.value.bstrVal), SysStringLen(v.value.bstrVal)};
    }
    void setText(const std::u16string& text) {
        VariantClear(&v);
        v.vt = VT_BSTR;
        v.value.bstrVal = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                            static_cast<std::uint32_t>(text.size()));
    }
    VARIANT v;
};

class RecordingNotifier : public Notifier {
  public:
    void notify(std::string_view caption, std::string_view text) override {
        std::lock_guard lock(mutex);
        messages.emplace_back(std::string(caption) + "|" + std::string(text));
    }
    std::mutex mutex;
    std::vector<std::string> messages;
};

class Decoding : public ::testing::Test {
  protected:
    void put(std::size_t offset, std::vector<std::uint8_t> bytes) {
        std::copy(bytes.begin(), bytes.end(), state->image[kMember].begin() + offset);
    }
    void putText(std::size_t offset, std::string_view text) {
        std::copy(text.begin(), text.end(), state->image[kMember].begin() + offset);
    }
    std::unique_ptr<DriverState> state = std::make_unique<DriverState>();
};

}  // namespace

TEST_F(Decoding, IntegersAreMostSignificantByteFirst) {
    put(0, {0x00, 0x01, 0x02, 0x03});
    HostValue value(VT_EMPTY);
    DecodeTagValue(*state, MakeTag(DtypeCode::Long, 0, 4), value.v);
    EXPECT_EQ(value.v.vt, VT_I4);
    EXPECT_EQ(value.v.value.lVal, 66051);

    put(10, {0xFF, 0xFE});
    HostValue i2(VT_I2);
    DecodeTagValue(*state, MakeTag(DtypeCode::Int, 10, 2), i2.v);
    EXPECT_EQ(i2.v.vt, VT_I2);  // value only: the registered type stays
    EXPECT_EQ(i2.v.value.iVal, -2);

    HostValue ui2(VT_UI2);
    DecodeTagValue(*state, MakeTag(DtypeCode::Uint, 10, 2), ui2.v);
    EXPECT_EQ(ui2.v.value.uiVal, 65534);

    put(20, {0xFF, 0xFF, 0xFF, 0xFE});
    HostValue ui4(VT_EMPTY);
    DecodeTagValue(*state, MakeTag(DtypeCode::Ulong, 20, 4), ui4.v);
    EXPECT_EQ(ui4.v.vt, VT_UI4);
    EXPECT_EQ(ui4.v.value.ulVal, 4294967294u);

    put(30, {0xC8});
    HostValue ch(VT_UI1);
    DecodeTagValue(*state, MakeTag(DtypeCode::Char, 30, 7), ch.v);  // whatever the length
    EXPECT_EQ(ch.v.value.uiVal, 200);
}

TEST_F(Decoding, LengthsThatDoNotFitTheTypeGiveNoValue) {
    put(0, {1, 2, 3, 4});
    TagDescriptor tags[] = {MakeTag(DtypeCode::Int, 0, 3),  MakeTag(DtypeCode::Uint, 0, 1),
                            MakeTag(DtypeCode::Long, 0, 2), MakeTag(DtypeCode::Ulong, 0, 8),
                            MakeTag(DtypeCode::Bool, 0, 3), MakeTag(DtypeCode::Unknown, 0, 2)};
    for (const auto& tag : tags) {
        HostValue value(VT_I2);
        DecodeTagValue(*state, tag, value.v);
        EXPECT_TRUE(value.untouched(VT_I2)) << static_cast<int>(tag.dtype);
    }
}

TEST_F(Decoding, OffsetsOutsideTheImageBlockGiveNoValue) {
    TagDescriptor tags[] = {
        MakeTag(DtypeCode::Long, 1021, 4),     MakeTag(DtypeCode::Int, -1, 2),
        MakeTag(DtypeCode::String, 1000, 100), MakeTag(DtypeCode::Hex, 1020, 5),
        MakeTag(DtypeCode::S5Time, 1023, 2),   MakeTag(DtypeCode::Char, 1024, 1),
        MakeTag(DtypeCode::Float, 0, 2)};
    for (auto& tag : tags) {
        if (tag.dtype == DtypeCode::Float) tag.divoffset = 5000;  // divisor byte outside
        HostValue value(VT_R4);
        DecodeTagValue(*state, tag, value.v);
        EXPECT_TRUE(value.untouched(VT_R4))
            << static_cast<int>(tag.dtype) << " @" << tag.readoffset;
    }
    TagDescriptor foreign = MakeTag(DtypeCode::Int, 0, 2);
    foreign.member = 32;  // no such member
    HostValue value(VT_I2);
    DecodeTagValue(*state, foreign, value.v);
    EXPECT_TRUE(value.untouched(VT_I2));
}

TEST_F(Decoding, FloatOfTwoBytesUsesTheDivisorRule) {
    put(0, {0x00, 0x64});  // raw 100
    put(50, {10});
    TagDescriptor tag = MakeTag(DtypeCode::Float, 0, 2);
    tag.divoffset = 50;
    HostValue value(VT_R4);
    DecodeTagValue(*state, tag, value.v);
    EXPECT_FLOAT_EQ(value.v.value.fltVal, 10.0f);

    tag.factor = 0.5f;
    DecodeTagValue(*state, tag, value.v);
    EXPECT_FLOAT_EQ(value.v.value.fltVal, 50.0f);

    tag.factor = 0.0f;
    put(50, {0});
    DecodeTagValue(*state, tag, value.v);
    EXPECT_FLOAT_EQ(value.v.value.fltVal, 0.0f);

    put(50, {0xFE});  // the divisor byte is signed here: -2
    DecodeTagValue(*state, tag, value.v);
    EXPECT_FLOAT_EQ(value.v.value.fltVal, -50.0f);
    EXPECT_EQ(value.v.vt, VT_R4);
}

TEST_F(Decoding, FourByteFloatIsLeastSignificantFirstAndFloat2MostSignificantFirst) {
    put(0, {0x00, 0x00, 0xC0, 0x3F});  // 1.5f least significant byte first
    put(8, {0x3F, 0xC0, 0x00, 0x00});  // 1.5f most significant byte first
    HostValue value(VT_R4);
    DecodeTagValue(*state, MakeTag(DtypeCode::Float, 0, 4, 2.0f), value.v);
    EXPECT_FLOAT_EQ(value.v.value.fltVal, 3.0f);
    DecodeTagValue(*state, MakeTag(DtypeCode::Float2, 8, 4, 1.0f), value.v);
    EXPECT_FLOAT_EQ(value.v.value.fltVal, 1.5f);
}

TEST_F(Decoding, FloatOfOtherLengthsReadsAsTextAndFloat2AsHex) {
    putText(0, "AB ");
    HostValue text(VT_R4);
    DecodeTagValue(*state, MakeTag(DtypeCode::Float, 0, 3), text.v);
    EXPECT_EQ(text.text(), u"AB");

    put(10, {0x12, 0xAB});
    HostValue hex(VT_R4);
    DecodeTagValue(*state, MakeTag(DtypeCode::Float2, 10, 2), hex.v);
    EXPECT_EQ(hex.text(), u"AB 12");
}

TEST_F(Decoding, S5TimeBasesAndDigits) {
    struct Case {
        std::uint8_t b0, b1;
        float seconds;
    };
    for (const Case c :
         {Case{0x21, 0x23, 123.0f}, Case{0x01, 0x23, 1.23f}, Case{0x11, 0x00, 10.0f},
          Case{0x39, 0x99, 9990.0f}, Case{0xE1, 0x23, 123.0f} /* bits 6 and 7 ignored */}) {
        put(0, {c.b0, c.b1});
        HostValue value(VT_R4);
        DecodeTagValue(*state, MakeTag(DtypeCode::S5Time, 0, 5), value.v);
        EXPECT_FLOAT_EQ(value.v.value.fltVal, c.seconds) << int(c.b0) << " " << int(c.b1);
    }
}

TEST_F(Decoding, BoolTakesOneBitOfTheBigEndianValue) {
    put(0, {0x02, 0x00});
    TagDescriptor tag = MakeTag(DtypeCode::Bool, 0, 2);
    tag.bitoffset = 9;
    HostValue value(VT_BOOL);
    DecodeTagValue(*state, tag, value.v);
    EXPECT_EQ(value.v.vt, VT_BOOL);
    EXPECT_EQ(value.v.value.boolVal, 1);  // true is 1, not -1
    tag.bitoffset = 1;
    DecodeTagValue(*state, tag, value.v);
    EXPECT_EQ(value.v.value.boolVal, 0);

    put(10, {0x80, 0x00, 0x00, 0x01});
    TagDescriptor wide = MakeTag(DtypeCode::Bool, 10, 4);
    wide.bitoffset = 31;
    DecodeTagValue(*state, wide, value.v);
    EXPECT_EQ(value.v.value.boolVal, 1);
    TagDescriptor narrow = MakeTag(DtypeCode::Bool, 13, 1);
    narrow.bitoffset = 0;
    DecodeTagValue(*state, narrow, value.v);
    EXPECT_EQ(value.v.value.boolVal, 1);

    // Bit numbers past the 32 bits of the widest value (up to 127 in a description file) and
    // negative ones name no bit: the value is 0, never "no value" and never a wrapped bit.
    put(20, {0xFF, 0xFF, 0xFF, 0xFF});
    for (int bit : {32, 33, 63, 127, -1, -128}) {
        TagDescriptor far = MakeTag(DtypeCode::Bool, 20, 4);
        far.bitoffset = static_cast<std::int8_t>(bit);
        HostValue fresh(VT_BOOL);
        DecodeTagValue(*state, far, fresh.v);
        EXPECT_FALSE(fresh.untouched(VT_BOOL)) << bit;
        EXPECT_EQ(fresh.v.vt, VT_BOOL) << bit;
        EXPECT_EQ(fresh.v.value.boolVal, 0) << bit;
    }
}

TEST_F(Decoding, StringsAreCutAtZeroTrimmedAndConvertedFromOem) {
    putText(0, "AB    ");
    HostValue value(VT_BSTR);
    value.v.value.bstrVal = nullptr;
    DecodeTagValue(*state, MakeTag(DtypeCode::String, 0, 6), value.v);
    EXPECT_EQ(value.text(), u"AB");

    put(10, {' ', 'x', 0x81, 0x00, 'y', 'z'});  // OEM 81 is u-umlaut; the zero ends the text
    DecodeTagValue(*state, MakeTag(DtypeCode::String, 10, 6), value.v);
    EXPECT_EQ(value.text(), u" x\u00FC");

    DecodeTagValue(*state, MakeTag(DtypeCode::String, 10, 0), value.v);
    EXPECT_EQ(value.text(), u"");
}

TEST_F(Decoding, HexAndBinShowTheLastByteFirstWhenFactorIsZero) {
    put(0, {0x12, 0xAB});
    HostValue value(VT_BSTR);
    value.v.value.bstrVal = nullptr;
    DecodeTagValue(*state, MakeTag(DtypeCode::Hex, 0, 2), value.v);
    EXPECT_EQ(value.text(), u"AB 12");
    DecodeTagValue(*state, MakeTag(DtypeCode::Hex, 0, 2, 1.0f), value.v);
    EXPECT_EQ(value.text(), u"12 AB");
    DecodeTagValue(*state, MakeTag(DtypeCode::Bin, 0, 2), value.v);
    EXPECT_EQ(value.text(), u"10101011 00010010");
    DecodeTagValue(*state, MakeTag(DtypeCode::Bin, 0, 2, 3.0f), value.v);
    EXPECT_EQ(value.text(), u"00010010 10101011");
}

TEST_F(Decoding, LongHexAndBinTextsAreBuiltWhole) {
    for (int i = 0; i < 127; ++i)
        state->image[kMember][static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    HostValue value(VT_BSTR);
    value.v.value.bstrVal = nullptr;
    DecodeTagValue(*state, MakeTag(DtypeCode::Hex, 0, 127, 1.0f), value.v);
    std::u16string hex = value.text();
    ASSERT_EQ(hex.size(), 127u * 3 - 1);
    EXPECT_EQ(hex.substr(0, 8), u"00 01 02");
    EXPECT_EQ(hex.substr(hex.size() - 5), u"7D 7E");

    DecodeTagValue(*state, MakeTag(DtypeCode::Bin, 0, 127, 1.0f), value.v);
    std::u16string bin = value.text();
    ASSERT_EQ(bin.size(), 127u * 9 - 1);
    EXPECT_EQ(bin.substr(bin.size() - 8), u"01111110");
}

TEST_F(Decoding, TimeoutPasswordAndDeviceId) {
    state->members[kMember].errorCounter = 7;
    HostValue timeout(VT_I2);
    DecodeTagValue(*state, MakeTag(DtypeCode::Timeout, 0, 0), timeout.v);
    EXPECT_EQ(timeout.v.value.iVal, 7);

    put(0, {0x12, 0x34});
    HostValue password(VT_UI2);
    DecodeTagValue(*state, MakeTag(DtypeCode::Password, 0, 2), password.v);
    EXPECT_EQ(password.v.value.uiVal, 0x1234);

    state->members[kMember].name = "Pump\x8E  ";  // OEM 8E is A-umlaut; trailing blanks stay
    HostValue name(VT_BSTR);
    name.v.value.bstrVal = nullptr;
    DecodeTagValue(*state, MakeTag(DtypeCode::DeviceId, 0, 0), name.v);
    EXPECT_EQ(name.text(), u"Pump\u00C4  ");
    DecodeTagValue(*state, MakeTag(DtypeCode::Password, 0, 3), name.v);
    EXPECT_EQ(name.text(), u"Pump\u00C4  ");
}

TEST_F(Decoding, ReadScalingMapsThePercentageOntoTheRange) {
    put(0, {0x00, 0x32});  // 50
    TagDescriptor tag = MakeTag(DtypeCode::Int, 0, 2);
    Scale(tag, 0.0, 200.0, 1.0);
    HostValue value(VT_R4);
    DecodeTagValue(*state, tag, value.v);
    EXPECT_EQ(value.v.vt, VT_R4);
    EXPECT_FLOAT_EQ(value.v.value.fltVal, 100.0f);

    put(10, {0xFF, 0xFF, 0xFF, 0xFF});  // ulong: 4294967295 is taken unsigned
    TagDescriptor wide = MakeTag(DtypeCode::Ulong, 10, 4);
    Scale(wide, 0.0, 100.0, 1.0);
    DecodeTagValue(*state, wide, value.v);
    EXPECT_FLOAT_EQ(value.v.value.fltVal, 4294967295.0f);

    put(20, {0x00, 0x0A});  // float of length 2, factor 1: 10.0 -> 20 + 80 * 10% = 28
    TagDescriptor real = MakeTag(DtypeCode::Float, 20, 2, 1.0f);
    Scale(real, 20.0, 100.0, 1.0);
    DecodeTagValue(*state, real, value.v);
    EXPECT_FLOAT_EQ(value.v.value.fltVal, 28.0f);

    put(30, {0x01});
    TagDescriptor flag = MakeTag(DtypeCode::Bool, 30, 1);
    Scale(flag, 0.0, 100.0, -1.0);
    HostValue b(VT_BOOL);
    DecodeTagValue(*state, flag, b.v);
    EXPECT_EQ(b.v.value.boolVal, 0);  // a negative factor inverts
    flag.scale->factor = 1.0;
    DecodeTagValue(*state, flag, b.v);
    EXPECT_EQ(b.v.value.boolVal, 1);
}

TEST_F(Decoding, NegativeInfinityIsReportedOncePerTagAndReturned) {
    RecordingNotifier notifier;
    SetNotifier(&notifier);
    put(0, {0x00, 0x01});
    TagDescriptor tag = MakeTag(DtypeCode::Float, 0, 2, -std::numeric_limits<float>::infinity());
    TagDescriptor other = MakeTag(DtypeCode::Float, 0, 2, std::bit_cast<float>(0xFFC00000u));
    HostValue value(VT_R4);
    for (int i = 0; i < 3; ++i) DecodeTagValue(*state, tag, value.v);
    EXPECT_TRUE(std::isinf(value.v.value.fltVal) && value.v.value.fltVal < 0);
    DecodeTagValue(*state, other, value.v);  // a NaN with the sign bit set
    EXPECT_TRUE(std::isnan(value.v.value.fltVal));
    TagDescriptor fine = MakeTag(DtypeCode::Float, 0, 2, 1.0f);
    DecodeTagValue(*state, fine, value.v);
    SetNotifier(nullptr);
    EXPECT_THAT(notifier.messages, ElementsAre("|Fehler in Tag", "|Fehler in Tag"));
}

// ---- Encoding ---------------------------------------------------------------------------

namespace {

class Encoding : public ::testing::Test {
  protected:
    Encoding() : sim(kvx::sim::SimulatorOptions{false, 1}) {
        sim.addMember(kMember);
        sim.start();
        state->bus.setPortName(sim.devicePath());
    }

    // The frames the member received from one write request; its outcome in `outcome`.
    std::vector<kvx::sim::ReceivedFrame> write(const TagDescriptor& tag, VARIANT& value) {
        sim.clearFrames();
        outcome = EncodeAndWriteTagValue(*state, tag, value);
        return sim.frames();
    }
    std::vector<std::uint8_t> sent(const TagDescriptor& tag, VARIANT& value) {
        const auto frames = write(tag, value);
        if (frames.size() != 1) return {0xEE, static_cast<std::uint8_t>(frames.size())};
        EXPECT_EQ(frames[0].kind, kvx::sim::FrameKind::Write);
        EXPECT_EQ(frames[0].dataAddress, tag.writeoffset);
        EXPECT_EQ(frames[0].byteCount, tag.length);
        return frames[0].data;
    }
    std::vector<std::uint8_t> sentNumber(const TagDescriptor& tag, VARTYPE type, double number) {
        HostValue value(type);
        switch (type) {
            case VT_I2:
                value.v.value.iVal = static_cast<std::int16_t>(number);
                break;
            case VT_I4:
                value.v.value.lVal = static_cast<std::int32_t>(number);
                break;
            case VT_R8:
                value.v.value.dblVal = number;
                break;
            default:
                value.v.value.fltVal = static_cast<float>(number);
                break;
        }
        return sent(tag, value.v);
    }
    // The member's image block holds an accepted poll of its first 100 bytes.
    void polled() {
        state->members[kMember].fetchLength[0] = 100;
        state->members[kMember].imageFromPoll = true;
        state->members[kMember].errorCounter = 0;
    }
    std::vector<std::uint8_t> sentText(const TagDescriptor& tag, const std::u16string& text) {
        HostValue value;
        value.setText(text);
        return sent(tag, value.v);
    }

    kvx::sim::Simulator sim;
    std::unique_ptr<DriverState> state = std::make_unique<DriverState>();
    std::uint16_t outcome = 0;
};

const std::vector<std::uint8_t> kNothing{0xEE, 0};

}  // namespace

TEST_F(Encoding, IntegersAreSentMostSignificantByteFirst) {
    EXPECT_THAT(sentNumber(MakeTag(DtypeCode::Int, 0, 2), VT_I2, 1000), ElementsAre(0x03, 0xE8));
    EXPECT_THAT(sentNumber(MakeTag(DtypeCode::Long, 0, 4), VT_I4, -2),
                ElementsAre(0xFF, 0xFF, 0xFF, 0xFE));
    EXPECT_THAT(sentNumber(MakeTag(DtypeCode::Char, 0, 1), VT_R4, 200), ElementsAre(0xC8));
    // A value of another numeric type is taken by its own type.
    EXPECT_THAT(sentNumber(MakeTag(DtypeCode::Int, 0, 2), VT_R8, -2.5), ElementsAre(0xFF, 0xFD));
}

TEST_F(Encoding, FloatOfTwoBytesDividesAndRoundsHalfAwayFromZero) {
    polled();
    state->image[kMember][60] = 10;
    TagDescriptor tag = MakeTag(DtypeCode::Float, 0, 2);
    tag.divoffset = 60;
    EXPECT_THAT(sentNumber(tag, VT_R4, 2.5), ElementsAre(0x00, 0x19));
    tag.factor = 0.5f;
    EXPECT_THAT(sentNumber(tag, VT_R4, 2.5), ElementsAre(0x00, 0x05));
    tag.factor = 1.0f;
    EXPECT_THAT(sentNumber(tag, VT_R4, -2.5), ElementsAre(0xFF, 0xFD));
    EXPECT_THAT(sentNumber(tag, VT_R4, 2.5), ElementsAre(0x00, 0x03));

    // A divisor byte above 127 reads back signed (200 as -56): no write goes through it.
    tag.factor = 0.0f;
    state->image[kMember][60] = 200;
    EXPECT_EQ(sentNumber(tag, VT_R4, 1.0), kNothing);
    state->image[kMember][60] = 0;  // an infinite divisor would send 0 for anything
    EXPECT_EQ(sentNumber(tag, VT_R4, 123.0), kNothing);
}

TEST_F(Encoding, FourByteFloatsAndFloat2) {
    EXPECT_THAT(sentNumber(MakeTag(DtypeCode::Float, 0, 4, 2.0f), VT_R4, 3.0),
                ElementsAre(0x00, 0x00, 0xC0, 0x3F));
    EXPECT_THAT(sentNumber(MakeTag(DtypeCode::Float2, 0, 4, 1.0f), VT_R4, 1.5),
                ElementsAre(0x3F, 0xC0, 0x00, 0x00));
    EXPECT_EQ(sentNumber(MakeTag(DtypeCode::Float, 0, 3, 1.0f), VT_R4, 1.5), kNothing);
}

TEST_F(Encoding, S5TimeRangesAndTheCarryIntoTheNextRange) {
    const TagDescriptor tag = MakeTag(DtypeCode::S5Time, 0, 2);
    EXPECT_THAT(sentNumber(tag, VT_R4, 123.0), ElementsAre(0x21, 0x23));
    EXPECT_THAT(sentNumber(tag, VT_R4, 1.23), ElementsAre(0x01, 0x23));
    EXPECT_THAT(sentNumber(tag, VT_R4, 9.996), ElementsAre(0x11, 0x00));
    EXPECT_THAT(sentNumber(tag, VT_R4, 99.96), ElementsAre(0x21, 0x00));
    EXPECT_THAT(sentNumber(tag, VT_R4, 999.6), ElementsAre(0x31, 0x00));
    EXPECT_THAT(sentNumber(tag, VT_R4, 9990.0), ElementsAre(0x39, 0x99));
    EXPECT_THAT(sentNumber(tag, VT_R4, 0.0), ElementsAre(0x00, 0x00));
    EXPECT_EQ(sentNumber(tag, VT_R4, 9995.0), kNothing);
    EXPECT_EQ(sentNumber(tag, VT_R4, 10000.0), kNothing);
    EXPECT_EQ(sentNumber(tag, VT_R4, -0.5), kNothing);
    EXPECT_EQ(sentNumber(tag, VT_R4, std::nan("")), kNothing);
}

TEST_F(Encoding, StringsArePaddedOrCutAndSentInOem) {
    const TagDescriptor tag = MakeTag(DtypeCode::String, 0, 6);
    EXPECT_THAT(sentText(tag, u"abc"), ElementsAre('a', 'b', 'c', ' ', ' ', ' '));
    EXPECT_THAT(sentText(tag, u"abcdefgh"), ElementsAre('a', 'b', 'c', 'd', 'e', 'f'));
    EXPECT_THAT(sentText(tag, u"\u00FC\u00C4"), ElementsAre(0x81, 0x8E, ' ', ' ', ' ', ' '));
    HostValue empty(VT_BSTR);
    empty.v.value.bstrVal = nullptr;
    EXPECT_THAT(sent(tag, empty.v), ElementsAre(' ', ' ', ' ', ' ', ' ', ' '));

    // Characters without a form in the device's code page (the euro sign is in ANSI but not
    // in code page 850, a CJK character in neither) go out as "?", told once per tag.
    RecordingNotifier notifier;
    SetNotifier(&notifier);
    TagDescriptor named = MakeTag(DtypeCode::String, 0, 6);
    named.name = "ADR05.Label";
    EXPECT_THAT(sentText(named, u"a\u20AC\u6F22"), ElementsAre('a', '?', '?', ' ', ' ', ' '));
    EXPECT_THAT(sentText(named, u"\u20AC"), ElementsAre('?', ' ', ' ', ' ', ' ', ' '));
    EXPECT_THAT(sentText(named, u"a?"), ElementsAre('a', '?', ' ', ' ', ' ', ' '));
    SetNotifier(nullptr);
    ASSERT_EQ(notifier.messages.size(), 1u);
    EXPECT_NE(notifier.messages[0].find("ADR05.Label: the text written holds characters"),
              std::string::npos)
        << notifier.messages[0];
}

TEST_F(Encoding, HexAndBinTexts) {
    EXPECT_THAT(sentText(MakeTag(DtypeCode::Hex, 0, 2), u"AB 12"), ElementsAre(0x12, 0xAB));
    EXPECT_THAT(sentText(MakeTag(DtypeCode::Hex, 0, 2, 1.0f), u"AB 12"), ElementsAre(0xAB, 0x12));
    EXPECT_THAT(sentText(MakeTag(DtypeCode::Hex, 0, 2, 1.0f), u" a b1 2 "),
                ElementsAre(0xAB, 0x12));
    EXPECT_EQ(sentText(MakeTag(DtypeCode::Hex, 0, 2), u"ABC"), kNothing);
    EXPECT_EQ(sentText(MakeTag(DtypeCode::Hex, 0, 2), u"ABCG"), kNothing);
    EXPECT_EQ(sentText(MakeTag(DtypeCode::Hex, 0, 2), u""), kNothing);
    EXPECT_THAT(sentText(MakeTag(DtypeCode::Bin, 0, 2), u"00000001 10000000"),
                ElementsAre(0x80, 0x01));
    EXPECT_THAT(sentText(MakeTag(DtypeCode::Bin, 0, 2, 1.0f), u"00000001 10000000"),
                ElementsAre(0x01, 0x80));
    EXPECT_EQ(sentText(MakeTag(DtypeCode::Bin, 0, 1), u"0000001"), kNothing);
    EXPECT_EQ(sentText(MakeTag(DtypeCode::Bin, 0, 1), u"00000012"), kNothing);
}

TEST_F(Encoding, TypesWithoutAnEncodingSendNothing) {
    for (DtypeCode dtype :
         {DtypeCode::Bool, DtypeCode::Timeout, DtypeCode::DeviceId, DtypeCode::Unknown}) {
        EXPECT_EQ(sentNumber(MakeTag(dtype, 0, 2), VT_I2, 1), kNothing) << static_cast<int>(dtype);
    }
    TagDescriptor far = MakeTag(DtypeCode::Int, 0, 2);
    far.writeoffset = 300;  // not a one-byte data address
    EXPECT_EQ(sentNumber(far, VT_I2, 1), kNothing);
    TagDescriptor empty = MakeTag(DtypeCode::Int, 0, 0);
    EXPECT_EQ(sentNumber(empty, VT_I2, 1), kNothing);
}

TEST_F(Encoding, WriteScalingTurnsTheEngineeringValueIntoTheRawValue) {
    TagDescriptor tag = MakeTag(DtypeCode::Int, 0, 2);
    Scale(tag, 0.0, 200.0, 1.0);
    HostValue value(VT_R4);
    value.v.value.fltVal = 100.0f;
    EXPECT_THAT(sent(tag, value.v), ElementsAre(0x00, 0x32));
    // The host's value stays as it was sent: the scaling works on a copy.
    EXPECT_EQ(value.v.vt, VT_R4);
    EXPECT_EQ(value.v.value.fltVal, 100.0f);

    TagDescriptor wide = MakeTag(DtypeCode::Ulong, 0, 4);
    Scale(wide, 10.0, 10.0, 1.0);  // span 0 would send 0 for anything
    EXPECT_EQ(sentNumber(wide, VT_R4, 55.0), kNothing);

    TagDescriptor real = MakeTag(DtypeCode::Float, 0, 4, 1.0f);
    Scale(real, 20.0, 100.0, 2.0);
    HostValue r(VT_R4);
    r.v.value.fltVal = 28.0f;  // (28 - 20) / 80 * 100 / 2 = 5
    EXPECT_THAT(sent(real, r.v), ElementsAre(0x00, 0x00, 0xA0, 0x40));
}

TEST_F(Encoding, UnlockFrameOnlyWhenThePasswordStateDiffers) {
    PasswordEntry& password = state->members[kMember].password;
    password.readoffset = 100;
    password.length = 4;
    password.flag = 1;
    const TagDescriptor tag = MakeTag(DtypeCode::Int, 0, 2);
    HostValue value(VT_I2);
    value.v.value.iVal = 7;

    auto frames = write(tag, value.v);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].dataAddress, 2);
    EXPECT_THAT(frames[0].data, ElementsAreArray(kWriteUnlockCode));
    EXPECT_EQ(frames[1].dataAddress, tag.writeoffset);
    EXPECT_THAT(frames[1].data, ElementsAre(0x00, 0x07));

    // The image shows the code (cut at the first zero): only the value frame.
    std::copy(kWriteUnlockCode.begin(), kWriteUnlockCode.end(),
              state->image[kMember].begin() + 100);
    frames = write(tag, value.v);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].dataAddress, tag.writeoffset);

    // A type without an encoding still gets the member unlocked, and nothing else.
    state->image[kMember][101] = 0;
    frames = write(MakeTag(DtypeCode::Bool, 0, 1), value.v);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].dataAddress, 2);

    // Without the password flag no unlock is ever sent.
    password.flag = 0;
    frames = write(tag, value.v);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].dataAddress, tag.writeoffset);
}

TEST_F(Encoding, WriteWithoutAPollingThreadReachesTheMemberOrNothing) {
    // No polling thread has ever run: the port lock still exists.
    EXPECT_THAT(sentNumber(MakeTag(DtypeCode::Int, 0, 2), VT_I2, 258), ElementsAre(0x01, 0x02));
    EXPECT_THAT(sim.readMemory(kMember, 40, 2), ElementsAre(0x01, 0x02));
    // A port that cannot be opened: the write is lost quietly.
    state->bus.setPortName("/nonexistent/tty");
    HostValue value(VT_I2);
    value.v.value.iVal = 1;
    EncodeAndWriteTagValue(*state, MakeTag(DtypeCode::Int, 0, 2), value.v);
    EXPECT_EQ(sim.readMemory(kMember, 40, 2), (std::vector<std::uint8_t>{0x01, 0x02}));
}

namespace {

struct WriteCase {
    const char* tag;  // which tag of the table below
    VARTYPE type;
    double number;                    // for numeric VARIANTs
    const char16_t* text = nullptr;   // for texts
    std::vector<std::uint8_t> bytes;  // what goes on the bus; empty: nothing
    // What the host is told; 0: acknowledged when bytes go out, out of range when not.
    std::uint16_t outcome = 0;
};

VARIANT MakeValue(const WriteCase& c) {
    VARIANT v;
    VariantInit(&v);
    v.vt = c.type;
    switch (c.type) {
        case VT_UI1:
            v.value.bVal = static_cast<std::uint8_t>(c.number);
            break;
        case VT_I2:
            v.value.iVal = static_cast<std::int16_t>(c.number);
            break;
        case VT_UI2:
            v.value.uiVal = static_cast<std::uint16_t>(c.number);
            break;
        case VT_I4:
            v.value.lVal = static_cast<std::int32_t>(c.number);
            break;
        case VT_UI4:
            v.value.ulVal = static_cast<std::uint32_t>(c.number);
            break;
        case VT_R4:
            v.value.fltVal = static_cast<float>(c.number);
            break;
        case VT_R8:
            v.value.dblVal = c.number;
            break;
        case VT_BSTR: {
            const std::u16string text(c.text);
            v.value.bstrVal = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                                static_cast<std::uint32_t>(text.size()));
            break;
        }
        default:
            break;
    }
    return v;
}

}  // namespace

// Every dtype with values just inside, at and just outside its range: what fits is sent as
// before, anything else puts no frame at all on the bus and is told once per tag and value.
TEST_F(Encoding, ValuesThatDoNotFitTheTagAreNotSentAndAreToldOnce) {
    polled();
    state->image[kMember][60] = 10;  // divisor byte of FloatDiv
    std::map<std::string, TagDescriptor> tags;
    auto add = [&](const std::string& name, TagDescriptor tag) {
        tag.name = "ADR05." + name;
        tags.emplace(name, std::move(tag));
    };
    add("Char", MakeTag(DtypeCode::Char, 0, 1));
    add("Int", MakeTag(DtypeCode::Int, 0, 2));
    add("IntOfOne", MakeTag(DtypeCode::Int, 0, 1));
    add("Uint", MakeTag(DtypeCode::Uint, 0, 2));
    add("Password", MakeTag(DtypeCode::Password, 0, 2));
    add("Long", MakeTag(DtypeCode::Long, 0, 4));
    add("LongOfThree", MakeTag(DtypeCode::Long, 0, 3));
    add("Ulong", MakeTag(DtypeCode::Ulong, 0, 4));
    add("Float2Bytes", MakeTag(DtypeCode::Float, 0, 2, 1.0f));
    add("FloatTenth", MakeTag(DtypeCode::Float, 0, 2, 0.1f));
    TagDescriptor div = MakeTag(DtypeCode::Float, 0, 2);
    div.divoffset = 60;
    add("FloatDiv", std::move(div));
    add("Float4", MakeTag(DtypeCode::Float, 0, 4, 0.5f));
    add("Float2", MakeTag(DtypeCode::Float2, 0, 4, 1.0f));
    add("Float2OfTwo", MakeTag(DtypeCode::Float2, 0, 2, 1.0f));
    add("S5Time", MakeTag(DtypeCode::S5Time, 0, 2));
    add("Hex", MakeTag(DtypeCode::Hex, 0, 2, 1.0f));
    add("Bin", MakeTag(DtypeCode::Bin, 0, 1));
    TagDescriptor scaledInt = MakeTag(DtypeCode::Int, 0, 2);
    Scale(scaledInt, 0.0, 1000.0, 1.0);  // raw = value / 10
    add("ScaledInt", std::move(scaledInt));
    TagDescriptor scaledUint = MakeTag(DtypeCode::Uint, 0, 2);
    Scale(scaledUint, 0.0, 100.0, 1.0);
    add("ScaledUint", std::move(scaledUint));
    TagDescriptor scaledLong = MakeTag(DtypeCode::Long, 0, 4);
    Scale(scaledLong, 0.0, 100.0, 1.0);
    add("ScaledLong", std::move(scaledLong));
    TagDescriptor scaledUlong = MakeTag(DtypeCode::Ulong, 0, 4);
    Scale(scaledUlong, 0.0, 100.0, 1.0);
    add("ScaledUlong", std::move(scaledUlong));
    TagDescriptor scaledFloat = MakeTag(DtypeCode::Float, 0, 2, 1.0f);
    Scale(scaledFloat, 0.0, 100.0, 1.0);
    add("ScaledFloat", std::move(scaledFloat));
    TagDescriptor hugeFactor = MakeTag(DtypeCode::Int, 0, 2);
    Scale(hugeFactor, 0.0, 100.0, 1e300);  // infinite as a float: every raw value 0
    add("ScaledHugeFactor", std::move(hugeFactor));
    TagDescriptor denormal = MakeTag(DtypeCode::Int, 0, 2);
    Scale(denormal, 0.0, 100.0, 1e-42);  // denormal as a float: values lose their precision
    add("ScaledDenormalFactor", std::move(denormal));
    TagDescriptor denormalStart = MakeTag(DtypeCode::Int, 0, 2);
    Scale(denormalStart, 1e-40, 100.0, 1.0);
    add("ScaledDenormalStart", std::move(denormalStart));
    add("FloatDenormalFactor", MakeTag(DtypeCode::Float, 0, 2, 1e-42f));
    add("String", MakeTag(DtypeCode::String, 0, 6));
    add("Bool", MakeTag(DtypeCode::Bool, 0, 1));
    add("Timeout", MakeTag(DtypeCode::Timeout, 0, 2));

    using B = std::vector<std::uint8_t>;
    const double nan = std::nan("");
    const WriteCase cases[] = {
        {"Char", VT_UI1, 0, nullptr, B{0x00}},
        {"Char", VT_UI1, 255, nullptr, B{0xFF}},
        {"Char", VT_R8, 255.49, nullptr, B{0xFF}},
        {"Char", VT_R8, 255.5, nullptr, {}},
        {"Char", VT_I2, 256, nullptr, {}},
        {"Char", VT_R8, -0.5, nullptr, {}},
        {"Int", VT_I2, 32767, nullptr, B{0x7F, 0xFF}},
        {"Int", VT_I2, -32768, nullptr, B{0x80, 0x00}},
        {"Int", VT_R8, 32767.49, nullptr, B{0x7F, 0xFF}},
        {"Int", VT_R8, 32767.5, nullptr, {}},
        {"Int", VT_I4, 40000, nullptr, {}},
        {"Int", VT_R8, -32768.5, nullptr, {}},
        {"Int", VT_R8, nan, nullptr, {}},
        {"IntOfOne", VT_I2, 5, nullptr, {}, SOXPS_WRITE_NOT_WRITABLE},
        {"IntOfOne", VT_I2, 255, nullptr, {}, SOXPS_WRITE_NOT_WRITABLE},
        {"Uint", VT_UI2, 0, nullptr, B{0x00, 0x00}},
        {"Uint", VT_UI2, 65535, nullptr, B{0xFF, 0xFF}},
        {"Uint", VT_I4, 65536, nullptr, {}},
        {"Uint", VT_I2, -1, nullptr, {}},
        {"Password", VT_I2, -1, nullptr, B{0xFF, 0xFF}},
        {"Password", VT_I4, 65535, nullptr, B{0xFF, 0xFF}},
        {"Password", VT_I4, 65536, nullptr, {}},
        {"Password", VT_I4, -32769, nullptr, {}},
        {"Long", VT_I4, 2147483647, nullptr, B{0x7F, 0xFF, 0xFF, 0xFF}},
        {"Long", VT_I4, -2147483648.0, nullptr, B{0x80, 0x00, 0x00, 0x00}},
        {"Long", VT_R8, 2147483648.0, nullptr, {}},
        {"Long", VT_R8, -2147483649.0, nullptr, {}},
        {"LongOfThree", VT_I4, 1, nullptr, {}, SOXPS_WRITE_NOT_WRITABLE},
        {"Ulong", VT_UI4, 4294967295.0, nullptr, B{0xFF, 0xFF, 0xFF, 0xFF}},
        {"Ulong", VT_UI4, 0, nullptr, B{0x00, 0x00, 0x00, 0x00}},
        {"Ulong", VT_R8, 4294967296.0, nullptr, {}},
        {"Ulong", VT_I4, -1, nullptr, {}},
        {"Float2Bytes", VT_R4, 32767, nullptr, B{0x7F, 0xFF}},
        {"Float2Bytes", VT_R4, -32768, nullptr, B{0x80, 0x00}},
        {"Float2Bytes", VT_R4, 32767.5, nullptr, {}},
        {"Float2Bytes", VT_R4, -32768.5, nullptr, {}},
        {"Float2Bytes", VT_R4, 40000, nullptr, {}},
        {"FloatTenth", VT_R4, 3276.7, nullptr, B{0x7F, 0xFF}},
        {"FloatTenth", VT_R4, 3276.8, nullptr, {}},
        {"FloatDiv", VT_R4, 3276.7, nullptr, B{0x7F, 0xFF}},
        {"FloatDiv", VT_R4, -3276.9, nullptr, {}},
        {"Float4", VT_R4, 1.5e38, nullptr, B{0xE6, 0xB1, 0x61, 0x7F}},  // 3e38 as a float
        {"Float4", VT_R4, 3e38, nullptr, {}},                           // twice that is no float
        {"Float4", VT_R8, 1e39, nullptr, {}},
        {"Float4", VT_R4, nan, nullptr, {}},
        {"Float2", VT_R8, 3.4028234663852886e38, nullptr, B{0x7F, 0x7F, 0xFF, 0xFF}},
        {"Float2", VT_R8, 3.5e38, nullptr, {}},
        {"Float2OfTwo", VT_R4, 1, nullptr, {}, SOXPS_WRITE_NOT_WRITABLE},
        {"S5Time", VT_R4, 0, nullptr, B{0x00, 0x00}},
        {"S5Time", VT_R4, 9990, nullptr, B{0x39, 0x99}},
        {"S5Time", VT_R4, 9990.5, nullptr, {}},
        {"S5Time", VT_R4, -0.001, nullptr, {}},
        {"Hex", VT_BSTR, 0, u"AB CD", B{0xAB, 0xCD}},
        {"Hex", VT_BSTR, 0, u"ABC", {}, SOXPS_WRITE_TYPE_MISMATCH},
        {"Hex", VT_BSTR, 0, u"ABCDE", {}, SOXPS_WRITE_TYPE_MISMATCH},
        {"Hex", VT_BSTR, 0, u"ABCG", {}, SOXPS_WRITE_TYPE_MISMATCH},
        {"Bin", VT_BSTR, 0, u"1000 0001", B{0x81}},
        {"Bin", VT_BSTR, 0, u"0000001", {}, SOXPS_WRITE_TYPE_MISMATCH},
        {"Bin", VT_BSTR, 0, u"000000011", {}, SOXPS_WRITE_TYPE_MISMATCH},
        {"Bin", VT_BSTR, 0, u"00000002", {}, SOXPS_WRITE_TYPE_MISMATCH},
        {"ScaledInt", VT_R4, 327670, nullptr, B{0x7F, 0xFF}},
        {"ScaledInt", VT_R4, -327680, nullptr, B{0x80, 0x00}},
        {"ScaledInt", VT_R4, 327675, nullptr, {}},
        {"ScaledInt", VT_R4, -327690, nullptr, {}},
        {"ScaledUint", VT_R4, 65535, nullptr, B{0xFF, 0xFF}},
        {"ScaledUint", VT_R4, 65536, nullptr, {}},
        {"ScaledUint", VT_R4, -1, nullptr, {}},
        {"ScaledLong", VT_R4, 2147483520.0, nullptr, B{0x7F, 0xFF, 0xFF, 0x80}},
        {"ScaledLong", VT_R4, 2147483648.0, nullptr, {}},
        {"ScaledUlong", VT_R4, 4294967040.0, nullptr, B{0xFF, 0xFF, 0xFF, 0x00}},
        {"ScaledUlong", VT_R4, 4294967296.0, nullptr, {}},
        {"ScaledUlong", VT_R4, -1, nullptr, {}},
        {"ScaledFloat", VT_R4, 32767, nullptr, B{0x7F, 0xFF}},
        {"ScaledFloat", VT_R4, 32768, nullptr, {}},
        {"ScaledHugeFactor", VT_R4, 5, nullptr, {}, SOXPS_WRITE_NOT_WRITABLE},
        {"ScaledDenormalFactor", VT_R4, 10000, nullptr, {}, SOXPS_WRITE_NOT_WRITABLE},
        {"ScaledDenormalStart", VT_R4, 50, nullptr, {}, SOXPS_WRITE_NOT_WRITABLE},
        {"FloatDenormalFactor", VT_R4, 1e-38, nullptr, {}, SOXPS_WRITE_NOT_WRITABLE},
        // Numbers in texts are decimal only; hexadecimal, "inf" and "nan" are no numbers.
        {"Int", VT_BSTR, 0, u" 16 ", B{0x00, 0x10}},
        {"Int", VT_BSTR, 0, u"-1.5e1", B{0xFF, 0xF1}},
        {"Int", VT_BSTR, 0, u"0x10", {}, SOXPS_WRITE_TYPE_MISMATCH},
        {"Int", VT_BSTR, 0, u"inf", {}, SOXPS_WRITE_TYPE_MISMATCH},
        {"Int", VT_BSTR, 0, u"1e99999", {}},
        {"Int", VT_BSTR, 0, u"1e-99999", B{0x00, 0x00}},
        {"Int", VT_BSTR, 0, u"", {}, SOXPS_WRITE_TYPE_MISMATCH},
        {"Char", VT_BSTR, 0, u"12,5", {}, SOXPS_WRITE_TYPE_MISMATCH},
        // A number written to a text tag is sent as its decimal text, never as blanks.
        {"String", VT_I2, 123, nullptr, B{'1', '2', '3', ' ', ' ', ' '}},
        {"String", VT_R8, 1.5, nullptr, B{'1', '.', '5', ' ', ' ', ' '}},
        {"String", VT_R4, -0.25, nullptr, B{'-', '0', '.', '2', '5', ' '}},
        {"String", VT_BSTR, 0, u"", B{' ', ' ', ' ', ' ', ' ', ' '}},
        {"String", VT_R8, nan, nullptr, {}},
        {"String", VT_BOOL, 0, nullptr, {}, SOXPS_WRITE_TYPE_MISMATCH},
        // Types without an encoding are not writable.
        {"Bool", VT_BOOL, 1, nullptr, {}, SOXPS_WRITE_NOT_WRITABLE},
        {"Timeout", VT_I2, 3, nullptr, {}, SOXPS_WRITE_NOT_WRITABLE},
        // Malformed texts and tags without an encoding for their length.
        {"Hex", VT_BSTR, 0, u"ZZZZ", {}, SOXPS_WRITE_TYPE_MISMATCH},
        {"Bin", VT_BSTR, 0, u"0000 000x", {}, SOXPS_WRITE_TYPE_MISMATCH},
    };

    RecordingNotifier notifier;
    SetNotifier(&notifier);
    std::size_t refusals = 0;
    for (const WriteCase& c : cases) {
        const TagDescriptor& tag = tags.at(c.tag);
        VARIANT value = MakeValue(c);
        const std::string valueText = VariantValueText(value);
        SCOPED_TRACE(std::string(c.tag) + " = " + valueText);
        const auto frames = write(tag, value);
        const std::uint16_t told = c.outcome != 0    ? c.outcome
                                   : c.bytes.empty() ? std::uint16_t{SOXPS_WRITE_OUT_OF_RANGE}
                                                     : std::uint16_t{SOXPS_WRITE_ACKNOWLEDGED};
        EXPECT_EQ(outcome, told);
        // Types without an encoding send nothing and say nothing: the tag is read-only.
        if (c.bytes.empty() && tag.dtype != DtypeCode::Bool && tag.dtype != DtypeCode::Timeout) {
            EXPECT_TRUE(frames.empty()) << HexText(frames.empty() ? B{} : frames[0].data);
            ++refusals;
            std::lock_guard lock(notifier.mutex);
            ASSERT_EQ(notifier.messages.size(), refusals);
            const std::string& message = notifier.messages.back();
            EXPECT_EQ(message.rfind(std::string(kWriteErrorCaption) + "|" + tag.name + ": value " +
                                        valueText + " not sent: ",
                                    0),
                      0u)
                << message;
        } else if (c.bytes.empty()) {
            EXPECT_TRUE(frames.empty());
        } else {
            ASSERT_EQ(frames.size(), 1u);
            EXPECT_EQ(frames[0].data, c.bytes) << HexText(frames[0].data);
        }
        // The same value again is refused again, but told no more.
        VARIANT again = MakeValue(c);
        EXPECT_EQ(write(tag, again).size(), c.bytes.empty() ? 0u : 1u);
        VariantClear(&value);
        VariantClear(&again);
    }
    // A NUL inside a text would end it early on the device.
    HostValue nul;
    nul.setText(std::u16string(u"AB\0CD", 5));
    EXPECT_TRUE(write(tags.at("String"), nul.v).empty());
    EXPECT_EQ(outcome, SOXPS_WRITE_OUT_OF_RANGE);
    SetNotifier(nullptr);
    EXPECT_EQ(notifier.messages.size(), refusals + 1);
}

// A divisor byte is taken only from the member's current data: never before its first
// accepted poll, nor while its polls fail (bad quality) or another device answers in its
// place; and only up to 127, as reads take the byte signed.
TEST_F(Encoding, DivisorFromTheImageWaitsForAnAcceptedPoll) {
    TagDescriptor tag = MakeTag(DtypeCode::Float, 0, 2);
    tag.name = "ADR05.T.FloatL2div";
    tag.divoffset = 60;
    MemberRecord& member = state->members[kMember];
    state->image[kMember][60] = 10;  // bytes that no poll has brought
    member.fetchLength[0] = 100;
    member.errorCounter = 0;
    RecordingNotifier notifier;
    SetNotifier(&notifier);
    const std::string prefix =
        std::string(kWriteErrorCaption) + "|ADR05.T.FloatL2div: value 2.5 not sent: ";
    const std::string one =
        std::string(kWriteErrorCaption) + "|ADR05.T.FloatL2div: value 1 not sent: ";
    EXPECT_EQ(sentNumber(tag, VT_R4, 2.5), kNothing);
    EXPECT_EQ(outcome, SOXPS_WRITE_NO_COMMUNICATION);
    member.imageFromPoll = true;
    EXPECT_THAT(sentNumber(tag, VT_R4, 2.5), ElementsAre(0x00, 0x19));
    EXPECT_EQ(outcome, SOXPS_WRITE_ACKNOWLEDGED);
    member.identityRejected = true;  // another device answers there now
    EXPECT_EQ(sentNumber(tag, VT_R4, 2.5), kNothing);
    EXPECT_EQ(outcome, SOXPS_WRITE_NO_COMMUNICATION);
    member.identityRejected = false;
    member.errorCounter = kBadErrorCount;
    EXPECT_EQ(sentNumber(tag, VT_R4, 2.5), kNothing);
    member.errorCounter = 9;  // still good quality: the last accepted data serves
    EXPECT_THAT(sentNumber(tag, VT_R4, 2.5), ElementsAre(0x00, 0x19));
    for (const std::uint8_t divisor : {127, 128, 255}) {
        state->image[kMember][60] = divisor;
        const auto bytes = sentNumber(tag, VT_R4, 1.0);
        if (divisor == 127) {
            EXPECT_THAT(bytes, ElementsAre(0x00, 0x7F));
        } else {
            EXPECT_EQ(bytes, kNothing) << +divisor;
            EXPECT_EQ(outcome, SOXPS_WRITE_NOT_WRITABLE);
        }
    }
    tag.divoffset = 100;  // beyond the joined fetch data: never read
    EXPECT_EQ(sentNumber(tag, VT_R4, 2.5), kNothing);
    SetNotifier(nullptr);
    EXPECT_THAT(
        notifier.messages,
        ElementsAre(
            prefix + "its divisor byte (divoffset 60) has not been read from the member yet",
            prefix + "its divisor byte (divoffset 60) is not from the member's current data "
                     "(its polls fail or another device answers)",
            one + "its divisor byte (divoffset 60) is 128, above 127: reads take it as -128, "
                  "so the value would not read back as written",
            one + "its divisor byte (divoffset 60) is 255, above 127: reads take it as -1, so "
                  "the value would not read back as written",
            prefix + "its divisor byte (divoffset 100) lies outside the member's polled data"));
}

TEST_F(Encoding, LostWritesOfAHeldPortAreToldOncePerStretchNamingThePort) {
    RecordingNotifier notifier;
    SetNotifier(&notifier);
    TagDescriptor tag = MakeTag(DtypeCode::Int, 0, 2);
    tag.name = "ADR05.Setpoint";
    int error = 0;
    auto other = kvx::platform::SerialDevice::open(sim.devicePath(), error);  // a second master
    ASSERT_NE(other, nullptr);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(sentNumber(tag, VT_I2, i), kNothing);
    other->close();
    EXPECT_THAT(sentNumber(tag, VT_I2, 7), ElementsAre(0x00, 0x07));
    other = kvx::platform::SerialDevice::open(sim.devicePath(), error);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(sentNumber(tag, VT_I2, 8), kNothing);
    other->close();
    SetNotifier(nullptr);
    ASSERT_EQ(notifier.messages.size(), 2u);  // one per stretch
    for (const std::string& message : notifier.messages) {
        EXPECT_EQ(message.rfind(std::string(kWriteErrorCaption) + "|writes are not sent", 0), 0u);
        EXPECT_NE(message.find(sim.devicePath()), std::string::npos) << message;
    }
}
