// SPDX-License-Identifier: GPL-3.0-or-later
// SER playback through the real service on a private session bus, watched
// over HTTP on port 8080 the way viewers watch it: raw stream clients and a
// headless Chromium on "/viewer".
#include "SerFileWriter.h"
#include "SerPlayerTestSupport.h"

#include "EventLoopWait.h"
#include "HeadlessChromium.h"
#include "LiveTestSupport.h"
#include "PortHolder.h"
#include "ServiceProcess.h"
#include "TestSupport.h"

#include "ser/SerColorId.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>

using namespace quelmor::test;
using namespace sertest;

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr int kFrames = 4;

// Collects the service's serFrameChanged signals as (frame, totalFrames).
class FrameRecorder : public QObject {
    Q_OBJECT

public:
    QList<std::pair<int, int>> frames;

public slots:
    void onFrameChanged(int frame, int totalFrames) { frames.append({frame, totalFrames}); }
};

class SerServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(directory.isValid());
        ASSERT_TRUE(service.start()) << "the service did not come up on the session bus";
        ASSERT_TRUE(QDBusConnection::sessionBus().connect(kStreamerService, kStreamerPath, kStreamerService,
            QStringLiteral("serFrameChanged"), &recorder, SLOT(onFrameChanged(int, int))));
    }

    void TearDown() override
    {
        // SetUp stopped before the service was on the bus: it has failed already.
        if (!service.started())
            return;
        ASSERT_TRUE(service.stop()) << "the service did not end after stop";
        // A crash, or under the sanitizers a finding, turns into a non-zero exit status.
        EXPECT_EQ(service.exitCode(), 0) << "the service crashed";
    }

    // A file of kFrames frames, frame i all of distinctColours()[i].
    QString colourFile(const QString& name, int frameCount = kFrames)
    {
        QList<QByteArray> frames;
        for (int i = 0; i < frameCount; ++i)
            frames.append(solidRgbFrame(kWidth, kHeight, distinctColours().at(i)));
        const QString path = directory.filePath(name);
        EXPECT_TRUE(writeSerFile(path, {SerColorId::kRgb, 8, kWidth, kHeight}, frames));
        return path;
    }

    // Every signal the service sent before its last answer, delivered.
    void settleSignals()
    {
        service.answer<int>(QStringLiteral("serCurrentFrame"));
        QCoreApplication::processEvents();
    }

    // Which channels are lit in the middle of the picture on "/jpg".
    int shownChannels()
    {
        const PictureBuffer picture = shownPicture();
        return picture.isNull() ? -2 : litChannels(picture.pixel(kWidth / 2, kHeight / 2));
    }

    QTemporaryDir directory;
    ServiceProcess service;
    FrameRecorder recorder;
};

int channelsOf(int frame)
{
    return litChannels(distinctColours().at(frame));
}

// Frame 0 is on "/jpg" and announced once before openSer answers.
TEST_F(SerServiceTest, OpenShowsFrameZeroBeforeAnswering)
{
    QDBusPendingCallWatcher watcher(service.bus().asyncCall(QStringLiteral("openSer"), colourFile("open.ser")));
    int signalsAtAnswer = -1;
    QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, [&] { signalsAtAnswer = recorder.frames.size(); });
    ASSERT_TRUE(waitUntil([&] { return signalsAtAnswer >= 0; }));
    const QDBusReply<bool> opened = watcher.reply();
    ASSERT_TRUE(opened.isValid() && opened.value())
        << service.answer<QString>(QStringLiteral("serLastError")).toStdString();
    EXPECT_EQ(signalsAtAnswer, 1);
    settleSignals();
    EXPECT_EQ(recorder.frames, (QList<std::pair<int, int>>{{0, kFrames}}));

    EXPECT_EQ(shownChannels(), channelsOf(0));
    EXPECT_EQ(service.answer<int>(QStringLiteral("serTotalFrames")), kFrames);
    EXPECT_EQ(service.answer<int>(QStringLiteral("serWidth")), kWidth);
    EXPECT_EQ(service.answer<int>(QStringLiteral("serHeight")), kHeight);
    EXPECT_EQ(service.answer<int>(QStringLiteral("serCurrentFrame")), 0);
    EXPECT_FALSE(service.answer<bool>(QStringLiteral("serIsPlaying")));
    EXPECT_EQ(service.answer<QString>(QStringLiteral("serLastError")), QString());
}

