// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFuture>
#include <QImage>
#include <QList>

#include <cstdint>

#include "stretch/StretchLookupTable.h"
#include "stretch/StretchParams.h"

// Stretches an 8-bit planar frame into a picture band by band, as the
// producer of the frame (the live decode) finishes its rows: each band is a
// task on the global thread pool, so the render runs beside the decode
// instead of after it. The pixels are those of StretchRenderer::render with
// sampling 1: the same tables, the same row loops.
//
// Threads: built, fed and waited for on one thread. A task reads only its
// rows of the planes and writes only its scan lines of the picture; the
// planes and the picture must outlive the object, whose destructor waits.
class BandStretch {
public:
    // One channel needs a Format_Indexed8 picture with a grey ramp, three a
    // Format_RGB32 one, both width x height and not sharing their pixels;
    // `params` channel c stretches plane c.
    BandStretch(const StretchParams& params, const std::uint8_t* planes, std::int32_t width, std::int32_t height,
        std::int32_t channels, QImage* picture);
    ~BandStretch();
    BandStretch(const BandStretch&) = delete;
    BandStretch& operator=(const BandStretch&) = delete;

    // Rows firstRow to firstRow + rowCount - 1 are ready and the producer
    // will not touch them again; the next call continues where this one ends.
    void renderRows(std::int32_t firstRow, std::int32_t rowCount);
    // Returns once every row handed in so far is in the picture.
    void waitForRows();

private:
    using Table = StretchLookupTable<std::uint8_t>;

    // Starts one task for the rows handed in since the last one.
    void startPendingRows();

    const std::uint8_t* planes_;
    std::int64_t width_;
    std::int64_t planeSize_;
    std::int32_t channels_;
    std::int32_t rowsPerTask_;
    std::int32_t firstPendingRow_ = 0;
    std::int32_t pendingRows_ = 0;
    uchar* bits_;
    qsizetype bytesPerLine_;
    Table red_;
    Table green_;
    Table blue_;
    QList<QFuture<void>> bands_;
};
