// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "stretch/PictureBuffer.h"
#include "stretch/PixelType.h"
#include "stretch/StretchParams.h"

class SerReader;

// Turns one SER frame into an 8-bit picture: reads it, demosaics Bayer frames
// (bilinear), splits RGB and BGR frames into red, green and blue planes, takes
// every other layout as one grey plane, and stretches it with parameters
// computed from the first frame rendered since the last forgetStretch().
//
// Depths other than 8 and 16 bits are shown like the same data at 8 (depths 1
// to 7) or 16 bits (9 to 15): their samples are taken as aligned to the low
// bits, with values up to 2^depth - 1, and scaled to the full range before
// demosaicing and stretching. When the first frame rendered holds a larger
// value, its recorder aligned the samples to the top bits, and the file's
// frames are shown as stored, as 8- or 16-bit data.
//
// Memory: colour frames are demosaiced or split and stretched in bands of
// rows, so a render holds the frame's bytes, one band (at most a third of the
// frame's rows and about kBandBudgetBytes) and the 8-bit picture; grey frames
// are stretched straight from their bytes. With the frame size bounded by
// canShow(), a render needs at most about 3 times the frame's bytes plus the
// picture. The buffers and the picture are kept between frames, so a file's
// frames cost no allocation after the first.
//
// The stages are public so that a benchmark can time them; render() runs them
// in order. Thread: the player's (main). Not thread-safe; the stretch spreads
// its rows over QThreadPool::globalInstance() and returns after all of them.
class SerFrameRenderer {
public:
    static constexpr int kJpegQuality = 85;
    // Frames of more pixels are refused: 2^26 (67 Mpx, e.g. 8192 x 8192) keeps
    // full-frame sensors (61 Mpx), while one render stays near a second on the
    // main thread and under 700 MB even for 16-bit RGB.
    static constexpr qint64 kMaxFramePixels = qint64(1) << 26;
    // The band buffers of a colour frame (demosaiced rows and their planes).
    static constexpr std::size_t kBandBudgetBytes = std::size_t(8) << 20;

    SerFrameRenderer() = default;
    Q_DISABLE_COPY_MOVE(SerFrameRenderer)

    // Whether the frames of the reader's open file can be shown; false with
    // the reason in `error` when a side exceeds what the JPEG encoder takes
    // (kMaxJpegSidePixels), the frame has more than kMaxFramePixels pixels, or
    // a Bayer frame is too small to demosaic.
    static bool canShow(const SerReader& reader, QString& error);

    // Renders frame `index` of `reader` into picture(). False when the frame
    // cannot be read or demosaiced or the buffers cannot be allocated;
    // picture() is then unspecified.
    bool render(SerReader& reader, int index);
    // The last rendered picture, of the frame's size: one channel for grey
    // frames, else three. A copy kept by the caller stays as it is: the next
    // render then makes a new picture.
    const PictureBuffer& picture() const { return picture_; }

    // The next render takes the sample alignment and the stretch again from
    // its frame (a new file was opened).
    void forgetStretch() { stretchCached = false; }

    // Stage 1: reads the frame's bytes.
    bool readFrame(SerReader& reader, int index);
    // Stage 2, once for each frame read: scales the frame's samples to their
    // full range, demosaics or splits it and stretches it into picture(), made
    // anew only when the frame's size or channels differ from the last one's
    // or the last one is still held elsewhere.
    bool renderPicture(const SerReader& reader);

private:
    // Fills shownLevels for a file of `depth` bits from the read frame.
    void chooseSampleScale(std::int32_t depth);
    void scaleSamples();
    bool preparePicture(bool grey);
    bool renderGrey();
    bool renderColour();
    // Rows of one band: at most a third of the frame and about kBandBudgetBytes.
    std::int32_t bandRows() const;
    // Rows [firstRow, firstRow + rows) of the colour frame as three planes in bandPlanes.
    bool makeBand(std::int32_t firstRow, std::int32_t rows);
    bool demosaicRows(std::int32_t firstRow, std::int32_t rows, const std::uint8_t*& demosaiced);
    // The stretch of the whole colour frame, from the same samples that
    // StretchRenderer::computeParams would take from its planes.
    bool measureColourStretch();

    QByteArray frameBytes;
    // The level each stored sample value is shown at, indexed by the value;
    // empty when the samples are shown as stored.
    std::vector<std::uint16_t> shownLevels;
    // Demosaiced pixels of one band and the rows around it, three interleaved samples each.
    std::vector<std::uint8_t> bandDemosaiced;
    // Red, green and blue planes of one band, one after the other.
    std::vector<std::uint8_t> bandPlanes;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t colorId = 0;
    PixelType pixelType = PixelType::UInt8;

    PictureBuffer picture_;

    StretchParams stretch;
    bool stretchCached = false;
};
