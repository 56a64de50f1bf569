// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace quelmor {

// A picture that the server can send at full size or reduced by 2, 4 or 8.
// The publisher asks for each size only when a viewer of that size watches,
// once per picture, and shares the bytes among that size's viewers.
//
// Threads: encode may be called from any thread, for different factors at
// once; implementations hold only what they were made with, unchanged.
class ScalablePicture {
public:
    // The reductions a picture may be asked for, smallest first.
    static constexpr std::array<int, 4> kFactors{1, 2, 4, 8};

    virtual ~ScalablePicture() = default;

    // The full size in pixels; 0 when unknown, and such a picture is only
    // ever asked for at full size.
    virtual std::int32_t width() const = 0;
    virtual std::int32_t height() const = 0;
    // The JPEG of the picture reduced by `factor` (one of kFactors): each side
    // divided by it, rounded up. Empty when it cannot be made.
    virtual std::string encode(int factor) const = 0;

    // The reduction for a viewer that asked for `requested_width` pixels: the
    // largest factor whose reduced width is still at least that many, 1 for a
    // request of 0 (none) or when the width is unknown.
    static int factorForWidth(std::int32_t picture_width, std::int32_t requested_width)
    {
        int chosen = 1;
        if (picture_width <= 0 || requested_width <= 0)
            return chosen;
        for (int factor : kFactors) {
            if ((picture_width + factor - 1) / factor >= requested_width)
                chosen = factor;
        }
        return chosen;
    }
};

}  // namespace quelmor
