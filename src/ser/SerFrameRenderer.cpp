// SPDX-License-Identifier: GPL-3.0-or-later
#include "ser/SerFrameRenderer.h"

#include "ser/SerColorId.h"

#include "ser/SerReader.h"
#include "stretch/ChannelSample.h"
#include "stretch/JpegEncoding.h"
#include "stretch/StretchRenderer.h"

#include <dc1394/conversions.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr int kColourChannels = 3;
constexpr int kGreyLevels = 256;
constexpr int kStretchSampling = 1;
// The bilinear demosaic loops for ever on frames lower than 2 rows and reads
// past the end of frames 2 columns wide.
constexpr std::int32_t kMinBayerWidth = 3;
constexpr std::int32_t kMinBayerHeight = 2;

constexpr int kBitsPerByte = 8;

bool isBayer(std::int32_t colorId)
{
    return colorId >= SerColorId::kBayerRggb && colorId <= SerColorId::kBayerBggr;
}

bool tooSmallToDemosaic(std::int32_t colorId, std::int32_t width, std::int32_t height)
{
    return isBayer(colorId) && (width < kMinBayerWidth || height < kMinBayerHeight);
}

// The largest value a sample of `bits` bits holds.
constexpr std::uint32_t fullScale(int bits)
{
    return (std::uint32_t(1) << bits) - 1;
}

template <typename Sample>
std::uint32_t largestSample(const QByteArray& bytes)
{
    const auto* samples = reinterpret_cast<const Sample*>(bytes.constData());
    const std::size_t count = std::size_t(bytes.size()) / sizeof(Sample);
    return count == 0 ? 0 : *std::max_element(samples, samples + count);
}

template <typename Sample>
void replaceSamples(QByteArray& bytes, const std::vector<std::uint16_t>& levels)
{
    auto* samples = reinterpret_cast<Sample*>(bytes.data());
    const std::size_t count = std::size_t(bytes.size()) / sizeof(Sample);
    for (std::size_t i = 0; i < count; ++i)
        samples[i] = Sample(levels[samples[i]]);
}

// The tile of the pattern as seen from pixel (originColumn, originRow): one
// row down RGGB reads GBRG, one column right it reads GRBG.
dc1394color_filter_t bayerTile(std::int32_t colorId, std::int64_t originRow, std::int64_t originColumn)
{
    const bool redOnOddRow = colorId == SerColorId::kBayerGbrg || colorId == SerColorId::kBayerBggr;
    const bool redInOddColumn = colorId == SerColorId::kBayerGrbg || colorId == SerColorId::kBayerBggr;
    const bool oddRow = redOnOddRow != (originRow % 2 != 0);
    const bool oddColumn = redInOddColumn != (originColumn % 2 != 0);
    if (oddRow)
        return oddColumn ? DC1394_COLOR_FILTER_BGGR : DC1394_COLOR_FILTER_GBRG;
    return oddColumn ? DC1394_COLOR_FILTER_GRBG : DC1394_COLOR_FILTER_RGGB;
}

bool bilinearDemosaic(
    const std::uint8_t* mosaic, std::uint8_t* rgb, std::uint32_t width, std::uint32_t height, dc1394color_filter_t tile)
{
    return dc1394_bayer_decoding_8bit(mosaic, rgb, width, height, tile, DC1394_BAYER_METHOD_BILINEAR) == DC1394_SUCCESS;
}

bool bilinearDemosaic(const std::uint16_t* mosaic, std::uint16_t* rgb, std::uint32_t width, std::uint32_t height,
    dc1394color_filter_t tile)
{
    constexpr std::uint32_t kSignificantBits = 16;
    return dc1394_bayer_decoding_16bit(
               mosaic, rgb, width, height, tile, DC1394_BAYER_METHOD_BILINEAR, kSignificantBits) == DC1394_SUCCESS;
}

