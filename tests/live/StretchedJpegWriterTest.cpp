// SPDX-License-Identifier: GPL-3.0-or-later
// Rows stretched and compressed as they are decoded give the bytes of the
// whole picture stretched, then encoded; a picture left unfinished ends at once.
#include "live/StretchedJpegWriter.h"

#include "live/FrameRendering.h"

#include "stretch/JpegEncoding.h"
#include "stretch/StretchRenderer.h"

#include <gtest/gtest.h>

#include <algorithm>
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
            PictureBuffer picture(kWidth, height, channels);
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
                    std::optional<StretchedJpegWriter> writer(std::in_place, params, decoded, picture, 75);
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

// A decoded frame, stretched in groups of rows on the pool while each group
// done is encoded, gives the bytes of the whole picture stretched, then
// encoded: heights around the groups' 64 KB of output (197 grey rows, 50
// colour rows of 333 pixels), automatic and set stretches.
TEST(StretchedJpegWriter, FramesEncodedAsTheirRowsAreStretchedGiveTheWholePicture)
{
    constexpr int kWidth = 333;
    std::mt19937 random(9);
    std::normal_distribution<double> sky(5000.0, 400.0);
    StretchParams set;
    set.channel.fill({0.05f, 0.2f, 0.3f});
    for (const int channels : {1, 3}) {
        for (const int height : {1, 49, 50, 51, 197, 198, 400}) {
            for (const StretchParams* stretch : std::vector<const StretchParams*>{nullptr, &set}) {
                SCOPED_TRACE(testing::Message() << height << " rows, " << channels << " channels, "
                                                << (stretch ? "set" : "automatic") << " stretch");
                CameraFrame frame{QByteArray(2 * kWidth * height * channels, Qt::Uninitialized), kWidth, height,
                    channels, PixelType::UInt16};
                auto* samples = reinterpret_cast<std::uint16_t*>(frame.samples.data());
                for (int i = 0; i < kWidth * height * channels; ++i)
                    samples[i] = static_cast<std::uint16_t>(std::clamp(sky(random), 0.0, 65535.0));
                StretchRenderer whole(frame.view());
                whole.params = stretch ? *stretch : whole.computeAutoParams(samples);
                PictureBuffer expected;
                prepareOutputImage(expected, kWidth, height, channels);
                whole.render(samples, &expected, 1);
                QByteArray expectedJpeg, jpeg;
                ASSERT_TRUE(encodePictureJpeg(expected, 75, expectedJpeg));
                PictureBuffer picture;
                ASSERT_TRUE(renderFrameJpeg(frame, stretch, picture, 75, jpeg));
                EXPECT_EQ(jpeg, expectedJpeg);
            }
        }
    }
}
