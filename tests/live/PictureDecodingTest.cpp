// SPDX-License-Identifier: GPL-3.0-or-later
// FITS files written by cfitsio itself, raw stream frames and deflated
// pictures decode to the planar samples their writer meant, and pictures that
// claim more than they hold are refused.
#include "live/PictureDecoding.h"

#include "FitsFiles.h"
#include "live/FitsUnpacker.h"
#include "JpegCodec.h"

#include <dc1394/conversions.h>
#include <fitsio.h>

#include <gtest/gtest.h>

#include <climits>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using quelmor::test::fitsFile;
using quelmor::test::FitsImageContent;
using quelmor::test::setCard;

// Compressed pictures are decoded by this build's unpacking program.
[[maybe_unused]] const bool kUnpackerChosen = (FitsUnpacker::useHelper(FITS_UNPACK_EXECUTABLE), true);

// Writes `text` as the value of card `key`, or blanks the card without one.
QByteArray withCard(QByteArray fits, const char* key, const char* text)
{
    const qsizetype card = fits.indexOf(QByteArray(key).leftJustified(8, ' ') + "= ");
    if (text == nullptr)
        fits.replace(card, 80, QByteArray(80, ' '));
    else
        fits.replace(card + 10, 20, QByteArray(text).rightJustified(20, ' '));
    return fits;
}

bool decode(const QByteArray& bytes, const std::string& format, CameraFrame& frame, QString& error,
    const StreamGeometry& geometry = {})
{
    return decodeCameraPicture(classifyPictureFormat(format), bytes.constData(), bytes.size(), geometry, frame, error);
}

StreamGeometry stream(int width, int height, int bin = 1)
{
    StreamGeometry geometry;
    geometry.width = width;
    geometry.height = height;
    geometry.binX = geometry.binY = bin;
    return geometry;
}

std::vector<double> valuesOf(const CameraFrame& frame)
{
    std::vector<double> values;
    visitSampleType(frame.pixelType, [&](auto type) {
        const auto* samples = reinterpret_cast<decltype(type)>(frame.samples.constData());
        values.assign(samples, samples + frame.samples.size() / sizeof(*type));
    });
    return values;
}

// A mosaic whose red sites hold 200, green 100 and blue 50, laid out as
// `pattern` seen from pixel (0, 0): bit 0 puts red in odd columns, bit 1 on odd rows.
std::vector<double> colourSites(BayerPattern pattern, int width, int height)
{
    std::vector<double> mosaic;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool redColumn = (x & 1) == (int(pattern) & 1);
            const bool redRow = (y & 1) == (int(pattern) >> 1);
            mosaic.push_back(redColumn && redRow ? 200 : (!redColumn && !redRow ? 50 : 100));
        }
    }
    return mosaic;
}

// Pixel (x, y) of a red, green, blue frame.
std::vector<double> pixel(const CameraFrame& frame, int x, int y)
{
    const std::vector<double> values = valuesOf(frame);
    const std::size_t plane = std::size_t(frame.width) * frame.height;
    const std::size_t at = std::size_t(y) * frame.width + x;
    return {values[at], values[plane + at], values[2 * plane + at]};
}

// Each BITPIX with its BZERO reads into the type that holds its values, exactly;
// BSCALE 2 makes stored 1, 2, 3 read 2, 4, 6; a third axis
// of 1 is grey, of 3 three planes in the file's order.
TEST(PictureDecoding, FitsImagesReadIntoTheirTypes)
{
    struct Case {
        FitsImageContent image;
        PixelType type;
        int channels;
    };
    const std::vector<Case> cases = {
        {{BYTE_IMG, {3, 1}, {0, 7, 255}}, PixelType::UInt8, 1},
        {{SBYTE_IMG, {3, 1}, {-128, 0, 127}}, PixelType::Int16, 1},
        {{SHORT_IMG, {3, 1}, {-32768, 5, 32767}}, PixelType::Int16, 1},
        {{USHORT_IMG, {3, 1}, {0, 40000, 65535}}, PixelType::UInt16, 1},
        {{LONG_IMG, {2, 1}, {-2147483648.0, 2147483647}}, PixelType::Long, 1},
        {{ULONG_IMG, {2, 1}, {0, 4294967295.0}}, PixelType::LongLong, 1},
        {{LONGLONG_IMG, {2, 1}, {-5, 1099511627776.0}}, PixelType::LongLong, 1},
        {{ULONGLONG_IMG, {2, 1}, {0, 9223372036854775808.0}}, PixelType::Double, 1},
        {{FLOAT_IMG, {2, 1}, {1.5, -2.25}}, PixelType::Float, 1},
        {{DOUBLE_IMG, {2, 1}, {1e300, -1e-300}}, PixelType::Double, 1},
        {{USHORT_IMG, {2, 1, 1}, {1, 2}}, PixelType::UInt16, 1},
        {{SHORT_IMG, {2, 1, 3}, {1, 2, 3, 4, 5, 6}}, PixelType::Int16, 3},
        {{SHORT_IMG, {3, 1}, {2, 4, 6}, nullptr, false, 1, 0, 2}, PixelType::Long, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "image type " << c.image.imageType);
        CameraFrame frame;
        QString error;
        ASSERT_TRUE(decode(fitsFile(c.image), c.image.compressed ? ".fits.fz" : ".fits", frame, error))
            << error.toStdString();
        EXPECT_EQ(frame.pixelType, c.type);
        EXPECT_EQ(frame.width, c.image.axes[0]);
        EXPECT_EQ(frame.channels, c.channels);
        EXPECT_EQ(valuesOf(frame), c.image.values);
    }
}

