// SPDX-License-Identifier: GPL-3.0-or-later
#include "stretch/JpegEncoding.h"

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

}  // namespace