// The first tick shows the current frame again; then every frame in order,
// wrapping at the end while playback goes on.
TEST_F(SerServiceTest, PlaybackShowsEveryFrameAndWraps)
{
    ASSERT_TRUE(service.answer<bool>(QStringLiteral("openSer"), {colourFile("play.ser")}));
    ASSERT_TRUE(service.answer<bool>(QStringLiteral("seekSer"), {2}));
    service.tell(QStringLiteral("setSerSpeed"), {50.0});
    service.tell(QStringLiteral("playSer"));
    const QList<int> expected = {0, 2, 2, 3, 0, 1, 2, 3, 0, 1, 2};
    ASSERT_TRUE(waitUntil([&] { return recorder.frames.size() >= expected.size(); }));
    EXPECT_TRUE(service.answer<bool>(QStringLiteral("serIsPlaying")));
    service.tell(QStringLiteral("pauseSer"));
    EXPECT_FALSE(service.answer<bool>(QStringLiteral("serIsPlaying")));

    QList<int> shown;
    for (int i = 0; i < expected.size(); ++i) {
        shown.append(recorder.frames.at(i).first);
        EXPECT_EQ(recorder.frames.at(i).second, kFrames);
    }
    EXPECT_EQ(shown, expected);
}

// Seeks are clamped to the file; stopSer closes it and takes the stream down.
TEST_F(SerServiceTest, SeekClampsAndStopClosesTheFile)
{
    ASSERT_TRUE(service.answer<bool>(QStringLiteral("openSer"), {colourFile("seek.ser")}));
    EXPECT_TRUE(service.answer<bool>(QStringLiteral("seekSer"), {-5}));
    EXPECT_EQ(service.answer<int>(QStringLiteral("serCurrentFrame")), 0);
    EXPECT_EQ(shownChannels(), channelsOf(0));
    EXPECT_TRUE(service.answer<bool>(QStringLiteral("seekSer"), {kFrames + 10}));
    EXPECT_EQ(service.answer<int>(QStringLiteral("serCurrentFrame")), kFrames - 1);
    EXPECT_EQ(shownChannels(), channelsOf(kFrames - 1));

    service.tell(QStringLiteral("playSer"));
    service.tell(QStringLiteral("stopSer"));
    EXPECT_FALSE(service.answer<bool>(QStringLiteral("seekSer"), {1}));
    EXPECT_EQ(service.answer<int>(QStringLiteral("serCurrentFrame")), 0);
    EXPECT_EQ(service.answer<int>(QStringLiteral("serTotalFrames")), 0);
    EXPECT_EQ(service.answer<int>(QStringLiteral("serWidth")), 0);
    EXPECT_EQ(service.answer<int>(QStringLiteral("serHeight")), 0);
    EXPECT_FALSE(service.answer<bool>(QStringLiteral("serIsPlaying")));
    EXPECT_TRUE(connectionRefused(kHttpPort)) << "the stream is still up after stopSer";
    service.tell(QStringLiteral("playSer"));
    EXPECT_FALSE(service.answer<bool>(QStringLiteral("serIsPlaying")));
}

// A failed open takes a running stream down and says why.
TEST_F(SerServiceTest, FailedOpenLeavesTheStreamDown)
{
    ASSERT_TRUE(service.answer<bool>(QStringLiteral("openSer"), {colourFile("good.ser")}));
    EXPECT_EQ(shownChannels(), channelsOf(0));
    EXPECT_FALSE(service.answer<bool>(QStringLiteral("openSer"), {directory.filePath("missing.ser")}));
    EXPECT_EQ(service.answer<QString>(QStringLiteral("serLastError")), QStringLiteral("No such file or directory"));
    EXPECT_TRUE(connectionRefused(kHttpPort));
    EXPECT_EQ(service.answer<int>(QStringLiteral("serTotalFrames")), 0);
}

