// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cmath>
#include <cstdint>

#include "stretch/SampleArithmetic.h"
#include "stretch/StretchParams.h"

// The per-render constants of one channel for sample type T (native black and
// white points S and H, coefficients A, B, M) and the per-sample stretch.
// A small immutable value: row tasks carry it by value.
template <typename T>
class ChannelStretch {
public:
    using Arithmetic = SampleArithmetic<T>;
    using Threshold = typename Arithmetic::Threshold;
    using Real = typename Arithmetic::Real;

    ChannelStretch(const StretchChannelParams& params, float fullScale)
        : black_(Arithmetic::threshold(params.shadows * fullScale)),
          white_(Arithmetic::threshold(params.highlights * fullScale))
    {
        constexpr float kOutputMax = 255.0f;
        const float k = params.highlights == params.shadows ? 1.0f : 1.0f / (params.highlights - params.shadows);
        a_ = (params.midtones - 1.0f) * k * kOutputMax / fullScale;
        b_ = (2.0f * params.midtones - 1.0f) * k / fullScale;
        m_ = params.midtones;
    }

    // Between the thresholds: (x * A) / (x * B - M) with a fused denominator.
    // A NaN sample fails both tests and its NaN quotient gives 0.
    std::uint8_t operator()(T v) const
    {
        if (v < black_) {
            return 0;
        }
        if (v >= white_) {
            return 255;
        }
        const Real x = Arithmetic::difference(v, black_);
        return sample_arithmetic::outputByte((x * a_) / std::fma(x, b_, -m_));
    }

private:
    Threshold black_;
    Threshold white_;
    // Worked out in single precision, widened for double samples.
    Real a_ = 0;
    Real b_ = 0;
    Real m_ = 0;
};
