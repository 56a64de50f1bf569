// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/FrameDecoding.h"
#include "live/CameraJpegPicture.h"

#include "JpegCodec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using quelmor::test::claimingSize;
using quelmor::test::encodeJpeg;

constexpr int kUnwritten = -7;

struct Decoded {
    bool ok = false;
    QByteArray pixels;
    std::int32_t width = kUnwritten;
    std::int32_t height = kUnwritten;
    std::int32_t channels = kUnwritten;
};

Decoded decode(const std::string& jpeg, const std::atomic<bool>* cancelled = nullptr, bool planar = false,
    const RowsDecoded& rowsDecoded = {})
{
    Decoded result;
    const auto* bytes = reinterpret_cast<const unsigned char*>(jpeg.data());
    const auto length = static_cast<unsigned long>(jpeg.size());
    result.ok = planar ? decodeJpegPlanar(bytes, length, result.pixels, result.width, result.height, result.channels,
                             cancelled, rowsDecoded)
                       : decodeJpeg(bytes, length, result.pixels, result.width, result.height, result.channels,
                             cancelled);
    return result;
}

// A smooth diagonal ramp, which survives JPEG almost unchanged.
std::vector<std::uint8_t> greyRamp(int width, int height)
{
    std::vector<std::uint8_t> samples;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            samples.push_back(static_cast<std::uint8_t>((x * 255 / (width - 1) + y * 255 / (height - 1)) / 2));
    return samples;
}

int largestDifference(const QByteArray& actual, const std::vector<std::uint8_t>& expected)
{
    int largest = 0;
    for (std::size_t i = 0; i < expected.size(); ++i)
        largest =
            std::max(largest, std::abs(static_cast<std::uint8_t>(actual[static_cast<qsizetype>(i)]) - expected[i]));
    return largest;
}

// Grey pictures decode row by row to one byte per pixel, whatever the
// encoding process, and planar grey is the same bytes.
TEST(FrameDecodingTest, GreyPictureDecodesToOneBytePerPixel)
{
    const std::vector<std::uint8_t> ramp = greyRamp(640, 480);
    for (const bool progressive : {false, true}) {
        const Decoded picture = decode(encodeJpeg(ramp, 640, 480, 1, progressive));
        ASSERT_TRUE(picture.ok) << "progressive " << progressive;
        EXPECT_EQ(picture.width, 640);
        EXPECT_EQ(picture.height, 480);
        EXPECT_EQ(picture.channels, 1);
        ASSERT_EQ(picture.pixels.size(), 307200);
        EXPECT_LE(largestDifference(picture.pixels, ramp), 2) << "progressive " << progressive;
        EXPECT_EQ(toPlanar(picture.pixels, 640, 480, 1), picture.pixels);
    }
    const Decoded baseline = decode(encodeJpeg(ramp, 640, 480, 1, false));
    EXPECT_EQ(decode(encodeJpeg(ramp, 640, 480, 1, true)).pixels, baseline.pixels);
}

// Colour pixels come out as red, green, blue together, and planar puts each
// channel in its own plane.
TEST(FrameDecodingTest, ColourPictureIsInterleavedThenPlanar)
{
    const std::vector<std::uint8_t> twoPixels = {10, 20, 30, 40, 50, 60};
    const Decoded picture = decode(encodeJpeg(twoPixels, 2, 1, 3));
    ASSERT_TRUE(picture.ok);
    EXPECT_EQ(picture.width, 2);
    EXPECT_EQ(picture.height, 1);
    EXPECT_EQ(picture.channels, 3);
    ASSERT_EQ(picture.pixels.size(), 6);
    EXPECT_LE(largestDifference(picture.pixels, twoPixels), 2);

    const QByteArray planar = toPlanar(picture.pixels, 2, 1, 3);
    ASSERT_EQ(planar.size(), 6);
    EXPECT_LE(largestDifference(planar, {10, 40, 20, 50, 30, 60}), 2);
    EXPECT_EQ(toPlanar(picture.pixels.left(5), 2, 1, 3), QByteArray()) << "short interleaved data";
}

