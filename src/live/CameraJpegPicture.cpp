// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/CameraJpegPicture.h"

#include "live/FrameDecoding.h"
#include "live/FrameRendering.h"
#include "stretch/JpegEncoding.h"

#include "stretch/PictureBuffer.h"

#include <new>
#include <utility>

namespace {

const unsigned char* bytesOf(const QByteArray& jpeg)
{
    return reinterpret_cast<const unsigned char*>(jpeg.constData());
}

// The picture encodePictureJpeg takes for decoded interleaved samples, which
// must outlive it: grey samples as they are, colour pixels as pixel words.
// Null when memory runs out.
PictureBuffer pictureOf(const QByteArray& pixels, std::int32_t width, std::int32_t height, std::int32_t channels)
{
    const auto* samples = bytesOf(pixels);
    if (channels == 1)
        return PictureBuffer::over(nullptr, samples, width, height, channels, width);
    PictureBuffer picture(width, height, channels);
    const unsigned char* rgb = samples;
    for (std::int32_t y = 0; y < picture.height(); ++y) {
        for (std::int32_t x = 0; x < width; ++x, rgb += 3)
            picture.setPixel(x, y, PictureBuffer::pixelWord(rgb[0], rgb[1], rgb[2]));
    }
    return picture;
}

}  // namespace

CameraJpegPicture::CameraJpegPicture(QByteArray jpeg) : jpeg_(std::move(jpeg))
{
    if (!readJpegSize(bytesOf(jpeg_), static_cast<unsigned long>(jpeg_.size()), width_, height_)) {
        width_ = 0;
        height_ = 0;
    }
}

std::int32_t CameraJpegPicture::width() const
{
    return width_;
}

std::int32_t CameraJpegPicture::height() const
{
    return height_;
}

std::string CameraJpegPicture::encode(int factor) const
{
    try {
        if (factor == 1)
            return jpeg_.toStdString();
        if (width_ == 0 || (factor != 2 && factor != 4 && factor != 8))
            return {};
        QByteArray pixels;
        std::int32_t width = 0, height = 0, channels = 0;
        if (!decodeJpegReduced(
                bytesOf(jpeg_), static_cast<unsigned long>(jpeg_.size()), factor, pixels, width, height, channels))
            return {};
        QByteArray reduced;
        if (!encodePictureJpeg(pictureOf(pixels, width, height, channels), kStretchedJpegQuality, reduced))
            return {};
        return reduced.toStdString();
    } catch (const std::bad_alloc&) {
        return {};
    }
}