// Mosaics are demosaiced with the pattern their offsets shift, every inner
// pixel to the sites' colours: FITS RGGB one column right reads GRBG, FITS
// BGGR one row down (YBAYROFF alone) too, and a camera's BGGR one row down.
TEST(PictureDecoding, MosaicsAreDemosaicedWithTheirOffsets)
{
    const std::vector<double> sites = colourSites(BayerPattern::Grbg, 6, 4);
    CameraFrame fits, fitsRowDown, raw;
    QString error;
    ASSERT_TRUE(decode(fitsFile({USHORT_IMG, {6, 4}, sites, "RGGB"}), ".fits", fits, error)) << error.toStdString();
    ASSERT_TRUE(decode(fitsFile({USHORT_IMG, {6, 4}, sites, "BGGR", false, 0, 1}), ".fits", fitsRowDown, error));
    QByteArray mosaic;
    for (const double site : sites)
        mosaic.append(char(site));
    StreamGeometry geometry = stream(6, 4);
    geometry.cfaType = "bggr";
    geometry.cfaOffsetY = 1;
    ASSERT_TRUE(decode(mosaic, ".stream", raw, error, geometry));
    for (const CameraFrame& frame : {fits, fitsRowDown, raw}) {
        ASSERT_EQ(frame.channels, 3);
        for (int y = 1; y < 3; ++y) {
            for (int x = 1; x < 5; ++x)
                EXPECT_EQ(pixel(frame, x, y), (std::vector<double>{200, 100, 50})) << x << ", " << y;
        }
    }
}

// Headers that claim more than the picture holds, or than a frame may have,
// are refused before the image is read.
TEST(PictureDecoding, FitsClaimingTooMuchIsRefused)
{
    const QByteArray valid = fitsFile({SHORT_IMG, {40, 40, 3}, std::vector<double>(4800, 1)});
    QByteArray huge = valid, large = valid, twoPlanes = valid;
    setCard(huge, "NAXIS1", 40000);
    setCard(huge, "NAXIS2", 40000);
    setCard(large, "NAXIS1", 4000);
    setCard(twoPlanes, "NAXIS3", 2);
    const QByteArray compressed = fitsFile({USHORT_IMG, {3, 2}, {1, 2, 3, 4, 5, 6}, nullptr, true});
    const std::pair<QByteArray, const char*> cases[] = {{huge, "40000 x 40000 pixels are not shown"},
        {large, "claims 4000 x 40 pixels"}, {twoPlanes, "the third of 2"},
        {valid.left(valid.size() - 2880), "holds 11520 bytes"}, {valid.left(1000), "2880-byte block"},
        {compressed.left(compressed.size() - 2880), "tiles reach"}};
    for (const auto& [bytes, reason] : cases) {
        CameraFrame frame;
        QString error;
        EXPECT_FALSE(decode(bytes, ".fits", frame, error));
        EXPECT_TRUE(error.contains(QLatin1String(reason))) << error.toStdString();
    }
}

