// SPDX-License-Identifier: GPL-3.0-or-later
// The renderer takes 8- and 16-bit samples through a table and wider types
// through a per-pixel loop; both must agree with the per-sample formula for
// every value, including parameters outside 0..1.
#include "stretch/StretchRenderer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "StretchTestSupport.h"

using stretch_test::channelParams;
using stretch_test::referenceStretch;

namespace {

const std::vector<StretchChannelParams>& parameterSpread()
{
    static const std::vector<StretchChannelParams> spread = {
        channelParams(0.0f, 1.0f, 0.5f),     // identity
        channelParams(0.1f, 0.9f, 0.5f),     // straight line between the points
        channelParams(0.0f, 1.0f, 0.25f),    // brightening
        channelParams(0.05f, 0.6f, 0.1f),    // strong brightening
        channelParams(0.02f, 0.3f, 0.9f),    // darkening
        channelParams(0.5f, 0.5f, 0.5f),     // hard threshold
        channelParams(0.3f, 0.3f, 0.2f),     // hard threshold, other midtones
        channelParams(0.0f, 1.0f, 0.0f),     // degenerate midtones
        channelParams(0.0f, 1.0f, 1.0f),     // degenerate midtones
        channelParams(-0.2f, 1.5f, 0.3f),    // both points outside 0..1
        channelParams(1.2f, 2.5f, 0.5f),     // black point beyond the top
        channelParams(0.7f, 0.2f, 0.4f),     // inverted points
        channelParams(-3.0f, -1.0f, 0.5f),   // both below zero
        channelParams(0.0f, 300.0f, 0.6f),   // white point far above, low bits kept
        channelParams(0.01f, 0.99f, 1.7f),   // midtones above 1
        channelParams(0.01f, 0.99f, -0.4f),  // midtones below 0
    };
    return spread;
}

// Renders `samples` (one row per record of the spread) and counts the pixels
// that differ from the formula, naming the first one.
template <typename T>
void expectMatchesFormula(const std::vector<T>& samples, int width, PixelType type, int expectedInputRange)
{
    const int height = static_cast<int>(samples.size()) / width;
    for (const StretchChannelParams& params : parameterSpread()) {
        StretchRenderer renderer(width, height, 1, type);
        renderer.params.channel[0] = params;
        PictureBuffer image = stretch_test::greyImage(width, height);
        renderer.render(samples.data(), &image, 1);
        ASSERT_EQ(renderer.inputRange, expectedInputRange);
        int mismatches = 0;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const T v = samples[static_cast<std::size_t>(y) * width + x];
                const std::uint8_t expected = referenceStretch(v, params, expectedInputRange);
                const std::uint8_t actual = image.pixel(x, y);
                if (actual != expected && mismatches++ == 0) {
                    ADD_FAILURE() << "sample " << +v << " with (" << params.shadows << ", " << params.highlights << ", "
                                  << params.midtones << "): got " << +actual << ", formula gives " << +expected;
                }
            }
        }
        EXPECT_EQ(mismatches, 0);
    }
}

template <typename T>
std::vector<T> everyValue()
{
    using Index = std::make_unsigned_t<T>;
    std::vector<T> values;
    for (std::uint32_t i = 0; i <= std::numeric_limits<Index>::max(); ++i) {
        values.push_back(static_cast<T>(static_cast<Index>(i)));
    }
    return values;
}

}  // namespace

// --- Tables: every value of the type ------------------------------------------

TEST(StretchLookupTable, EveryEightBitValueMatchesFormula)
{
    expectMatchesFormula(everyValue<std::uint8_t>(), 256, PixelType::UInt8, 256);
}

TEST(StretchLookupTable, EverySixteenBitValueMatchesFormula)
{
    expectMatchesFormula(everyValue<std::uint16_t>(), 256, PixelType::UInt16, 65536);
}

TEST(StretchLookupTable, EverySignedSixteenBitValueMatchesFormula)
{
    expectMatchesFormula(everyValue<std::int16_t>(), 256, PixelType::Int16, 65536);
}

