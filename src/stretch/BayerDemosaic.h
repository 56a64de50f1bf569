// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Bilinear demosaicing of Bayer mosaics (libdc1394's), shared by SER playback
// and the live feed. A demosaiced frame's outermost rows and columns are black,
// as the demosaic of the whole frame at once leaves them; bands of rows come
// out exactly as the same rows of the whole frame.
//
// The templates are instantiated for std::uint8_t and std::uint16_t samples.
// Threads: reentrant.

// The colours of a mosaic's 2 x 2 tile, read left to right, top to bottom.
// Bit 0 of the value says red lies in an odd column, bit 1 on an odd row.
enum class BayerPattern : std::uint8_t { Rggb = 0, Grbg = 1, Gbrg = 2, Bggr = 3 };

// "RGGB", "GRBG", "GBRG" or "BGGR" (as FITS BAYERPAT and INDI's CFA_TYPE
// write them), in any case; nothing for any other name.
std::optional<BayerPattern> bayerPatternNamed(const std::string& name);

// The pattern as seen from pixel (x, y) of a mosaic whose pixel (0, 0) sees
// `pattern`: an odd x moves it by one column, an odd y by one row.
BayerPattern shiftedBayerPattern(BayerPattern pattern, std::int64_t x, std::int64_t y);

// Smaller mosaics cannot be demosaiced: the bilinear demosaic loops for ever
// on frames lower than 2 rows and reads past the end of frames 2 columns wide.
constexpr std::int32_t kMinBayerWidth = 3;
constexpr std::int32_t kMinBayerHeight = 2;

// Demosaics rows [firstRow, firstRow + rows) of a width x height mosaic into
// interleaved red, green, blue pixels, with one more row on each side where the
// mosaic has one. `buffer` holds them (resized as needed, kept for reuse);
// `demosaiced` points at the first wanted row in it. False when the mosaic is
// too small or memory is short.
template <typename Sample>
bool demosaicBand(const Sample* mosaic, std::int32_t width, std::int32_t height, BayerPattern pattern,
    std::int32_t firstRow, std::int32_t rows, std::vector<std::uint8_t>& buffer, const Sample*& demosaiced);

// Pixel (x, y) of the demosaiced mosaic, into rgb[0..2], from the 3 x 3 pixels
// around it alone. False when the demosaic fails.
template <typename Sample>
bool demosaicPixel(const Sample* mosaic, std::int64_t width, std::int64_t height, BayerPattern pattern, std::int64_t x,
    std::int64_t y, Sample* rgb);

// Demosaics a whole width x height mosaic into three planes of width x height
// samples (red, green, blue, one after the other) at `planes`, a band of rows at
// a time, so that only one band of interleaved pixels (about kDemosaicBandBytes)
// is held besides them. False when the mosaic is too small or memory is short.
template <typename Sample>
bool demosaicToPlanes(
    const Sample* mosaic, std::int32_t width, std::int32_t height, BayerPattern pattern, Sample* planes);

// Sizes a band's `buffer` to `bytes` without throwing: false when memory is short.
bool resizeBandBuffer(std::vector<std::uint8_t>& buffer, std::size_t bytes);

// The interleaved pixels of one band of demosaicToPlanes.
constexpr std::size_t kDemosaicBandBytes = std::size_t(4) << 20;

// Splits pixelCount interleaved pixels of three samples into three planes of
// pixelCount samples at `planes`; red and blue change places with swapRedBlue.
template <typename Sample>
void splitPlanes(const Sample* pixels, Sample* planes, std::size_t pixelCount, bool swapRedBlue);
