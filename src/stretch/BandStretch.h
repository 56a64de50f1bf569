// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QImage>

#include <cstdint>

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
    // One channel needs a Format_Indexed8 picture with a grey ramp, three a
    // Format_RGB32 one, both width x height and not sharing their pixels;
    // `params` channel c stretches plane c.
    BandStretch(const StretchParams& params, const std::uint8_t* planes, std::int32_t width, std::int32_t height,
        std::int32_t channels, QImage* picture);

    // Writes scan lines firstRow to firstRow + rowCount - 1 of the picture.
    void renderRows(std::int32_t firstRow, std::int32_t rowCount) const;

private:
    using Table = StretchLookupTable<std::uint8_t>;

    const std::uint8_t* planes_;
    std::int64_t width_;
    std::int64_t planeSize_;
    std::int32_t channels_;
    uchar* bits_;
    qsizetype bytesPerLine_;
    Table red_;
    Table green_;
    Table blue_;
};