TEST(StretchLookupTable, EverySixteenBitValueMatchesFormulaInEachColourChannel)
{
    const std::vector<std::uint16_t> plane = everyValue<std::uint16_t>();
    std::vector<std::uint16_t> samples;
    for (int c = 0; c < 3; ++c)
        samples.insert(samples.end(), plane.begin(), plane.end());
    const auto& spread = parameterSpread();
    for (std::size_t first = 0; first + 2 < spread.size(); first += 3) {
        StretchRenderer renderer(256, 256, 3, PixelType::UInt16);
        renderer.params.channel = {spread[first], spread[first + 1], spread[first + 2]};
        PictureBuffer image = stretch_test::colourImage(256, 256);
        renderer.render(samples.data(), &image, 1);
        int mismatches = 0;
        for (int v = 0; v < 65536; ++v) {
            const auto sample = static_cast<std::uint16_t>(v);
            const std::uint32_t expected = 0xFF000000u |
                std::uint32_t{referenceStretch(sample, spread[first], 65536)} << 16 |
                std::uint32_t{referenceStretch(sample, spread[first + 1], 65536)} << 8 |
                referenceStretch(sample, spread[first + 2], 65536);
            mismatches += image.pixel(v % 256, v / 256) != expected;
        }
        EXPECT_EQ(mismatches, 0) << "records from " << first;
    }
}

// --- Per-pixel arithmetic of the wider types ----------------------------------

// A 64 x 64 frame of reproducible random values in [low, high).
template <typename Real>
std::vector<Real> randomRealSamples(unsigned seed, Real low, Real high)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<Real> value(low, high);
    std::vector<Real> samples(64 * 64);
    for (auto& s : samples)
        s = value(random);
    return samples;
}

TEST(StretchPerSampleLoop, FloatMatchesFormula)
{
    std::vector<float> samples = randomRealSamples<float>(11, -2000.0f, 70000.0f);
    samples[0] = 65535.0f;
    expectMatchesFormula(samples, 64, PixelType::Float, 65536);
}

TEST(StretchPerSampleLoop, NormalisedFloatMatchesFormula)
{
    const std::vector<float> samples = randomRealSamples<float>(12, -0.1f, 1.0f);
    expectMatchesFormula(samples, 64, PixelType::Float, 1);
}

TEST(StretchPerSampleLoop, DoubleMatchesFormula)
{
    const std::vector<double> samples = randomRealSamples<double>(13, -0.1, 1.0);
    expectMatchesFormula(samples, 64, PixelType::Double, 1);
}

TEST(StretchPerSampleLoop, SixtyFourBitIntegersMatchFormula)
{
    std::mt19937 random(14);
    std::uniform_int_distribution<long> value(-1000, 70000);
    std::vector<long> longs(64 * 64);
    for (auto& s : longs)
        s = value(random);
    std::vector<long long> longLongs(longs.begin(), longs.end());
    // Only records inside 0..1: outside them the formula's plain conversion saturates differently.
    for (const PixelType type : {PixelType::Long, PixelType::LongLong}) {
        for (const StretchChannelParams& params : {channelParams(0.0f, 1.0f, 0.5f), channelParams(0.1f, 0.9f, 0.3f),
                 channelParams(0.02f, 0.4f, 0.8f), channelParams(0.5f, 0.5f, 0.5f)}) {
            StretchRenderer renderer(64, 64, 1, type);
            renderer.params.channel[0] = params;
            PictureBuffer image = stretch_test::greyImage(64, 64);
            renderer.render(type == PixelType::Long ? static_cast<const void*>(longs.data())
                                                    : static_cast<const void*>(longLongs.data()),
                &image, 1);
            int mismatches = 0;
            for (int i = 0; i < 64 * 64; ++i) {
                mismatches += image.pixel(i % 64, i / 64) != referenceStretch(longs[i], params, 65536);
            }
            EXPECT_EQ(mismatches, 0) << "type " << static_cast<int>(type);
        }
    }
}
