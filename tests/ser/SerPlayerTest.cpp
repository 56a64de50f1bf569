// SPDX-License-Identifier: GPL-3.0-or-later
// The player in this process: its playback interval, and the pictures it
// publishes on "/jpg", fetched over HTTP and decoded.
#include "SerFileWriter.h"
#include "SerPlayerTestSupport.h"
#include "TestSupport.h"

#include "ser/SerColorId.h"
#include "ser/SerPlayer.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

using namespace quelmor::test;
using namespace sertest;

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;

class SerPlayerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(directory.isValid()); }

    QString write(const QString& name, const SerLayout& layout, const QList<QByteArray>& frames)
    {
        const QString path = directory.filePath(name);
        EXPECT_TRUE(writeSerFile(path, layout, frames)) << path.toStdString();
        return path;
    }

    QTemporaryDir directory;
    SerPlayer player;
};

Rgb centre(const PictureBuffer& picture)
{
    return picture.pixel(picture.width() / 2, picture.height() / 2);
}

double meanGrey(const PictureBuffer& picture)
{
    double sum = 0;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            sum += greyOf(picture.pixel(x, y));
    return sum / (double(picture.width()) * picture.height());
}

// A Bayer mosaic whose red sites hold `bright` and every other site 0.
QByteArray redSitesBright(std::int32_t colorId, std::int32_t depth)
{
    // Row and column parity of the red site in each pattern's 2 x 2 tile.
    const int redRow = (colorId == SerColorId::kBayerGbrg || colorId == SerColorId::kBayerBggr) ? 1 : 0;
    const int redColumn = (colorId == SerColorId::kBayerGrbg || colorId == SerColorId::kBayerBggr) ? 1 : 0;
    // Byte-symmetric levels read the same in either byte order.
    const quint16 bright = depth == 8 ? 0xC8 : 0xC8C8;
    const int bytesPerSample = depth == 8 ? 1 : 2;
    QByteArray frame(qsizetype(kWidth) * kHeight * bytesPerSample, '\0');
    for (int y = redRow; y < kHeight; y += 2) {
        for (int x = redColumn; x < kWidth; x += 2) {
            const qsizetype at = (qsizetype(y) * kWidth + x) * bytesPerSample;
            for (int b = 0; b < bytesPerSample; ++b)
                frame[at + b] = char(bright & 0xFF);
        }
    }
    return frame;
}

// An 8-bit mono frame: `level` plus a fixed ripple of 0 to 20.
QByteArray rippledFrame(int level)
{
    QByteArray frame(qsizetype(kWidth) * kHeight, '\0');
    for (int i = 0; i < frame.size(); ++i)
        frame[i] = char(level + (i * 7919) % 21);
    return frame;
}

// A bright scene of `depth`-bit values (40 to 100 % of the range; for 1 bit,
// mostly 1), each times `factor`, in 1 or 2 little-endian bytes a sample.
QByteArray sceneFrame(std::int32_t depth, std::int32_t storedDepth, std::uint32_t factor)
{
    const std::uint32_t largest = (std::uint32_t(1) << depth) - 1;
    const int bytesPerSample = storedDepth > 8 ? 2 : 1;
    QByteArray frame;
    for (int i = 0; i < kWidth * kHeight; ++i) {
        const std::uint32_t spread = std::uint32_t((i * 7919) % 1000);
        const std::uint32_t value = (largest - spread * (largest + 1) * 3 / 5000) * factor;
        for (int b = 0; b < bytesPerSample; ++b)
            frame.append(char((value >> (8 * b)) & 0xFF));
    }
    return frame;
}

int largestChannelDifference(const PictureBuffer& a, const PictureBuffer& b)
{
    int largest = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const Rgb p = a.pixel(x, y);
            const Rgb q = b.pixel(x, y);
            largest = std::max({largest, std::abs(redOf(p) - redOf(q)), std::abs(greenOf(p) - greenOf(q)),
                std::abs(blueOf(p) - blueOf(q))});
        }
    }
    return largest;
}

