// SPDX-License-Identifier: GPL-3.0-or-later
#include "stretch/ChannelStatistics.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "stretch/ChannelSample.h"
#include "stretch/OrderStatistics.h"

namespace {

// Median rule.
constexpr double kMadScale = 1.4826;  // MAD of a normal distribution to its sigma
constexpr double kClipFactor = 2.8;
constexpr float kBrightMedian = 0.5f;
constexpr float kTargetBackground = 0.25f;
constexpr std::size_t kAboveFloorShareDivisor = 20;  // at least count / 20 above the floor

// Percentile rule.
constexpr double kMinAboveFloorFraction = 0.02;
constexpr double kBlackPercentile = 1.0;
constexpr double kMidtonesPercentile = 50.0;
constexpr double kWhitePercentile = 99.5;
constexpr double kMinPercentileSpread = 0.05;
constexpr double kMinWhiteBlackGap = 0.00392156862745098;  // 1/255
constexpr double kMidtonesLow = 0.01;
constexpr double kMidtonesHigh = 0.99;
// midtones = 0.4 m / (0.6 - 0.19999999999999996 m) solves MTF(midtones, m) = 0.6.
constexpr double kPercentileMidtonesNumerator = 0.4;
constexpr double kPercentileMidtonesTarget = 0.6;
constexpr double kPercentileMidtonesSlope = 0.19999999999999996;

constexpr float kNeutralMidtones = 0.5f;

// Absolute deviations of integer samples are held unsigned, where the larger
// minus the smaller is exact for every pair (signed 16 and 64 bits could wrap).
template <typename T, bool = std::is_integral_v<T>>
struct DeviationType {
    using type = T;
};

template <typename T>
struct DeviationType<T, true> {
    using type = std::make_unsigned_t<T>;
};

template <typename T>
using Deviation = typename DeviationType<T>::type;

template <typename T>
Deviation<T> absoluteDeviation(T value, T median)
{
    using D = Deviation<T>;
    return value > median ? static_cast<D>(static_cast<D>(value) - static_cast<D>(median))
                          : static_cast<D>(static_cast<D>(median) - static_cast<D>(value));
}

template <typename T>
double normalised(T value, int inputRange)
{
    return static_cast<double>(value) / inputRange;
}

StretchChannelParams channelRecord(float shadows, float highlights, float midtones)
{
    StretchChannelParams record;
    record.shadows = shadows;
    record.highlights = highlights;
    record.midtones = midtones;
    return record;
}

// The balance r with MTF(r, x) = m, or 0.5 where there is none.
float balanceMapping(float x, float m)
{
    if (m == x) {
        return kNeutralMidtones;
    }
    const float r = (m - 1.0f) * x / ((2.0f * m - 1.0f) * x - m);
    return r > 0.0f ? r : kNeutralMidtones;
}

// Median and MAD of the working set, which is consumed.
template <typename T>
std::pair<T, Deviation<T>> medianAndMad(std::vector<T> working)
{
    const T median = medianOf(working);
    if constexpr (std::is_same_v<Deviation<T>, T>) {
        for (T& value : working) {
            value = absoluteDeviation(value, median);
        }
        return {median, medianOf(working)};
    } else {
        std::vector<Deviation<T>> deviations;
        deviations.reserve(working.size());
        for (const T value : working) {
            deviations.push_back(absoluteDeviation(value, median));
        }
        return {median, medianOf(deviations)};
    }
}

template <typename T>
StretchChannelParams medianRule(std::vector<T> working, int inputRange)
{
    if (working.empty()) {
        return StretchChannelParams{};
    }
    const auto [median, mad] = medianAndMad(std::move(working));
    // Normalised by inputRange (256 for 8 bits), not by the renderer's full scale.
    const float med = static_cast<float>(normalised(median, inputRange));
    const float madn = static_cast<float>(static_cast<double>(mad) * kMadScale / inputRange);
    float shadows = 0.0f;
    float highlights = 1.0f;
    float target = kTargetBackground;
    float position = kTargetBackground;
    if (med > kBrightMedian) {
        if (madn != 0.0f) {
            highlights = static_cast<float>(std::clamp(med + kClipFactor * madn, 0.0, 1.0));
        }
        target = highlights - med;
    } else {
        if (madn != 0.0f) {
            shadows = static_cast<float>(std::clamp(med - kClipFactor * madn, 0.0, 1.0));
        }
        position = med - shadows;
        if (position == 0.0f) {
            return channelRecord(shadows, highlights, kNeutralMidtones);
        }
    }
    return channelRecord(shadows, highlights, balanceMapping(position, target));
}

// The working set of the median rule with excludeFloor: the samples above the
// floor, unless they are none or fewer than a twentieth of the sample set.
template <typename T>
std::vector<T> aboveFloorOrAll(ChannelSample<T>& sample, std::vector<T> above)
{
    if (above.empty() || above.size() < sample.count() / kAboveFloorShareDivisor) {
        return sample.takeSamples();
    }
    return above;
}

template <typename T>
StretchChannelParams percentileRule(std::vector<T> above, int inputRange)
{
    const T black = percentileOf(above, kBlackPercentile);
    const T middle = percentileOf(above, kMidtonesPercentile);
    const T white = percentileOf(above, kWhitePercentile);
    const double lo = normalised(black, inputRange);
    const double hi = normalised(white, inputRange);
    if (hi - lo < kMinPercentileSpread) {
        return StretchChannelParams{};
    }
    const float shadows = static_cast<float>(std::clamp(lo, 0.0, 1.0));
    const float highlights = static_cast<float>(std::min(std::max(hi, shadows + kMinWhiteBlackGap), 1.0));
    const float span = highlights - shadows;
    const double m = std::clamp((normalised(middle, inputRange) - shadows) / span, kMidtonesLow, kMidtonesHigh);
    const double midtones =
        kPercentileMidtonesNumerator * m / (kPercentileMidtonesTarget - kPercentileMidtonesSlope * m);
    return channelRecord(shadows, highlights, static_cast<float>(std::clamp(midtones, kMidtonesLow, kMidtonesHigh)));
}

}  // namespace

