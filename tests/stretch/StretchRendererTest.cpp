// SPDX-License-Identifier: GPL-3.0-or-later
#include "stretch/StretchRenderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "StretchTestSupport.h"

using stretch_test::colourImage;
using stretch_test::greyImage;
using stretch_test::kSentinelByte;
using stretch_test::linkedParams;

namespace {

// Renders a one-row grey frame with `params` and returns its bytes.
template <typename T>
std::vector<std::uint8_t> renderRow(
    const std::vector<T>& samples, PixelType type, const StretchParams& params = StretchParams{})
{
    const int width = static_cast<int>(samples.size());
    StretchRenderer renderer(width, 1, 1, type);
    renderer.params = params;
    PictureBuffer image = greyImage(width, 1);
    renderer.render(samples.data(), &image, 1);
    return std::vector<std::uint8_t>(image.row(0), image.row(0) + width);
}

}  // namespace

// --- Identity stretch ---------------------------------------------------------

TEST(StretchRendererIdentity, EightBitFrameRendersUnchanged)
{
    std::vector<std::uint8_t> samples(256);
    for (int v = 0; v < 256; ++v)
        samples[v] = static_cast<std::uint8_t>(v);
    EXPECT_EQ(renderRow(samples, PixelType::UInt8), samples) << "identity must copy 8-bit data";
}

TEST(StretchRendererIdentity, SixteenBitFrameRendersValueOver257)
{
    std::vector<std::uint16_t> samples(65536);
    for (int v = 0; v < 65536; ++v)
        samples[v] = static_cast<std::uint16_t>(v);
    const std::vector<std::uint8_t> bytes = renderRow(samples, PixelType::UInt16);
    for (int v = 0; v < 65536; ++v) {
        ASSERT_EQ(bytes[v], v / 257) << "16-bit value " << v;
    }
}

// --- Worked values on 8-bit data ----------------------------------------------

TEST(StretchRendererWorkedValues, BlackAndWhitePointsWithStraightMidtones)
{
    std::vector<std::uint8_t> samples = {24, 25, 127, 228, 229, 255};
    const auto bytes = renderRow(samples, PixelType::UInt8, linkedParams(0.1f, 0.9f, 0.5f));
    EXPECT_EQ(bytes[0], 0) << "24 is below the black point 25";
    EXPECT_EQ(bytes[1], 0) << "the black point itself maps to 0";
    EXPECT_EQ(bytes[2], 127) << "127 is 102 above black, 102 x 1.25 = 127.5";
    EXPECT_EQ(bytes[3], 253) << "228 is 203 above black, 203 x 1.25 = 253.75";
    EXPECT_EQ(bytes[4], 255) << "229 is the white point";
    EXPECT_EQ(bytes[5], 255);
}

TEST(StretchRendererWorkedValues, MidtonesQuarterBrightens)
{
    const auto bytes = renderRow(std::vector<std::uint8_t>{64, 65}, PixelType::UInt8, linkedParams(0.0f, 1.0f, 0.25f));
    EXPECT_EQ(bytes[0], 127);
    EXPECT_EQ(bytes[1], 129);
}

TEST(StretchRendererWorkedValues, EqualBlackAndWhiteIsHardThreshold)
{
    // 0.5 x 255 = 127.5 truncates to 127 for both points.
    const auto bytes =
        renderRow(std::vector<std::uint8_t>{0, 126, 127, 128, 255}, PixelType::UInt8, linkedParams(0.5f, 0.5f, 0.5f));
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0, 0, 255, 255, 255}));
}

TEST(StretchRendererWorkedValues, OutOfRangeWhitePointKeepsLowBits)
{
    // 1.5 x 255 = 382.5 -> 382, whose low 8 bits are 126.
    const auto bytes =
        renderRow(std::vector<std::uint8_t>{125, 126, 200}, PixelType::UInt8, linkedParams(0.0f, 1.5f, 0.5f));
    EXPECT_LT(bytes[0], 255) << "125 lies below the wrapped white point";
    EXPECT_EQ(bytes[1], 255) << "126 is the wrapped white point";
    EXPECT_EQ(bytes[2], 255);
}

// --- Every sample type through its own template --------------------------------