// Compressed images whose keywords cfitsio would divide by zero with, or
// copy past its tile buffers for, are refused before cfitsio sees them.
TEST(PictureDecoding, HostileCompressedKeywordsAreRefused)
{
    const QByteArray packed = fitsFile({USHORT_IMG, {3, 2}, {1, 2, 3, 4, 5, 6}, nullptr, true});
    const struct {
        const char* key;
        const char* value;  // nullptr: the card is left out
        const char* key2;
        const char* value2;
        const char* reason;
    } cases[] = {{"ZTILE1", "1E-1", "ZTILE1", "1E-1", "ZTILE1 of '1E-1'"},
        {"ZTILE2", "9.0E-1", "ZTILE2", "9.0E-1", "ZTILE2 of '9.0E-1'"},
        {"ZTILE1", nullptr, "ZNAXIS1", "0", "ZNAXIS1 of '0'"}, {"ZNAXIS1", "5E-1", "ZNAXIS1", "5E-1", "ZNAXIS1"},
        {"ZVAL1", "0", "ZVAL1", "0", "ZVAL1 of '0'"}, {"ZBITPIX", "-64", "ZBITPIX", "-64", "without ZSCALE"},
        {"ZCMPTYPE", "'GZIP_1'", "ZCMPTYPE", "'GZIP_1'", "only RICE_1"},
        {"ZNAXIS2", "4", "ZNAXIS2", "4", "4 tiles but its table 2 rows"}};
    for (const auto& c : cases) {
        CameraFrame frame;
        QString error;
        EXPECT_FALSE(decode(withCard(withCard(packed, c.key, c.value), c.key2, c.value2), ".fits.fz", frame, error));
        EXPECT_TRUE(error.contains(QLatin1String(c.reason))) << c.key2 << ": " << error.toStdString();
    }
}

// Random bytes in the tiles (and their table) lose the picture with a reason
// or decode to the image's size; the unpacking process may crash, not the service.
TEST(PictureDecoding, CorruptRiceTilesNeverCrash)
{
    std::mt19937 random(11);
    std::vector<double> values(64 * 48);
    for (double& value : values)
        value = double(random() % 4000);
    const QByteArray packed = fitsFile({USHORT_IMG, {64, 48}, values, nullptr, true});
    for (int round = 0; round < 12; ++round) {
        QByteArray corrupt = packed;
        for (int i = 0; i < 16; ++i)
            corrupt[qsizetype(corrupt.size() - 2880 + random() % 2880)] = char(random());
        CameraFrame frame;
        QString error;
        if (decode(corrupt, ".fits.fz", frame, error))
            EXPECT_EQ(frame.samples.size(), 64 * 48 * 2) << round;
        else
            EXPECT_FALSE(error.isEmpty()) << round;
    }
}

// Tile-compressed images, as cfitsio writes them, decode in the unpacking
// process to exactly their samples: 8, 16 and 32 bits, floating point, a
// mosaic (demosaiced as the plain one is), and as the CCD simulator sends
// them, the file followed by zeros to 1,048,576 bytes.
TEST(PictureDecoding, CompressedImagesDecodeInTheUnpackingProcess)
{
    const struct {
        FitsImageContent image;
        PixelType type;
        qsizetype paddedTo;
    } cases[] = {{{USHORT_IMG, {3, 2}, {0, 1, 2, 40000, 40001, 65535}, nullptr, true}, PixelType::UInt16, 0},
        {{BYTE_IMG, {3, 1}, {0, 7, 255}, nullptr, true}, PixelType::UInt8, 0},
        {{LONG_IMG, {2, 1}, {-2147483648.0, 2147483647}, nullptr, true}, PixelType::Long, 0},
        {{FLOAT_IMG, {2, 1}, {1.5, -2.25}, nullptr, true}, PixelType::Float, 0},
        {{USHORT_IMG, {3, 1}, {0, 40000, 65535}, nullptr, true}, PixelType::UInt16, 1 << 20}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "image type " << c.image.imageType << ", padded to " << c.paddedTo);
        QByteArray bytes = fitsFile(c.image);
        bytes.append(QByteArray(std::max<qsizetype>(c.paddedTo - bytes.size(), 0), '\0'));
        CameraFrame frame;
        QString error;
        ASSERT_TRUE(decode(bytes, ".fits.fz", frame, error)) << error.toStdString();
        EXPECT_EQ(frame.pixelType, c.type);
        EXPECT_EQ(frame.width, c.image.axes[0]);
        EXPECT_EQ(valuesOf(frame), c.image.values);
    }
    CameraFrame mosaic;
    QString error;
    const std::vector<double> sites = colourSites(BayerPattern::Grbg, 6, 4);
    ASSERT_TRUE(decode(fitsFile({USHORT_IMG, {6, 4}, sites, "RGGB", true}), ".fits.fz", mosaic, error))
        << error.toStdString();
    ASSERT_EQ(mosaic.channels, 3);
    EXPECT_EQ(pixel(mosaic, 2, 1), (std::vector<double>{200, 100, 50}));
}

