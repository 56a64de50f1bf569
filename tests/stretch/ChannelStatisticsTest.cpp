// SPDX-License-Identifier: GPL-3.0-or-later
#include "stretch/ChannelSample.h"
#include "stretch/OrderStatistics.h"
#include "stretch/StretchRenderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

constexpr float kTolerance = 1e-6f;

void expectRecord(const StretchChannelParams& actual, float shadows, float highlights, float midtones, const char* what)
{
    EXPECT_NEAR(actual.shadows, shadows, kTolerance) << what << ": shadows";
    EXPECT_NEAR(actual.highlights, highlights, kTolerance) << what << ": highlights";
    EXPECT_NEAR(actual.midtones, midtones, kTolerance) << what << ": midtones";
    EXPECT_EQ(actual.reserved0, 0.0f) << what;
    EXPECT_EQ(actual.reserved1, 1.0f) << what;
}

void expectDefaultRecord(const StretchChannelParams& actual, const char* what)
{
    EXPECT_EQ(actual.shadows, 0.0f) << what;
    EXPECT_EQ(actual.highlights, 1.0f) << what;
    EXPECT_EQ(actual.midtones, 0.5f) << what;
    EXPECT_EQ(actual.reserved0, 0.0f) << what;
    EXPECT_EQ(actual.reserved1, 1.0f) << what;
}

// `counts` samples of each value, in runs.
template <typename T>
std::vector<T> runs(std::initializer_list<std::pair<T, int>> counts)
{
    std::vector<T> samples;
    for (const auto& [value, count] : counts)
        samples.insert(samples.end(), count, value);
    return samples;
}

template <typename T>
StretchParams medianRuleOf(const std::vector<T>& samples, PixelType type, bool excludeFloor)
{
    StretchRenderer renderer(static_cast<int>(samples.size()), 1, 1, type);
    return renderer.computeParams(samples.data(), excludeFloor);
}

template <typename T>
StretchParams automaticRuleOf(const std::vector<T>& samples, PixelType type)
{
    StretchRenderer renderer(static_cast<int>(samples.size()), 1, 1, type);
    return renderer.computeAutoParams(samples.data());
}

// Median 32 and MAD 4: a third each at 28, 32, 36.
const std::vector<std::uint8_t> kDimFrame = runs<std::uint8_t>({{28, 300}, {32, 300}, {36, 300}});
constexpr float kDimShadows = 0.0601363f;
constexpr float kDimMidtones = 0.172246f;

}  // namespace

// --- Order statistics ------------------------------------------------------------

TEST(OrderStatistics, MedianOfEvenSetIsUpperMiddle)
{
    std::vector<int> values = {4, 1, 3, 2};
    EXPECT_EQ(medianOf(values), 3);
}

TEST(OrderStatistics, PercentileRankIsTruncatedAndBounded)
{
    std::vector<int> values(400);
    for (int i = 0; i < 400; ++i)
        values[i] = 399 - i;
    EXPECT_EQ(percentileOf(values, 1.0), 4) << "rank floor(0.01 x 400)";
    EXPECT_EQ(percentileOf(values, 99.5), 398) << "rank floor(0.995 x 400)";
    std::vector<int> single = {7};
    EXPECT_EQ(percentileOf(single, 99.5), 7) << "rank capped at size - 1";
    std::vector<int> empty;
    EXPECT_EQ(percentileOf(empty, 50.0), 0);
}

// --- Sample set and floor ----------------------------------------------------------

TEST(ChannelSample, MegapixelFrameTakesEverySecondSample)
{
    std::vector<std::uint8_t> plane(1000 * 1000);
    for (std::size_t i = 0; i < plane.size(); ++i)
        plane[i] = static_cast<std::uint8_t>(i % 251);
    const ChannelSample<std::uint8_t> sample(plane.data(), 1000, 1000);
    EXPECT_EQ(sample.step(), 2);
    ASSERT_EQ(sample.count(), 500000u);
    for (std::size_t i = 0; i < sample.count(); i += 997) {
        ASSERT_EQ(sample.samples()[i], plane[2 * i]) << "member " << i;
    }
}

