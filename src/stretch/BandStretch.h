// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>

#include "stretch/PictureBuffer.h"
#include "stretch/StretchLookupTable.h"
#include "stretch/StretchParams.h"

// Stretches an 8-bit planar frame into a picture a band of rows at a time,
// so that a band can be stretched as soon as its rows are decoded and
// encoded while it is still in the cache. The pixels are those of
// StretchRenderer::render with sampling 1: the same tables, the same row
// loops.
//
// Threads: renderRows may run on any one thread at a time; the planes and
// the picture must outlive the object.
class BandStretch {
public:
    // The picture needs `channels` channels, width x height, and to be writable;
    // `params` channel c stretches plane c.
    BandStretch(const StretchParams& params, const std::uint8_t* planes, std::int32_t width, std::int32_t height,
        std::int32_t channels, const PictureBuffer& picture);

    // Writes scan lines firstRow to firstRow + rowCount - 1 of the picture.
    void renderRows(std::int32_t firstRow, std::int32_t rowCount) const;

private:
    using Table = StretchLookupTable<std::uint8_t>;

    const std::uint8_t* planes_;
    std::int64_t width_;
    std::int64_t planeSize_;
    std::int32_t channels_;
    std::uint8_t* bits_;
    std::ptrdiff_t bytesPerLine_;
    Table red_;
    Table green_;
    Table blue_;
};
