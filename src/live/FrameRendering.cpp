// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/FrameRendering.h"

#include "stretch/JpegEncoding.h"
#include "stretch/JpegRowEncoder.h"
#include "stretch/ParallelBands.h"
#include "stretch/StretchRenderer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr int kFullSampling = 1;
constexpr qsizetype kMinCopyBandBytes = qsizetype(1) << 20;

bool fitsOutputImage(const PictureBuffer& image, std::int32_t width, std::int32_t height, std::int32_t channels)
{
    return image.isWritable() && image.width() == width && image.height() == height && image.channels() == channels;
}

// An 8-bit grey frame shown as it is needs no render: the encoder reads its samples in place.
bool shownAsStored(const CameraFrame& frame, const StretchParams* stretch)
{
    return stretch == nullptr && frame.pixelType == PixelType::UInt8 && frame.channels == 1;
}

// The picture holds its own reference to the samples, for as long as any copy
// of it is sent; it is never written.
PictureBuffer greyView(const CameraFrame& frame)
{
    auto samples = std::make_shared<const QByteArray>(frame.samples);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(samples->constData());
    return PictureBuffer::over(std::move(samples), bytes, frame.width, frame.height, 1, frame.width);
}

// Readies `picture` for the frame and `renderer` with `stretch`, or with the
// frame's automatic stretch when there is none and the frame is deeper than 8
// bits; identity otherwise.
bool prepareRender(
    const CameraFrame& frame, const StretchParams* stretch, PictureBuffer& picture, StretchRenderer& renderer)
{
    if (frame.channels != 1 && frame.channels != 3)
        return false;
    prepareOutputImage(picture, frame.width, frame.height, frame.channels);
    if (picture.isNull())
        return false;
    const void* samples = frame.samples.constData();
    if (stretch != nullptr) {
        renderer.detectFloatRange(samples);
        renderer.params = *stretch;
    } else if (frame.pixelType != PixelType::UInt8) {
        renderer.params = renderer.computeAutoParams(samples);
    }
    return true;
}

bool renderFrame(const CameraFrame& frame, const StretchParams* stretch, PictureBuffer& picture)
{
    StretchRenderer renderer(frame.view());
    if (!prepareRender(frame, stretch, picture, renderer))
        return false;
    renderer.render(frame.samples.constData(), &picture, kFullSampling);
    return true;
}

// libjpeg encodes a picture on one thread only: this one encodes each group of
// rows as soon as the pool has stretched it, while the pool stretches the next.
bool renderAndEncode(
    const CameraFrame& frame, const StretchParams* stretch, PictureBuffer& picture, int quality, QByteArray& jpeg)
{
    StretchRenderer renderer(frame.view());
    if (!prepareRender(frame, stretch, picture, renderer))
        return false;
    JpegRowEncoder encoder;
    if (!encoder.start(picture, quality))
        return false;
    std::int64_t encodedRows = 0;
    bool written = true;
    renderer.render(frame.samples.constData(), &picture, kFullSampling, [&](std::int64_t endRow) {
        written = written && encoder.writeRows(static_cast<int>(endRow - encodedRows));
        encodedRows = endRow;
    });
    return written && encoder.finish(jpeg);
}

}  // namespace

void prepareOutputImage(PictureBuffer& picture, std::int32_t width, std::int32_t height, std::int32_t channels)
{
    if (fitsOutputImage(picture, width, height, channels))
        return;
    picture = PictureBuffer();  // the old pixels go before the new ones are taken
    picture = PictureBuffer(width, height, channels);
}

bool renderFramePicture(const CameraFrame& frame, const StretchParams* stretch, PictureBuffer& picture)
{
    if (!shownAsStored(frame, stretch))
        return renderFrame(frame, stretch, picture);
    picture = greyView(frame);
    return !picture.isNull();
}

bool renderFrameJpeg(
    const CameraFrame& frame, const StretchParams* stretch, PictureBuffer& picture, int quality, QByteArray& jpeg)
{
    if (!shownAsStored(frame, stretch))
        return renderAndEncode(frame, stretch, picture, quality, jpeg);
    picture = greyView(frame);
    return encodePictureJpeg(picture, quality, jpeg);
}

bool analysisPlanes(const CameraFrame& frame, QByteArray& planes)
{
    if (frame.pixelType == PixelType::UInt8) {
        planes = frame.samples;
        return true;
    }
    PictureBuffer picture;
    return renderFrame(frame, nullptr, picture) && planesOfPicture(picture, planes);
}

bool planesOfPicture(const PictureBuffer& picture, QByteArray& planes)
{
    const qsizetype width = picture.width();
    const qsizetype height = picture.height();
    const bool grey = picture.channels() == 1;
    try {
        planes.resize(width * height * (grey ? 1 : 3));
    } catch (const std::bad_alloc&) {
        return false;
    }
    auto* target = reinterpret_cast<uchar*>(planes.data());
    const qsizetype planeSize = width * height;
    // A copy of a large picture is bound by memory: a band of rows per pool thread.
    const qsizetype minBandRows = std::max<qsizetype>(1, kMinCopyBandBytes / std::max<qsizetype>(1, width));
    runInBands(height, minBandRows, [&](std::int64_t firstRow, std::int64_t endRow) {
        for (qsizetype y = firstRow; y < endRow; ++y) {
            if (grey) {
                std::memcpy(target + y * width, picture.row(int(y)), size_t(width));
                continue;
            }
            const std::uint8_t* pixels = picture.row(int(y));
            uchar* red = target + y * width;
            for (qsizetype x = 0; x < width; ++x) {
                std::uint32_t word = 0;
                std::memcpy(&word, pixels + x * 4, sizeof word);
                red[x] = uchar(word >> 16);
                red[planeSize + x] = uchar(word >> 8);
                red[2 * planeSize + x] = uchar(word);
            }
        }
    });
    return true;
}
