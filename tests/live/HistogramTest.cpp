// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/Histogram.h"

#include <gtest/gtest.h>

#include <limits>

#include "JpegCodec.h"

namespace {

constexpr int kBright = 160;  // a painted pixel after JPEG, at least
constexpr int kDark = 60;     // an unpainted one, at most

struct Decoded {
    int width = 0, height = 0, components = 0;  // components: the JPEG's own, before decoding to RGB
    std::vector<unsigned char> rgb;
};

Decoded render(const QByteArray& pixels, std::int32_t width, std::int32_t height, std::int32_t channels)
{
    QByteArray jpeg;
    Decoded picture;
    if (!renderHistogram(pixels, width, height, channels, jpeg) ||
        !quelmor::test::decodeJpeg(jpeg.toStdString(), picture.width, picture.height, picture.rgb))
        return {};
    picture.components = jpeg.at(jpeg.indexOf("\xff\xc0") + 9);  // from the baseline frame header
    return picture;
}

int grey(const Decoded& picture, int x, int y)
{
    const unsigned char* rgb = &picture.rgb[3 * (y * picture.width + x)];
    return (rgb[0] * 11 + rgb[1] * 16 + rgb[2] * 5) / 32;  // Qt's qGray weights
}

// Whatever the frame size, the picture is 300 x 100, grey for grey frames;
// tiny frames are counted whole.
TEST(HistogramTest, PictureIsAlways300By100)
{
    const struct {
        std::int32_t width, height, channels;
    } cases[] = {{2, 2, 1}, {2, 2, 3}, {1, 1, 1}, {640, 480, 3}};
    for (const auto& c : cases) {
        const Decoded picture =
            render(QByteArray(c.width * c.height * c.channels, '\x40'), c.width, c.height, c.channels);
        EXPECT_EQ(std::make_pair(picture.width, picture.height), std::make_pair(300, 100))
            << c.width << " x " << c.height << " x " << c.channels;
        EXPECT_EQ(picture.components, c.channels) << "a grey frame gives a one-component JPEG";
    }
}

// One value everywhere: the curve lies on the bottom row except for a spike
// to the top at that value's column (128 x 300 / 256 = 150).
TEST(HistogramTest, UniformFrameGivesOneSpike)
{
    const Decoded picture = render(QByteArray(64 * 48, '\x80'), 64, 48, 1);
    ASSERT_FALSE(picture.rgb.empty());
    EXPECT_GE(grey(picture, 150, 0), kBright) << "spike top";
    EXPECT_GE(grey(picture, 150, 50), kBright) << "spike middle";
    for (int x = 0; x < 299; x += 10) {
        if (x >= 140 && x <= 160)
            continue;
        EXPECT_GE(grey(picture, x, 99), kBright) << "bottom row at " << x;
        EXPECT_LE(grey(picture, x, 50), kDark) << "middle row at " << x;
        EXPECT_LE(grey(picture, x, 0), kDark) << "top row at " << x;
    }
}

// Every value once: the curve is the top row from column 0 to 298, never 299.
TEST(HistogramTest, CurveStopsBeforeTheLastColumn)
{
    QByteArray ramp(256, '\0');
    for (int v = 0; v < 256; ++v)
        ramp[v] = static_cast<char>(v);
    const Decoded picture = render(ramp, 256, 1, 1);
    ASSERT_FALSE(picture.rgb.empty());
    for (const int x : {0, 100, 297, 298})
        EXPECT_GE(grey(picture, x, 0), kBright) << "top row at " << x;
    for (int y = 0; y < 100; ++y)
        EXPECT_LE(grey(picture, 299, y), kDark) << "last column at row " << y;
}

// Colour curves in their own colours: red at 10 (column 11), green at 128
// (150), blue at 240 (281); blue is painted last, so the bottom row is blue.
// The encoder halves the colour resolution, so only the leading primary is checked.
TEST(HistogramTest, ColourFrameDrawsOneCurvePerChannel)
{
    const int pixels = 32 * 32;
    const QByteArray frame = QByteArray(pixels, '\x0a') + QByteArray(pixels, '\x80') + QByteArray(pixels, '\xf0');
    const Decoded picture = render(frame, 32, 32, 3);
    ASSERT_FALSE(picture.rgb.empty());
    const struct {
        const char* what;
        int x, y;
        int leading;  // 0 red, 1 green, 2 blue
    } cases[] = {
        {"red spike", 11, 40, 0}, {"green spike", 150, 40, 1}, {"blue spike", 281, 40, 2}, {"bottom row", 60, 99, 2}};
    constexpr int kLead = 80;
    for (const auto& c : cases) {
        const unsigned char* primaries = &picture.rgb[3 * (c.y * picture.width + c.x)];
        for (int other = 0; other < 3; ++other) {
            if (other == c.leading)
                continue;
            EXPECT_GE(primaries[c.leading] - primaries[other], kLead) << c.what << ", primary " << other;
        }
    }
    EXPECT_LE(grey(picture, 60, 40), kDark) << "background";
}

// A bright square on a dark frame is counted over its region, where the
// square's value (200, column 234) is the peak; over the whole frame the
// background (10, column 11) would be.
TEST(HistogramTest, CountsTheBrightRegion)
{
    const int side = 1000;
    QByteArray frame(side * side, '\x0a');
    for (int y = 350; y < 650; ++y)
        frame.replace(y * side + 350, 300, QByteArray(300, '\xc8'));
    const Decoded picture = render(frame, side, side, 1);
    ASSERT_FALSE(picture.rgb.empty());
    EXPECT_GE(grey(picture, 234, 0), kBright);
    EXPECT_LE(grey(picture, 11, 0), kDark);
}

TEST(HistogramTest, ColumnStepKeepsAbout50000SamplesPerRegion)
{
    const struct {
        std::int32_t area, step;
    } cases[] = {
        {1, 1}, {50000, 1}, {50001, 2}, {100000, 2}, {100001, 3}, {std::numeric_limits<std::int32_t>::max(), 42950}};
    for (const auto& c : cases)
        EXPECT_EQ(histogramColumnStep(c.area), c.step) << c.area;
}

// Nothing to draw: false, and the output keeps what it held.
TEST(HistogramTest, RejectsUnfitFrames)
{
    const struct {
        const char* what;
        QByteArray pixels;
        std::int32_t width, height, channels;
    } cases[] = {
        {"two channels", QByteArray(8 * 8 * 2, '\x40'), 8, 8, 2},
        {"four channels", QByteArray(8 * 8 * 4, '\x40'), 8, 8, 4},
        {"no width", QByteArray(8, '\x40'), 0, 8, 1},
        {"negative height", QByteArray(8, '\x40'), 8, -1, 1},
        {"pixel data one byte short", QByteArray(8 * 8 * 3 - 1, '\x40'), 8, 8, 3},
    };
    for (const auto& c : cases) {
        QByteArray jpeg("previous");
        EXPECT_FALSE(renderHistogram(c.pixels, c.width, c.height, c.channels, jpeg)) << c.what;
        EXPECT_EQ(jpeg, QByteArray("previous")) << c.what;
    }
}

}  // namespace
