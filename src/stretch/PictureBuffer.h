// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

// An 8-bit picture as the stretch renders it and the encoders read it: one
// grey byte a pixel for one channel; for three, one native 32-bit word a
// pixel, 0xFFRRGGBB (so B, G, R, 0xFF in memory on little-endian machines).
// Rows are `stride` bytes apart.
//
// Copies share the pixels; only a picture that owns its pixels alone may be
// written (isWritable), so a picture handed on stays as it was.
//
// Threads: a picture that is only read may be read on any threads at once.
class PictureBuffer {
public:
    // The pixel word of a colour picture.
    static constexpr std::uint32_t pixelWord(std::uint8_t red, std::uint8_t green, std::uint8_t blue)
    {
        return 0xFF000000u | std::uint32_t{red} << 16 | std::uint32_t{green} << 8 | blue;
    }

    // A null picture.
    PictureBuffer() = default;
    // A picture of its own, pixels not set. Null for a side below 1, channels
    // other than 1 or 3, or when memory runs out.
    PictureBuffer(std::int32_t width, std::int32_t height, std::int32_t channels);
    // A read-only picture over rows that `keeper` keeps alive (or that outlive
    // the picture when it is empty).
    static PictureBuffer over(std::shared_ptr<const void> keeper, const std::uint8_t* bytes, std::int32_t width,
        std::int32_t height, std::int32_t channels, std::ptrdiff_t stride);

    // Rows firstRow to firstRow + rowCount - 1 of a writable picture, as a
    // writable picture over them that must not outlive it. Null when the
    // picture is not writable or the rows are not all in it.
    PictureBuffer band(std::int32_t firstRow, std::int32_t rowCount) const;

    bool isNull() const { return bytes_ == nullptr; }
    // A band holds no keeper: its picture is writable when it is made.
    bool isWritable() const { return !isNull() && !borrowed_ && keeper_.use_count() <= 1; }
    std::int32_t width() const { return width_; }
    std::int32_t height() const { return height_; }
    std::int32_t channels() const { return channels_; }
    std::ptrdiff_t stride() const { return stride_; }
    int bytesPerPixel() const { return channels_ == 1 ? 1 : 4; }

    const std::uint8_t* row(std::int32_t y) const { return bytes_ + y * stride_; }
    // The rows of a writable picture.
    std::uint8_t* writableRow(std::int32_t y) const { return const_cast<std::uint8_t*>(row(y)); }
    // The pixel at (x, y): a grey level, or a colour picture's pixel word.
    std::uint32_t pixel(std::int32_t x, std::int32_t y) const
    {
        if (channels_ == 1)
            return row(y)[x];
        std::uint32_t word = 0;
        std::memcpy(&word, row(y) + std::ptrdiff_t{x} * 4, sizeof word);
        return word;
    }
    // Sets the pixel at (x, y) of a writable picture to `value`, as pixel() gives it.
    void setPixel(std::int32_t x, std::int32_t y, std::uint32_t value) const
    {
        if (channels_ == 1)
            writableRow(y)[x] = static_cast<std::uint8_t>(value);
        else
            std::memcpy(writableRow(y) + std::ptrdiff_t{x} * 4, &value, sizeof value);
    }
    // Sets every byte of a writable picture (a colour one's padding byte too).
    void fill(std::uint8_t byte);

private:
    std::shared_ptr<const void> keeper_;
    const std::uint8_t* bytes_ = nullptr;
    std::int32_t width_ = 0;
    std::int32_t height_ = 0;
    std::int32_t channels_ = 0;
    std::ptrdiff_t stride_ = 0;
    bool borrowed_ = false;
};