// Depths other than 8 and 16 show like the same scene at 8 or 16 bits:
// samples in the low bits are scaled to the full range, samples that frame 0
// shows to be in the top bits are taken as they are.
TEST_F(SerPlayerTest, DepthsShowLikeTheSameSceneAtFullRange)
{
    // Scaling and shifting differ by at most 15 of 65535 before the stretch;
    // showing the scene at the wrong scale differs by more than 150 levels.
    constexpr int kJpegNoise = 24;
    const struct {
        const char* name;
        std::int32_t colorId, depth;
        std::uint32_t storedFactor;
        std::int32_t referenceDepth;
        std::uint32_t referenceFactor;
    } cases[] = {{"12-bit low-aligned", SerColorId::kMono, 12, 1, 16, 16},
        {"12-bit top-aligned", SerColorId::kMono, 12, 16, 16, 16},
        {"10-bit Bayer", SerColorId::kBayerRggb, 10, 1, 16, 64}, {"1-bit", SerColorId::kMono, 1, 1, 8, 255}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path =
            write("depth.ser", {c.colorId, c.depth, kWidth, kHeight}, {sceneFrame(c.depth, c.depth, c.storedFactor)});
        ASSERT_TRUE(player.open(path)) << player.lastError().toStdString();
        const PictureBuffer shown = shownPicture();
        const QString referencePath = write("reference.ser", {c.colorId, c.referenceDepth, kWidth, kHeight},
            {sceneFrame(c.depth, c.referenceDepth, c.referenceFactor)});
        ASSERT_TRUE(player.open(referencePath)) << player.lastError().toStdString();
        const PictureBuffer reference = shownPicture();
        ASSERT_EQ(sizeOf(shown), QSize(kWidth, kHeight));
        ASSERT_EQ(sizeOf(reference), sizeOf(shown));
        EXPECT_GT(meanGrey(reference), 100) << "the scene is not bright";
        EXPECT_LE(largestChannelDifference(shown, reference), kJpegNoise);
    }
}

// Files the player cannot show are refused at open, saying why, and leave "/jpg" down.
TEST_F(SerPlayerTest, RefusesDepthsAndBayerSizesItCannotShow)
{
    const QString tooSmall =
        QStringLiteral("Bayer frames of %1 pixels are too small to demosaic: at least 3 x 2 pixels are needed");
    const struct {
        SerLayout layout;
        QString error;
    } cases[] = {{{SerColorId::kMono, 17, 4, 4}, QStringLiteral("Unsupported or corrupt SER header dimensions/depth")},
        {{SerColorId::kBayerRggb, 8, 2, 9}, tooSmall.arg("2 x 9")},
        {{SerColorId::kBayerGbrg, 16, 1001, 1}, tooSmall.arg("1001 x 1")}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error.toStdString());
        const qsizetype frameBytes = qsizetype(c.layout.width) * c.layout.height * (c.layout.depth > 8 ? 2 : 1);
        ASSERT_TRUE(player.open(writeTinySerFile(directory)));
        EXPECT_FALSE(player.open(write("refused.ser", c.layout, {QByteArray(frameBytes, '\x40')})));
        EXPECT_EQ(player.lastError(), c.error);
        QString error;
        EXPECT_TRUE(fetchPicture(kHttpPort, &error).isNull()) << "a picture is served";
    }
}

// The rate and the playback interval it gives, with the bad rates that fall back to 1 fps.
TEST_F(SerPlayerTest, SpeedGivesTheTimerInterval)
{
    const QString path =
        write("speed.ser", {SerColorId::kRgb, 8, kWidth, kHeight}, {solidRgbFrame(kWidth, kHeight, 0)});
    ASSERT_TRUE(player.open(path)) << player.lastError().toStdString();
    EXPECT_EQ(player.playbackIntervalMs(), 66) << "default 15 fps";

    const struct {
        double fps;
        int intervalMs;
    } cases[] = {{0.0, 1000}, {-3.0, 1000}, {2000.0, 1}, {30.0, 33}, {std::nan(""), 1000},
        {std::numeric_limits<double>::infinity(), 1}, {1e-300, std::numeric_limits<int>::max()}};
    for (const auto& c : cases) {
        // While paused the rate waits for play.
        player.setSpeed(c.fps);
        EXPECT_FALSE(player.isPlaying());
        player.play();
        EXPECT_TRUE(player.isPlaying());
        EXPECT_EQ(player.playbackIntervalMs(), c.intervalMs) << "fps " << c.fps;
        player.pause();
    }
}