// As the CCD simulator sends its files: followed by zeros to 1,048,576 bytes,
// which is no whole number of blocks.
TEST(PictureDecoding, BytesAfterTheLastBlockAreIgnored)
{
    QByteArray bytes = fitsFile({USHORT_IMG, {3, 1}, {0, 40000, 65535}});
    bytes.append(QByteArray((1 << 20) - bytes.size(), '\0'));
    CameraFrame frame;
    QString error;
    ASSERT_TRUE(decode(bytes, ".fits", frame, error)) << error.toStdString();
    EXPECT_EQ(valuesOf(frame), (std::vector<double>{0, 40000, 65535}));
}

// The byte count picks 8-bit, 16-bit little-endian or RGB frames of the
// stream's size or its binned size; the samples are bytes 1, 2, 3, ... A
// geometry beyond any frame is refused, its byte counts never overflowing.
TEST(PictureDecoding, RawStreamFramesByTheirByteCount)
{
    struct Case {
        int streamWidth, streamHeight, bin;
        int bytes;
        int width, channels;
        PixelType type;
        std::vector<double> someSamples;  // samples 0 and 1 of plane channels - 1
    };
    const std::vector<Case> cases = {
        {4, 2, 1, 8, 4, 1, PixelType::UInt8, {1, 2}},
        {4, 2, 1, 16, 4, 1, PixelType::UInt16, {0x0201, 0x0403}},
        {4, 2, 1, 24, 4, 3, PixelType::UInt8, {3, 6}},
        {8, 4, 2, 8, 4, 1, PixelType::UInt8, {1, 2}},
        {4, 2, 1, 10, 0, 0, PixelType::UInt8, {}},
        {0, 0, 1, 8, 0, 0, PixelType::UInt8, {}},
        {INT_MAX, INT_MAX, 1, 8, 0, 0, PixelType::UInt8, {}},
        {INT_MAX, INT_MAX, 2, 8, 0, 0, PixelType::UInt8, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bytes << " bytes for " << c.streamWidth << " x " << c.streamHeight);
        QByteArray bytes(c.bytes, '\0');
        for (int i = 0; i < c.bytes; ++i)
            bytes[i] = char(i + 1);
        CameraFrame frame;
        QString error;
        ASSERT_EQ(decode(bytes, ".stream", frame, error, stream(c.streamWidth, c.streamHeight, c.bin)), c.width > 0)
            << error.toStdString();
        if (c.width == 0) {
            EXPECT_TRUE(error.contains(QString::number(c.bytes)));
            continue;
        }
        EXPECT_EQ(frame.width, c.width);
        EXPECT_EQ(frame.channels, c.channels);
        EXPECT_EQ(frame.pixelType, c.type);
        const std::vector<double> values = valuesOf(frame);
        const std::size_t plane = (c.channels - 1) * values.size() / c.channels;
        EXPECT_EQ((std::vector<double>{values[plane], values[plane + 1]}), c.someSamples);
    }
}

// Demosaicing band by band gives the whole frame demosaiced at once, its
// outermost rows and columns black.
TEST(PictureDecoding, BandsDemosaicLikeTheWholeFrame)
{
    constexpr int kWidth = 1500, kHeight = 1001;
    std::mt19937 random(3);
    std::vector<std::uint16_t> mosaic(kWidth * kHeight), interleaved(3 * mosaic.size()), planes(3 * mosaic.size());
    for (auto& sample : mosaic)
        sample = std::uint16_t(random());
    dc1394_bayer_decoding_16bit(
        mosaic.data(), interleaved.data(), kWidth, kHeight, DC1394_COLOR_FILTER_GBRG, DC1394_BAYER_METHOD_BILINEAR, 16);
    ASSERT_TRUE(demosaicToPlanes(mosaic.data(), kWidth, kHeight, BayerPattern::Gbrg, planes.data()));
    for (std::size_t i = 0; i < interleaved.size(); ++i) {
        const std::size_t pixel = i / 3, x = pixel % kWidth, y = pixel / kWidth;
        const bool edge = x == 0 || y == 0 || x == kWidth - 1 || y == kHeight - 1;
        ASSERT_EQ(planes[i % 3 * mosaic.size() + pixel], edge ? 0 : interleaved[i]) << "pixel " << x << ", " << y;
    }
}