// Sizes `buffer` to `bytes` without throwing: false when memory is short.
bool resizeBuffer(std::vector<std::uint8_t>& buffer, std::size_t bytes)
{
    try {
        buffer.resize(bytes);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
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

// Splits interleaved pixels into planes, the samples of a plane packed into
// 64-bit stores in host order: one store per sample would bound the loop.
template <typename Sample>
void splitPlanes(const Sample* pixels, Sample* planes, std::size_t pixelCount, bool swapRedBlue)
{
    constexpr std::size_t kSamplesPerStore = sizeof(std::uint64_t) / sizeof(Sample);
    constexpr int kSampleBits = 8 * sizeof(Sample);
    Sample* const targets[kColourChannels] = {
        planes + (swapRedBlue ? 2 * pixelCount : 0), planes + pixelCount, planes + (swapRedBlue ? 0 : 2 * pixelCount)};
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

// Pixel (x, y) of a Bayer frame as the bilinear demosaic of the whole frame
// gives it: the middle of the demosaic of the 3 x 3 pixels around it, or black
// on the frame's outermost rows and columns.
template <typename Sample>
bool demosaicedPixel(const Sample* mosaic, std::int64_t width, std::int64_t height, std::int32_t colorId,
    std::int64_t x, std::int64_t y, Sample* rgb)
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
    if (!bilinearDemosaic(window, demosaiced, kWindow, kWindow, bayerTile(colorId, y - 1, x - 1)))
        return false;
    const Sample* middle = demosaiced + (kWindow + 1) * kColourChannels;
    std::copy(middle, middle + kColourChannels, rgb);
    return true;
}

// The sample of a colour frame that the stretch statistics look at: pixels 0,
// step, 2 x step, ... (count of them), gathered as red, green and blue planes
// of count samples each, without demosaicing or splitting the whole frame.
template <typename Sample>
bool gatherColourSample(const Sample* frame, std::int32_t width, std::int32_t height, std::int32_t colorId,
    std::int64_t step, std::int64_t count, Sample* sample)
{
    const bool swapRedBlue = colorId == SerColorId::kBgr;
    for (std::int64_t i = 0; i < count; ++i) {
        const std::int64_t index = i * step;
        Sample rgb[kColourChannels];
        if (isBayer(colorId)) {
            if (!demosaicedPixel(frame, width, height, colorId, index % width, index / width, rgb))
                return false;
        } else {
            const Sample* pixel = frame + index * kColourChannels;
            rgb[0] = pixel[swapRedBlue ? 2 : 0];
            rgb[1] = pixel[1];
            rgb[2] = pixel[swapRedBlue ? 0 : 2];
        }
        for (int c = 0; c < kColourChannels; ++c)
            sample[c * count + i] = rgb[c];
    }
    return true;
}

QImage greyPicture(std::int32_t width, std::int32_t height)
{
    QImage picture(width, height, QImage::Format_Indexed8);
    if (picture.isNull())
        return picture;
    QList<QRgb> ramp(kGreyLevels);
    for (int level = 0; level < kGreyLevels; ++level)
        ramp[level] = 0xFF000000u | static_cast<QRgb>(level) * 0x010101u;
    picture.setColorTable(ramp);
    return picture;
}

}  // namespace

bool SerFrameRenderer::canShow(const SerReader& reader, QString& error)
{
    const std::int32_t frameWidth = reader.width();
    const std::int32_t frameHeight = reader.height();
    if (frameWidth > kMaxJpegSidePixels || frameHeight > kMaxJpegSidePixels) {
        error =
            QStringLiteral("Frames of %1 x %2 pixels cannot be shown: the JPEG encoder takes at most %3 pixels a side")
                .arg(frameWidth)
                .arg(frameHeight)
                .arg(kMaxJpegSidePixels);
        return false;
    }
    if (qint64(frameWidth) * frameHeight > kMaxFramePixels) {
        error = QStringLiteral("Frames of %1 x %2 pixels are too large to show: at most %3 pixels a frame")
                    .arg(frameWidth)
                    .arg(frameHeight)
                    .arg(kMaxFramePixels);
        return false;
    }
    if (tooSmallToDemosaic(reader.colorId(), frameWidth, frameHeight)) {
        error = QStringLiteral("Bayer frames of %1 x %2 pixels are too small to demosaic: at least %3 x %4 pixels "
                               "are needed")
                    .arg(frameWidth)
                    .arg(frameHeight)
                    .arg(kMinBayerWidth)
                    .arg(kMinBayerHeight);
        return false;
    }
    return true;
}

bool SerFrameRenderer::render(SerReader& reader, int index)
{
    return readFrame(reader, index) && renderPicture(reader);
}

bool SerFrameRenderer::readFrame(SerReader& reader, int index)
{
    return reader.readFrame(index, frameBytes);
}

bool SerFrameRenderer::renderPicture(const SerReader& reader)
{
    width = reader.width();
    height = reader.height();
    colorId = reader.colorId();
    pixelType = reader.pixelDepth() <= kBitsPerByte ? PixelType::UInt8 : PixelType::UInt16;
    if (!stretchCached)
        chooseSampleScale(reader.pixelDepth());
    scaleSamples();
    const bool grey = !isBayer(colorId) && !SerColorId::isInterleavedColour(colorId);
    if (!preparePicture(grey))
        return false;
    return grey ? renderGrey() : renderColour();
}

void SerFrameRenderer::chooseSampleScale(std::int32_t depth)
{
    shownLevels.clear();
    const bool oneByte = pixelType == PixelType::UInt8;
    const int storedBits = oneByte ? kBitsPerByte : 2 * kBitsPerByte;
    if (depth >= storedBits)
        return;
    const std::uint32_t depthScale = fullScale(depth);
    const std::uint32_t largest =
        oneByte ? largestSample<std::uint8_t>(frameBytes) : largestSample<std::uint16_t>(frameBytes);
    if (largest > depthScale)
        return;
    // Later frames may hold larger values than the first: they show as full scale.
    const std::uint32_t storedScale = fullScale(storedBits);
    shownLevels.assign(std::size_t(storedScale) + 1, std::uint16_t(storedScale));
    for (std::uint32_t value = 0; value < depthScale; ++value)
        shownLevels[value] = std::uint16_t((value * storedScale + depthScale / 2) / depthScale);
}

void SerFrameRenderer::scaleSamples()
{
    if (shownLevels.empty())
        return;
    if (pixelType == PixelType::UInt8)
        replaceSamples<std::uint8_t>(frameBytes, shownLevels);
    else
        replaceSamples<std::uint16_t>(frameBytes, shownLevels);
}

bool SerFrameRenderer::preparePicture(bool grey)
{
    const QImage::Format format = grey ? QImage::Format_Indexed8 : QImage::Format_RGB32;
    if (picture_.size() != QSize(width, height) || picture_.format() != format)
        picture_ = grey ? greyPicture(width, height) : QImage(width, height, format);
    return !picture_.isNull();
}

bool SerFrameRenderer::renderGrey()
{
    StretchRenderer renderer(width, height, 1, pixelType);
    if (!stretchCached) {
        stretch = renderer.computeParams(frameBytes.constData(), false);
        stretchCached = true;
    }
    renderer.params = stretch;
    renderer.render(frameBytes.constData(), &picture_, kStretchSampling);
    return true;
}

bool SerFrameRenderer::renderColour()
{
    if (tooSmallToDemosaic(colorId, width, height))
        return false;
    const std::int32_t rowsPerBand = bandRows();
    if (!stretchCached && !measureColourStretch())
        return false;
    // Detached once here; each band is a view on the picture's own rows.
    uchar* const bits = picture_.bits();
    const qsizetype bytesPerLine = picture_.bytesPerLine();
    for (std::int32_t firstRow = 0; firstRow < height; firstRow += rowsPerBand) {
        const std::int32_t rows = std::min(rowsPerBand, height - firstRow);
        if (!makeBand(firstRow, rows))
            return false;
        QImage band(bits + firstRow * bytesPerLine, width, rows, bytesPerLine, QImage::Format_RGB32);
        StretchRenderer renderer(width, rows, kColourChannels, pixelType);
        renderer.params = stretch;
        renderer.render(bandPlanes.data(), &band, kStretchSampling);
    }
    return true;
}

std::int32_t SerFrameRenderer::bandRows() const
{
    const std::size_t bytesPerSample = pixelType == PixelType::UInt8 ? 1 : 2;
    const std::size_t buffersPerRow = isBayer(colorId) ? 2 : 1;
    const std::size_t rowBytes = std::size_t(width) * kColourChannels * bytesPerSample * buffersPerRow;
    const std::size_t withinBudget = std::max<std::size_t>(1, kBandBudgetBytes / rowBytes);
    const std::size_t thirdOfFrame = (std::size_t(height) + 2) / 3;
    return std::int32_t(std::min(withinBudget, thirdOfFrame));
}

bool SerFrameRenderer::makeBand(std::int32_t firstRow, std::int32_t rows)
{
    const std::size_t bytesPerSample = pixelType == PixelType::UInt8 ? 1 : 2;
    const std::size_t pixelCount = std::size_t(width) * std::size_t(rows);
    if (!resizeBuffer(bandPlanes, pixelCount * kColourChannels * bytesPerSample))
        return false;
    const std::uint8_t* interleaved = nullptr;
    if (isBayer(colorId)) {
        if (!demosaicRows(firstRow, rows, interleaved))
            return false;
    } else {
        const std::size_t rowBytes = std::size_t(width) * kColourChannels * bytesPerSample;
        interleaved = reinterpret_cast<const std::uint8_t*>(frameBytes.constData()) + std::size_t(firstRow) * rowBytes;
    }
    const bool swapRedBlue = colorId == SerColorId::kBgr;
    if (pixelType == PixelType::UInt8) {
        splitPlanes(interleaved, bandPlanes.data(), pixelCount, swapRedBlue);
    } else {
        splitPlanes(reinterpret_cast<const std::uint16_t*>(interleaved),
            reinterpret_cast<std::uint16_t*>(bandPlanes.data()), pixelCount, swapRedBlue);
    }
    return true;
}

// A demosaiced row depends on the rows above and below it, and the outermost
// rows of a demosaic come out black: so the band is demosaiced with one more
// row on each side where the frame has one, and gives the rows of the whole frame.
bool SerFrameRenderer::demosaicRows(std::int32_t firstRow, std::int32_t rows, const std::uint8_t*& demosaiced)
{
    const std::size_t bytesPerSample = pixelType == PixelType::UInt8 ? 1 : 2;
    const std::int32_t inputFirst = std::max(firstRow - 1, 0);
    const std::int32_t inputEnd = std::min(firstRow + rows + 1, height);
    const std::size_t inputRows = std::size_t(inputEnd - inputFirst);
    const std::size_t rowSamples = std::size_t(width);
    if (!resizeBuffer(bandDemosaiced, inputRows * rowSamples * kColourChannels * bytesPerSample))
        return false;
    const dc1394color_filter_t tile = bayerTile(colorId, inputFirst, 0);
    const auto* mosaic = reinterpret_cast<const std::uint8_t*>(frameBytes.constData()) +
        std::size_t(inputFirst) * rowSamples * bytesPerSample;
    const auto columns = static_cast<std::uint32_t>(width);
    const auto bandHeight = static_cast<std::uint32_t>(inputRows);
    const bool demosaicked = pixelType == PixelType::UInt8
        ? bilinearDemosaic(mosaic, bandDemosaiced.data(), columns, bandHeight, tile)
        : bilinearDemosaic(reinterpret_cast<const std::uint16_t*>(mosaic),
              reinterpret_cast<std::uint16_t*>(bandDemosaiced.data()), columns, bandHeight, tile);
    if (!demosaicked)
        return false;
    const std::size_t rowBytes = rowSamples * kColourChannels * bytesPerSample;
    std::uint8_t* const wanted = bandDemosaiced.data() + std::size_t(firstRow - inputFirst) * rowBytes;
    blackenFrameEdges(
        wanted, rowBytes, kColourChannels * bytesPerSample, rows, firstRow == 0, firstRow + rows == height);
    demosaiced = wanted;
    return true;
}

bool SerFrameRenderer::measureColourStretch()
{
    const std::int64_t planeSize = std::int64_t(width) * height;
    const std::size_t bytesPerSample = pixelType == PixelType::UInt8 ? 1 : 2;
    const std::int64_t step = ChannelSample<std::uint8_t>::stepFor(planeSize);
    const std::int64_t count = planeSize / step;
    std::vector<std::uint8_t> sample;
    if (!resizeBuffer(sample, std::size_t(count) * kColourChannels * bytesPerSample))
        return false;
    const bool gathered = pixelType == PixelType::UInt8
        ? gatherColourSample(reinterpret_cast<const std::uint8_t*>(frameBytes.constData()), width, height, colorId,
              step, count, sample.data())
        : gatherColourSample(reinterpret_cast<const std::uint16_t*>(frameBytes.constData()), width, height, colorId,
              step, count, reinterpret_cast<std::uint16_t*>(sample.data()));
    if (!gathered)
        return false;
    // The sample as a frame of its own: fewer than 2 x 500000 pixels, so
    // computeParams takes every one of them, in the same order.
    StretchRenderer sampleRenderer(std::int32_t(count), 1, kColourChannels, pixelType);
    stretch = sampleRenderer.computeParams(sample.data(), false);
    stretchCached = true;
    return true;
}
