// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/Histogram.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <utility>
#include <vector>

#include "live/BrightRegion.h"
#include "stretch/JpegEncoding.h"
#include "stretch/PictureBuffer.h"

namespace {

constexpr int kPictureWidth = 300;   // pixels
constexpr int kPictureHeight = 100;  // pixels
constexpr int kBottomRow = kPictureHeight - 1;
constexpr int kBinCount = 256;
constexpr double kColumnsPerValue = 1.171875;  // 300 / 256: the curve spans columns 0 to 298
constexpr std::int64_t kSamplesPerChannel = 50000;
constexpr int kJpegQuality = 100;
constexpr std::int32_t kGreenPlane = 1;

using Curve = std::array<int, kBinCount>;

struct Region {
    std::int32_t x0, x1, y0, y1;
};

std::int64_t columnStep(std::int64_t area)
{
    return area > kSamplesPerChannel ? (area + kSamplesPerChannel - 1) / kSamplesPerChannel : 1;
}

// The bright part of the frame, or the whole frame when it has none.
Region countedRegion(const std::uint8_t* samples, std::int32_t width, std::int32_t height, std::int32_t channels)
{
    Region region{0, width - 1, 0, height - 1};
    const std::int64_t planeIndex = channels == 3 ? kGreenPlane : 0;
    findBrightRegion(samples + planeIndex * width * static_cast<std::int64_t>(height), width, height, region.x0,
        region.x1, region.y0, region.y1);
    return region;
}

// 256 counters per channel, channel after channel.
std::vector<std::uint32_t> countValues(
    const std::uint8_t* samples, std::int32_t width, std::int32_t height, std::int32_t channels, const Region& region)
{
    const std::int64_t area =
        (static_cast<std::int64_t>(region.x1) - region.x0 + 1) * (static_cast<std::int64_t>(region.y1) - region.y0 + 1);
    const std::int64_t step = columnStep(area);
    const std::int64_t planeSize = static_cast<std::int64_t>(width) * height;
    std::vector<std::uint32_t> bins(static_cast<std::size_t>(kBinCount) * static_cast<std::size_t>(channels), 0);
    for (std::int32_t c = 0; c < channels; ++c) {
        std::uint32_t* channelBins = bins.data() + c * kBinCount;
        for (std::int64_t y = region.y0; y <= region.y1; ++y) {
            const std::uint8_t* row = samples + c * planeSize + y * width;
            for (std::int64_t x = region.x0; x <= region.x1; x += step)
                ++channelBins[row[x]];
        }
    }
    return bins;
}

// Row of each value on a log scale: the peak count on row 0, an empty bin on the bottom row.
Curve curveOf(const std::uint32_t* bins, double logPeak)
{
    Curve curve{};
    for (int v = 0; v < kBinCount; ++v)
        curve[v] = kBottomRow - static_cast<int>(std::log(bins[v] + 1.0) / logPeak * kBottomRow);
    return curve;
}

struct Point {
    int x, y;
};

// A line one pixel wide without antialiasing, both ends included, with the
// pixels QPainter chose for it: one a step along the longer side, from its
// smaller end; across, the line's position rounded down, taken in the middle
// of the step when it grows (a line through a pixel corner keeps the pixel
// before it) and at the start of the step when it falls. Integer arithmetic
// only. The ends lie inside the picture.
void drawLine(PictureBuffer& picture, Point from, Point to, std::uint32_t value)
{
    const bool steep = std::abs(to.x - from.x) < std::abs(to.y - from.y);
    if (steep ? from.y > to.y : from.x > to.x)
        std::swap(from, to);
    const int steps = steep ? to.y - from.y : to.x - from.x;
    const int rise = steep ? to.x - from.x : to.y - from.y;
    if (steps == 0) {
        picture.setPixel(from.x, from.y, value);
        return;
    }
    for (int i = 0; i <= steps; ++i) {
        const int across = rise > 0 ? ((2 * i + 1) * rise - 1) / (2 * steps) : -((i * -rise + steps - 1) / steps);
        const Point at = steep ? Point{from.x + across, from.y + i} : Point{from.x + i, from.y + across};
        picture.setPixel(at.x, at.y, value);
    }
}

void drawCurve(PictureBuffer& picture, const Curve& curve, std::uint32_t value)
{
    for (int v = 0; v + 1 < kBinCount; ++v)
        drawLine(picture, {static_cast<int>(v * kColumnsPerValue), curve[v]},
            {static_cast<int>((v + 1) * kColumnsPerValue), curve[v + 1]}, value);
}

// Later curves paint over earlier ones. Null when memory runs out.
PictureBuffer drawHistogram(const std::vector<std::uint32_t>& bins, std::int32_t channels, std::uint32_t peak)
{
    PictureBuffer picture(kPictureWidth, kPictureHeight, channels);
    if (picture.isNull())
        return picture;
    picture.fill(0);  // black; in colour the pixel words' padding byte too, which the encoder skips
    const double logPeak = std::log(peak + 1.0);
    constexpr std::uint32_t kGreyWhite = 0xFF;
    constexpr std::uint32_t greyValues[] = {kGreyWhite};
    constexpr std::uint32_t rgbValues[] = {PictureBuffer::pixelWord(0xFF, 0, 0), PictureBuffer::pixelWord(0, 0xFF, 0),
        PictureBuffer::pixelWord(0, 0, 0xFF)};
    const std::uint32_t* values = channels == 1 ? greyValues : rgbValues;
    for (std::int32_t c = 0; c < channels; ++c)
        drawCurve(picture, curveOf(bins.data() + c * kBinCount, logPeak), values[c]);
    return picture;
}

}  // namespace

std::int32_t histogramColumnStep(std::int32_t area)
{
    return static_cast<std::int32_t>(columnStep(area));
}

bool renderHistogram(
    const QByteArray& pixels, std::int32_t width, std::int32_t height, std::int32_t channels, QByteArray& jpeg)
{
    if (width <= 0 || height <= 0 || (channels != 1 && channels != 3))
        return false;
    if (pixels.size() < static_cast<std::int64_t>(width) * height * channels)
        return false;
    const auto* samples = reinterpret_cast<const std::uint8_t*>(pixels.constData());
    const std::vector<std::uint32_t> bins =
        countValues(samples, width, height, channels, countedRegion(samples, width, height, channels));
    const std::uint32_t peak = *std::max_element(bins.begin(), bins.end());
    if (peak == 0)
        return false;

    return encodePictureJpeg(drawHistogram(bins, channels, peak), kJpegQuality, jpeg);
}
