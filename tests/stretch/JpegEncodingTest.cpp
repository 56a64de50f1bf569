// SPDX-License-Identifier: GPL-3.0-or-later
#include "stretch/JpegEncoding.h"
#include "stretch/PictureReduction.h"
#include "stretch/RenderedPicture.h"

#include <QBuffer>
#include <QImage>

#include <gtest/gtest.h>

namespace {

QImage patterned(QImage::Format format, QSize size)
{
    QImage picture(size, format);
    if (format == QImage::Format_Indexed8) {
        QList<QRgb> ramp(256);
        for (int level = 0; level < 256; ++level)
            ramp[level] = qRgb(level, level, level);
        picture.setColorTable(ramp);
    }
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x)
            picture.setPixel(
                x, y, format == QImage::Format_Indexed8 ? (x * 7 + y * 3) % 256 : qRgb(x % 256, y % 256, x ^ y));
    }
    return picture;
}

// The bytes are those Qt's image writer wrote for the same picture: grey and
// colour, scan lines with padding, both qualities in use.
TEST(JpegEncoding, WritesWhatQtsImageWriterWrote)
{
    for (const QImage::Format format : {QImage::Format_Indexed8, QImage::Format_RGB32}) {
        for (const QSize size : {QSize(1, 1), QSize(641, 479)}) {
            for (const int quality : {75, 85}) {
                SCOPED_TRACE(
                    testing::Message() << "format " << format << ", width " << size.width() << ", quality " << quality);
                const QImage picture = patterned(format, size);
                QByteArray expected;
                QBuffer buffer(&expected);
                ASSERT_TRUE(buffer.open(QIODevice::WriteOnly) && picture.save(&buffer, "JPEG", quality));
                QByteArray jpeg;
                ASSERT_TRUE(encodePictureJpeg(picture, quality, jpeg));
                EXPECT_TRUE(jpeg == expected) << jpeg.size() << " bytes against " << expected.size();
            }
        }
    }
}

// The reference reduction, a pixel at a time: the mean of each factor x
// factor block's channels, rounded to nearest, over the pixels it has.
QImage averagedBlocks(const QImage& picture, int factor)
{
    QImage reduced = patterned(
        picture.format(), QSize((picture.width() + factor - 1) / factor, (picture.height() + factor - 1) / factor));
    for (int y = 0; y < reduced.height(); ++y) {
        for (int x = 0; x < reduced.width(); ++x) {
            int sums[3] = {0, 0, 0}, count = 0;
            for (int v = y * factor; v < std::min(picture.height(), (y + 1) * factor); ++v) {
                for (int u = x * factor; u < std::min(picture.width(), (x + 1) * factor); ++u, ++count) {
                    const QRgb pixel = picture.pixel(u, v);
                    sums[0] += qRed(pixel), sums[1] += qGreen(pixel), sums[2] += qBlue(pixel);
                }
            }
            const auto mean = [&](int channel) { return (sums[channel] + count / 2) / count; };
            reduced.setPixel(
                x, y, picture.format() == QImage::Format_Indexed8 ? uint(mean(0)) : qRgb(mean(0), mean(1), mean(2)));
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
    for (const QImage::Format format : {QImage::Format_Indexed8, QImage::Format_RGB32}) {
        const QImage picture = patterned(format, QSize(1001, 601));
        const RenderedPicture rendered(picture, kQuality);
        EXPECT_EQ(QSize(rendered.width(), rendered.height()), picture.size());
        QByteArray expected;
        ASSERT_TRUE(encodePictureJpeg(picture, kQuality, expected));
        EXPECT_TRUE(QByteArray::fromStdString(rendered.encode(1)) == expected) << "format " << format;
        for (const int factor : {2, 4, 8}) {
            SCOPED_TRACE(testing::Message() << "format " << format << ", factor " << factor);
            const QImage reference = averagedBlocks(picture, factor);
            EXPECT_TRUE(reducePicture(picture, factor) == reference);
            ASSERT_TRUE(encodePictureJpeg(reference, kQuality, expected));
            EXPECT_TRUE(QByteArray::fromStdString(rendered.encode(factor)) == expected);
        }
        for (const int refused : {0, 3, 16})
            EXPECT_EQ(rendered.encode(refused), "") << "factor " << refused;
    }
    EXPECT_TRUE(reducePicture(QImage(), 2).isNull());
    EXPECT_TRUE(reducePicture(QImage(8, 8, QImage::Format_ARGB32), 2).isNull()) << "a format the stretch never renders";
}

}  // namespace
