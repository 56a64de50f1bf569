// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/PictureDecoding.h"

#include "live/FitsDecoding.h"
#include "stretch/JpegEncoding.h"

#include <QtEndian>

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <new>
#include <optional>
#include <utility>
#include <vector>

namespace {

constexpr int kColourChannels = 3;
constexpr std::int64_t kFirstInflateBytes = std::int64_t(64) << 10;

struct FormatSuffix {
    const char* suffix;
    PictureFormat format;
};
constexpr std::array<FormatSuffix, 10> kFormatSuffixes = {{
    {".jpg", PictureFormat::Jpeg},
    {".jpeg", PictureFormat::Jpeg},
    {".stream_jpg", PictureFormat::Jpeg},
    {".fits", PictureFormat::Fits},
    {".fit", PictureFormat::Fits},
    {".fts", PictureFormat::Fits},
    {".fits.fz", PictureFormat::Fits},
    {".fit.fz", PictureFormat::Fits},
    {".fts.fz", PictureFormat::Fits},
    {".stream", PictureFormat::RawStream},
}};
constexpr const char* kDeflatedSuffix = ".z";

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

bool endsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Ends the inflate on every way out of inflateBounded.
struct InflateStream {
    z_stream stream{};
    bool started = false;
    ~InflateStream()
    {
        if (started)
            inflateEnd(&stream);
    }
};

// Gives zlib the next part of the input: its counts are 32-bit.
void feedInput(z_stream& stream, const char*& next, std::int64_t& remaining)
{
    const auto part = std::min<std::int64_t>(remaining, UINT_MAX);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(next));
    stream.avail_in = uInt(part);
    next += part;
    remaining -= part;
}

// One way a raw stream frame's bytes may fill the camera's geometry.
struct RawLayout {
    std::int64_t width;
    std::int64_t height;
    std::int64_t channels;
    PixelType pixelType;
    std::int64_t bytes;
};

// The samples a raw frame's pixel may have: 8-bit grey, 16-bit grey, 8-bit RGB.
struct RawSamples {
    std::int64_t bytesPerPixel;
    std::int64_t channels;
    PixelType pixelType;
};
constexpr std::array<RawSamples, 3> kRawSamples = {
    {{1, 1, PixelType::UInt8}, {2, 1, PixelType::UInt16}, {kColourChannels, kColourChannels, PixelType::UInt8}}};
// Only sizes cameraFrameSizeAllowed takes get a layout, so no byte count overflows.
static_assert(kMaxCameraFramePixels <= INT64_MAX / kColourChannels, "raw byte counts fit in 64 bits");

// Every layout the geometry allows, at the stream frame's size and, when the
// camera bins, at the binned size. The CCD simulator's CCD_STREAM_FRAME already
// gives the binned size (binning 2 x 2 on its 1280 x 1024 sensor makes it
// 640 x 512 and frames of 327,680 bytes: 8-bit grey, though the sensor is
// 16-bit), so that size comes first.
std::vector<RawLayout> rawLayouts(const StreamGeometry& geometry)
{
    std::vector<std::pair<std::int64_t, std::int64_t>> sizes = {{geometry.width, geometry.height}};
    if (geometry.binX > 1 || geometry.binY > 1)
        sizes.emplace_back(geometry.width / std::max(geometry.binX, 1), geometry.height / std::max(geometry.binY, 1));
    std::vector<RawLayout> layouts;
    QString ignored;
    for (const auto& [width, height] : sizes) {
        if (!cameraFrameSizeAllowed(width, height, ignored))
            continue;
        for (const RawSamples& samples : kRawSamples)
            layouts.push_back(
                {width, height, samples.channels, samples.pixelType, width * height * samples.bytesPerPixel});
    }
    return layouts;
}

QString rawGeometryText(const StreamGeometry& geometry)
{
    return QStringLiteral("%1 x %2 pixels (binning %3 x %4)")
        .arg(geometry.width)
        .arg(geometry.height)
        .arg(geometry.binX)
        .arg(geometry.binY);
}

// Moves the frame's bytes into planar samples: grey frames keep their buffer
// (16-bit samples are put in host order in place), so an inflated frame is
// not held beside its samples.
void takeRawSamples(QByteArray bytes, const RawLayout& layout, CameraFrame& frame)
{
    const std::int64_t pixels = layout.width * layout.height;
    if (layout.channels == kColourChannels) {
        frame.samples = QByteArray(bytes.size(), Qt::Uninitialized);
        splitPlanes(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
            reinterpret_cast<std::uint8_t*>(frame.samples.data()), std::size_t(pixels), false);
    } else {
        if (layout.pixelType == PixelType::UInt16)
            qFromLittleEndian<std::uint16_t>(bytes.constData(), qsizetype(pixels), bytes.data());
        frame.samples = std::move(bytes);
    }
    frame.width = std::int32_t(layout.width);
    frame.height = std::int32_t(layout.height);
    frame.channels = std::int32_t(layout.channels);
    frame.pixelType = layout.pixelType;
}

