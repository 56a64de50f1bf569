// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtEndian>
#include <QtGlobal>

#include <cstdint>
#include <cstring>

// The row loops of the stretch: one row of samples (of one plane, or of
// three planes planeSize samples apart) into one scan line of the picture,
// visiting every `sampling`-th sample. `Stretch` maps a sample to its byte:
// a table view or the per-sample arithmetic.

namespace stretch_rows {

constexpr std::uint32_t kOpaqueAlpha = 0xFF000000u;
constexpr int kRedShiftBits = 16;
constexpr int kGreenShiftBits = 8;
constexpr int kBytesPerStore = 8;

// Every caller in the system visits every sample; that loop gets a body of
// its own, which writes eight output bytes with one store: byte stores, not
// the table reads, are what bound it.
template <typename T, typename Stretch>
inline __attribute__((always_inline)) void stretchRowOneChannel(
    const T* row, int width, int sampling, uchar* line, Stretch stretch)
{
    if (sampling == 1) {
        std::int64_t x = 0;
        for (; x + kBytesPerStore <= width; x += kBytesPerStore) {
            std::uint64_t bytes = 0;
#pragma GCC unroll 8
            for (int k = 0; k < kBytesPerStore; ++k) {
                bytes |= std::uint64_t{stretch(row[x + k])} << (8 * k);
            }
            bytes = qToLittleEndian(bytes);
            std::memcpy(line + x, &bytes, sizeof bytes);
        }
        for (; x < width; ++x) {
            line[x] = stretch(row[x]);
        }
        return;
    }
    for (std::int64_t x = 0; x < width; x += sampling) {
        *line++ = stretch(row[x]);
    }
}

template <typename T, typename Stretch>
inline __attribute__((always_inline)) std::uint32_t stretchedPixel(
    T red, T green, T blue, Stretch redStretch, Stretch greenStretch, Stretch blueStretch)
{
    return kOpaqueAlpha | std::uint32_t{redStretch(red)} << kRedShiftBits |
        std::uint32_t{greenStretch(green)} << kGreenShiftBits | blueStretch(blue);
}

template <typename T, typename Stretch>
inline __attribute__((always_inline)) void stretchRowThreeChannels(const T* redRow, std::int64_t planeSize, int width,
    int sampling, uchar* line, Stretch red, Stretch green, Stretch blue)
{
    const T* greenRow = redRow + planeSize;
    const T* blueRow = greenRow + planeSize;
    auto* words = reinterpret_cast<std::uint32_t*>(line);
    if (sampling == 1) {
        for (std::int64_t x = 0; x < width; ++x) {
            words[x] = stretchedPixel(redRow[x], greenRow[x], blueRow[x], red, green, blue);
        }
        return;
    }
    for (std::int64_t x = 0; x < width; x += sampling) {
        *words++ = stretchedPixel(redRow[x], greenRow[x], blueRow[x], red, green, blue);
    }
}

}  // namespace stretch_rows
