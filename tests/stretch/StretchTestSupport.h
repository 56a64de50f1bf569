// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

#include "stretch/PictureBuffer.h"
#include "stretch/StretchParams.h"

namespace stretch_test {

constexpr std::uint8_t kSentinelByte = 0x5A;

inline StretchChannelParams channelParams(float shadows, float highlights, float midtones)
{
    StretchChannelParams params;
    params.shadows = shadows;
    params.highlights = highlights;
    params.midtones = midtones;
    return params;
}

inline StretchParams linkedParams(float shadows, float highlights, float midtones)
{
    StretchParams params;
    params.channel.fill(channelParams(shadows, highlights, midtones));
    return params;
}

// A grey picture, every byte the sentinel.
inline PictureBuffer greyImage(int width, int height)
{
    PictureBuffer image(width, height, 1);
    image.fill(kSentinelByte);
    return image;
}

// A colour picture, every pixel word 0x12345678.
inline PictureBuffer colourImage(int width, int height)
{
    PictureBuffer image(width, height, 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, 0x12345678u);
    }
    return image;
}

// The output byte of a quotient, written from its definition: truncate toward
// zero, negatives and NaN to 0, keep the low 8 bits (saturating at 2^32 - 1).
inline std::uint8_t referenceByte(double quotient)
{
    if (!(quotient > 0.0)) {
        return 0;
    }
    if (quotient >= 4294967296.0) {
        return 0xFF;
    }
    return static_cast<std::uint8_t>(static_cast<std::uint32_t>(quotient) & 0xFFu);
}

// Unsigned thresholds: truncate to unsigned 32 bits (negatives to 0), keep the low bits.
inline std::uint32_t referenceUnsigned(float product)
{
    if (!(product > 0.0f)) {
        return 0;
    }
    if (product >= 4294967296.0f) {
        return std::numeric_limits<std::uint32_t>::max();
    }
    return static_cast<std::uint32_t>(product);
}

// The per-sample stretch written straight from its formula, one sample at a
// time, as the oracle for the renderer's tables and row loops.
template <typename T>
std::uint8_t referenceStretch(T v, const StretchChannelParams& p, int inputRange)
{
    const float fullScale = static_cast<float>(inputRange > 1 ? inputRange - 1 : inputRange);
    const float k = p.highlights == p.shadows ? 1.0f : 1.0f / (p.highlights - p.shadows);
    const float a = (p.midtones - 1.0f) * k * 255.0f / fullScale;
    const float b = (2.0f * p.midtones - 1.0f) * k / fullScale;
    const float m = p.midtones;
    const float blackProduct = p.shadows * fullScale;
    const float whiteProduct = p.highlights * fullScale;
    if constexpr (std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::uint16_t>) {
        const T black = static_cast<T>(referenceUnsigned(blackProduct));
        const T white = static_cast<T>(referenceUnsigned(whiteProduct));
        if (v < black)
            return 0;
        if (v >= white)
            return 255;
        const float x = static_cast<T>(v - black);
        return referenceByte((x * a) / std::fma(x, b, -m));
    } else if constexpr (std::is_same_v<T, std::int16_t>) {
        // Thresholds clamped to the signed 16-bit range.
        const auto clamp16 = [](float product) {
            return static_cast<std::int16_t>(std::fmax(-32768.0f, std::fmin(32767.0f, std::trunc(product))));
        };
        const std::int16_t black = clamp16(blackProduct);
        const std::int16_t white = clamp16(whiteProduct);
        if (v < black)
            return 0;
        if (v >= white)
            return 255;
        const float x = static_cast<float>(static_cast<int>(v) - static_cast<int>(black));
        return referenceByte((x * a) / std::fma(x, b, -m));
    } else if constexpr (std::is_integral_v<T>) {
        const T black = static_cast<T>(blackProduct);
        const T white = static_cast<T>(whiteProduct);
        if (v < black)
            return 0;
        if (v >= white)
            return 255;
        const float x = static_cast<float>(v - black);
        return referenceByte((x * a) / std::fma(x, b, -m));
    } else if constexpr (std::is_same_v<T, float>) {
        if (v < blackProduct)
            return 0;
        if (v >= whiteProduct)
            return 255;
        const float x = v - blackProduct;
        return referenceByte((x * a) / std::fma(x, b, -m));
    } else {
        const double black = blackProduct;
        const double white = whiteProduct;
        if (v < black)
            return 0;
        if (v >= white)
            return 255;
        const double x = v - black;
        return referenceByte((x * double{a}) / std::fma(x, double{b}, -double{m}));
    }
}

}  // namespace stretch_test