TEST(StretchRendererSampleTypes, SignedSixteenBitClampsWhitePointToTypeMaximum)
{
    const auto bytes = renderRow(std::vector<std::int16_t>{-32768, -5, 0, 257, 32766, 32767}, PixelType::Int16);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0, 0, 0, 1, 127, 255}))
        << "negative samples are black; white 1.0 is clamped to 32767";
}

TEST(StretchRendererSampleTypes, LongUsesSixteenBitFullScale)
{
    const auto bytes =
        renderRow(std::vector<long>{std::numeric_limits<long>::min(), -1, 0, 257, 25700, 65534, 65535, 1000000000000L},
            PixelType::Long);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0, 0, 0, 1, 100, 254, 255, 255}));
}

TEST(StretchRendererSampleTypes, LongLongMatchesLong)
{
    const auto bytes = renderRow(std::vector<long long>{std::numeric_limits<long long>::min(), -1, 0, 257, 25700, 65534,
                                     65535, std::numeric_limits<long long>::max()},
        PixelType::LongLong);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0, 0, 0, 1, 100, 254, 255, 255}));
}

TEST(StretchRendererSampleTypes, FloatOutsideUnitRangeUsesSixteenBitFullScale)
{
    const auto bytes = renderRow(std::vector<float>{65535.0f, -3.0f, 257.0f, 514.5f, 70000.0f}, PixelType::Float);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{255, 0, 1, 2, 255}));
}

TEST(StretchRendererSampleTypes, NormalisedFloatScalesBy255)
{
    const auto bytes = renderRow(std::vector<float>{0.0f, 0.25f, 0.5f, 1.0f, -0.5f}, PixelType::Float);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0, 63, 127, 255, 0}));
}

TEST(StretchRendererSampleTypes, NormalisedDoubleScalesBy255)
{
    const auto bytes = renderRow(std::vector<double>{0.0, 0.25, 0.5, 0.999, 1.0, 1.005}, PixelType::Double);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0, 63, 127, 254, 255, 255}));
}

TEST(StretchRendererSampleTypes, DoubleCarriesQuotientInDoublePrecision)
{
    // Normalised identity gives 255 x v; both samples round to the same float,
    // so only double arithmetic tells them apart.
    const auto bytes =
        renderRow(std::vector<double>{0.0, 128.0 / 255.0 - 1e-12, 128.0 / 255.0 + 1e-12}, PixelType::Double);
    EXPECT_EQ(bytes[1], 127);
    EXPECT_EQ(bytes[2], 128);
}

TEST(StretchRendererSampleTypes, NaNSampleRendersBlack)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(renderRow(std::vector<float>{0.5f, nan}, PixelType::Float)[1], 0);
    EXPECT_EQ(renderRow(std::vector<double>{0.5, std::nan("")}, PixelType::Double)[1], 0);
}

TEST(StretchRendererSampleTypes, UnknownPixelTypeLeavesImageUntouched)
{
    const std::vector<std::uint8_t> samples = {10, 20, 30};
    EXPECT_EQ(renderRow(samples, static_cast<PixelType>(16)), std::vector<std::uint8_t>(3, kSentinelByte));
}

// --- Float range detection -----------------------------------------------------

TEST(StretchRendererFloatRange, NormalisedFrameLowersInputRangeToOne)
{
    std::vector<float> samples(5000, 0.5f);
    samples[1000] = 1.01f;
    StretchRenderer renderer(100, 50, 1, PixelType::Float);
    renderer.detectFloatRange(samples.data());
    EXPECT_EQ(renderer.inputRange, 1) << "1.01 is still normalised";
}

TEST(StretchRendererFloatRange, ValueAboveLimitAtProbeKeepsWideRange)
{
    std::vector<float> samples(5000, 0.5f);
    samples[0] = 2.0f;
    StretchRenderer renderer(100, 50, 1, PixelType::Float);
    renderer.detectFloatRange(samples.data());
    EXPECT_EQ(renderer.inputRange, 65536);
}

TEST(StretchRendererFloatRange, ValuesBetweenProbesAreNotSeen)
{
    std::vector<double> samples(5000, 0.5);
    samples[1] = 50000.0;
    samples[4999] = 1e9;
    StretchRenderer renderer(100, 50, 1, PixelType::Double);
    renderer.detectFloatRange(samples.data());
    EXPECT_EQ(renderer.inputRange, 1) << "only every 1000th sample is probed";
}

