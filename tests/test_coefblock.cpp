// The coefficient block: device float, packed date, slot replies, block checksum and the builds from
// the two coefficient windows' texts.

#include <gtest/gtest.h>

#include <array>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "coef/CoefBlock.h"
#include "coef/Crc.h"
#include "coef/Errors.h"
#include "coef/ValueText.h"

namespace {

TSlotBytes Bytes(std::uint8_t d0, std::uint8_t d1, std::uint8_t d2, std::uint8_t d3) {
    return {d0, d1, d2, d3};
}

TSlotBytes SlotOf(const TCoefImageBytes& image, int k) {
    const auto at = static_cast<std::size_t>(4 * k);
    return {image[at], image[at + 1], image[at + 2], image[at + 3]};
}

TLocalTime July3rd2012() {
    TLocalTime t;
    t.Year = 2012;
    t.Month = 7;
    t.Day = 3;
    t.Hour = 14;
    t.Minute = 5;
    t.Second = 10;
    return t;
}

TEST(DeviceFloatTest, EncodesKnownValuesBitExactly) {
    EXPECT_EQ(EncodeDeviceFloat(0.0), Bytes(0x00, 0x00, 0x00, 0x00));
    EXPECT_EQ(EncodeDeviceFloat(20.0), Bytes(0x00, 0x00, 0x41, 0xA0));
    EXPECT_EQ(EncodeDeviceFloat(4.0), Bytes(0x00, 0x00, 0x40, 0x80));
    EXPECT_EQ(EncodeDeviceFloat(-1.5), Bytes(0x00, 0x00, 0xBF, 0xC0));
    EXPECT_EQ(EncodeDeviceFloat(100.0), Bytes(0x00, 0x00, 0x42, 0xC8));
    EXPECT_EQ(EncodeDeviceFloat(112.5), Bytes(0x00, 0x00, 0x42, 0xE1));
    EXPECT_EQ(EncodeDeviceFloat(0.1), Bytes(0xCC, 0xCC, 0x3D, 0xCC)); // single 3DCCCCCD, bit 0 cleared
    EXPECT_EQ(EncodeDeviceFloat(-0.0), Bytes(0x00, 0x00, 0x80, 0x00));
    EXPECT_EQ(EncodeDeviceFloat(1e-40), Bytes(0x16, 0xC2, 0x00, 0x01)); // a subnormal single 000116C2
    EXPECT_EQ(EncodeDeviceFloat(1e-50), Bytes(0x00, 0x00, 0x00, 0x00));
    EXPECT_EQ(EncodeDeviceFloat(FLT_MAX), Bytes(0xFF, 0xFE, 0x7F, 0x7F));
    // Rounds to FLT_MAX: still a single.
    EXPECT_EQ(EncodeDeviceFloat(-(static_cast<double>(FLT_MAX) + 0x1p102)), Bytes(0xFF, 0xFE, 0xFF, 0x7F));
}

TEST(DeviceFloatTest, DecodesKnownBytes) {
    EXPECT_EQ(DecodeDeviceFloat(Bytes(0, 0, 0, 0)), 0.0);
    EXPECT_EQ(DecodeDeviceFloat(Bytes(0x00, 0x00, 0x41, 0xA0)), 20.0);
    EXPECT_EQ(DecodeDeviceFloat(Bytes(0x00, 0x00, 0x40, 0x80)), 4.0);
    EXPECT_EQ(DecodeDeviceFloat(Bytes(0x00, 0x00, 0xBF, 0xC0)), -1.5);
    EXPECT_EQ(DecodeDeviceFloat(Bytes(0xCC, 0xCC, 0x3D, 0xCC)), 0x1.999998p-4); // 0.099999994...
    EXPECT_EQ(ValueText(DecodeDeviceFloat(Bytes(0xCC, 0xCC, 0x3D, 0xCC)), 4), "0.1000");
    // Exponent 0 is not zero and not subnormal; exponent 255 is a finite value.
    EXPECT_EQ(DecodeDeviceFloat(Bytes(0x00, 0x00, 0x80, 0x00)), -0x1p-127);
    EXPECT_EQ(DecodeDeviceFloat(Bytes(0x01, 0x00, 0x00, 0x00)), 0x800100p-150);
    EXPECT_EQ(DecodeDeviceFloat(Bytes(0xFF, 0xFF, 0x7F, 0xFF)), (2.0 - 0x1p-23) * 0x1p128);
    EXPECT_EQ(DecodeDeviceFloat(Bytes(0xFF, 0xFF, 0xFF, 0xFF)), -(2.0 - 0x1p-23) * 0x1p128);
    EXPECT_EQ(DecodeDeviceFloat(Bytes(0x00, 0x00, 0x7F, 0x80)), 0x1p128);
}

TEST(DeviceFloatTest, RandomSinglesSurviveEncodeAndDecode) {
    std::mt19937 rng(4711);
    std::uniform_int_distribution<std::uint32_t> bits;
    for (int i = 0; i < 200000; ++i) {
        const std::uint32_t pattern = bits(rng);
        const std::uint32_t exponent = (pattern >> 23) & 0xFF;
        if (exponent == 0 || exponent == 255) {
            continue; // not a normal single; see DecodesKnownBytes
        }
        const TSlotBytes slot =
            Bytes(static_cast<std::uint8_t>(pattern >> 8), static_cast<std::uint8_t>(pattern),
                  static_cast<std::uint8_t>(pattern >> 24), static_cast<std::uint8_t>(pattern >> 16));
        float single = 0;
        std::memcpy(&single, &pattern, sizeof single);
        const double decoded = DecodeDeviceFloat(slot);
        ASSERT_EQ(decoded, static_cast<double>(single)) << std::hex << pattern;
        TSlotBytes written = slot;
        written[1] &= 0xFE;
        ASSERT_EQ(EncodeDeviceFloat(decoded), written) << std::hex << pattern;
    }
}

TEST(DeviceFloatTest, OverflowsBeyondTheSingleRange) {
    for (double x : {1e39, -1e39, static_cast<double>(FLT_MAX) + 0x1p103, 1e300, HUGE_VAL, -HUGE_VAL,
                     static_cast<double>(NAN)}) {
        try {
            EncodeDeviceFloat(x);
            ADD_FAILURE() << x << " encoded";
        } catch (const EOverflow& e) {
            EXPECT_STREQ(e.what(), "Floating point overflow");
        }
    }
}

TEST(PackedDateTest, PacksLocalTimeTheMsDosWay) {
    EXPECT_EQ(PackDateTime(July3rd2012()), 0x40E370A5u);
    TLocalTime t;
    EXPECT_EQ(PackDateTime(t), 0x00210000u); // 1 January 1980, midnight
    t.Year = 2107;
    t.Month = 12;
    t.Day = 31;
    t.Hour = 23;
    t.Minute = 59;
    t.Second = 59;
    EXPECT_EQ(FileDateText(PackDateTime(t)), "23:59  31.12.2107");
    EXPECT_EQ(PackDateTime(t) & 0x1F, 29u);
    t.Year = 2108;
    EXPECT_EQ(PackDateTime(t), 0u);
    t.Year = 1979;
    EXPECT_EQ(PackDateTime(t), 0u);
}

TEST(FrameChecksumTest, AppendsLowByteFirstAndRecognisesOnlyAnUntouchedFrame) {
    // The read of slot 1 and the address write, as the adapter receives them.
    std::vector<std::uint8_t> read{0x00, 0x03, 0x01, 0x01, 0x00, 0x02};
    AppendModbusCrc(read);
    EXPECT_EQ(read, (std::vector<std::uint8_t>{0x00, 0x03, 0x01, 0x01, 0x00, 0x02, 0x95, 0xE6}));
    std::string write("\x00\x06\x01\x77\x00\x05", 6);
    AppendModbusCrc(write);
    EXPECT_EQ(write, std::string("\x00\x06\x01\x77\x00\x05\xF9\xFE", 8));
    EXPECT_TRUE(ModbusCrcMatches(read.data(), read.size()));
    EXPECT_TRUE(ModbusCrcMatches(write));

    // Any one byte altered, the checksum's own included, and the two checksum bytes swapped.
    for (std::size_t i = 0; i < read.size(); ++i) {
        std::vector<std::uint8_t> spoilt = read;
        spoilt[i] ^= 0x01;
        EXPECT_FALSE(ModbusCrcMatches(spoilt.data(), spoilt.size())) << i;
        std::string spoiltText = write;
        spoiltText[i] = static_cast<char>(spoiltText[i] ^ 0x80);
        EXPECT_FALSE(ModbusCrcMatches(spoiltText)) << i;
    }
    std::swap(read[6], read[7]);
    EXPECT_FALSE(ModbusCrcMatches(read.data(), read.size()));

    // Fewer than 3 bytes are no frame, even the empty body's checksum FF FF.
    EXPECT_FALSE(ModbusCrcMatches(std::string("\xFF\xFF", 2)));
    EXPECT_FALSE(ModbusCrcMatches(std::string()));
    std::string one("\x01", 1);
    AppendModbusCrc(one);
    EXPECT_TRUE(ModbusCrcMatches(one));
}

TEST(FrameChecksumTest, StoresAndFindsTheChecksumInWideEntries) {
    std::array<std::int32_t, 4> entries{};
    StoreCrc(entries.data() + 1, 0x4B37);
    EXPECT_EQ(entries, (std::array<std::int32_t, 4>{0, 0x37, 0x4B, 0}));
    EXPECT_TRUE(CrcStored(entries.data() + 1, 0x4B37));
    EXPECT_FALSE(CrcStored(entries.data() + 1, 0x374B));
    EXPECT_FALSE(CrcStored(entries.data(), 0x4B37));
}

TEST(CoefBlockTest, StoreSlotReplyKeepsValuesAndFilesBytes) {
    TCoefBlock block;
    block.StoreSlotReply(1, Bytes(0x00, 0x00, 0x41, 0xA0));
    EXPECT_EQ(block.LastValue, 20.0);
    block.StoreSlotReply(13, Bytes(0xFB, 0xFF, 0xFF, 0xFF));
    EXPECT_EQ(block.FactoryNumber, -5);
    block.StoreSlotReply(14, Bytes(0xA5, 0x70, 0xE3, 0x40));
    EXPECT_EQ(block.RecordDateText, "14:5  3.7.2012");
    block.StoreSlotReply(15, Bytes(0x00, 0x2C, 0x00, 0x00));
    EXPECT_EQ(block.LastValue, 20.0); // slots 13, 14 and 15 leave it alone
    block.StoreSlotReply(16, Bytes(0xFF, 0x00, 0x12, 0x34));
    EXPECT_NE(block.LastValue, 20.0);
    EXPECT_EQ(SlotOf(block.ReadImage, 1), Bytes(0x00, 0x00, 0x41, 0xA0));
    EXPECT_EQ(SlotOf(block.ReadImage, 13), Bytes(0xFB, 0xFF, 0xFF, 0xFF));
    EXPECT_EQ(SlotOf(block.ReadImage, 14), Bytes(0xA5, 0x70, 0xE3, 0x40));
    EXPECT_EQ(SlotOf(block.ReadImage, 15), Bytes(0x00, 0x2C, 0x00, 0x00));
    EXPECT_EQ(SlotOf(block.ReadImage, 16), Bytes(0xFF, 0x00, 0x12, 0x34));
    EXPECT_EQ(SlotOf(block.ReadImage, 0), Bytes(0, 0, 0, 0));
    EXPECT_EQ(SlotOf(block.ReadImage, 2), Bytes(0, 0, 0, 0));
    // A slot number outside the block touches nothing.
    const TCoefImageBytes before = block.ReadImage;
    const double lastValue = block.LastValue;
    block.StoreSlotReply(0, Bytes(1, 2, 3, 4));
    block.StoreSlotReply(17, Bytes(1, 2, 3, 4));
    EXPECT_EQ(block.ReadImage, before);
    EXPECT_EQ(block.LastValue, lastValue);
}

TTechTexts GoodTechTexts() {
    TTechTexts texts;
    texts.Values = {"20", "4", " -1.5 ", "0.1", "0", "12.5", "16.0001", "3.9999", "-0", "1E3", "1.5e1", "."};
    texts.ZavodEdit = "123456";
    texts.AdrEdit = "255";
    return texts;
}

TEST(CoefBlockTest, BuildFromTechTurnsTextsIntoTheBlock) {
    TCoefBlock block;
    block.LocalNow = July3rd2012;
    block.CoefImage.fill(0x5A);
    block.ImageError = 1;
    block.SlotTexts[13] = "kept";
    const TTechTexts texts = GoodTechTexts();
    block.BuildImageFromTech(texts);
    EXPECT_EQ(block.ImageError, 0);
    const auto& image = block.CoefImage;
    EXPECT_EQ(SlotOf(image, 0), Bytes(0, 0, 0, 0));
    EXPECT_EQ(SlotOf(image, 1), Bytes(0x00, 0x00, 0x41, 0xA0));
    EXPECT_EQ(SlotOf(image, 2), Bytes(0x00, 0x00, 0x40, 0x80));
    EXPECT_EQ(SlotOf(image, 3), Bytes(0x00, 0x00, 0xBF, 0xC0));
    EXPECT_EQ(SlotOf(image, 4), Bytes(0xCC, 0xCC, 0x3D, 0xCC));
    EXPECT_EQ(SlotOf(image, 5), Bytes(0x00, 0x00, 0x42, 0xC8)); // 0 + 100
    EXPECT_EQ(SlotOf(image, 6), Bytes(0x00, 0x00, 0x42, 0xE1)); // 12.5 + 100
    EXPECT_EQ(SlotOf(image, 7), EncodeDeviceFloat(16.0001));
    EXPECT_EQ(SlotOf(image, 8), EncodeDeviceFloat(3.9999));
    EXPECT_EQ(SlotOf(image, 9), Bytes(0x00, 0x00, 0x80, 0x00)); // -0: not all zero
    EXPECT_EQ(SlotOf(image, 10), EncodeDeviceFloat(1000.0));
    EXPECT_EQ(SlotOf(image, 11), EncodeDeviceFloat(15.0));
    EXPECT_EQ(SlotOf(image, 12), Bytes(0, 0, 0, 0));
    EXPECT_EQ(SlotOf(image, 13), Bytes(0x40, 0xE2, 0x01, 0x00));
    EXPECT_EQ(SlotOf(image, 14), Bytes(0xA5, 0x70, 0xE3, 0x40));
    EXPECT_EQ(SlotOf(image, 15), Bytes(0x00, 0xFF, 0x00, 0x00));
    EXPECT_EQ(image[64], 255);
    EXPECT_EQ(image[65], 0);
    // Slot 16 carries the checksum low byte first: the CRC over bytes 1..67 then leaves no remainder.
    EXPECT_EQ(ModbusCrc16Of(image.data() + 1, 67), 0);
    EXPECT_EQ(BlockChecksum(image), image[66] | (image[67] << 8));
    for (std::size_t k = 1; k <= 12; ++k) {
        EXPECT_EQ(block.SlotTexts[k], texts.Values[k - 1]) << k;
    }
    EXPECT_EQ(block.SlotTexts[13], "kept");
    // The slots read back as the values typed (slots 5 and 6 less the offset).
    TCoefBlock reader;
    for (int k = 1; k <= 16; ++k) {
        reader.StoreSlotReply(k, SlotOf(image, k));
        if (k == 6) {
            EXPECT_EQ(reader.LastValue - 100.0, 12.5);
        }
    }
    EXPECT_EQ(reader.FactoryNumber, 123456);
    EXPECT_EQ(reader.RecordDateText, "14:5  3.7.2012");
    EXPECT_TRUE(reader.VerifyReadImage());
}

TEST(CoefBlockTest, VerifyReadImageCoversBytesOneToSixtySeven) {
    TCoefBlock block;
    block.LocalNow = July3rd2012;
    block.BuildImageFromTech(GoodTechTexts());
    block.ReadImage = block.CoefImage;
    ASSERT_TRUE(block.VerifyReadImage());
    for (std::size_t i = 1; i < block.ReadImage.size(); ++i) {
        for (std::uint8_t flip : {0x01, 0x80}) {
            block.ReadImage[i] ^= flip;
            EXPECT_FALSE(block.VerifyReadImage()) << "byte " << i;
            block.ReadImage[i] ^= flip;
        }
    }
    block.ReadImage[0] = 0xFF;
    EXPECT_TRUE(block.VerifyReadImage());
    // A block never read fails too: its checksum bytes are zero.
    EXPECT_FALSE(TCoefBlock().VerifyReadImage());
}

TEST(CoefBlockTest, BuildStopsOnATextThatIsNotANumber) {
    TCoefBlock block;
    block.LocalNow = July3rd2012;
    TTechTexts texts = GoodTechTexts();
    texts.Values[6] = "1.2.3"; // slot 7
    block.BuildImageFromTech(GoodTechTexts());
    block.BuildImageFromTech(texts);
    EXPECT_EQ(block.ImageError, 1);
    EXPECT_EQ(SlotOf(block.CoefImage, 6), Bytes(0x00, 0x00, 0x42, 0xE1));
    for (std::size_t i = 28; i < block.CoefImage.size(); ++i) {
        EXPECT_EQ(block.CoefImage[i], 0) << "byte " << i;
    }
    EXPECT_EQ(block.SlotTexts[7], "1.2.3");
    EXPECT_EQ(block.SlotTexts[8], "3.9999"); // not reached: keeps the earlier build's text
    // A factory number that is not an integer stops at slot 13; then a sound build clears ImageError.
    for (const char* factory : {"", "12a", "2147483648", "0-5"}) {
        texts = GoodTechTexts();
        texts.ZavodEdit = factory;
        block.BuildImageFromTech(texts);
        EXPECT_EQ(block.ImageError, 1) << factory;
        EXPECT_EQ(SlotOf(block.CoefImage, 12), Bytes(0, 0, 0, 0));
        EXPECT_EQ(SlotOf(block.CoefImage, 11), EncodeDeviceFloat(15.0));
        for (std::size_t i = 52; i < block.CoefImage.size(); ++i) {
            EXPECT_EQ(block.CoefImage[i], 0) << "byte " << i;
        }
    }
    block.BuildImageFromTech(GoodTechTexts());
    EXPECT_EQ(block.ImageError, 0);
    // Beyond extended precision a text is not a number at all.
    texts = GoodTechTexts();
    texts.Values[0] = "1E5000";
    block.BuildImageFromTech(texts);
    EXPECT_EQ(block.ImageError, 1);
}

TEST(CoefBlockTest, BuildRaisesForABadAddressOrAnOverflow) {
    TCoefBlock block;
    block.LocalNow = July3rd2012;
    TTechTexts texts = GoodTechTexts();
    texts.AdrEdit = "12 ";
    try {
        block.BuildImageFromTech(texts);
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'12 ' is not a valid integer value");
    }
    EXPECT_EQ(block.CoefImage[64], 0); // no marker: the block is not complete
    texts.AdrEdit = "$FF";
    block.BuildImageFromTech(texts);
    EXPECT_EQ(block.CoefImage[61], 0xFF);
    for (const char* big : {"1e39", "-3.5E38", "1E4000"}) {
        texts = GoodTechTexts();
        texts.Values[0] = big;
        EXPECT_THROW(block.BuildImageFromTech(texts), EOverflow) << big;
    }
    // The offset of slots 5 and 6 is added before the range check.
    texts = GoodTechTexts();
    texts.Values[4] = "3.4028234e38";
    EXPECT_NO_THROW(block.BuildImageFromTech(texts));
    EXPECT_EQ(block.ImageError, 0);
}

TEST(CoefBlockTest, AnAddressOutsideTheAdaptersByteIsRefusedNotCut) {
    // Integers in every form the address field takes, inside and outside 0..255.
    for (const auto& [text, address] : std::vector<std::pair<std::string, int>>{
             {"0", 0}, {"255", 255}, {" 7", 7}, {"-0", 0}, {"$FF", 255}, {"0x2C", 44}}) {
        const std::optional<std::uint8_t> got = DeviceAddressFromText(text);
        ASSERT_TRUE(got.has_value()) << text;
        EXPECT_EQ(*got, address) << text;
    }
    for (const char* text : {"256", "300", "-1", "$100", "$FFFFFFFF", "2147483647", "-2147483648"}) {
        EXPECT_FALSE(DeviceAddressFromText(text).has_value()) << text;
    }
    EXPECT_THROW(DeviceAddressFromText("1x"), EConvertError);
    EXPECT_THROW(DeviceAddressFromText(""), EConvertError);

    // Both builds stop at the address: no marker and no checksum, so no block to write.
    TCoefBlock block;
    block.LocalNow = July3rd2012;
    TTechTexts tech = GoodTechTexts();
    TLimitsTexts limits;
    limits.Canal1_20 = limits.Canal1_4 = limits.Canal2_20 = limits.Canal2_4 = "1";
    limits.Canal3_20 = limits.Canal3_4 = "1";
    limits.ZavodNEdit = "1";
    for (const int k : {3, 4, 7, 8, 11, 12}) {
        block.SlotTexts[static_cast<std::size_t>(k)] = "4.0000";
    }
    for (const char* text : {"256", "300", "-1"}) {
        tech.AdrEdit = text;
        block.BuildImageFromTech(GoodTechTexts());
        ASSERT_EQ(block.ImageError, 0);
        block.BuildImageFromTech(tech);
        EXPECT_EQ(block.ImageError, 1) << text;
        EXPECT_EQ(SlotOf(block.CoefImage, 13), Bytes(0x40, 0xE2, 0x01, 0x00)) << "built up to the address";
        EXPECT_EQ(SlotOf(block.CoefImage, 15), Bytes(0, 0, 0, 0)) << text;
        EXPECT_EQ(SlotOf(block.CoefImage, 16), Bytes(0, 0, 0, 0)) << text;

        limits.AdrEdit = text;
        block.BuildImageFromLimits(limits);
        EXPECT_EQ(block.ImageError, 1) << text;
        EXPECT_EQ(SlotOf(block.CoefImage, 15), Bytes(0, 0, 0, 0)) << text;
        EXPECT_EQ(SlotOf(block.CoefImage, 16), Bytes(0, 0, 0, 0)) << text;
    }
    limits.AdrEdit = "0";
    block.BuildImageFromLimits(limits);
    EXPECT_EQ(block.ImageError, 0);
    EXPECT_EQ(SlotOf(block.CoefImage, 15), Bytes(0, 0, 0, 0));
    EXPECT_EQ(block.CoefImage[64], 255);
}

TEST(CoefBlockTest, BuildFromLimitsTakesHiddenSlotsFromTheLastRead) {
    TCoefBlock block;
    block.LocalNow = July3rd2012;
    TLimitsTexts texts;
    texts.Canal1_20 = "20";
    texts.Canal1_4 = "4";
    texts.Canal2_20 = "12.5";
    texts.Canal2_4 = "0";
    texts.Canal3_20 = "100";
    texts.Canal3_4 = "-100";
    texts.ZavodNEdit = "0123456";
    texts.AdrEdit = "5";
    // Never read: stops at slot 3 with slots 1 and 2 built.
    block.BuildImageFromLimits(texts);
    EXPECT_EQ(block.ImageError, 1);
    EXPECT_EQ(SlotOf(block.CoefImage, 1), Bytes(0x00, 0x00, 0x41, 0xA0));
    EXPECT_EQ(SlotOf(block.CoefImage, 2), Bytes(0x00, 0x00, 0x40, 0x80));
    EXPECT_EQ(SlotOf(block.CoefImage, 3), Bytes(0, 0, 0, 0));
    EXPECT_EQ(block.SlotTexts[3], "");

    // A read leaves 4-decimal texts of the hidden slots; they go back from those texts.
    const double hidden[] = {1.23456789, 4.00006, 16.2, 3.99, 15.9, 4.1};
    const int hiddenSlots[] = {3, 4, 7, 8, 11, 12};
    for (int i = 0; i < 6; ++i) {
        block.StoreSlotReply(hiddenSlots[i], EncodeDeviceFloat(hidden[i]));
        block.SlotTexts[static_cast<std::size_t>(hiddenSlots[i])] = ValueText(block.LastValue, 4);
    }
    EXPECT_EQ(block.SlotTexts[3], "1.2346");
    block.BuildImageFromLimits(texts);
    EXPECT_EQ(block.ImageError, 0);
    EXPECT_EQ(SlotOf(block.CoefImage, 3), EncodeDeviceFloat(1.2346));
    EXPECT_EQ(SlotOf(block.CoefImage, 4), EncodeDeviceFloat(4.0001));
    EXPECT_EQ(SlotOf(block.CoefImage, 5), Bytes(0x00, 0x00, 0x42, 0xE1));
    EXPECT_EQ(SlotOf(block.CoefImage, 6), Bytes(0x00, 0x00, 0x42, 0xC8));
    EXPECT_EQ(SlotOf(block.CoefImage, 7), EncodeDeviceFloat(16.2));
    EXPECT_EQ(SlotOf(block.CoefImage, 10), EncodeDeviceFloat(-100.0));
    EXPECT_EQ(SlotOf(block.CoefImage, 12), EncodeDeviceFloat(4.1));
    EXPECT_EQ(SlotOf(block.CoefImage, 13), Bytes(0x40, 0xE2, 0x01, 0x00));
    EXPECT_EQ(block.CoefImage[61], 5);
    EXPECT_EQ(block.SlotTexts[1], "20");
    EXPECT_EQ(block.SlotTexts[5], "12.5");
    EXPECT_EQ(block.SlotTexts[10], "-100");
    EXPECT_EQ(block.SlotTexts[3], "1.2346");
    block.ReadImage = block.CoefImage;
    EXPECT_TRUE(block.VerifyReadImage());
}

TEST(CoefBlockTest, BuildStampsTheClockAndZeroOutsideTheDosYears) {
    TCoefBlock block;
    block.LocalNow = [] {
        TLocalTime t = July3rd2012();
        t.Year = 2200;
        return t;
    };
    block.BuildImageFromTech(GoodTechTexts());
    EXPECT_EQ(SlotOf(block.CoefImage, 14), Bytes(0, 0, 0, 0));
    // The real clock gives a date this program can show back.
    TCoefBlock now;
    now.BuildImageFromTech(GoodTechTexts());
    now.StoreSlotReply(14, SlotOf(now.CoefImage, 14));
    const TLocalTime t = CurrentLocalTime();
    EXPECT_NE(now.RecordDateText.find("." + std::to_string(t.Year)), std::string::npos) << now.RecordDateText;
}

} // namespace
