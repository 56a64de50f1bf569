// SPDX-License-Identifier: GPL-3.0-or-later
#include "stretch/PictureBuffer.h"

#include <cstring>
#include <new>
#include <utility>

PictureBuffer::PictureBuffer(std::int32_t width, std::int32_t height, std::int32_t channels)
{
    if (width < 1 || height < 1 || (channels != 1 && channels != 3))
        return;
    const std::ptrdiff_t stride = std::ptrdiff_t{width} * (channels == 1 ? 1 : 4);
    std::shared_ptr<std::uint8_t[]> pixels(new (std::nothrow) std::uint8_t[std::size_t(stride) * std::size_t(height)]);
    if (!pixels)
        return;
    bytes_ = pixels.get();
    keeper_ = std::move(pixels);
    width_ = width;
    height_ = height;
    channels_ = channels;
    stride_ = stride;
}

PictureBuffer PictureBuffer::over(std::shared_ptr<const void> keeper, const std::uint8_t* bytes, std::int32_t width,
    std::int32_t height, std::int32_t channels, std::ptrdiff_t stride)
{
    PictureBuffer picture;
    if (bytes == nullptr || width < 1 || height < 1 || (channels != 1 && channels != 3))
        return picture;
    picture.keeper_ = std::move(keeper);
    picture.bytes_ = bytes;
    picture.width_ = width;
    picture.height_ = height;
    picture.channels_ = channels;
    picture.stride_ = stride;
    picture.borrowed_ = true;
    return picture;
}

PictureBuffer PictureBuffer::band(std::int32_t firstRow, std::int32_t rowCount) const
{
    PictureBuffer band;
    if (!isWritable() || firstRow < 0 || rowCount < 1 || rowCount > height_ - firstRow)
        return band;
    band.bytes_ = row(firstRow);
    band.width_ = width_;
    band.height_ = rowCount;
    band.channels_ = channels_;
    band.stride_ = stride_;
    return band;
}

void PictureBuffer::fill(std::uint8_t byte)
{
    for (std::int32_t y = 0; y < height_; ++y)
        std::memset(writableRow(y), byte, std::size_t(width_) * std::size_t(bytesPerPixel()));
}
