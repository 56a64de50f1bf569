// SPDX-License-Identifier: GPL-3.0-or-later
#include "mjpeg/MJPEGStreamer.h"

#include "ChildProcess.h"
#include "HeadlessChromium.h"
#include "JpegCodec.h"
#include "StreamFormat.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace quelmor {
namespace {

using test::kWaitTimeoutMs;
using test::Rgb;
using test::streamPart;
using test::waitFor;

constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr int kColourTolerance = 6;
const std::vector<Rgb> kColours = {{200, 30, 30}, {30, 200, 30}, {30, 30, 200}, {128, 128, 128}, {240, 220, 20}};

std::string readFile(const std::string& path)
{
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

// The pictures of a multipart body, by each part's Content-Length.
std::vector<std::string> splitParts(const std::string& body)
{
    const std::string length_field = "Content-Length: ";
    std::vector<std::string> pictures;
    std::size_t position = 0;
    while (position < body.size()) {
        const std::size_t field = body.find(length_field, position);
        const std::size_t end = body.find("\r\n\r\n", position);
        if (field == std::string::npos || end == std::string::npos)
            break;
        const std::size_t length = std::stoul(body.substr(field + length_field.size()));
        pictures.push_back(body.substr(end + 4, length));
        position = end + 4 + length;
    }
    return pictures;
}

std::vector<std::string> makePictures()
{
    std::vector<std::string> pictures;
    for (const Rgb& colour : kColours)
        pictures.push_back(test::encodeSolidJpeg(kWidth, kHeight, colour));
    return pictures;
}

// A streamer on a port of its own, and a scratch folder for what the clients
// receive, removed with its files at the end of the test.
class RealClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(::mkdtemp(scratch.data())) << "no scratch folder";
        ASSERT_TRUE(streamer.start(0, 2)) << streamer.lastError();
    }
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(scratch, ignored);
    }
    std::string url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(streamer.port()) + path;
    }

    std::string scratch = "/tmp/quelmor-test-XXXXXX";
    MJPEGStreamer streamer;
};

// curl receives the stream byte for byte, starting with the picture current
// when it connected, and every picture in it decodes to the colour it was
// made with.
TEST_F(RealClientTest, CurlReceivesDecodableStream)
{
    SKIP_WITHOUT_PEER("curl");
    const std::vector<std::string> pictures = makePictures();
    streamer.publish("/jpg", pictures[0]);

    const std::string output = scratch + "/stream.bin";
    test::ChildProcess curl({"curl", "-s", "-N", "-o", output, url("/jpg")});
    ASSERT_TRUE(curl.isStarted());
    ASSERT_TRUE(waitFor([&] { return streamer.streamClientCount() == 1; })) << "curl never connected";

    // Each picture is published once the one before has arrived.
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        if (i > 0)
            streamer.publish("/jpg", pictures[i]);
        const std::string expected = streamPart(pictures[i]);
        ASSERT_TRUE(waitFor([&] {
            const std::string received = readFile(output);
            return received.size() >= expected.size() &&
                received.compare(received.size() - expected.size(), expected.size(), expected) == 0;
        })) << "curl did not receive picture "
            << i;
    }
    streamer.stop();
    ASSERT_TRUE(curl.waitForExit(kWaitTimeoutMs)) << "curl did not see the end of the stream";
    EXPECT_EQ(curl.exitCode(), 0);

    const std::string received = readFile(output);
    std::vector<std::string> received_pictures = splitParts(received);
    std::string whole_parts;
    for (const std::string& picture : received_pictures)
        whole_parts += streamPart(picture);
    EXPECT_TRUE(received == whole_parts) << "curl received " << received.size() << " bytes, not all in whole parts";
    // A picture comes once more when the test dawdled past the repeat delay.
    received_pictures.erase(std::unique(received_pictures.begin(), received_pictures.end()), received_pictures.end());
    ASSERT_EQ(received_pictures.size(), pictures.size());
    for (std::size_t i = 0; i < received_pictures.size(); ++i) {
        int width = 0, height = 0;
        std::vector<unsigned char> rgb;
        ASSERT_TRUE(test::decodeJpeg(received_pictures[i], width, height, rgb)) << "picture " << i;
        EXPECT_EQ(width, kWidth);
        EXPECT_EQ(height, kHeight);
        EXPECT_TRUE(test::isNear(test::meanColour(rgb.data(), rgb.size() / 3), kColours[i], kColourTolerance))
            << "picture " << i;
    }
}

