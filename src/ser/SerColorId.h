// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>

// The ColorID values of a SER header that change how a frame is laid out or shown.
namespace SerColorId {
constexpr std::int32_t kMono = 0;
constexpr std::int32_t kBayerRggb = 8;
constexpr std::int32_t kBayerGrbg = 9;
constexpr std::int32_t kBayerGbrg = 10;
constexpr std::int32_t kBayerBggr = 11;
constexpr std::int32_t kMosaicCyym = 16;
constexpr std::int32_t kRgb = 100;
constexpr std::int32_t kBgr = 101;

// Three interleaved samples per pixel.
constexpr bool isInterleavedColour(std::int32_t colorId)
{
    return colorId == kRgb || colorId == kBgr;
}
}  // namespace SerColorId
