#include "ser/SerFrameRenderer.h"

#include "ser/SerColorId.h"

#include "ser/SerReader.h"
#include "stretch/StretchRenderer.h"

#include <QBuffer>

#include <dc1394/conversions.h>

#include <new>

namespace {

constexpr int kColourChannels = 3;
constexpr int kGreyLevels = 256;
constexpr int kStretchSampling = 1;
// The bilinear demosaic loops for ever on frames lower than 2 rows and reads
// past the end of frames 2 columns wide.
constexpr std::int32_t kMinBayerWidth = 3;
constexpr std::int32_t kMinBayerHeight = 2;

bool isBayer(std::int32_t colorId)
{
    return colorId >= SerColorId::kBayerRggb && colorId <= SerColorId::kBayerBggr;
}

dc1394color_filter_t bayerTile(std::int32_t colorId)
{
    switch (colorId) {
    case SerColorId::kBayerGrbg:
        return DC1394_COLOR_FILTER_GRBG;
    case SerColorId::kBayerGbrg:
        return DC1394_COLOR_FILTER_GBRG;
    case SerColorId::kBayerBggr:
        return DC1394_COLOR_FILTER_BGGR;
    default:
        return DC1394_COLOR_FILTER_RGGB;
    }
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

template <typename Sample>
void splitPlanes(const Sample* pixels, Sample* planes, std::size_t pixelCount, bool swapRedBlue)
{
    Sample* red = planes + (swapRedBlue ? 2 * pixelCount : 0);
    Sample* green = planes + pixelCount;
    Sample* blue = planes + (swapRedBlue ? 0 : 2 * pixelCount);
    for (std::size_t i = 0; i < pixelCount; ++i, pixels += kColourChannels) {
        red[i] = pixels[0];
        green[i] = pixels[1];
        blue[i] = pixels[2];
    }
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

bool SerFrameRenderer::render(SerReader& reader, int index)
{
    return readFrame(reader, index) && makePlanes(reader) && stretchPlanes();
}

bool SerFrameRenderer::readFrame(SerReader& reader, int index)
{
    return reader.readFrame(index, frameBytes);
}

bool SerFrameRenderer::makePlanes(const SerReader& reader)
{
    width = reader.width();
    height = reader.height();
    pixelType = reader.pixelDepth() <= 8 ? PixelType::UInt8 : PixelType::UInt16;
    const std::int32_t colorId = reader.colorId();
    if (isBayer(colorId))
        return demosaic(reader);
    if (SerColorId::isInterleavedColour(colorId)) {
        channels = kColourChannels;
        if (!resizeBuffer(colourPlanes, static_cast<std::size_t>(frameBytes.size())))
            return false;
        deinterleave(frameBytes.constData(), colorId == SerColorId::kBgr);
        return true;
    }
    channels = 1;
    planes = frameBytes.constData();
    return true;
}

bool SerFrameRenderer::demosaic(const SerReader& reader)
{
    if (width < kMinBayerWidth || height < kMinBayerHeight)
        return false;
    channels = kColourChannels;
    const std::size_t bytes = static_cast<std::size_t>(frameBytes.size()) * kColourChannels;
    if (!resizeBuffer(demosaiced, bytes) || !resizeBuffer(colourPlanes, bytes))
        return false;
    const dc1394color_filter_t tile = bayerTile(reader.colorId());
    const auto columns = static_cast<std::uint32_t>(width);
    const auto rows = static_cast<std::uint32_t>(height);
    dc1394error_t result = DC1394_SUCCESS;
    if (pixelType == PixelType::UInt8) {
        result = dc1394_bayer_decoding_8bit(reinterpret_cast<const std::uint8_t*>(frameBytes.constData()),
            demosaiced.data(), columns, rows, tile, DC1394_BAYER_METHOD_BILINEAR);
    } else {
        constexpr std::uint32_t kSignificantBits = 16;
        result = dc1394_bayer_decoding_16bit(reinterpret_cast<const std::uint16_t*>(frameBytes.constData()),
            reinterpret_cast<std::uint16_t*>(demosaiced.data()), columns, rows, tile, DC1394_BAYER_METHOD_BILINEAR,
            kSignificantBits);
    }
    if (result != DC1394_SUCCESS)
        return false;
    deinterleave(demosaiced.data(), false);
    return true;
}

void SerFrameRenderer::deinterleave(const void* interleaved, bool swapRedBlue)
{
    const std::size_t pixelCount = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (pixelType == PixelType::UInt8) {
        splitPlanes(static_cast<const std::uint8_t*>(interleaved), colourPlanes.data(), pixelCount, swapRedBlue);
    } else {
        splitPlanes(static_cast<const std::uint16_t*>(interleaved),
            reinterpret_cast<std::uint16_t*>(colourPlanes.data()), pixelCount, swapRedBlue);
    }
    planes = colourPlanes.data();
}

bool SerFrameRenderer::stretchPlanes()
{
    const QImage::Format format = channels == 1 ? QImage::Format_Indexed8 : QImage::Format_RGB32;
    if (picture_.size() != QSize(width, height) || picture_.format() != format)
        picture_ = channels == 1 ? greyPicture(width, height) : QImage(width, height, format);
    if (picture_.isNull())
        return false;
    StretchRenderer renderer(width, height, channels, pixelType);
    if (!stretchCached) {
        stretch = renderer.computeParams(planes, false);
        stretchCached = true;
    }
    renderer.params = stretch;
    renderer.render(planes, &picture_, kStretchSampling);
    return true;
}

QByteArray encodeJpeg(const QImage& picture)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "JPEG", SerFrameRenderer::kJpegQuality);
    return bytes;
}