TEST(StretchRendererFloatRange, DoubleMaximumIsComparedInSinglePrecision)
{
    // 1.0100000001 rounds to 1.01f, which passes the test.
    std::vector<double> samples = {1.0100000001};
    StretchRenderer renderer(1, 1, 1, PixelType::Double);
    renderer.detectFloatRange(samples.data());
    EXPECT_EQ(renderer.inputRange, 1);
}

TEST(StretchRendererFloatRange, NaNNeverBecomesTheMaximum)
{
    std::vector<float> samples(2001, std::numeric_limits<float>::quiet_NaN());
    samples[1000] = 3.0f;
    StretchRenderer renderer(2001, 1, 1, PixelType::Float);
    renderer.detectFloatRange(samples.data());
    EXPECT_EQ(renderer.inputRange, 65536) << "NaN at the first probe must not hide 3.0";
}

TEST(StretchRendererFloatRange, IntegerTypesAndEmptyFrames)
{
    std::vector<std::uint16_t> wide = {1, 2, 3};
    StretchRenderer integer(3, 1, 1, PixelType::UInt16);
    integer.detectFloatRange(wide.data());
    EXPECT_EQ(integer.inputRange, 65536) << "integer data are never normalised";

    StretchRenderer empty(0, 10, 1, PixelType::Float);
    empty.detectFloatRange(nullptr);
    EXPECT_EQ(empty.inputRange, 1) << "a frame without pixels counts as normalised";

    StretchRenderer bytes(3, 1, 1, PixelType::UInt8);
    EXPECT_EQ(bytes.inputRange, 256);
}

// --- Geometry, channels and layout ----------------------------------------------

TEST(StretchRendererGeometry, SamplingTwoWritesOneBlockOfEveryOtherPixel)
{
    std::vector<std::uint8_t> samples(15);
    for (int i = 0; i < 15; ++i)
        samples[i] = static_cast<std::uint8_t>(i + 1);
    StretchRenderer renderer(5, 3, 1, PixelType::UInt8);
    PictureBuffer image = greyImage(5, 3);
    renderer.render(samples.data(), &image, 2);
    const std::uint8_t s = kSentinelByte;
    const std::uint8_t expected[3][5] = {{1, 3, 5, s, s}, {11, 13, 15, s, s}, {s, s, s, s, s}};
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 5; ++x) {
            EXPECT_EQ(image.pixel(x, y), expected[y][x]) << "pixel " << x << "," << y;
        }
    }
}

TEST(StretchRendererGeometry, ChannelCountsOtherThanOneAndThreeLeaveImageUntouched)
{
    const std::vector<std::uint8_t> samples(4 * 6, 100);
    for (int channels : {0, 2, 4}) {
        StretchRenderer renderer(3, 2, channels, PixelType::UInt8);
        PictureBuffer grey = greyImage(3, 2);
        renderer.render(samples.data(), &grey, 1);
        PictureBuffer colour = colourImage(3, 2);
        renderer.render(samples.data(), &colour, 1);
        for (int y = 0; y < 2; ++y) {
            for (int x = 0; x < 3; ++x) {
                EXPECT_EQ(grey.pixel(x, y), kSentinelByte) << channels << " channels";
                EXPECT_EQ(colour.pixel(x, y), 0x12345678u) << channels << " channels";
            }
        }
    }
}

TEST(StretchRendererGeometry, ThreeChannelsPackIntoOpaqueRgbWords)
{
    // Planes red, green, blue of a 2 x 1 frame; green gets a hard threshold at 127.
    const std::vector<std::uint8_t> samples = {10, 200, 20, 130, 30, 0};
    StretchRenderer renderer(2, 1, 3, PixelType::UInt8);
    renderer.params.channel[1] = stretch_test::channelParams(0.5f, 0.5f, 0.5f);
    PictureBuffer image = colourImage(2, 1);
    renderer.render(samples.data(), &image, 1);
    EXPECT_EQ(image.pixel(0, 0), 0xFF0A001Eu);
    EXPECT_EQ(image.pixel(1, 0), 0xFFC8FF00u);
}

