// SPDX-License-Identifier: GPL-3.0-or-later
#include "SerFileWriter.h"
#include "SerPlayerTestSupport.h"

#include "ser/SerFrameRenderer.h"
#include "ser/SerReader.h"
#include "stretch/StretchRenderer.h"

#include <QTemporaryDir>

#include <dc1394/conversions.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

using namespace sertest;

namespace {

// The whole frame at once, the way colour frames were rendered before bands:
// demosaiced (into a zeroed buffer) or taken as it is, split into planes,
// measured and stretched in one piece.
template <typename Sample>
PictureBuffer wholeFramePicture(const QByteArray& frame, const SerHeaderFields& fields)
{
    const std::size_t pixels = std::size_t(fields.width) * fields.height;
    std::vector<Sample> interleaved(pixels * 3);
    const auto* mosaic = reinterpret_cast<const Sample*>(frame.constData());
    const auto tile = dc1394color_filter_t(DC1394_COLOR_FILTER_RGGB + std::array{0, 2, 1, 3}[fields.colorId % 4]);
    if (fields.colorId >= kSerColorRgb)
        std::memcpy(interleaved.data(), mosaic, frame.size());
    else if constexpr (sizeof(Sample) == 1)
        dc1394_bayer_decoding_8bit(
            mosaic, interleaved.data(), fields.width, fields.height, tile, DC1394_BAYER_METHOD_BILINEAR);
    else
        dc1394_bayer_decoding_16bit(
            mosaic, interleaved.data(), fields.width, fields.height, tile, DC1394_BAYER_METHOD_BILINEAR, 16);
    std::vector<Sample> planes(pixels * 3);
    for (std::size_t i = 0; i < pixels * 3; ++i)
        planes[(fields.colorId == kSerColorBgr ? 2 - i % 3 : i % 3) * pixels + i / 3] = interleaved[i];
    StretchRenderer renderer(
        fields.width, fields.height, 3, sizeof(Sample) == 1 ? PixelType::UInt8 : PixelType::UInt16);
    renderer.params = renderer.computeParams(planes.data(), false);
    PictureBuffer picture(fields.width, fields.height, 3);
    renderer.render(planes.data(), &picture, 1);
    return picture;
}

// Colour frames rendered in bands, with the stretch measured on a gathered
// sample, match the whole frame rendered at once, bit for bit: every Bayer
// tile and RGB/BGR, at both depths, on frames whose bands start on odd rows
// and whose statistics take every pixel or every second one.
TEST(SerFrameRenderer, BandsRenderLikeTheWholeFrame)
{
    QTemporaryDir directory;
    std::mt19937 random(15);
    for (const std::int32_t colorId : {8, 9, 10, 11, kSerColorRgb, kSerColorBgr}) {
        for (const std::int32_t depth : {8, 16}) {
            for (const QSize size : {QSize(61, 47), QSize(1001, 1003)}) {
                SCOPED_TRACE(testing::Message() << "ColorID " << colorId << ", " << depth << " bits, " << size.width());
                const SerHeaderFields fields = serHeaderFields({colorId, depth, size.width(), size.height()});
                QByteArray frame(serFrameBytes(fields), '\0');
                for (char& byte : frame)
                    byte = char(random() % 64);
                const QString path = directory.filePath("colour.ser");
                SerReader reader;
                SerFrameRenderer renderer;
                ASSERT_TRUE(writeSerFile(path, fields, frame) && reader.open(path) && renderer.render(reader, 0));
                const PictureBuffer expected = depth == 8 ? wholeFramePicture<std::uint8_t>(frame, fields)
                                                          : wholeFramePicture<std::uint16_t>(frame, fields);
                EXPECT_TRUE(sertest::samePixels(renderer.picture(), expected));
            }
        }
    }
}

// Samples of other depths are scaled to the full range of their 1 or 2 bytes
// before the stretch: a frame shows exactly as the file of that full depth
// holding the scaled samples. The other pixels, 0, keep the stretch the
// identity, and the scaled samples are multiples of 257 (or full scale), so
// one a level short of them shows darker.
TEST(SerFrameRenderer, ScalesSamplesOfOtherDepthsToTheFullRange)
{
    const struct {
        std::int32_t depth;
        std::uint16_t sample, scaled;
    } rows[] = {{12, 4095, 65535}, {10, 1023, 65535}, {12, 2184, 34952}, {10, 341, 21845}, {4, 15, 255}, {1, 1, 255},
        {12, 0, 0}};
    QTemporaryDir directory;
    const auto picture = [&](std::int32_t depth, std::uint16_t sample) {
        const SerHeaderFields fields = serHeaderFields({kSerColorMono, depth, 8, 8});
        QByteArray frame(serFrameBytes(fields), '\0');
        frame[0] = char(sample & 0xFF);
        if (depth > 8)
            frame[1] = char(sample >> 8);
        const QString path = directory.filePath("depth.ser");
        SerReader reader;
        SerFrameRenderer renderer;
        EXPECT_TRUE(writeSerFile(path, fields, frame) && reader.open(path) && renderer.render(reader, 0));
        return renderer.picture();
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.sample << " at " << row.depth << " bits");
        EXPECT_TRUE(sertest::samePixels(picture(row.depth, row.sample), picture(row.depth > 8 ? 16 : 8, row.scaled)));
    }
}

}  // namespace