// ffmpeg reads the stream with its multipart JPEG demuxer and decodes frames
// of the published size and colours.
TEST_F(RealClientTest, FfmpegDecodesStream)
{
    SKIP_WITHOUT_PEER("ffmpeg");
    constexpr int kFrames = 3;
    const std::vector<std::string> pictures = makePictures();
    streamer.publish("/jpg", pictures[0]);

    const std::string output = scratch + "/frames.rgb";
    test::ChildProcess ffmpeg({"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "mpjpeg", "-i", url("/jpg"),
        "-frames:v", std::to_string(kFrames), "-f", "rawvideo", "-pix_fmt", "rgb24", "-y", output});
    ASSERT_TRUE(ffmpeg.isStarted());
    // Publish until ffmpeg has its frames and leaves.
    const bool exited = waitFor(
        [&, next = std::size_t{0}]() mutable {
            streamer.publish("/jpg", pictures[next++ % pictures.size()]);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return ffmpeg.hasExited();
        },
        3 * kWaitTimeoutMs);
    ASSERT_TRUE(exited) << "ffmpeg did not finish reading the stream";
    EXPECT_EQ(ffmpeg.exitCode(), 0);

    const std::string frames = readFile(output);
    const std::size_t frame_bytes = static_cast<std::size_t>(kWidth) * kHeight * 3;
    ASSERT_EQ(frames.size(), frame_bytes * kFrames) << "ffmpeg decoded frames of another size";
    for (int frame = 0; frame < kFrames; ++frame) {
        const auto* pixels = reinterpret_cast<const unsigned char*>(frames.data()) + frame * frame_bytes;
        const Rgb mean = test::meanColour(pixels, frame_bytes / 3);
        bool known = false;
        for (const Rgb& colour : kColours)
            known = known || test::isNear(mean, colour, kColourTolerance);
        EXPECT_TRUE(known) << "frame " << frame << " has a colour that was never published";
    }
}

// ffmpeg holds a picture back until more data comes; the keep-alive of a
// paused stream brings its frames all the same.
TEST_F(RealClientTest, FfmpegEndsOnAPausedStream)
{
    SKIP_WITHOUT_PEER("ffmpeg");
    constexpr int kEndMs = 5000;
    streamer.publish("/jpg", makePictures()[0]);
    test::ChildProcess ffmpeg({"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "mpjpeg", "-i", url("/jpg"),
        "-frames:v", "3", "-f", "null", "-"});
    ASSERT_TRUE(ffmpeg.isStarted());
    ASSERT_TRUE(ffmpeg.waitForExit(kEndMs)) << "ffmpeg still waits for frames of the paused stream";
    EXPECT_EQ(ffmpeg.exitCode(), 0);
}

// A browser draws a part of the stream only when the next one begins, so the
// server repeats a picture that stays newest. Whatever was published, the
// page comes to show the newest picture, scaled to the window's height and
// centred on the black page.
TEST_F(RealClientTest, ChromiumShowsNewestPictureOnViewerPage)
{
    SKIP_WITHOUT_PEER("chromium");
    constexpr int kWindowWidth = 800;
    constexpr int kWindowHeight = 400;
    const Rgb kRed = kColours[0];
    const Rgb kBlue = kColours[2];
    const Rgb kBlack = {0, 0, 0};
    const std::string red = test::encodeSolidJpeg(kWidth, kHeight, kRed);
    const std::string blue = test::encodeSolidJpeg(kWidth, kHeight, kBlue);
    test::HeadlessChromium chromium(kWindowWidth, kWindowHeight);

    struct Step {
        const char* name;
        std::function<void()> once;           // before looking at the page
        std::function<void()> while_waiting;  // before every look
        Rgb expected;
    };
    const auto nothing = [] {};
    const Step steps[] = {
        {"red published once, before the page opened",
            [&] {
                streamer.publish("/jpg", red);
                ASSERT_TRUE(chromium.open(url("/viewer"))) << chromium.error();
                ASSERT_TRUE(waitFor([&] { return streamer.streamClientCount() == 1; }))
                    << "the page never joined the stream";
            },
            nothing, kRed},
        {"then blue, once", [&] { streamer.publish("/jpg", blue); }, nothing, kBlue},
        {"then red, published all along", nothing,
            [&] {
                streamer.publish("/jpg", red);
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            },
            kRed},
    };
    std::vector<unsigned char> pixels;
    const auto pixelAt = [&pixels](int x, int y) {
        const unsigned char* rgb = pixels.data() + (y * kWindowWidth + x) * 3;
        return Rgb{rgb[0], rgb[1], rgb[2]};
    };
    const int middle_row = kWindowHeight / 2;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.once();
        ASSERT_FALSE(HasFatalFailure());
        const bool shown = waitFor([&] {
            step.while_waiting();
            pixels = chromium.screenshot();
            return !pixels.empty() &&
                test::isNear(pixelAt(kWindowWidth / 2, middle_row), step.expected, kColourTolerance);
        });
        ASSERT_FALSE(pixels.empty()) << chromium.error();
        const Rgb centre = pixelAt(kWindowWidth / 2, middle_row);
        ASSERT_TRUE(shown) << "the middle of the page stayed (" << int(centre.red) << ", " << int(centre.green) << ", "
                           << int(centre.blue) << ")";
        EXPECT_TRUE(test::isNear(pixelAt(10, middle_row), kBlack, kColourTolerance)) << "no black margin on the left";
        EXPECT_TRUE(test::isNear(pixelAt(kWindowWidth - 10, middle_row), kBlack, kColourTolerance))
            << "no black margin on the right";
    }
}

}  // namespace
}  // namespace quelmor
