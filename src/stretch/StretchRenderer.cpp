// SPDX-License-Identifier: GPL-3.0-or-later
#include "stretch/StretchRenderer.h"

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "stretch/ChannelStatistics.h"
#include "stretch/StretchTemplates.h"

namespace {

constexpr std::int32_t kByteInputRange = 256;
constexpr std::int32_t kWideInputRange = 65536;
constexpr std::int32_t kNormalisedInputRange = 1;
constexpr std::int64_t kFloatRangeProbeStride = 1000;
constexpr float kNormalisedMaximum = 1.01f;
constexpr int kLastParamsChannel = 2;

template <typename Tag>
using SampleOf = std::remove_const_t<std::remove_pointer_t<Tag>>;

// The largest probed sample; starts at 0 and only a strictly greater sample
// replaces it, so NaN never does.
template <typename Real>
float probedMaximum(const Real* plane, std::int64_t n)
{
    Real maximum = 0;
    for (std::int64_t index = 0; index < n; index += kFloatRangeProbeStride) {
        if (plane[index] > maximum) {
            maximum = plane[index];
        }
    }
    return static_cast<float>(maximum);
}

}  // namespace

StretchRenderer::StretchRenderer(std::int32_t width, std::int32_t height, std::int32_t channels, PixelType pixelType)
    : width(width), height(height), channels(channels),
      inputRange(pixelType == PixelType::UInt8 ? kByteInputRange : kWideInputRange), pixelType(pixelType)
{
}

StretchRenderer::StretchRenderer(const RawFrame& frame)
    : StretchRenderer(frame.width, frame.height, frame.channels, frame.pixelType)
{
}

void StretchRenderer::detectFloatRange(const void* samples)
{
    if (inputRange <= kNormalisedInputRange || (pixelType != PixelType::Float && pixelType != PixelType::Double)) {
        return;
    }
    if (width < 1 || height < 1) {
        inputRange = kNormalisedInputRange;
        return;
    }
    if (samples == nullptr) {
        return;
    }
    const std::int64_t n = static_cast<std::int64_t>(width) * height;
    const float maximum = pixelType == PixelType::Float ? probedMaximum(static_cast<const float*>(samples), n)
                                                        : probedMaximum(static_cast<const double*>(samples), n);
    if (maximum <= kNormalisedMaximum) {
        inputRange = kNormalisedInputRange;
    }
}

void StretchRenderer::render(const void* samples, const PictureBuffer* image, int sampling)
{
    render(samples, image, sampling, RowsRendered());
}

void StretchRenderer::render(
    const void* samples, const PictureBuffer* image, int sampling, const RowsRendered& rowsRendered)
{
    detectFloatRange(samples);
    visitSampleType(pixelType, [&](auto tag) {
        using T = SampleOf<decltype(tag)>;
        const T* typed = static_cast<const T*>(samples);
        if (channels == 1) {
            stretchOneChannel(typed, image, params, inputRange, height, width, sampling, rowsRendered);
        } else if (channels == 3) {
            stretchThreeChannels(typed, image, params, inputRange, height, width, sampling, rowsRendered);
        }
    });
}

template <typename ChannelRule>
StretchParams StretchRenderer::paramsPerChannel(const void* samples, const ChannelRule& rule) const
{
    StretchParams result;
    if (samples == nullptr || width < 1 || height < 1) {
        return result;
    }
    visitSampleType(pixelType, [&](auto tag) {
        using T = SampleOf<decltype(tag)>;
        const T* typed = static_cast<const T*>(samples);
        const std::int64_t planeSize = static_cast<std::int64_t>(width) * height;
        for (std::int32_t c = 0; c < channels; ++c) {
            rule(typed + c * planeSize, &result.channel[std::min(c, kLastParamsChannel)]);
        }
    });
    return result;
}

StretchParams StretchRenderer::computeParams(const void* samples, bool excludeFloor)
{
    detectFloatRange(samples);
    return paramsPerChannel(samples, [&](const auto* plane, StretchChannelParams* record) {
        computeChannelParams(plane, record, inputRange, height, width, excludeFloor);
    });
}

StretchParams StretchRenderer::computeAutoParams(const void* samples)
{
    detectFloatRange(samples);
    return paramsPerChannel(samples, [&](const auto* plane, StretchChannelParams* record) {
        computeAutoChannelParams(plane, record, inputRange, height, width);
    });
}