// The layout whose byte count is `length`; none, with the reason in `error`.
std::optional<RawLayout> rawLayout(std::int64_t length, const StreamGeometry& geometry, QString& error)
{
    const std::vector<RawLayout> layouts = rawLayouts(geometry);
    const auto layout = std::find_if(
        layouts.begin(), layouts.end(), [&](const RawLayout& candidate) { return candidate.bytes == length; });
    if (layout != layouts.end())
        return *layout;
    error = QStringLiteral("a raw stream frame of %1 bytes fits no 8-bit, 16-bit or RGB frame of %2, of at "
                           "most %3 pixels a side and %4 pixels")
                .arg(length)
                .arg(rawGeometryText(geometry))
                .arg(kMaxJpegSidePixels)
                .arg(kMaxCameraFramePixels);
    return std::nullopt;
}

bool decodeRawStream(
    QByteArray bytes, const RawLayout& layout, const StreamGeometry& geometry, CameraFrame& frame, QString& error)
{
    takeRawSamples(std::move(bytes), layout, frame);
    const std::optional<BayerPattern> pattern = bayerPatternNamed(geometry.cfaType);
    if (!pattern || layout.channels != 1)
        return true;
    return demosaicCameraFrame(frame, shiftedBayerPattern(*pattern, geometry.cfaOffsetX, geometry.cfaOffsetY), error);
}

// Decodes the picture's plain (inflated) bytes; `owned`, when not null, holds
// them and may be taken.
bool decodeInflated(PictureFormat format, const char* bytes, std::int64_t length, QByteArray* owned,
    const StreamGeometry& geometry, CameraFrame& frame, QString& error)
{
    switch (format) {
    case PictureFormat::Fits:
        return decodeFits(bytes, length, frame, error);
    case PictureFormat::RawStream: {
        const std::optional<RawLayout> layout = rawLayout(length, geometry, error);
        return layout &&
            decodeRawStream(owned != nullptr ? std::move(*owned) : QByteArray(bytes, qsizetype(length)), *layout,
                geometry, frame, error);
    }
    case PictureFormat::Jpeg:
    case PictureFormat::Unknown:
        break;
    }
    error = QStringLiteral("only FITS and raw stream pictures are decoded here");
    return false;
}

// Starts with the start-of-image marker and ends with end-of-image, zeros after it allowed.
bool jpegMarkersWhole(const QByteArray& jpeg)
{
    qsizetype end = jpeg.size();
    while (end > 0 && jpeg[end - 1] == '\0')
        --end;
    const QByteArrayView content(jpeg.constData(), end);
    return content.size() >= 4 && content.startsWith("\xFF\xD8") && content.endsWith("\xFF\xD9");
}

template <typename Sample>
bool demosaicSamples(CameraFrame& frame, BayerPattern pattern, QByteArray& planes)
{
    return demosaicToPlanes(reinterpret_cast<const Sample*>(frame.samples.constData()), frame.width, frame.height,
        pattern, reinterpret_cast<Sample*>(planes.data()));
}

}  // namespace

PictureFormatName classifyPictureFormat(const std::string& format)
{
    std::string name = lowerCase(format);
    PictureFormatName result;
    if (endsWith(name, kDeflatedSuffix)) {
        result.deflated = true;
        name.resize(name.size() - std::string(kDeflatedSuffix).size());
    }
    for (const FormatSuffix& known : kFormatSuffixes) {
        if (name == known.suffix)
            result.format = known.format;
    }
    return result;
}

bool inflateBounded(const char* bytes, std::int64_t length, std::int64_t maxBytes, QByteArray& inflated, QString& error)
{
    InflateStream zlib;
    if (inflateInit(&zlib.stream) != Z_OK) {
        error = QStringLiteral("zlib cannot start inflating");
        return false;
    }
    zlib.started = true;
    std::int64_t produced = 0;
    inflated.clear();
    try {
        for (int result = Z_OK; result != Z_STREAM_END;) {
            if (zlib.stream.avail_in == 0 && length > 0)
                feedInput(zlib.stream, bytes, length);
            // Once the bound is reached, one byte more in a probe tells a
            // stream that would exceed it.
            const bool full = produced == maxBytes;
            char probe = 0;
            if (!full && produced == inflated.size())
                inflated.resize(qsizetype(std::min(maxBytes, std::max(kFirstInflateBytes, 2 * produced))));
            const auto room = uInt(full ? 1 : std::min<std::int64_t>(inflated.size() - produced, UINT_MAX));
            zlib.stream.next_out = reinterpret_cast<Bytef*>(full ? &probe : inflated.data() + produced);
            zlib.stream.avail_out = room;
            result = inflate(&zlib.stream, Z_NO_FLUSH);
            const uInt written = room - zlib.stream.avail_out;
            if (full && written > 0) {
                error = QStringLiteral("the deflated picture inflates to more than %1 bytes").arg(maxBytes);
                return false;
            }
            produced += written;
            const bool inputUsedUp = zlib.stream.avail_in == 0 && length == 0;
            if ((result != Z_OK && result != Z_BUF_ERROR && result != Z_STREAM_END) ||
                (result != Z_STREAM_END && inputUsedUp && zlib.stream.avail_out > 0)) {
                error = QStringLiteral("the deflated picture is not a whole zlib stream");
                return false;
            }
        }
        inflated.resize(qsizetype(produced));
    } catch (const std::bad_alloc&) {
        error = QStringLiteral("memory ran out inflating the picture after %1 bytes").arg(produced);
        return false;
    }
    return true;
}

