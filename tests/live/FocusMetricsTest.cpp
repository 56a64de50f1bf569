// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/FocusMetrics.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

constexpr int kSide = 100;
constexpr std::uint8_t kBackground = 100;

// A square plateau of `level` on a background of 100, with noise of up to
// `noise` added to the plateau so that the gradient has some spread.
QByteArray plateau(int side, std::uint8_t level, int noise, unsigned seed)
{
    std::srand(seed);
    QByteArray plane(side * side, static_cast<char>(kBackground));
    for (int y = side * 3 / 10; y < side * 7 / 10; ++y)
        for (int x = side * 3 / 10; x < side * 7 / 10; ++x)
            plane[y * side + x] = static_cast<char>(level - (noise ? std::rand() % (noise + 1) : 0));
    return plane;
}

// Frames too small for a gradient, regions without edges worth measuring and
// pixel data shorter than the geometry give no value.
TEST(FocusMetricsTest, NoValueWithoutMeasurableDetail)
{
    const QByteArray sharp = plateau(kSide, 250, 0, 1);
    const struct {
        const char* what;
        QByteArray pixels;
        std::int32_t width, height, channels;
    } cases[] = {
        {"two columns", QByteArray(2 * 10, '\x80').replace(5, 1, "\xff"), 2, 10, 1},
        {"two rows", QByteArray(10 * 2, '\x80').replace(5, 1, "\xff"), 10, 2, 1},
        {"flat", QByteArray(kSide * kSide, '\x80'), kSide, kSide, 1},
        {"plateau one level above the background", plateau(kSide, kBackground + 1, 0, 1), kSide, kSide, 1},
        {"pixel data one byte short", sharp.left(sharp.size() - 1), kSide, kSide, 1},
        {"three channels, data for one", sharp, kSide, kSide, 3},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(measureSharpness(c.pixels, c.width, c.height, c.channels).has_value()) << c.what;
    EXPECT_GT(measureSharpness(sharp, kSide, kSide, 1).value_or(0.0), 0.0) << "the same plateau with a high edge";
}

// Colour frames are measured on their green plane alone.
TEST(FocusMetricsTest, ColourFramesAreMeasuredOnGreen)
{
    const QByteArray red = plateau(kSide, 250, 0, 1);
    const QByteArray green = plateau(kSide, 230, 120, 2);
    const QByteArray blue = plateau(kSide, 200, 60, 3);
    const auto greenAlone = measureSharpness(green, kSide, kSide, 1);
    ASSERT_TRUE(greenAlone.has_value());
    EXPECT_NE(measureSharpness(red, kSide, kSide, 1), greenAlone);
    EXPECT_NE(measureSharpness(blue, kSide, kSide, 1), greenAlone);
    EXPECT_EQ(measureSharpness(red + green + blue, kSide, kSide, 3), greenAlone);
}

// The newest 300 values count, the latest included; the median is the
// element at count / 2 of the sorted values.
TEST(FocusMetricsTest, HistoryKeepsTheNewestValues)
{
    FocusHistory history;
    EXPECT_FALSE(history.reading().has_value());
    history.record(1000.0);
    for (int i = 0; i < 299; ++i)
        history.record(2.0 + (i * 7) % 299);  // 2 ... 300 in a shuffled order
    history.record(0.25);

    ASSERT_EQ(history.size(), FocusHistory::kCapacity);
    const auto reading = history.reading();
    ASSERT_TRUE(reading.has_value());
    EXPECT_EQ(reading->sharpness, 0.25);
    EXPECT_EQ(reading->min, 0.25);
    EXPECT_EQ(reading->max, 300.0) << "the oldest value, 1000, is gone";
    EXPECT_EQ(reading->median, 151.0);
}

TEST(FocusMetricsTest, MedianIsTheUpperMiddleValue)
{
    const struct {
        std::vector<double> values;
        double median;
    } cases[] = {
        {{7.0}, 7.0},
        {{3.0, 1.0}, 3.0},
        {{5.0, 1.0, 3.0}, 3.0},
        {{4.0, 1.0, 3.0, 2.0}, 3.0},
    };
    for (const auto& c : cases) {
        FocusHistory history;
        for (const double value : c.values)
            history.record(value);
        EXPECT_EQ(history.reading()->median, c.median) << c.values.size() << " values";
    }
}

}  // namespace