// A second file reuses the player: each frame change is announced once.
TEST_F(SerServiceTest, OpeningAgainAnnouncesEachFrameOnce)
{
    ASSERT_TRUE(service.answer<bool>(QStringLiteral("openSer"), {colourFile("first.ser")}));
    ASSERT_TRUE(service.answer<bool>(QStringLiteral("openSer"), {colourFile("second.ser", 3)}));
    ASSERT_TRUE(service.answer<bool>(QStringLiteral("seekSer"), {1}));
    settleSignals();
    EXPECT_EQ(recorder.frames, (QList<std::pair<int, int>>{{0, kFrames}, {0, 3}, {1, 3}}));
    EXPECT_EQ(shownChannels(), channelsOf(1));
}

// "/status" names the file without its folder, the frame shown, the frame
// count, playing or not and the rate set, after each command.
TEST_F(SerServiceTest, StatusFollowsTheFileAndItsPlayback)
{
    ASSERT_TRUE(service.answer<bool>(QStringLiteral("openSer"), {colourFile("status.ser")}));
    const struct {
        const char* method;
        QVariantList argument;
        int frame;  // -1: any
        bool playing;
        double fps;
    } steps[] = {
        {"", {}, 0, false, 15.0},
        {"seekSer", {2}, 2, false, 15.0},
        {"setSerSpeed", {40.0}, 2, false, 40.0},
        {"playSer", {}, -1, true, 40.0},
        {"pauseSer", {}, -1, false, 40.0},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.method);
        if (*step.method)
            service.tell(QString::fromLatin1(step.method), step.argument);
        settleSignals();
        const QJsonObject status = fetchStatus();
        const QJsonObject ser = status["ser"].toObject();
        const QJsonObject picture = status["picture"].toObject();
        EXPECT_EQ(status["source"].toString(), "ser");
        EXPECT_FALSE(status.contains("device"));
        EXPECT_EQ(ser["file"].toString(), "status.ser");
        EXPECT_TRUE(step.frame < 0 || ser["frame"].toInt() == step.frame) << ser["frame"].toInt();
        EXPECT_EQ(ser["frames"].toInt(), kFrames);
        EXPECT_EQ(ser["playing"].toBool(!step.playing), step.playing);
        EXPECT_EQ(ser["fps"].toDouble(), step.fps);
        EXPECT_EQ(picture["width"].toInt(), kWidth);
        EXPECT_EQ(picture["height"].toInt(), kHeight);
        EXPECT_EQ(picture["format"].toString(), "ser");
        EXPECT_FALSE(status["focus"].toObject()["available"].toBool(true));
    }
    EXPECT_TRUE(waitUntil([] { return fetchStatus()["picture"].toObject()["fps"].toDouble() > 0; }))
        << "no rate after playing";
}

// Port 8080 held by another program: the open fails and names the port.
TEST_F(SerServiceTest, OpenFailsWhileThePortIsTaken)
{
    const QString path = colourFile("port.ser");
    {
        PortHolder holder(kHttpPort);
        ASSERT_TRUE(holder.holds());
        EXPECT_FALSE(service.answer<bool>(QStringLiteral("openSer"), {path}));
        EXPECT_EQ(service.answer<QString>(QStringLiteral("serLastError")), QStringLiteral("HTTP port 8080 is in use"));
        EXPECT_EQ(service.answer<int>(QStringLiteral("serTotalFrames")), 0) << "the file stayed open";
    }
    EXPECT_TRUE(service.answer<bool>(QStringLiteral("openSer"), {path}));
    EXPECT_EQ(shownChannels(), channelsOf(0));
}