// The red sites of every Bayer pattern, at 8 and 16 bits, end up red.
TEST_F(SerPlayerTest, BayerFramesAreDemosaicedByTheirPattern)
{
    for (const std::int32_t colorId :
        {SerColorId::kBayerRggb, SerColorId::kBayerGrbg, SerColorId::kBayerGbrg, SerColorId::kBayerBggr}) {
        for (const std::int32_t depth : {8, 16}) {
            SCOPED_TRACE(testing::Message() << "ColorID " << colorId << ", " << depth << " bits");
            const QString path =
                write("bayer.ser", {colorId, depth, kWidth, kHeight}, {redSitesBright(colorId, depth)});
            ASSERT_TRUE(player.open(path)) << player.lastError().toStdString();
            const PictureBuffer picture = shownPicture();
            ASSERT_EQ(sizeOf(picture), QSize(kWidth, kHeight));
            EXPECT_EQ(litChannels(centre(picture)), 1) << "centre " << std::hex << centre(picture);
        }
    }
}

// RGB and BGR frames of the same scene, red on the left and blue on the
// right, show it the same way round.
TEST_F(SerPlayerTest, RgbAndBgrFramesKeepRedAndBlueInPlace)
{
    const int redColumns = kWidth * 3 / 5;
    for (const std::int32_t colorId : {SerColorId::kRgb, SerColorId::kBgr}) {
        SCOPED_TRACE(testing::Message() << "ColorID " << colorId);
        QByteArray frame;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                const char lit = char(255);
                const bool red = x < redColumns;
                const bool storedRedFirst = colorId == SerColorId::kRgb;
                frame.append(red == storedRedFirst ? lit : '\0');
                frame.append('\0');
                frame.append(red == storedRedFirst ? '\0' : lit);
            }
        }
        ASSERT_TRUE(player.open(write("colour.ser", {colorId, 8, kWidth, kHeight}, {frame})));
        const PictureBuffer picture = shownPicture();
        ASSERT_EQ(sizeOf(picture), QSize(kWidth, kHeight));
        EXPECT_EQ(litChannels(picture.pixel(redColumns / 2, kHeight / 2)), 0b001) << "left is not red";
        EXPECT_EQ(litChannels(picture.pixel((redColumns + kWidth) / 2, kHeight / 2)), 0b100) << "right is not blue";
    }
}

// Mosaics other than Bayer, and unknown layouts, are shown as grey with their pattern.
TEST_F(SerPlayerTest, OtherLayoutsRenderGrey)
{
    for (const std::int32_t colorId : {SerColorId::kMosaicCyym, SerColorId::kMono, 42}) {
        SCOPED_TRACE(testing::Message() << "ColorID " << colorId);
        ASSERT_TRUE(
            player.open(write("grey.ser", {colorId, 8, kWidth, kHeight}, {redSitesBright(SerColorId::kBayerRggb, 8)})));
        const PictureBuffer picture = shownPicture();
        ASSERT_EQ(sizeOf(picture), QSize(kWidth, kHeight));
        int darkest = 255;
        int brightest = 0;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                const Rgb pixel = picture.pixel(x, y);
                ASSERT_TRUE(redOf(pixel) == greenOf(pixel) && greenOf(pixel) == blueOf(pixel))
                    << "colour at " << x << "," << y << ": " << std::hex << pixel;
                darkest = std::min(darkest, redOf(pixel));
                brightest = std::max(brightest, redOf(pixel));
            }
        }
        EXPECT_GT(brightest - darkest, 100) << "the mosaic pattern is lost";
    }
}

// Frame 0 fixes the stretch for the whole file: a brighter later frame shows
// brighter. Reopening takes it again from the new frame 0.
TEST_F(SerPlayerTest, StretchIsTakenFromFrameZeroOfEachOpenedFile)
{
    const SerLayout layout{SerColorId::kMono, 8, kWidth, kHeight};
    const QByteArray dim = rippledFrame(40);
    // Both below half the range, where the stretch puts the median at a quarter.
    const QByteArray bright = rippledFrame(100);
    const QString path = write("stretch.ser", layout, {dim, bright});

    ASSERT_TRUE(player.open(path));
    const PictureBuffer dimPicture = shownPicture();
    ASSERT_FALSE(dimPicture.isNull());
    const double dimShown = meanGrey(dimPicture);
    ASSERT_TRUE(player.seek(1));
    const double brightShown = meanGrey(shownPicture());
    EXPECT_GT(brightShown, dimShown + 60) << "frame 1 was stretched on its own";

    ASSERT_TRUE(writeSerFile(path, layout, {bright, dim}));
    ASSERT_TRUE(player.open(path));
    const double reopenedShown = meanGrey(shownPicture());
    // Its own stretch puts the brighter frame near where the dim one was shown.
    EXPECT_LT(reopenedShown, (dimShown + brightShown) / 2) << "frame 0 of the reopened file kept the old stretch";
}

}  // namespace