template <typename T>
void computeChannelParams(
    const T* plane, StretchChannelParams* params, int inputRange, int height, int width, bool excludeFloor)
{
    ChannelSample<T> sample(plane, height, width);
    std::vector<T> working = excludeFloor ? aboveFloorOrAll(sample, sample.aboveFloor()) : sample.takeSamples();
    *params = medianRule(std::move(working), inputRange);
}

template <typename T>
void computeAutoChannelParams(const T* plane, StretchChannelParams* params, int inputRange, int height, int width)
{
    ChannelSample<T> sample(plane, height, width);
    const std::size_t count = sample.count();
    std::vector<T> above = sample.aboveFloor();
    const bool floorDominated = count > 0 && !above.empty() &&
        static_cast<double>(above.size()) / static_cast<double>(count) >= kMinAboveFloorFraction &&
        sample.countAtFloor() > count / 2;
    if (floorDominated) {
        *params = percentileRule(std::move(above), inputRange);
    } else {
        *params = medianRule(aboveFloorOrAll(sample, std::move(above)), inputRange);
    }
}

#define CHANNEL_STATISTICS_INSTANTIATE(T)                                                                              \
    template void computeChannelParams<T>(const T*, StretchChannelParams*, int, int, int, bool);                       \
    template void computeAutoChannelParams<T>(const T*, StretchChannelParams*, int, int, int);

CHANNEL_STATISTICS_INSTANTIATE(std::uint8_t)
CHANNEL_STATISTICS_INSTANTIATE(std::uint16_t)
CHANNEL_STATISTICS_INSTANTIATE(std::int16_t)
CHANNEL_STATISTICS_INSTANTIATE(long)
CHANNEL_STATISTICS_INSTANTIATE(float)
CHANNEL_STATISTICS_INSTANTIATE(long long)
CHANNEL_STATISTICS_INSTANTIATE(double)

#undef CHANNEL_STATISTICS_INSTANTIATE
