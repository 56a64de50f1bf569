// SPDX-License-Identifier: GPL-3.0-or-later
// Rows stretched and compressed as they are decoded give the bytes of the
// whole picture stretched, then encoded; a picture left unfinished ends at once.
#include "live/StretchedJpegWriter.h"

#include "stretch/JpegEncoding.h"
#include "stretch/StretchRenderer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <random>
#include <thread>
#include <vector>

// Heights around the sixteen handovers of a picture, where the last one is
// whole or partial, rows handed in one at a time and seven at a time.
TEST(StretchedJpegWriter, RowsAsDecodedGiveTheWholePictureOrNothing)
{
    constexpr int kWidth = 333;
    constexpr int kHeights[] = {1, 15, 16, 17, 97};
    constexpr int kMostHeight = 97;
    std::mt19937 random(5);
    std::uniform_int_distribution<int> value(0, 255);
    std::vector<std::uint8_t> planes(3 * kWidth * kMostHeight);
    for (auto& sample : planes)
        sample = static_cast<std::uint8_t>(value(random));
    StretchParams params;
    params.channel.fill({0.1f, 0.8f, 0.3f});
    for (const int height : kHeights) {
        for (const int channels : {1, 3}) {
            QImage picture(kWidth, height, channels == 1 ? QImage::Format_Indexed8 : QImage::Format_RGB32);
            QList<QRgb> ramp;
            for (int level = 0; level < 256; ++level)
                ramp.append(qRgb(level, level, level));
            picture.setColorTable(ramp);
            StretchRenderer renderer(kWidth, height, channels, PixelType::UInt8);
            renderer.params = params;
            renderer.render(planes.data(), &picture, 1);
            QByteArray whole;
            ASSERT_TRUE(encodePictureJpeg(picture, 75, whole));

            const DecodedRows decoded{planes.data(), kWidth, height, channels, 0, 0};
            for (const int step : {1, 7}) {
                for (const int decodedRows : {height, height / 2, 0}) {
                    SCOPED_TRACE(testing::Message() << height << " rows, " << channels << " channels, " << decodedRows
                                                    << " decoded " << step << " at a time");
                    picture.fill(0);
                    QByteArray jpeg("before");
                    std::optional<StretchedJpegWriter> writer(std::in_place, params, decoded, &picture, 75);
                    // A pause after each step, so that the task mostly takes the handovers one at a time.
                    for (int endRow = step; endRow < decodedRows + step; endRow += step) {
                        writer->rowsDecoded(std::min(endRow, decodedRows));
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                    const bool finished = writer->finish(jpeg);
                    EXPECT_EQ(finished, decodedRows == height);
                    EXPECT_EQ(jpeg, finished ? whole : QByteArray("before"));
                    writer.reset();
                }
            }
        }
    }
}