// Decoding straight into planes gives what rearranging the interleaved decode
// gives: colour pictures of several bands and odd sizes, progressive or cut
// short, and grey ones as they come. The bands are announced top to bottom,
// each already holding its final samples.
TEST(FrameDecodingTest, PlanarDecodeMatchesRearrangedInterleavedDecode)
{
    std::vector<std::uint8_t> colour;
    for (int i = 0; i < 333 * 97 * 3; ++i)
        colour.push_back(static_cast<std::uint8_t>(i * 7 % 251));
    const std::string pictures[] = {encodeJpeg(colour, 333, 97, 3), encodeJpeg(colour, 333, 97, 3, true),
        encodeJpeg(colour, 333, 97, 3).substr(0, 4000), encodeJpeg(greyRamp(640, 480), 640, 480, 1)};
    for (const std::string& jpeg : pictures) {
        const Decoded interleaved = decode(jpeg);
        QByteArray announced;
        std::int32_t nextRow = 0;
        const auto copyBand = [&](const DecodedRows& rows) {
            const qsizetype planeSize = qsizetype{rows.width} * rows.height;
            announced.resize(planeSize * rows.channels);
            EXPECT_EQ(rows.firstRow, nextRow);
            nextRow = rows.firstRow + rows.rowCount;
            for (qsizetype start = qsizetype{rows.firstRow} * rows.width; start < planeSize * rows.channels;
                 start += planeSize)
                std::copy_n(rows.planes + start, qsizetype{rows.rowCount} * rows.width, announced.data() + start);
        };
        const Decoded planar = decode(jpeg, nullptr, true, copyBand);
        ASSERT_TRUE(interleaved.ok && planar.ok);
        EXPECT_EQ(nextRow, planar.height);
        EXPECT_EQ(announced, planar.pixels);
        EXPECT_EQ(
            planar.pixels, toPlanar(interleaved.pixels, interleaved.width, interleaved.height, interleaved.channels));
        EXPECT_EQ(std::vector<std::int32_t>({planar.width, planar.height, planar.channels}),
            std::vector<std::int32_t>({interleaved.width, interleaved.height, interleaved.channels}));
    }
}

// A picture cut off after its header decodes to full size: the rows before
// the cut as in the whole picture, the rest filled in; and it reduces.
TEST(FrameDecodingTest, TruncatedPictureDecodesToFullSize)
{
    const std::string whole = encodeJpeg(greyRamp(640, 480), 640, 480, 1);
    const Decoded full = decode(whole);
    const Decoded cut = decode(whole.substr(0, whole.size() / 2));
    ASSERT_TRUE(cut.ok);
    EXPECT_EQ(cut.width, 640);
    EXPECT_EQ(cut.height, 480);
    ASSERT_EQ(cut.pixels.size(), 307200);
    EXPECT_EQ(cut.pixels.left(640 * 16), full.pixels.left(640 * 16));
    EXPECT_NE(cut.pixels, full.pixels);
    EXPECT_EQ(
        decode(CameraJpegPicture(QByteArray::fromStdString(whole.substr(0, whole.size() / 2))).encode(8)).width, 80);

    const std::atomic<bool> cancelled{true};
    EXPECT_FALSE(decode(whole, &cancelled).ok) << "a cancelled decode went on";
}