std::int64_t inflatedBytesAllowed(PictureFormat format, const StreamGeometry& geometry, QString& error)
{
    switch (format) {
    case PictureFormat::Fits:
        return kMaxInflatedFitsBytes;
    case PictureFormat::Jpeg:
        return kMaxInflatedJpegBytes;
    case PictureFormat::RawStream: {
        const std::vector<RawLayout> layouts = rawLayouts(geometry);
        if (layouts.empty())
            error = QStringLiteral("raw stream frames of %1 are not shown: at most %2 pixels a side and %3 pixels")
                        .arg(rawGeometryText(geometry))
                        .arg(kMaxJpegSidePixels)
                        .arg(kMaxCameraFramePixels);
        std::int64_t largest = 0;
        for (const RawLayout& layout : layouts)
            largest = std::max(largest, layout.bytes);
        return largest;
    }
    case PictureFormat::Unknown:
        break;
    }
    error = QStringLiteral("only JPEG, FITS and raw stream pictures are inflated");
    return 0;
}

bool decodeCameraPicture(PictureFormatName format, const char* bytes, std::int64_t length,
    const StreamGeometry& geometry, CameraFrame& frame, QString& error)
{
    try {
        if (!format.deflated)
            return decodeInflated(format.format, bytes, length, nullptr, geometry, frame, error);
        const std::int64_t maxBytes = inflatedBytesAllowed(format.format, geometry, error);
        QByteArray inflated;
        return maxBytes > 0 && inflateBounded(bytes, length, maxBytes, inflated, error) &&
            decodeInflated(format.format, inflated.constData(), inflated.size(), &inflated, geometry, frame, error);
    } catch (const std::bad_alloc&) {
        error = QStringLiteral("memory ran out decoding the picture");
        return false;
    }
}

bool wholeJpeg(PictureFormatName format, const QByteArray& bytes, QByteArray& jpeg, QString& error)
{
    if (!format.deflated)
        jpeg = bytes;
    else if (!inflateBounded(bytes.constData(), bytes.size(), kMaxInflatedJpegBytes, jpeg, error)) {
        jpeg.clear();
        return false;
    }
    if (jpegMarkersWhole(jpeg))
        return true;
    error = QStringLiteral("a picture of %1 bytes is no whole JPEG: it must start with FF D8 and end with FF D9")
                .arg(jpeg.size());
    jpeg.clear();
    return false;
}

bool cameraFrameSizeAllowed(std::int64_t width, std::int64_t height, QString& error)
{
    const bool sidesAllowed = width >= 1 && height >= 1 && width <= kMaxJpegSidePixels && height <= kMaxJpegSidePixels;
    if (sidesAllowed && width * height <= kMaxCameraFramePixels)
        return true;
    error = QStringLiteral("frames of %1 x %2 pixels are not shown: at most %3 pixels a side and %4 pixels a frame")
                .arg(width)
                .arg(height)
                .arg(kMaxJpegSidePixels)
                .arg(kMaxCameraFramePixels);
    return false;
}

bool demosaicCameraFrame(CameraFrame& frame, BayerPattern pattern, QString& error)
{
    if (frame.width < kMinBayerWidth || frame.height < kMinBayerHeight)
        return true;
    QByteArray planes;
    try {
        planes = QByteArray(frame.samples.size() * kColourChannels, Qt::Uninitialized);
    } catch (const std::bad_alloc&) {
        error =
            QStringLiteral("memory ran out demosaicing a frame of %1 x %2 pixels").arg(frame.width).arg(frame.height);
        return false;
    }
    const bool demosaiced = frame.pixelType == PixelType::UInt8
        ? demosaicSamples<std::uint8_t>(frame, pattern, planes)
        : demosaicSamples<std::uint16_t>(frame, pattern, planes);
    if (!demosaiced) {
        error = QStringLiteral("the demosaic of a frame of %1 x %2 pixels failed").arg(frame.width).arg(frame.height);
        return false;
    }
    frame.samples = std::move(planes);
    frame.channels = kColourChannels;
    return true;
}
