// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

#include <atomic>
#include <cstdint>
#include <functional>

// Turns the camera's JPEG pictures into 8-bit samples. Interleaved layout: rows
// top to bottom, pixels left to right, the channels of a pixel together (grey;
// or red, green, blue). Planar layout: plane k of width x height samples starts
// at byte k x width x height.
//
// Threads: reentrant; the live client calls both on the INDI receiving thread.

// Decodes one JPEG picture held in memory into interleaved samples in `pixels`.
// True only for a picture of 1 or 3 components; `width` and `height` are then
// written, `channels` as soon as the header is read (4 for CMYK, with false).
// Corrupt input answers false and never ends the process; a truncated picture
// with an intact header decodes to full size (the missing rows grey).
//
// The cost of a decode is bounded before it starts, from the header alone: a
// picture answers false unless it has at most kMaxDecodedPixels pixels, at
// most a signed 32-bit count of samples, and at least one byte per eight 8x8
// blocks of all its components (no entropy coding of a whole picture takes
// less, so a small file whose header claims a huge size is not expanded). A
// picture that does not fit in memory answers false too.
//
// `cancelled`, when given, is polled while decoding: once it is true the
// decode stops and answers false.
bool decodeJpeg(const unsigned char* bytes, unsigned long length, QByteArray& pixels, std::int32_t& width,
    std::int32_t& height, std::int32_t& channels, const std::atomic<bool>* cancelled = nullptr);

// Rows firstRow to firstRow + rowCount - 1 of every plane of a picture
// being decoded: written, and not touched again by the decode.
struct DecodedRows {
    const unsigned char* planes;
    std::int32_t width;
    std::int32_t height;
    std::int32_t channels;
    std::int32_t firstRow;
    std::int32_t rowCount;
};
using RowsDecoded = std::function<void(const DecodedRows&)>;

// Decodes like decodeJpeg, into the planar layout: the rows of a colour
// picture pass through a band of a few rows on their way to the planes, so the
// interleaved picture is never held whole and no second pass rearranges it.
// `rowsDecoded`, when given, hears of every band of rows as it is done, top
// to bottom, so that work on them can start before the picture is whole.
bool decodeJpegPlanar(const unsigned char* bytes, unsigned long length, QByteArray& planes, std::int32_t& width,
    std::int32_t& height, std::int32_t& channels, const std::atomic<bool>* cancelled = nullptr,
    const RowsDecoded& rowsDecoded = {});

// Decodes like decodeJpeg, reduced by `reduction` (1, 2, 4 or 8) with
// libjpeg's DCT scaling: each side divided by it, rounded up, at a fraction
// of a full decode's work. The bound is the full picture's, as for decodeJpeg.
bool decodeJpegReduced(const unsigned char* bytes, unsigned long length, int reduction, QByteArray& pixels,
    std::int32_t& width, std::int32_t& height, std::int32_t& channels);

// Reads only the header of a JPEG picture: its full size. False for a header
// that cannot be read, a picture beyond decodeJpeg's bound, or one of other
// than 1 or 3 components.
bool readJpegSize(const unsigned char* bytes, unsigned long length, std::int32_t& width, std::int32_t& height);

// Above the largest astronomy sensors (about 150 Mpx).
constexpr std::int64_t kMaxDecodedPixels = 200'000'000;

// The planar form of an interleaved picture; one channel is returned as is.
// Empty for a negative geometry or interleaved bytes fewer than it needs.
QByteArray toPlanar(const QByteArray& interleaved, std::int32_t width, std::int32_t height, std::int32_t channels);
