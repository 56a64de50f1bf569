// SPDX-License-Identifier: GPL-3.0-or-later
#include "stretch/BayerDemosaic.h"

#include <QtGlobal>

#include <dc1394/conversions.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <new>

namespace {

constexpr int kColourChannels = 3;
constexpr std::array<const char*, 4> kPatternNames = {"RGGB", "GRBG", "GBRG", "BGGR"};
constexpr std::array<dc1394color_filter_t, 4> kTiles = {
    DC1394_COLOR_FILTER_RGGB, DC1394_COLOR_FILTER_GRBG, DC1394_COLOR_FILTER_GBRG, DC1394_COLOR_FILTER_BGGR};

bool bilinearDemosaic(
    const std::uint8_t* mosaic, std::uint8_t* rgb, std::uint32_t width, std::uint32_t height, BayerPattern pattern)
{
    return dc1394_bayer_decoding_8bit(mosaic, rgb, width, height, kTiles[std::size_t(pattern)],
               DC1394_BAYER_METHOD_BILINEAR) == DC1394_SUCCESS;
}

bool bilinearDemosaic(
    const std::uint16_t* mosaic, std::uint16_t* rgb, std::uint32_t width, std::uint32_t height, BayerPattern pattern)
{
    constexpr std::uint32_t kSignificantBits = 16;
    return dc1394_bayer_decoding_16bit(mosaic, rgb, width, height, kTiles[std::size_t(pattern)],
               DC1394_BAYER_METHOD_BILINEAR, kSignificantBits) == DC1394_SUCCESS;
}

bool tooSmall(std::int64_t width, std::int64_t height)
{
    return width < kMinBayerWidth || height < kMinBayerHeight;
}

// The bilinear demosaic leaves the outermost rows and columns of what it
// demosaics unwritten at 16 bits (black at 8): they are made black here, for
// the rows of a band that lie on the frame's edges.
void blackenFrameEdges(std::uint8_t* rows, std::size_t rowBytes, std::size_t pixelBytes, std::int32_t rowCount,
    bool topRow, bool bottomRow)
{
    for (std::int32_t row = 0; row < rowCount; ++row) {
        std::uint8_t* const line = rows + std::size_t(row) * rowBytes;
        const bool wholeRow = (topRow && row == 0) || (bottomRow && row == rowCount - 1);
        if (wholeRow) {
            std::memset(line, 0, rowBytes);
        } else {
            std::memset(line, 0, pixelBytes);
            std::memset(line + rowBytes - pixelBytes, 0, pixelBytes);
        }
    }
}

// Writes pixelCount interleaved pixels into the three targets, the samples of
// a plane packed into 64-bit stores in host order: one store per sample would
// bound the loop.
template <typename Sample>
void spreadOverPlanes(const Sample* pixels, Sample* const targets[], std::size_t pixelCount)
{
    constexpr std::size_t kSamplesPerStore = sizeof(std::uint64_t) / sizeof(Sample);
    constexpr int kSampleBits = 8 * sizeof(Sample);
    std::size_t i = 0;
    for (; i + kSamplesPerStore <= pixelCount; i += kSamplesPerStore, pixels += kSamplesPerStore * kColourChannels) {
        for (int c = 0; c < kColourChannels; ++c) {
            std::uint64_t packed = 0;
#pragma GCC unroll 8
            for (std::size_t k = 0; k < kSamplesPerStore; ++k) {
                const std::size_t slot = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? k : kSamplesPerStore - 1 - k;
                packed |= std::uint64_t{pixels[k * kColourChannels + c]} << (kSampleBits * slot);
            }
            std::memcpy(targets[c] + i, &packed, sizeof packed);
        }
    }
    for (; i < pixelCount; ++i, pixels += kColourChannels) {
        for (int c = 0; c < kColourChannels; ++c)
            targets[c][i] = pixels[c];
    }
}

}  // namespace