TEST(ChannelSample, FrameBelowBudgetTakesEverySample)
{
    std::vector<std::uint16_t> plane(1000 * 499, 5);
    const ChannelSample<std::uint16_t> sample(plane.data(), 499, 1000);
    EXPECT_EQ(sample.step(), 1);
    EXPECT_EQ(sample.count(), 499000u);
}

TEST(ChannelSample, FloorVisitsOneIndexBeyondTheSampleSet)
{
    // n = 1000001: step 2, 500000 members up to index 999998, floor also sees 1000000.
    std::vector<std::uint8_t> plane(1000001, 50);
    plane[1000000] = 3;
    const ChannelSample<std::uint8_t> sample(plane.data(), 1, 1000001);
    EXPECT_EQ(sample.count(), 500000u);
    EXPECT_EQ(sample.floor(), 3);
    EXPECT_EQ(sample.aboveFloor().size(), 500000u) << "every member lies above that floor";
    EXPECT_EQ(sample.countAtFloor(), 0u);
}

TEST(ChannelSample, FrameWithoutPixelsIsEmpty)
{
    const std::uint8_t value = 9;
    const ChannelSample<std::uint8_t> sample(&value, 0, 5);
    EXPECT_EQ(sample.count(), 0u);
    EXPECT_EQ(sample.floor(), 0);
}

// --- Median rule ---------------------------------------------------------------------

TEST(MedianRule, DimFrame)
{
    const StretchParams params = medianRuleOf(kDimFrame, PixelType::UInt8, false);
    expectRecord(params.channel[0], kDimShadows, 1.0f, kDimMidtones, "median 32, MAD 4");
    expectDefaultRecord(params.channel[1], "a grey frame leaves channel 1 alone");
    expectDefaultRecord(params.channel[2], "a grey frame leaves channel 2 alone");
}

TEST(MedianRule, BrightFrame)
{
    const auto samples = runs<std::uint8_t>({{190, 300}, {200, 300}, {210, 300}});
    expectRecord(
        medianRuleOf(samples, PixelType::UInt8, false).channel[0], 0.0f, 0.943409f, 0.632658f, "median 200, MAD 10");
}

TEST(MedianRule, FlatFramesGiveDefaultRecord)
{
    expectDefaultRecord(
        medianRuleOf(std::vector<std::uint8_t>(900, 0), PixelType::UInt8, false).channel[0], "all zero");
    expectDefaultRecord(medianRuleOf(std::vector<std::uint8_t>(900, 64), PixelType::UInt8, true).channel[0],
        "flat 64, excluding the floor");
    expectDefaultRecord(
        automaticRuleOf(std::vector<std::uint8_t>(900, 64), PixelType::UInt8).channel[0], "flat 64, automatic");
}

TEST(MedianRule, SampleStepDecidesWhatIsMeasured)
{
    // Even indices hold the dim frame's values, odd ones 255: only step 2 skips them all.
    std::vector<std::uint8_t> plane(1000 * 1000, 255);
    for (std::size_t i = 0; i < plane.size(); i += 2)
        plane[i] = kDimFrame[(i / 2) % 900];
    StretchRenderer renderer(1000, 1000, 1, PixelType::UInt8);
    expectRecord(renderer.computeParams(plane.data(), false).channel[0], kDimShadows, 1.0f, kDimMidtones,
        "1000 x 1000 at step 2");

    StretchRenderer belowBudget(1000, 499, 1, PixelType::UInt8);
    EXPECT_EQ(belowBudget.computeParams(plane.data(), false).channel[0].shadows, 0.0f)
        << "at step 1 the median is 255: a bright frame";
}

