// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/Histogram.h"

#include <QBuffer>
#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPen>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "live/BrightRegion.h"

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

void drawCurve(QPainter& painter, const Curve& curve, const QColor& colour)
{
    painter.setPen(QPen(colour, 1, Qt::SolidLine));
    for (int v = 0; v + 1 < kBinCount; ++v)
        painter.drawLine(QPoint(static_cast<int>(v * kColumnsPerValue), curve[v]),
            QPoint(static_cast<int>((v + 1) * kColumnsPerValue), curve[v + 1]));
}

QImage drawHistogram(const std::vector<std::uint32_t>& bins, std::int32_t channels, std::uint32_t peak)
{
    QImage picture(kPictureWidth, kPictureHeight, channels == 1 ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    picture.fill(QColor(Qt::black));
    const double logPeak = std::log(peak + 1.0);
    const QColor greyColours[] = {QColor(Qt::white)};
    const QColor rgbColours[] = {QColor(Qt::red), QColor(Qt::green), QColor(Qt::blue)};
    const QColor* colours = channels == 1 ? greyColours : rgbColours;
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing, false);
    for (std::int32_t c = 0; c < channels; ++c)
        drawCurve(painter, curveOf(bins.data() + c * kBinCount, logPeak), colours[c]);
    painter.end();
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

    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    if (!drawHistogram(bins, channels, peak).save(&buffer, "JPEG", kJpegQuality) || encoded.isEmpty())
        return false;
    jpeg = encoded;
    return true;
}
