// SPDX-License-Identifier: GPL-3.0-or-later
// Replacing and destroying live feeds while pictures stream in: every
// teardown must wait for the INDI receiving thread's handler and the analysis
// worker, free port 8080 and free what the camera deleted meanwhile. Run under
// ASan and TSan; the pictures take the pass-through path.
#include "JpegCodec.h"
#include "LiveTestSupport.h"
#include "PortHolder.h"
#include "SerFileWriter.h"

#include "service/Streamer.h"

#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>

using namespace quelmor::test;

namespace {

constexpr int kRounds = 20;

TEST(LiveChurnTest, StartOpenSerStartAndStopLeaveNoHandlerRunningAndThePortFree)
{
    IndiSimulator simulator;
    ASSERT_TRUE(simulator.start());
    ASSERT_TRUE(simulator.connectCamera());
    ASSERT_TRUE(simulator.streamWithContent());
    QTemporaryDir directory;
    const QString serFile = sertest::writeTinySerFile(directory);
    ASSERT_FALSE(serFile.isEmpty());

    bool finished = false;
    {
        Streamer streamer;
        QObject::connect(&streamer, &Streamer::finished, [&finished] { finished = true; });
        for (int round = 0; round < kRounds; ++round) {
            streamer.start(kCamera);
            // Half the rounds tear down mid-stream, the others while the feed is still being set up.
            if (round % 2 == 0) {
                const auto stream = openStream("/jpg");
                ASSERT_TRUE(stream) << "round " << round << ": no stream";
                std::string picture, error;
                ASSERT_TRUE(stream->readPart(picture, error, kEventWaitMs)) << "round " << round << ": " << error;
            }
            streamer.start(kCamera);
            // The player serves on port 8080 only if the live feed's server is gone.
            ASSERT_TRUE(streamer.openSer(serFile))
                << "round " << round << ": " << streamer.serLastError().toStdString();
            streamer.start(kCamera);
            ASSERT_TRUE(waitUntil([] { return portOpen(kHttpPort); })) << "round " << round << ": no server";
        }
        streamer.stop();
        EXPECT_TRUE(finished);
    }
    EXPECT_TRUE(portBindable(kHttpPort)) << "port 8080 still taken after the streamer went";
}

// A driver that deletes "CCD1", or its whole device, and defines it again
// after every picture while the feed is replaced every 50 ms: each teardown
// frees what the library dropped meanwhile (LeakSanitizer checks at exit in
// the ASan build), and the last feed serves the pictures.
TEST(LiveChurnTest, FreesWhatTheCameraDeletesWhileFeedsAreReplaced)
{
    constexpr int kStarts = 16, kStartIntervalMs = 50;
    QTemporaryDir directory;
    const std::string picture = encodeJpeg(std::vector<std::uint8_t>(64 * 48, 120), 64, 48, 1);
    const QString path = writeFile(directory, "picture.jpg", picture);
    for (const char* deletion : {"delete-property", "delete-device"}) {
        IndiSimulator driver;
        ASSERT_TRUE(driver.startPictureDriver(kPictureDriver));
        ASSERT_TRUE(driver.tellPictureDriver(QStringLiteral("send %1 0.01 %2").arg(path, deletion)));
        // Made after the driver: indiserver would inherit the listening socket.
        Streamer streamer;
        for (int i = 0; i < kStarts; ++i) {
            streamer.start(kPictureDriver);
            QThread::msleep(kStartIntervalMs);
        }
        const auto stream = openStream("/jpg");
        ASSERT_TRUE(stream) << deletion;
        EXPECT_EQ(stream->nextPart(kEventWaitMs), picture) << deletion;
    }
}

// A 50 Mpx picture takes long to decode for its analysis; the small pictures
// after it are published while that pass still runs, before its sharpness
// is recorded. Then the feed goes while it stretches such pictures.
TEST(LiveChurnTest, PublishesPicturesWhileASlowAnalysisRuns)
{
    constexpr int kBigWidth = 8192, kBigHeight = 6144, kSquare = 512;
    // A dark picture with one bright square of fine texture: a bright region with sharpness.
    std::vector<std::uint8_t> samples(std::size_t(kBigWidth) * kBigHeight * 3, 20);
    for (int y = (kBigHeight - kSquare) / 2; y < (kBigHeight + kSquare) / 2; ++y)
        for (int x = (kBigWidth - kSquare) / 2; x < (kBigWidth + kSquare) / 2; ++x)
            std::fill_n(samples.begin() + (std::size_t(y) * kBigWidth + x) * 3, 3, std::uint8_t(180 + ((x ^ y) & 31)));
    const std::string big = encodeJpeg(samples, kBigWidth, kBigHeight, 3);
    const std::string small = encodeJpeg(std::vector<std::uint8_t>(64 * 48, 90), 64, 48, 1);
    QTemporaryDir directory;
    const QString bigPath = writeFile(directory, "big.jpg", big), smallPath = writeFile(directory, "small.jpg", small);

    IndiSimulator driver;
    ASSERT_TRUE(driver.startPictureDriver(kPictureDriver));
    Streamer streamer;
    streamer.start(kPictureDriver);
    ASSERT_TRUE(driver.tellPictureDriver(QStringLiteral("send %1 3600").arg(bigPath)));
    const auto stream = openStream("/jpg");
    ASSERT_TRUE(stream);
    std::string part, error;
    ASSERT_TRUE(stream->readPart(part, error, kEventWaitMs)) << error;
    ASSERT_TRUE(part == big) << "the first picture is not the big one";

    ASSERT_TRUE(driver.tellPictureDriver(QStringLiteral("send %1 0.05").arg(smallPath)));
    // Repeats of the big picture may come first.
    while (part == big)
        ASSERT_TRUE(stream->readPart(part, error, kEventWaitMs)) << error;
    EXPECT_TRUE(part == small) << "a part that is neither picture";
    double sharpness = 0, min = 0, max = 0, median = 0;
    EXPECT_FALSE(streamer.focusMetrics(sharpness, min, max, median))
        << "the small picture waited for the big one's analysis";
    EXPECT_TRUE(waitUntil([&] { return streamer.focusMetrics(sharpness, min, max, median); }))
        << "the big picture's analysis never recorded its sharpness";

    // Torn down while big pictures are stretched: nothing of the library's
    // is left behind (LeakSanitizer checks at exit in the ASan build).
    streamer.setStretchParams(0.1, 0.3, 0.9);
    ASSERT_TRUE(driver.tellPictureDriver(QStringLiteral("send %1 0.2").arg(bigPath)));
    while (part == small || part == big)
        ASSERT_TRUE(stream->readPart(part, error, kEventWaitMs)) << error;
}

}  // namespace