TEST(MedianRule, ExcludingFloorNeedsATwentiethAboveIt)
{
    // 30 of 1000 above the floor of 10: too few, so all samples count (median 10, MAD 0).
    const auto few = runs<std::uint8_t>({{10, 970}, {200, 30}});
    const StretchParams fewParams = medianRuleOf(few, PixelType::UInt8, true);
    const StretchParams allParams = medianRuleOf(few, PixelType::UInt8, false);
    EXPECT_EQ(fewParams.channel[0].shadows, allParams.channel[0].shadows);
    EXPECT_EQ(fewParams.channel[0].midtones, allParams.channel[0].midtones);
    EXPECT_EQ(fewParams.channel[0].highlights, 1.0f);

    // 50 of 1000 above it: enough, so the median is 200, a bright frame with MAD 0.
    const auto enough = runs<std::uint8_t>({{10, 950}, {200, 50}});
    const StretchChannelParams bright = medianRuleOf(enough, PixelType::UInt8, true).channel[0];
    expectRecord(bright, 0.0f, 1.0f, bright.midtones, "above-floor set");
    EXPECT_GT(bright.midtones, 0.5f) << "a bright frame darkens";
}

TEST(MedianRule, EverySampleTypeMeasuresTheSameScaledFrame)
{
    // The dim frame scaled by 256 into a 65536 range normalises to the same values.
    const auto scaled = [](auto zero) {
        using T = decltype(zero);
        std::vector<T> samples;
        for (std::uint8_t v : kDimFrame)
            samples.push_back(static_cast<T>(v * 256));
        return samples;
    };
    const char* names[] = {"uint16", "int16", "long", "long long", "float", "double"};
    const StretchParams results[] = {
        medianRuleOf(scaled(std::uint16_t{}), PixelType::UInt16, false),
        medianRuleOf(scaled(std::int16_t{}), PixelType::Int16, false),
        medianRuleOf(scaled(0L), PixelType::Long, false),
        medianRuleOf(scaled(0LL), PixelType::LongLong, false),
        medianRuleOf(scaled(0.0f), PixelType::Float, false),
        medianRuleOf(scaled(0.0), PixelType::Double, false),
    };
    for (int i = 0; i < 6; ++i) {
        expectRecord(results[i].channel[0], kDimShadows, 1.0f, kDimMidtones, names[i]);
    }
}

TEST(MedianRule, NormalisedFloatIsMeasuredWithUnitRange)
{
    std::vector<float> samples;
    for (std::uint8_t v : kDimFrame)
        samples.push_back(v / 256.0f);
    expectRecord(
        medianRuleOf(samples, PixelType::Float, false).channel[0], kDimShadows, 1.0f, kDimMidtones, "normalised float");
}

TEST(MedianRule, WideSignedDeviationsDoNotWrap)
{
    // Deviations of 40000 exceed signed 16 bits; held unsigned they stay exact.
    const auto samples = runs<std::int16_t>({{-20000, 300}, {20000, 300}, {20001, 300}});
    const StretchChannelParams params = medianRuleOf(samples, PixelType::Int16, false).channel[0];
    // Median 20000 (normalised 0.305), MAD 1: a dim frame with a tight black point.
    EXPECT_GT(params.shadows, 0.30f);
}

// --- Automatic rule ------------------------------------------------------------------

TEST(AutomaticRule, FloorDominatedFrameUsesPercentiles)
{
    // 600 of 1000 at the floor 0; above it p1 = 20, p50 = 60, p99.5 = 220.
    const auto samples = runs<std::uint8_t>({{0, 600}, {20, 200}, {60, 198}, {220, 2}});
    expectRecord(
        automaticRuleOf(samples, PixelType::UInt8).channel[0], 0.078125f, 0.859375f, 0.142857f, "percentile rule");
}

TEST(AutomaticRule, NarrowPercentileSpreadGivesDefaultRecord)
{
    const auto samples = runs<std::uint8_t>({{0, 600}, {10, 200}, {20, 200}});
    expectDefaultRecord(automaticRuleOf(samples, PixelType::UInt8).channel[0], "spread 0.039");
}