// Files that are no SER recording, absurd headers, a file cut short while it
// plays and rates without a value: each is refused or survived, and the
// service goes on answering.
TEST_F(SerServiceTest, BadInputNeverStopsTheService)
{
    const QString fifo = directory.filePath("fifo.ser");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString huge = directory.filePath("huge.ser");
    {
        QFile file(huge);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(serHeader({SerColorId::kRgb, 16, 65535, 65535}, 1));
        file.write(QByteArray(4096, '\x7f'));
    }
    const struct {
        QString path;
        QString error;  // empty: any message
    } refused[] = {{directory.path(), QStringLiteral("Not a regular file")},
        {fifo, QStringLiteral("Not a regular file")},
        {QStringLiteral("/dev/zero"), QStringLiteral("Not a regular file")}, {huge, QString()}};
    for (const auto& file : refused) {
        SCOPED_TRACE(file.path.toStdString());
        EXPECT_FALSE(service.answer<bool>(QStringLiteral("openSer"), {file.path}));
        const QString error = service.answer<QString>(QStringLiteral("serLastError"));
        EXPECT_FALSE(error.isEmpty());
        if (!file.error.isEmpty()) {
            EXPECT_EQ(error, file.error);
        }
        EXPECT_TRUE(service.answers());
    }

    // A Bayer frame too small to demosaic is refused at open, saying why.
    const QString tiny = directory.filePath("tiny.ser");
    ASSERT_TRUE(writeSerFile(tiny, {SerColorId::kBayerRggb, 16, 1, 1}, {QByteArray(2, '\x40')}));
    EXPECT_FALSE(service.answer<bool>(QStringLiteral("openSer"), {tiny}));
    EXPECT_EQ(service.answer<QString>(QStringLiteral("serLastError")),
        QStringLiteral("Bayer frames of 1 x 1 pixels are too small to demosaic: at least 3 x 2 pixels are needed"));
    EXPECT_TRUE(service.answers());

    // Cut to its first frame while playing: the next frame fails and playback stops there.
    const QString cut = colourFile("cut.ser");
    ASSERT_TRUE(service.answer<bool>(QStringLiteral("openSer"), {cut}));
    service.tell(QStringLiteral("setSerSpeed"), {100.0});
    service.tell(QStringLiteral("playSer"));
    ASSERT_TRUE(waitUntil([&] { return recorder.frames.size() >= 3; }));
    ASSERT_TRUE(QFile::resize(cut, kHeaderBytes + qint64(kWidth) * kHeight * 3));
    EXPECT_TRUE(waitUntil([&] { return !service.answer<bool>(QStringLiteral("serIsPlaying")); })) << "playback went on";
    settleSignals();
    const int failed = service.answer<int>(QStringLiteral("serCurrentFrame"));
    EXPECT_NE(failed, 0) << "frame 0 is still whole";
    EXPECT_EQ(failed, (recorder.frames.last().first + 1) % kFrames) << "the position moved past the failed frame";

    // Rates of NaN (1 fps) and infinity (1 ms) keep playback going.
    ASSERT_TRUE(service.answer<bool>(QStringLiteral("openSer"), {colourFile("rates.ser")}));
    service.tell(QStringLiteral("playSer"));
    for (const double fps : {std::nan(""), std::numeric_limits<double>::infinity()}) {
        SCOPED_TRACE(fps);
        service.tell(QStringLiteral("setSerSpeed"), {fps});
        const int before = recorder.frames.size();
        EXPECT_TRUE(waitUntil([&] { return recorder.frames.size() > before + 2; })) << "playback stalled";
        EXPECT_TRUE(service.answer<bool>(QStringLiteral("serIsPlaying")));
    }
    service.tell(QStringLiteral("pauseSer"));
    EXPECT_TRUE(service.answers());
}