bool resizeBandBuffer(std::vector<std::uint8_t>& buffer, std::size_t bytes)
{
    try {
        buffer.resize(bytes);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

std::optional<BayerPattern> bayerPatternNamed(const std::string& name)
{
    std::string upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    for (std::size_t i = 0; i < kPatternNames.size(); ++i) {
        if (upper == kPatternNames[i])
            return BayerPattern(i);
    }
    return std::nullopt;
}

BayerPattern shiftedBayerPattern(BayerPattern pattern, std::int64_t x, std::int64_t y)
{
    const int columnFlip = (x & 1) != 0 ? 1 : 0;
    const int rowFlip = (y & 1) != 0 ? 2 : 0;
    return BayerPattern(int(pattern) ^ columnFlip ^ rowFlip);
}

// A demosaiced row depends on the rows above and below it, and the outermost
// rows of a demosaic come out black: so the band is demosaiced with one more
// row on each side where the frame has one, and gives the rows of the whole frame.
template <typename Sample>
bool demosaicBand(const Sample* mosaic, std::int32_t width, std::int32_t height, BayerPattern pattern,
    std::int32_t firstRow, std::int32_t rows, std::vector<std::uint8_t>& buffer, const Sample*& demosaiced)
{
    if (tooSmall(width, height))
        return false;
    const std::int32_t inputFirst = std::max(firstRow - 1, 0);
    const std::int32_t inputEnd = std::min(firstRow + rows + 1, height);
    const std::size_t inputRows = std::size_t(inputEnd - inputFirst);
    const std::size_t rowBytes = std::size_t(width) * kColourChannels * sizeof(Sample);
    if (!resizeBandBuffer(buffer, inputRows * rowBytes))
        return false;
    auto* const pixels = reinterpret_cast<Sample*>(buffer.data());
    if (!bilinearDemosaic(mosaic + std::size_t(inputFirst) * std::size_t(width), pixels, std::uint32_t(width),
            std::uint32_t(inputRows), shiftedBayerPattern(pattern, 0, inputFirst)))
        return false;
    std::uint8_t* const wanted = buffer.data() + std::size_t(firstRow - inputFirst) * rowBytes;
    blackenFrameEdges(
        wanted, rowBytes, kColourChannels * sizeof(Sample), rows, firstRow == 0, firstRow + rows == height);
    demosaiced = reinterpret_cast<const Sample*>(wanted);
    return true;
}

// Pixel (x, y) as the demosaic of the whole frame gives it: the middle of the
// demosaic of the 3 x 3 pixels around it, or black on the outermost rows and columns.
template <typename Sample>
bool demosaicPixel(const Sample* mosaic, std::int64_t width, std::int64_t height, BayerPattern pattern, std::int64_t x,
    std::int64_t y, Sample* rgb)
{
    constexpr int kWindow = 3;
    if (x == 0 || y == 0 || x == width - 1 || y == height - 1) {
        std::fill(rgb, rgb + kColourChannels, Sample(0));
        return true;
    }
    Sample window[kWindow * kWindow];
    for (int row = 0; row < kWindow; ++row) {
        const Sample* source = mosaic + (y - 1 + row) * width + (x - 1);
        std::copy(source, source + kWindow, window + row * kWindow);
    }
    Sample demosaiced[kWindow * kWindow * kColourChannels];
    if (!bilinearDemosaic(window, demosaiced, kWindow, kWindow, shiftedBayerPattern(pattern, x - 1, y - 1)))
        return false;
    const Sample* middle = demosaiced + (kWindow + 1) * kColourChannels;
    std::copy(middle, middle + kColourChannels, rgb);
    return true;
}

template <typename Sample>
bool demosaicToPlanes(
    const Sample* mosaic, std::int32_t width, std::int32_t height, BayerPattern pattern, Sample* planes)
{
    if (tooSmall(width, height))
        return false;
    const std::size_t rowBytes = std::size_t(width) * kColourChannels * sizeof(Sample);
    const auto bandRows = std::int32_t(std::clamp<std::size_t>(kDemosaicBandBytes / rowBytes, 1, std::size_t(height)));
    const std::size_t planeSize = std::size_t(width) * std::size_t(height);
    std::vector<std::uint8_t> band;
    for (std::int32_t firstRow = 0; firstRow < height; firstRow += bandRows) {
        const std::int32_t rows = std::min(bandRows, height - firstRow);
        const Sample* pixels = nullptr;
        if (!demosaicBand(mosaic, width, height, pattern, firstRow, rows, band, pixels))
            return false;
        Sample* const first = planes + std::size_t(firstRow) * std::size_t(width);
        Sample* const targets[kColourChannels] = {first, first + planeSize, first + 2 * planeSize};
        spreadOverPlanes(pixels, targets, std::size_t(rows) * std::size_t(width));
    }
    return true;
}

template <typename Sample>
void splitPlanes(const Sample* pixels, Sample* planes, std::size_t pixelCount, bool swapRedBlue)
{
    Sample* const targets[kColourChannels] = {
        planes + (swapRedBlue ? 2 * pixelCount : 0), planes + pixelCount, planes + (swapRedBlue ? 0 : 2 * pixelCount)};
    spreadOverPlanes(pixels, targets, pixelCount);
}

#define INSTANTIATE_FOR(Sample)                                                                                        \
    template bool demosaicBand<Sample>(const Sample*, std::int32_t, std::int32_t, BayerPattern, std::int32_t,          \
        std::int32_t, std::vector<std::uint8_t>&, const Sample*&);                                                     \
    template bool demosaicPixel<Sample>(                                                                               \
        const Sample*, std::int64_t, std::int64_t, BayerPattern, std::int64_t, std::int64_t, Sample*);                 \
    template bool demosaicToPlanes<Sample>(const Sample*, std::int32_t, std::int32_t, BayerPattern, Sample*);          \
    template void splitPlanes<Sample>(const Sample*, Sample*, std::size_t, bool);

INSTANTIATE_FOR(std::uint8_t)
INSTANTIATE_FOR(std::uint16_t)