// Deflated pictures inflate up to the bound and no further; cut or garbage
// streams are refused. Raw frames inflate to at most their geometry's largest
// layout (RGB), and a geometry that allows none is refused before inflating.
TEST(PictureDecoding, DeflatedPicturesInflateWithinTheBound)
{
    const QByteArray fits = fitsFile({USHORT_IMG, {3, 1}, {0, 40000, 65535}});
    const QByteArray deflated = qCompress(fits).mid(4);  // a zlib stream after Qt's length
    CameraFrame frame;
    QString error;
    ASSERT_TRUE(decode(deflated, ".fits.Z", frame, error)) << error.toStdString();
    EXPECT_EQ(valuesOf(frame), (std::vector<double>{0, 40000, 65535}));

    const struct {
        QByteArray bytes;
        std::int64_t maxBytes;
        bool inflates;
    } cases[] = {{deflated, fits.size(), true}, {deflated, fits.size() - 1, false},
        {deflated.left(deflated.size() - 4), fits.size(), false}, {fits, fits.size(), false}};
    for (const auto& c : cases) {
        QByteArray inflated;
        EXPECT_EQ(inflateBounded(c.bytes.constData(), c.bytes.size(), c.maxBytes, inflated, error), c.inflates);
        EXPECT_TRUE(!c.inflates || inflated == fits) << c.bytes.size() << " bytes up to " << c.maxBytes;
        EXPECT_LE(inflated.size(), c.maxBytes);
    }

    const struct {
        int bytes;
        StreamGeometry geometry;
        const char* refusal;  // none: shown
    } raw[] = {{24, stream(4, 2), nullptr}, {25, stream(4, 2), "more than 24 bytes"}, {96, stream(8, 4, 2), nullptr},
        {97, stream(8, 4, 2), "more than 96 bytes"}, {8, stream(INT_MAX, 1), "are not shown"}};
    for (const auto& r : raw) {
        CameraFrame rawFrame;
        const bool shown = decode(qCompress(QByteArray(r.bytes, 1)).mid(4), ".stream.z", rawFrame, error, r.geometry);
        EXPECT_EQ(shown, r.refusal == nullptr) << r.bytes << " bytes";
        EXPECT_TRUE(shown || error.contains(QLatin1String(r.refusal))) << error.toStdString();
    }
}

// Only whole JPEGs pass, byte for byte, inflated from ".z" too: a start
// marker, an end marker, zeros after it as padding; nothing else.
TEST(PictureDecoding, OnlyWholeJpegsPassThrough)
{
    const QByteArray jpeg = QByteArray::fromStdString(quelmor::test::encodeSolidJpeg(16, 8, {90, 90, 90}));
    const QByteArray padded = jpeg + QByteArray(16, '\0');
    const struct {
        QByteArray bytes;
        const char* format;
        QByteArray passed;  // empty: refused
    } cases[] = {{jpeg, ".jpg", jpeg}, {padded, ".stream_jpg", padded}, {qCompress(jpeg).mid(4), ".jpg.z", jpeg},
        {"<html><body>not a picture</body></html>", ".jpg", {}}, {jpeg.mid(2, jpeg.size() / 2), ".jpeg", {}},
        {jpeg.left(jpeg.size() - 1), ".jpg", {}}, {jpeg.mid(2), ".jpg", {}}, {padded + "x", ".jpg", {}},
        {qCompress(QByteArray(100, '\0')).mid(4), ".jpg.z", {}}};
    for (const auto& c : cases) {
        QByteArray passed;
        QString error;
        EXPECT_EQ(wholeJpeg(classifyPictureFormat(c.format), c.bytes, passed, error), !c.passed.isEmpty())
            << c.bytes.size() << " bytes as " << c.format;
        EXPECT_EQ(passed, c.passed) << c.bytes.size() << " bytes as " << c.format;
        EXPECT_TRUE(!c.passed.isEmpty() || error.contains(QLatin1String("no whole JPEG"))) << error.toStdString();
    }
}

TEST(PictureDecoding, FormatNames)
{
    const struct {
        const char* name;
        PictureFormat format;
        bool deflated;
    } cases[] = {{".jpg", PictureFormat::Jpeg, false}, {".JPEG", PictureFormat::Jpeg, false},
        {".stream_jpg", PictureFormat::Jpeg, false}, {".fits", PictureFormat::Fits, false},
        {".fit.z", PictureFormat::Fits, true}, {".fts.fz", PictureFormat::Fits, false},
        {".FITS.FZ.Z", PictureFormat::Fits, true}, {".stream", PictureFormat::RawStream, false},
        {".stream.z", PictureFormat::RawStream, true}, {".xisf", PictureFormat::Unknown, false},
        {".z", PictureFormat::Unknown, true}, {"fits", PictureFormat::Unknown, false}};
    for (const auto& c : cases) {
        const PictureFormatName named = classifyPictureFormat(c.name);
        EXPECT_EQ(named.format, c.format) << c.name;
        EXPECT_EQ(named.deflated, c.deflated) << c.name;
    }
}

}  // namespace
