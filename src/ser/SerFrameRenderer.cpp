// SPDX-License-Identifier: GPL-3.0-or-later
#include "ser/SerFrameRenderer.h"

#include "ser/SerColorId.h"

#include "ser/SerReader.h"
#include "stretch/BayerDemosaic.h"
#include "stretch/ChannelSample.h"
#include "stretch/JpegEncoding.h"
#include "stretch/StretchRenderer.h"

#include <algorithm>

namespace {

constexpr int kColourChannels = 3;
constexpr int kStretchSampling = 1;
constexpr int kBitsPerByte = 8;

bool isBayer(std::int32_t colorId)
{
    return colorId >= SerColorId::kBayerRggb && colorId <= SerColorId::kBayerBggr;
}

// The Bayer ColorIDs follow the order of BayerPattern.
BayerPattern bayerPattern(std::int32_t colorId)
{
    return BayerPattern(colorId - SerColorId::kBayerRggb);
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
            if (!demosaicPixel(frame, width, height, bayerPattern(colorId), index % width, index / width, rgb))
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
    const std::int32_t channels = grey ? 1 : kColourChannels;
    if (!picture_.isWritable() || picture_.width() != width || picture_.height() != height ||
        picture_.channels() != channels) {
        picture_ = PictureBuffer();  // the old pixels go before the new ones are taken
        picture_ = PictureBuffer(width, height, channels);
    }
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
    for (std::int32_t firstRow = 0; firstRow < height; firstRow += rowsPerBand) {
        const std::int32_t rows = std::min(rowsPerBand, height - firstRow);
        if (!makeBand(firstRow, rows))
            return false;
        const PictureBuffer band = picture_.band(firstRow, rows);
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
    if (!resizeBandBuffer(bandPlanes, pixelCount * kColourChannels * bytesPerSample))
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

bool SerFrameRenderer::demosaicRows(std::int32_t firstRow, std::int32_t rows, const std::uint8_t*& demosaiced)
{
    if (pixelType == PixelType::UInt8)
        return demosaicBand(reinterpret_cast<const std::uint8_t*>(frameBytes.constData()), width, height,
            bayerPattern(colorId), firstRow, rows, bandDemosaiced, demosaiced);
    const std::uint16_t* pixels = nullptr;
    const bool demosaicked = demosaicBand(reinterpret_cast<const std::uint16_t*>(frameBytes.constData()), width, height,
        bayerPattern(colorId), firstRow, rows, bandDemosaiced, pixels);
    demosaiced = reinterpret_cast<const std::uint8_t*>(pixels);
    return demosaicked;
}

bool SerFrameRenderer::measureColourStretch()
{
    const std::int64_t planeSize = std::int64_t(width) * height;
    const std::size_t bytesPerSample = pixelType == PixelType::UInt8 ? 1 : 2;
    const std::int64_t step = ChannelSample<std::uint8_t>::stepFor(planeSize);
    const std::int64_t count = planeSize / step;
    std::vector<std::uint8_t> sample;
    if (!resizeBandBuffer(sample, std::size_t(count) * kColourChannels * bytesPerSample))
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
