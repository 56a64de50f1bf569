// SPDX-License-Identifier: GPL-3.0-or-later
#include "stretch/JpegEncoding.h"
#include "stretch/PictureReduction.h"
#include "stretch/RenderedPicture.h"

#include <QCryptographicHash>

#include <gtest/gtest.h>

namespace {

PictureBuffer patterned(int channels, int width, int height)
{
    PictureBuffer picture(width, height, channels);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            picture.setPixel(x, y,
                channels == 1 ? (x * 7 + y * 3) % 256 : PictureBuffer::pixelWord(x % 256, y % 256, (x ^ y) % 256));
    }
    return picture;
}

// The bytes are those Qt's image writer wrote for the same picture (its
// SHA-256, taken when the service encoded with Qt): grey and colour, odd
// widths, both qualities in use.
TEST(JpegEncoding, WritesWhatQtsImageWriterWrote)
{
    const struct {
        int channels, width, height, quality;
        const char* sha256;
    } cases[] = {
        {1, 1, 1, 75, "f539d9389c2d548d70234b130062ee3a85357e1d5f3743c2ce0b5eae4fe43aa2"},
        {1, 1, 1, 85, "c21888a0034aae1d3cfb7e8c032d929672ea2d0ae2d506260351f7eb7a9d14ce"},
        {1, 641, 479, 75, "226b59a26293e3da8cff91687927eb37ed7cab9f83d38bd3eb6561c4d67cc585"},
        {1, 641, 479, 85, "09d97a1597289a5d3eb485d9348af09278817ed8400751b120c292a841107069"},
        {3, 1, 1, 75, "273c44f30718967303a57bca101caea55845db1e92c8d670798e16e526a06e61"},
        {3, 1, 1, 85, "da999f9b2c639d86d1c8e60dbbe9612eb9b01227ee817761d352bb97835114b8"},
        {3, 641, 479, 75, "2ba43399ce1f6607f0946a7f1ff39bca8c548fb6e881735b1c694602bbf014c9"},
        {3, 641, 479, 85, "9121d01b4c8f34bcc65931ba8bef2911d584dd6bd54e7cdc568fe349d4e13eb5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, width " << c.width << ", quality " << c.quality);
        QByteArray jpeg;
        ASSERT_TRUE(encodePictureJpeg(patterned(c.channels, c.width, c.height), c.quality, jpeg));
        EXPECT_EQ(QCryptographicHash::hash(jpeg, QCryptographicHash::Sha256).toHex().toStdString(), c.sha256);
    }
}

// The reference reduction, a pixel at a time: the mean of each factor x
// factor block's channels, rounded to nearest, over the pixels it has.
PictureBuffer averagedBlocks(const PictureBuffer& picture, int factor)
{
    PictureBuffer reduced = patterned(
        picture.channels(), (picture.width() + factor - 1) / factor, (picture.height() + factor - 1) / factor);
    for (int y = 0; y < reduced.height(); ++y) {
        for (int x = 0; x < reduced.width(); ++x) {
            int sums[3] = {0, 0, 0}, count = 0;
            for (int v = y * factor; v < std::min(picture.height(), (y + 1) * factor); ++v) {
                for (int u = x * factor; u < std::min(picture.width(), (x + 1) * factor); ++u, ++count) {
                    const std::uint32_t pixel = picture.pixel(u, v);
                    for (int channel = 0; channel < 3; ++channel)
                        sums[channel] += picture.channels() == 1 ? int(pixel) : int(pixel >> (16 - 8 * channel) & 0xFF);
                }
            }
            const auto mean = [&](int channel) { return (sums[channel] + count / 2) / count; };
            reduced.setPixel(x, y,
                picture.channels() == 1 ? std::uint32_t(mean(0)) : PictureBuffer::pixelWord(mean(0), mean(1), mean(2)));
        }
    }
    return reduced;
}

// A rendered picture is sent at full size as the pipeline encodes it, and
// reduced as the encoding of its averaged blocks, byte for byte: grey and
// colour, a size whose edge blocks are partial for every factor.
TEST(JpegEncoding, RenderedPictureReducesByAveragingBlocks)
{
    constexpr int kQuality = 80;
    for (const int channels : {1, 3}) {
        const PictureBuffer picture = patterned(channels, 1001, 601);
        const RenderedPicture rendered(picture, kQuality);
        EXPECT_EQ(std::make_pair(rendered.width(), rendered.height()), std::make_pair(1001, 601));
        QByteArray expected;
        ASSERT_TRUE(encodePictureJpeg(picture, kQuality, expected));
        EXPECT_TRUE(QByteArray::fromStdString(rendered.encode(1)) == expected) << "channels " << channels;
        for (const int factor : {2, 4, 8}) {
            SCOPED_TRACE(testing::Message() << "channels " << channels << ", factor " << factor);
            const PictureBuffer reference = averagedBlocks(picture, factor);
            ASSERT_TRUE(encodePictureJpeg(reference, kQuality, expected));
            EXPECT_TRUE(QByteArray::fromStdString(rendered.encode(factor)) == expected);
        }
        for (const int refused : {0, 3, 16})
            EXPECT_EQ(rendered.encode(refused), "") << "factor " << refused;
    }
    EXPECT_TRUE(reducePicture(PictureBuffer(), 2).isNull());
    EXPECT_TRUE(reducePicture(PictureBuffer(8, 8, 1), 3).isNull()) << "a factor the viewers never ask for";
}

}  // namespace