// What cannot be decoded to 1 or 3 channels answers false and leaves the
// geometry alone; channels is known once the header has been read. A camera
// JPEG of such bytes goes at full size as it came, never reduced, and has no
// size unless its header is read.
TEST(FrameDecodingTest, RejectsWhatIsNotAGreyOrColourPicture)
{
    const std::string grey = encodeJpeg(greyRamp(16, 16), 16, 16, 1);
    std::string badScan = encodeJpeg(greyRamp(16, 16), 16, 16, 1, true);
    // The end of spectral selection of the second scan, past 63: read only while decoding.
    badScan[badScan.find("\xFF\xDA", badScan.find("\xFF\xDA") + 2) + 8] = '\x50';
    // 225 Mpx with bytes enough for one bit per block: beyond the pixel bound only.
    const std::string padded = claimingSize(grey, 15000, 15000) + std::string(450'000, '\0');
    const struct {
        const char* what;
        std::string bytes;
        std::int32_t channels;
        std::int32_t cameraWidth = 0;
    } cases[] = {
        {"empty", std::string(), kUnwritten},
        {"FITS header", std::string("SIMPLE  =                    T / conforming FITS file"), kUnwritten},
        {"start of picture only", std::string("\xFF\xD8", 2), kUnwritten},
        {"header cut short", grey.substr(0, 100), kUnwritten},
        {"65500 x 65500, more samples than a 32-bit count", claimingSize(grey, 65500, 65500), kUnwritten},
        {"4000 x 4000 claimed in a few hundred bytes", claimingSize(grey, 4000, 4000), kUnwritten},
        {"15000 x 15000, above the pixel bound", padded, kUnwritten},
        {"CMYK", encodeJpeg(std::vector<std::uint8_t>(8 * 8 * 4, 90), 8, 8, 4), 4},
        {"a progressive picture with an invalid second scan", badScan, kUnwritten, 16},
    };
    for (const auto& c : cases) {
        const Decoded picture = decode(c.bytes);
        EXPECT_FALSE(picture.ok) << c.what;
        EXPECT_EQ(picture.channels, c.channels) << c.what;
        EXPECT_EQ(picture.width, kUnwritten) << c.what;
        EXPECT_EQ(picture.height, kUnwritten) << c.what;
        const CameraJpegPicture camera(QByteArray::fromStdString(c.bytes));
        EXPECT_EQ(camera.width(), c.cameraWidth) << c.what;
        EXPECT_EQ(camera.encode(1), c.bytes) << c.what;
        for (const int factor : {2, 4, 8})
            EXPECT_EQ(camera.encode(factor), "") << c.what << ", reduced by " << factor;
    }
}

// A camera's JPEG is sent at full size as it came, and reduced as libjpeg's
// own scaled decode of it: grey stays grey, colour channels stay apart, and
// the edge blocks are partial for every factor.
TEST(FrameDecodingTest, CameraJpegReducesAsLibjpegsScaledDecode)
{
    constexpr int kWidth = 1001, kHeight = 601, kTolerance = 10;  // a re-encode at quality 75
    std::vector<std::uint8_t> colour;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            colour.insert(
                colour.end(), {std::uint8_t(x / 4), std::uint8_t(y * 255 / kHeight), std::uint8_t((x + y) / 8)});
    for (const int channels : {1, 3}) {
        const std::string jpeg =
            encodeJpeg(channels == 1 ? greyRamp(kWidth, kHeight) : colour, kWidth, kHeight, channels);
        const CameraJpegPicture picture(QByteArray::fromStdString(jpeg));
        EXPECT_EQ(std::vector<std::int32_t>({picture.width(), picture.height()}),
            std::vector<std::int32_t>({kWidth, kHeight}));
        EXPECT_EQ(picture.encode(1), jpeg);
        for (const int factor : {2, 4, 8}) {
            SCOPED_TRACE(testing::Message() << channels << " channels, factor " << factor);
            int width = 0, height = 0;  // libjpeg's, the sides divided by the factor, rounded up
            std::vector<unsigned char> expected;
            ASSERT_TRUE(quelmor::test::decodeJpeg(jpeg, width, height, expected, factor));
            const Decoded reduced = decode(picture.encode(factor));
            ASSERT_EQ(std::vector<int>({reduced.width, reduced.height, reduced.channels}),
                std::vector<int>({width, height, channels}));
            int largest = 0;
            for (qsizetype i = 0; i < reduced.pixels.size(); ++i)
                largest = std::max(
                    largest, std::abs(std::uint8_t(reduced.pixels[i]) - expected[i / channels * 3 + i % channels]));
            EXPECT_LE(largest, kTolerance);
        }
    }
}

}  // namespace
