// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <limits>

// Per sample type: the type the native black and white points are held in,
// how a float product becomes such a threshold, the precision of the quotient,
// and the difference v - S (taken only when v >= S) in that precision.
template <typename T>
struct SampleArithmetic;

namespace sample_arithmetic {

// Truncates toward zero into unsigned 32 bits, saturating; NaN gives 0.
inline std::uint32_t truncateToUInt32(double value)
{
    constexpr double kUInt32Limit = 4294967296.0;
    if (!(value > 0.0)) {
        return 0;
    }
    if (value >= kUInt32Limit) {
        return std::numeric_limits<std::uint32_t>::max();
    }
    return static_cast<std::uint32_t>(value);
}

// Truncates toward zero into signed 64 bits, saturating; NaN gives 0.
inline std::int64_t truncateToInt64(float value)
{
    constexpr float kInt64Limit = 9223372036854775808.0f;  // 2^63
    if (value != value) {
        return 0;
    }
    if (value >= kInt64Limit) {
        return std::numeric_limits<std::int64_t>::max();
    }
    if (value < -kInt64Limit) {
        return std::numeric_limits<std::int64_t>::min();
    }
    return static_cast<std::int64_t>(value);
}

// Truncates toward zero and clamps to the signed 16-bit range; NaN gives 0.
inline std::int16_t truncateToInt16(float value)
{
    if (value != value) {
        return 0;
    }
    if (value >= 32767.0f) {
        return std::numeric_limits<std::int16_t>::max();
    }
    if (value <= -32768.0f) {
        return std::numeric_limits<std::int16_t>::min();
    }
    return static_cast<std::int16_t>(value);
}

// The output byte of a quotient: the low 8 bits of its truncation, saturating at 0.
template <typename Real>
inline std::uint8_t outputByte(Real quotient)
{
    return static_cast<std::uint8_t>(truncateToUInt32(static_cast<double>(quotient)));
}

}  // namespace sample_arithmetic

// Both small unsigned codes. Out-of-range points keep their low bits, as the
// unsigned conversion does, and the difference is truncated to the type.
template <typename UInt>
struct SampleArithmeticSmallUnsigned {
    using Threshold = UInt;
    using Real = float;
    static Threshold threshold(float product)
    {
        return static_cast<Threshold>(sample_arithmetic::truncateToUInt32(product));
    }
    static Real difference(UInt v, Threshold s) { return static_cast<UInt>(v - s); }
};

template <>
struct SampleArithmetic<std::uint8_t> : SampleArithmeticSmallUnsigned<std::uint8_t> {
};

template <>
struct SampleArithmetic<std::uint16_t> : SampleArithmeticSmallUnsigned<std::uint16_t> {
};

// The normalised range of signed 16-bit data runs to 65535, beyond the type:
// thresholds are clamped to the type (so white 1.0 is 32767, not a wrapped -1),
// and the difference is taken in 32 bits so a negative black point cannot wrap it.
template <>
struct SampleArithmetic<std::int16_t> {
    using Threshold = std::int16_t;
    using Real = float;
    static Threshold threshold(float product) { return sample_arithmetic::truncateToInt16(product); }
    static Real difference(std::int16_t v, Threshold s)
    {
        return static_cast<float>(static_cast<std::int32_t>(v) - static_cast<std::int32_t>(s));
    }
};

// Both 64-bit integer codes. The difference is exact in unsigned 64 bits
// whenever v >= S, where the signed subtraction could overflow.
template <typename Int64>
struct SampleArithmetic64 {
    using Threshold = Int64;
    using Real = float;
    static Threshold threshold(float product)
    {
        return static_cast<Threshold>(sample_arithmetic::truncateToInt64(product));
    }
    static Real difference(Int64 v, Threshold s)
    {
        return static_cast<float>(static_cast<std::uint64_t>(v) - static_cast<std::uint64_t>(s));
    }
};

template <>
struct SampleArithmetic<long> : SampleArithmetic64<long> {
};

template <>
struct SampleArithmetic<long long> : SampleArithmetic64<long long> {
};

template <>
struct SampleArithmetic<float> {
    using Threshold = float;
    using Real = float;
    static Threshold threshold(float product) { return product; }
    static Real difference(float v, Threshold s) { return v - s; }
};

template <>
struct SampleArithmetic<double> {
    using Threshold = double;
    using Real = double;
    static Threshold threshold(float product) { return product; }
    static Real difference(double v, Threshold s) { return v - s; }
};