TEST(StretchRendererGeometry, UnfitImagesAndSamplingAreRejected)
{
    const std::vector<std::uint8_t> samples(12, 200);
    StretchRenderer renderer(4, 3, 1, PixelType::UInt8);

    PictureBuffer tooNarrow = greyImage(3, 3);
    renderer.render(samples.data(), &tooNarrow, 1);
    EXPECT_EQ(tooNarrow.pixel(0, 0), kSentinelByte) << "a 4-wide frame does not fit 3 columns";

    PictureBuffer tooShort = greyImage(4, 2);
    renderer.render(samples.data(), &tooShort, 1);
    EXPECT_EQ(tooShort.pixel(0, 0), kSentinelByte) << "a 3-high frame does not fit 2 rows";

    PictureBuffer wrongDepth = colourImage(4, 3);
    renderer.render(samples.data(), &wrongDepth, 1);
    EXPECT_EQ(wrongDepth.pixel(0, 0), 0x12345678u) << "one channel needs a grey picture";

    PictureBuffer fits = greyImage(4, 3);
    renderer.render(samples.data(), &fits, 0);
    EXPECT_EQ(fits.pixel(0, 0), kSentinelByte) << "sampling 0 is rejected";
    renderer.render(nullptr, &fits, 1);
    EXPECT_EQ(fits.pixel(0, 0), kSentinelByte) << "no samples";
    renderer.render(samples.data(), nullptr, 1);

    PictureBuffer half = greyImage(2, 2);
    renderer.render(samples.data(), &half, 2);
    EXPECT_EQ(half.pixel(1, 1), 200) << "sampling 2 needs only 2 x 2";
}

// A picture handed on (shared) or over borrowed rows is never written.
TEST(StretchRendererGeometry, PictureNotItsOwnIsLeftAsItIs)
{
    const std::vector<std::uint8_t> samples(6, 77);
    StretchRenderer renderer(3, 2, 1, PixelType::UInt8);
    PictureBuffer image = greyImage(3, 2);
    const PictureBuffer handedOn = image;
    renderer.render(samples.data(), &image, 1);
    EXPECT_EQ(image.pixel(2, 1), kSentinelByte) << "shared";
    const PictureBuffer borrowed = PictureBuffer::over(nullptr, handedOn.row(0), 3, 2, 1, 3);
    renderer.render(samples.data(), &borrowed, 1);
    EXPECT_EQ(borrowed.pixel(2, 1), kSentinelByte) << "borrowed";
}

// --- Many rows on the thread pool -----------------------------------------------

TEST(StretchRendererRows, LargeColourFrameMatchesPerSampleFormula)
{
    constexpr int kWidth = 641;
    constexpr int kHeight = 479;
    const std::int64_t plane = std::int64_t{kWidth} * kHeight;
    std::mt19937 random(7);
    std::uniform_int_distribution<int> value(0, 65535);
    std::vector<std::uint16_t> samples(3 * plane);
    for (auto& s : samples)
        s = static_cast<std::uint16_t>(value(random));
    StretchRenderer renderer(kWidth, kHeight, 3, PixelType::UInt16);
    renderer.params.channel[0] = stretch_test::channelParams(0.02f, 0.8f, 0.3f);
    renderer.params.channel[1] = stretch_test::channelParams(0.1f, 0.95f, 0.6f);
    renderer.params.channel[2] = stretch_test::channelParams(0.0f, 0.5f, 0.1f);
    for (int sampling : {1, 3}) {
        PictureBuffer image = colourImage((kWidth + sampling - 1) / sampling, (kHeight + sampling - 1) / sampling);
        renderer.render(samples.data(), &image, sampling);
        int mismatches = 0;
        for (int y = 0, r = 0; y < kHeight; y += sampling, ++r) {
            for (int x = 0, c = 0; x < kWidth; x += sampling, ++c) {
                const std::int64_t i = std::int64_t{y} * kWidth + x;
                const std::uint32_t expected = 0xFF000000u |
                    std::uint32_t{stretch_test::referenceStretch(samples[i], renderer.params.channel[0], 65536)} << 16 |
                    std::uint32_t{stretch_test::referenceStretch(samples[plane + i], renderer.params.channel[1], 65536)}
                        << 8 |
                    stretch_test::referenceStretch(samples[2 * plane + i], renderer.params.channel[2], 65536);
                mismatches += image.pixel(c, r) != expected;
            }
        }
        EXPECT_EQ(mismatches, 0) << "sampling " << sampling;
    }
}