TEST(AutomaticRule, ExactlyHalfAtFloorTakesMedianRuleAboveFloor)
{
    const auto half = runs<std::uint8_t>({{0, 500}, {28, 166}, {32, 168}, {36, 166}});
    expectRecord(automaticRuleOf(half, PixelType::UInt8).channel[0], kDimShadows, 1.0f, kDimMidtones,
        "500 of 1000 at the floor");
    // One more at the floor makes it floor-dominated, and 28..36 spans too little.
    const auto more = runs<std::uint8_t>({{0, 501}, {28, 165}, {32, 168}, {36, 166}});
    expectDefaultRecord(automaticRuleOf(more, PixelType::UInt8).channel[0], "501 at the floor");
}

TEST(AutomaticRule, FewSamplesAboveFloorTakeMedianRule)
{
    // 19 of 1000 above the floor is under 2 %: the median rule on all samples (MAD 0).
    const auto samples = runs<std::uint8_t>({{5, 981}, {200, 19}});
    const StretchChannelParams params = automaticRuleOf(samples, PixelType::UInt8).channel[0];
    const StretchChannelParams median = medianRuleOf(samples, PixelType::UInt8, true).channel[0];
    EXPECT_EQ(params.shadows, median.shadows);
    EXPECT_EQ(params.midtones, median.midtones);
    EXPECT_EQ(params.highlights, 1.0f);
}

TEST(AutomaticRule, EachChannelGetsItsOwnRecordAndExtraChannelsLandInTheLast)
{
    const auto dim = kDimFrame;
    const auto flat = std::vector<std::uint8_t>(900, 0);
    const auto percentile = runs<std::uint8_t>({{0, 540}, {20, 180}, {60, 178}, {220, 2}});
    std::vector<std::uint8_t> samples;
    for (const auto* plane : {&flat, &dim, &flat, &percentile}) {
        samples.insert(samples.end(), plane->begin(), plane->end());
    }
    StretchRenderer renderer(30, 30, 4, PixelType::UInt8);
    const StretchParams params = renderer.computeAutoParams(samples.data());
    expectDefaultRecord(params.channel[0], "flat channel 0");
    // Channel 1's floor is 28; above it 32 and 36 in equal parts: median 36, MAD 4.
    EXPECT_GT(params.channel[1].shadows, kDimShadows) << "channel 1 measured above its floor";
    expectRecord(params.channel[2], 0.078125f, 0.859375f, 0.142857f, "channel 3 in record 2");
}

TEST(AutomaticRule, UnmeasurableFramesGiveDefaultRecords)
{
    const std::vector<std::uint8_t> samples(16, 100);
    StretchRenderer unknown(4, 4, 1, static_cast<PixelType>(99));
    expectDefaultRecord(unknown.computeAutoParams(samples.data()).channel[0], "unknown type");
    expectDefaultRecord(unknown.computeParams(samples.data(), false).channel[0], "unknown type");

    StretchRenderer empty(0, 4, 3, PixelType::UInt8);
    expectDefaultRecord(empty.computeAutoParams(samples.data()).channel[2], "no pixels");

    StretchRenderer noSamples(4, 4, 1, PixelType::UInt8);
    expectDefaultRecord(noSamples.computeAutoParams(nullptr).channel[0], "no samples");
}

TEST(AutomaticRule, NaNSamplesAreSurvived)
{
    std::vector<float> samples(3000, 0.25f);
    for (std::size_t i = 0; i < samples.size(); i += 3)
        samples[i] = std::nanf("");
    for (std::size_t i = 1; i < samples.size(); i += 7)
        samples[i] = 0.75f;
    StretchRenderer renderer(3000, 1, 1, PixelType::Float);
    const StretchParams automatic = renderer.computeAutoParams(samples.data());
    const StretchParams median = renderer.computeParams(samples.data(), false);
    EXPECT_EQ(automatic.channel[0].reserved1, 1.0f);
    EXPECT_EQ(median.channel[0].reserved1, 1.0f);
}