// Frames that sparse files declare: beyond what JPEG holds or the pixel bound
// they are refused at once, saying why; a full-frame sensor's frames play.
TEST_F(SerServiceTest, RefusesFramesTooLargeToShowAtOnce)
{
    constexpr qint64 kRefusalMs = 1000;
    const QString tooLarge =
        QStringLiteral("Frames of %1 pixels are too large to show: at most 67108864 pixels a frame");
    const struct {
        std::int32_t colorId, depth, width, height;
        QString error;  // empty: opens and plays
    } cases[] = {{SerColorId::kBayerRggb, 16, 23000, 23000, tooLarge.arg("23000 x 23000")},
        {SerColorId::kMono, 8, 32768, 32768, tooLarge.arg("32768 x 32768")},
        {SerColorId::kMono, 8, 70000, 4,
            QStringLiteral(
                "Frames of 70000 x 4 pixels cannot be shown: the JPEG encoder takes at most 65500 pixels a side")},
        {SerColorId::kBayerRggb, 16, 9576, 6388, QString()}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height);
        const SerHeaderFields fields = serHeaderFields({c.colorId, c.depth, c.width, c.height});
        const QString path = directory.filePath(QStringLiteral("sparse%1.ser").arg(c.width));
        ASSERT_TRUE(writeSerFile(path, fields, QByteArray()));
        ASSERT_TRUE(QFile::resize(path, kHeaderBytes + 2 * serFrameBytes(fields)));
        QElapsedTimer clock;
        clock.start();
        const bool opened = service.answer<bool>(QStringLiteral("openSer"), {path});
        const qint64 answerMs = clock.elapsed();
        EXPECT_EQ(service.answer<QString>(QStringLiteral("serLastError")), c.error);
        EXPECT_EQ(opened, c.error.isEmpty());
        if (!opened) {
            EXPECT_LT(answerMs, kRefusalMs);
            continue;
        }
        RecordProperty("full_frame_open_ms", int(answerMs));
        service.tell(QStringLiteral("playSer"));
        EXPECT_TRUE(waitUntil([&] { return recorder.frames.contains({1, 2}); }, 120000)) << "frame 1 never shown";
        service.tell(QStringLiteral("pauseSer"));
    }
}

// A browser on "/viewer" shows the frame last shown while playback is
// paused: frame 0 after openSer, the sought frame after seekSer, the frame
// where playback was paused, also on a page opened only then.
TEST_F(SerServiceTest, BrowserShowsThePausedFrame)
{
    SKIP_WITHOUT_PEER("chromium");
    constexpr int kWindowWidth = 400;
    constexpr int kWindowHeight = 300;
    const std::string viewer = "http://127.0.0.1:" + std::to_string(kHttpPort) + "/viewer";
    // Waits until the middle of the page shows the channels of `frame`.
    const auto showsFrame = [&](quelmor::test::HeadlessChromium& browser, int frame) {
        int shown = -2;
        const bool matched = waitUntil([&] {
            const std::vector<unsigned char> pixels = browser.screenshot();
            if (pixels.empty())
                return false;
            const unsigned char* middle = pixels.data() + ((kWindowHeight / 2) * kWindowWidth + kWindowWidth / 2) * 3;
            shown = litChannels(PictureBuffer::pixelWord(middle[0], middle[1], middle[2]));
            return shown == channelsOf(frame);
        });
        EXPECT_TRUE(matched) << "frame " << frame << " never shown; lit channels " << shown << " " << browser.error();
    };

    ASSERT_TRUE(service.answer<bool>(QStringLiteral("openSer"), {colourFile("browser.ser")}));
    quelmor::test::HeadlessChromium page(kWindowWidth, kWindowHeight);
    ASSERT_TRUE(page.open(viewer)) << page.error();
    showsFrame(page, 0);

    ASSERT_TRUE(service.answer<bool>(QStringLiteral("seekSer"), {2}));
    showsFrame(page, 2);

    service.tell(QStringLiteral("setSerSpeed"), {20.0});
    service.tell(QStringLiteral("playSer"));
    const int before = recorder.frames.size();
    ASSERT_TRUE(waitUntil([&] { return recorder.frames.size() >= before + 3; }));
    service.tell(QStringLiteral("pauseSer"));
    settleSignals();
    const int pausedAt = recorder.frames.last().first;
    SCOPED_TRACE(testing::Message() << "paused at frame " << pausedAt);
    showsFrame(page, pausedAt);

    quelmor::test::HeadlessChromium laterPage(kWindowWidth, kWindowHeight);
    ASSERT_TRUE(laterPage.open(viewer)) << laterPage.error();
    showsFrame(laterPage, pausedAt);
}

}  // namespace

#include "SerServiceTest.moc"
