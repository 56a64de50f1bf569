// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>

#include "stretch/PixelType.h"

// A planar raw frame as callers hand it to the renderer; it does not own the
// samples. Channel c is a gap-free plane of width x height samples starting at
// sample index c x width x height, rows in order, in native byte order.
struct RawFrame {
    const void* samples = nullptr;  // of the type that pixelType names
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t channels = 0;  // 1 (grey) or 3 (red, green, blue) are rendered
    PixelType pixelType = PixelType::UInt8;
};
