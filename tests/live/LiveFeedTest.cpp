// SPDX-License-Identifier: GPL-3.0-or-later
// The live feed of the service process, driven over a private session bus,
// against a real indiserver with the CCD simulator, read by a real HTTP client.
#include "BlobRecorder.h"
#include "FitsFiles.h"
#include "HeadlessChromium.h"
#include "HeadlessFirefox.h"
#include "JpegCodec.h"
#include "LiveTestSupport.h"
#include "PortHolder.h"
#include "ServiceProcess.h"
#include "StreamFormat.h"

#include <QCryptographicHash>
#include <QDBusMessage>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <fitsio.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <utility>
#include <vector>

using namespace quelmor::test;

namespace {

// Pictures that may be published after a setting changed but were processed
// before: the one in the pipeline, and one more to be safe.
constexpr int kPartsInFlight = 2;
constexpr int kPartsChecked = 5;
constexpr int kBlobMatchMs = 1000;
// A replaced feed must not wait for picture work.
constexpr int kStartAnswerMs = 500;
// Parts of 20 pictures a second; the same number takes 20 times as long when
// every picture costs a second.
constexpr int kPacedParts = 20;
constexpr int kPacedPartsMs = 10000;
// A picture with content: neither black nor white.
constexpr double kLeastMeanGrey = 10.0;
constexpr double kMostMeanGrey = 245.0;
constexpr int kWindowWidth = 640;
constexpr int kWindowHeight = 480;
// A deep picture shown with its automatic stretch: the stretch takes its
// median to a quarter of white, give or take the JPEG's rounding.
constexpr int kAutoStretchedMedianGrey = 64;
constexpr int kMedianGreyTolerance = 8;

// The median of a JPEG's samples; -1 when it does not decode.
int medianGrey(const std::string& jpeg)
{
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
    if (!decodeJpeg(jpeg, width, height, rgb) || rgb.empty())
        return -1;
    std::nth_element(rgb.begin(), rgb.begin() + rgb.size() / 2, rgb.end());
    return rgb[rgb.size() / 2];
}

// A zlib stream of a start marker, `mebibytes` MiB of zeros and an end
// marker, in about 1 kB a MiB: one MiB deflated after a full flush (which
// leaves it nothing to refer back to) is repeated, under the whole's checksum.
std::string deflatedJpegBomb(int mebibytes)
{
    const std::string zeros(1 << 20, '\0'), start("\xFF\xD8"), end("\xFF\xD9");
    z_stream zlib{};
    deflateInit(&zlib, Z_BEST_COMPRESSION);
    const auto deflated = [&zlib](const std::string& input, int flush) {
        std::string output(deflateBound(&zlib, uLong(input.size())) + 64, '\0');
        zlib.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
        zlib.avail_in = uInt(input.size());
        zlib.next_out = reinterpret_cast<Bytef*>(output.data());
        zlib.avail_out = uInt(output.size());
        deflate(&zlib, flush);
        output.resize(output.size() - zlib.avail_out);
        return output;
    };
    std::string bomb = deflated(start, Z_FULL_FLUSH);
    const std::string zerosDeflated = deflated(zeros, Z_FULL_FLUSH);
    std::string tail = deflated(end, Z_FINISH);
    deflateEnd(&zlib);
    const auto adlerOf = [](const std::string& bytes) {
        return adler32(1, reinterpret_cast<const Bytef*>(bytes.data()), uInt(bytes.size()));
    };
    uLong checksum = adlerOf(start);
    for (int i = 0; i < mebibytes; ++i) {
        bomb += zerosDeflated;
        checksum = adler32_combine(checksum, adlerOf(zeros), z_off_t(zeros.size()));
    }
    checksum = adler32_combine(checksum, adlerOf(end), z_off_t(end.size()));
    for (int i = 0; i < 4; ++i)
        tail[tail.size() - 4 + i] = char(checksum >> (24 - 8 * i));
    return bomb + tail;
}

// The service process, with the commands these tests give.
class Service : public ServiceProcess {
public:
    void startFeed(const QString& device) { send(QStringLiteral("start"), {device}); }
    void setStretch(double shadows, double midtones, double highlights)
    {
        send(QStringLiteral("setStretchParams"), {shadows, midtones, highlights});
    }
};

class LiveFeedTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(service.start()) << "the service did not come up on the session bus"; }

    // The simulator streams JPEG pictures with content; the recorder sees them too.
    void startStreamingCamera()
    {
        ASSERT_TRUE(simulator.start()) << "indiserver with indi_simulator_ccd did not come up";
        ASSERT_TRUE(simulator.connectCamera());
        ASSERT_TRUE(simulator.streamWithContent());
        recorder = std::make_unique<BlobRecorder>();
        ASSERT_TRUE(recorder->start());
        ASSERT_TRUE(waitUntil([this] { return recorder->count() > 0; })) << "the simulator sends no picture";
    }

    std::string readPart(quelmor::test::LoopbackClient& stream)
    {
        std::string picture, error;
        const std::size_t blobsBefore = recorder ? recorder->count() : 0;
        EXPECT_TRUE(stream.readPart(picture, error, kEventWaitMs))
            << error << "; the camera sent " << (recorder ? recorder->count() - blobsBefore : 0) << " BLOBs meanwhile";
        return picture;
    }

    // Starts the feed of `device` and opens "/jpg" as `stream`.
    ::testing::AssertionResult watchFeed(const QString& device = kCamera)
    {
        service.startFeed(device);
        stream = openStream("/jpg");
        return stream ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "/jpg never served";
    }

    // Waits for a part of this geometry on "/jpg", which must have content.
    void expectShown(const char* what, int width, int height, int channels)
    {
        JpegInfo shown;
        ASSERT_TRUE(waitUntil([&] {
            shown = inspectJpeg(readPart(*stream));
            return shown.width == width && shown.height == height && shown.channels == channels;
        })) << "last part "
            << shown.width << " x " << shown.height << " x " << shown.channels;
        EXPECT_GT(shown.mean, kLeastMeanGrey) << "black";
        EXPECT_LT(shown.mean, kMostMeanGrey) << "white";
        std::cout << what << ": " << width << " x " << height << " x " << channels << ", mean grey " << shown.mean
                  << std::endl;
    }

    // A new connection to "/jpg" past the pictures that were processed before
    // a change: an old connection may hold dozens of parts in its socket buffers.
    std::unique_ptr<quelmor::test::LoopbackClient> streamAfterChange()
    {
        auto fresh = openStream("/jpg");
        EXPECT_TRUE(fresh) << "/jpg not served";
        for (int i = 0; fresh && i < kPartsInFlight; ++i)
            readPart(*fresh);
        return fresh;
    }

    QTemporaryDir directory;
    IndiSimulator simulator;
    Service service;
    std::unique_ptr<BlobRecorder> recorder;
    std::unique_ptr<LoopbackClient> stream;
};

// --- Pass-through and stretch ---------------------------------------------

TEST_F(LiveFeedTest, PublishesTheCameraBytesUnchangedUnlessAStretchIsSet)
{
    startStreamingCamera();
    ASSERT_TRUE(watchFeed());

    for (int i = 0; i < 2 * kPartsChecked; ++i)
        EXPECT_TRUE(recorder->waitForBlob(readPart(*stream))) << "part " << i << " is no BLOB the camera sent";

    const JpegInfo camera = inspectJpeg(recorder->newest());
    ASSERT_TRUE(camera.decoded);
    ASSERT_EQ(camera.channels, 1) << "the simulator streams grey pictures";

    service.setStretch(0.1, 0.3, 0.9);
    const auto stretchedStream = streamAfterChange();
    ASSERT_TRUE(stretchedStream);
    for (int i = 0; i < kPartsChecked; ++i) {
        const std::string part = readPart(*stretchedStream);
        EXPECT_FALSE(recorder->waitForBlob(part, kBlobMatchMs)) << "stretched part " << i << " left unchanged";
        const JpegInfo stretched = inspectJpeg(part);
        ASSERT_TRUE(stretched.decoded) << "stretched part " << i << " is no JPEG";
        EXPECT_EQ(stretched.width, camera.width);
        EXPECT_EQ(stretched.height, camera.height);
        EXPECT_EQ(stretched.channels, 1) << "grey became colour";
        // Black point 0.1 and midtones 0.3 lift the simulator's mean grey of about 90 to about 130.
        EXPECT_GT(stretched.mean, camera.mean + 20) << "part " << i << " does not look stretched";
    }

    service.setStretch(0.0, 0.5, 1.0);
    const auto identity = streamAfterChange();
    ASSERT_TRUE(identity);
    // A slow stretch (sanitizers, a loaded machine) leaves more stretched parts in flight, and their repeats.
    ASSERT_TRUE(waitUntil([&] { return recorder->waitForBlob(readPart(*identity), kBlobMatchMs); }))
        << "the identity stretch never passed a picture through";
    for (int i = 0; i < kPartsChecked; ++i)
        EXPECT_TRUE(recorder->waitForBlob(readPart(*identity))) << "identity stretch: part " << i << " re-encoded";
}

// Every part on "/jpg" is byte for byte a JPEG the driver sent: it numbers
// them so that no two are alike and logs their digests before sending, so a
// part that is not one of them fails at once, with no wait for a time-out.
TEST_F(LiveFeedTest, PublishesExactlyTheBytesTheDriverSent)
{
    constexpr int kParts = 40;
    std::vector<std::uint8_t> noise(kWindowWidth * kWindowHeight);
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = std::uint8_t(i * 7919 % 251);
    const std::string jpeg = encodeJpeg(noise, kWindowWidth, kWindowHeight, 1);
    const QString picture = writeFile(directory, QStringLiteral("picture.jpg"), jpeg);
    QFile digests(directory.filePath(QStringLiteral("digests")));
    ASSERT_TRUE(simulator.startPictureDriver(kPictureDriver));
    // Open before the first picture: a service that dies of one ends the stream at once.
    ASSERT_TRUE(watchFeed(kPictureDriver));
    ASSERT_TRUE(simulator.tellPictureDriver(QStringLiteral("digests ") + digests.fileName()));
    ASSERT_TRUE(simulator.tellPictureDriver(QStringLiteral("send %1 0.01").arg(picture)));
    for (int i = 0; i < kParts; ++i) {
        const std::string part = readPart(*stream);
        const QByteArray digest =
            QCryptographicHash::hash(QByteArray::fromStdString(part), QCryptographicHash::Sha256).toHex();
        ASSERT_TRUE(digests.open(QIODevice::ReadOnly));
        const bool sent = digests.readAll().contains(digest);
        digests.close();
        ASSERT_TRUE(sent) << "part " << i << " of " << part.size() << " bytes is no picture the driver sent";
    }
}

// A BLOB that is no JPEG (a FITS exposure) goes out as received, even with a
// stretch set, and the analysis keeps the last good picture.
// What the simulator sends with INDI's defaults, as a capture program leaves
// them: raw video frames, then FITS exposures, binned and from a colour camera
// (tile-compressed ones in the next test). Each shows as a JPEG picture of its geometry with content;
// autoStretch and the focus metrics work on them, in a browser too, and a
// stretch set applies to their 16-bit samples.
TEST_F(LiveFeedTest, ShowsRawFramesAndFitsExposures)
{
    ASSERT_TRUE(simulator.start());
    ASSERT_TRUE(simulator.connectCamera());
    ASSERT_TRUE(simulator.addContent());
    ASSERT_TRUE(watchFeed());
    const QString exposure = QStringLiteral("CCD_EXPOSURE.CCD_EXPOSURE_VALUE=1");
    // Each picture differs from the one before in size or channels, so a
    // picture that is not shown cannot pass for one that is.
    const struct {
        const char* what;
        QStringList settings;
        int width, height, channels;
    } pictures[] = {
        {"raw video frames", {QStringLiteral("CCD_VIDEO_STREAM.STREAM_ON=On")}, 1280, 1024, 1},
        {"a binned FITS exposure",
            {QStringLiteral("CCD_VIDEO_STREAM.STREAM_OFF=On"), QStringLiteral("CCD_BINNING.HOR_BIN;VER_BIN=2;2"),
                exposure},
            640, 512, 1},
        {"a Bayer FITS exposure",
            {QStringLiteral("CCD_BINNING.HOR_BIN;VER_BIN=1;1"), QStringLiteral("SIMULATE_BAYER.INDI_ENABLED=On"),
                exposure},
            1280, 1024, 3},
    };
    for (const auto& p : pictures) {
        SCOPED_TRACE(p.what);
        for (const QString& setting : p.settings)
            ASSERT_TRUE(simulator.set({setting}));
        ASSERT_NO_FATAL_FAILURE(expectShown(p.what, p.width, p.height, p.channels));
    }
    ASSERT_TRUE(waitUntil([this] { return service.focusMetrics().available; }));
    EXPECT_TRUE(service.autoStretch().success);

    HeadlessChromium chromium(kWindowWidth, kWindowHeight);
    ASSERT_TRUE(chromium.open("http://127.0.0.1:" + std::to_string(kHttpPort) + "/viewer")) << chromium.error();
    std::vector<unsigned char> pixels;
    EXPECT_TRUE(waitUntil([&] {
        pixels = chromium.screenshot();
        return !pixels.empty() && meanColour(pixels.data(), pixels.size() / 3).green > kLeastMeanGrey / 2;
    })) << "the viewer page stays black "
        << chromium.error();

    service.setStretch(0.0, 0.5, 0.05);
    ASSERT_TRUE(simulator.set({exposure}));
    EXPECT_TRUE(waitUntil([&] { return inspectJpeg(readPart(*stream)).mean > kMostMeanGrey; }))
        << "samples at 5000 of 65535 are not white above highlights 0.05";
}

// The simulator's tile-compressed exposures (CCD_COMPRESSION, fpack's Rice
// tiles, zero-padded BLOBs) show once the unpacking process has decoded them.
TEST_F(LiveFeedTest, ShowsTileCompressedFitsExposures)
{
    ASSERT_TRUE(simulator.start());
    ASSERT_TRUE(simulator.connectCamera());
    ASSERT_TRUE(simulator.addContent() && simulator.set({QStringLiteral("CCD_COMPRESSION.INDI_ENABLED=On")}));
    ASSERT_TRUE(watchFeed());
    ASSERT_TRUE(simulator.set({QStringLiteral("CCD_EXPOSURE.CCD_EXPOSURE_VALUE=1")}));
    ASSERT_NO_FATAL_FAILURE(expectShown("a tile-compressed FITS exposure", 1280, 1024, 1));
}

// --- From the start ----------------------------------------------------------

// "/viewer" and the streams answer at once after start, before any picture,
// and "/status" says what the feed waits for: with no INDI server, a mistyped
// device, and the camera switched off; then the camera's pictures, and the
// focus figures focusMetrics answers. The streams send their header and wait.
TEST_F(LiveFeedTest, AnswersFromTheStartAndSaysWhatItWaitsFor)
{
    const struct {
        const char* what;
        QString device;
        bool startServer;
        const char* connection;
        QJsonArray devices;
    } rows[] = {
        {"no INDI server", kCamera, false, "no-server", {}},
        {"a mistyped device", QStringLiteral("No Such Camera"), true, "no-such-device", {kCamera}},
        {"the camera switched off", kCamera, false, "waiting-for-picture", {kCamera}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.startServer) {
            ASSERT_TRUE(simulator.start());
        }
        service.startFeed(row.device);
        LoopbackClient viewer(kHttpPort);
        ASSERT_TRUE(viewer.send("GET /viewer HTTP/1.1\r\n\r\n"));
        EXPECT_EQ(viewer.read(std::strlen("HTTP/1.1 200 OK"), kEventWaitMs), "HTTP/1.1 200 OK");
        for (const std::string path : {"/jpg", "/histogram"}) {
            LoopbackClient stream(kHttpPort);
            ASSERT_TRUE(stream.send("GET " + path + " HTTP/1.1\r\n\r\n"));
            EXPECT_EQ(stream.read(kStreamHeader.size(), kEventWaitMs), kStreamHeader) << path;
        }
        // The devices follow the connection as the server defines them.
        QJsonObject answer;
        EXPECT_TRUE(waitUntil([&] {
            answer = fetchStatus();
            return answer["connection"].toString() == row.connection && answer["devices"].toArray() == row.devices;
        })) << QJsonDocument(answer).toJson().toStdString();
        EXPECT_EQ(answer["source"].toString(), "live");
        EXPECT_EQ(answer["device"].toString(), row.device);
        EXPECT_TRUE(answer["picture"].isNull());
        EXPECT_EQ(answer["focus"].toObject()["available"].toBool(true), false);
        EXPECT_TRUE(service.answersEveryQuery());
    }

    ASSERT_TRUE(simulator.connectCamera());
    ASSERT_TRUE(simulator.streamWithContent());
    QJsonObject answer, picture;
    ASSERT_TRUE(waitUntil([&] {
        answer = fetchStatus();
        return (picture = answer["picture"].toObject())["fps"].toDouble() > 0;
    })) << QJsonDocument(answer).toJson().toStdString();
    EXPECT_EQ(answer["connection"].toString(), "connected");
    EXPECT_EQ(picture["width"].toInt(), 1280);
    EXPECT_EQ(picture["height"].toInt(), 1024);
    EXPECT_EQ(picture["format"].toString(), ".stream_jpg");
    const QDateTime received = QDateTime::fromString(picture["received"].toString(), Qt::ISODateWithMs);
    EXPECT_EQ(received.timeSpec(), Qt::UTC) << picture["received"].toString().toStdString();
    EXPECT_GE(picture["age"].toDouble(-1), 0.0);
    ASSERT_TRUE(waitUntil([this] { return service.focusMetrics().available; }));
    ASSERT_TRUE(simulator.stopStreaming());
    // Once the last picture is analysed, both tell the same figures.
    EXPECT_TRUE(waitUntil([&] {
        const FocusAnswer figures = service.focusMetrics();
        const QJsonObject focus = fetchStatus()["focus"].toObject();
        return focus["available"].toBool() && focus["sharpness"].toDouble() == figures.sharpness &&
            focus["min"].toDouble() == figures.min && focus["max"].toDouble() == figures.max &&
            focus["median"].toDouble() == figures.median;
    })) << QJsonDocument(fetchStatus()).toJson().toStdString();
}

// A port held by another program: the feed runs on (the handler analyses
// every picture) and starts serving once the port is free.
TEST_F(LiveFeedTest, ServesOnceAPortTakenAtTheStartIsFreed)
{
    startStreamingCamera();
    auto holder = std::make_unique<PortHolder>(kHttpPort);
    ASSERT_TRUE(holder->holds());
    service.startFeed(kCamera);
    ASSERT_TRUE(waitUntil([this] { return service.focusMetrics().available; })) << "the update handler never ran";
    EXPECT_TRUE(service.answersEveryQuery());
    service.setStretch(0.0, 0.5, 1.0);  // autoStretch, among the queries, set one

    holder.reset();
    const auto stream = streamAfterChange();
    ASSERT_TRUE(stream) << "no server after the port was freed";
    EXPECT_TRUE(recorder->waitForBlob(readPart(*stream)));
}

// Without an INDI server, so without pictures: the port is tried again all the same.
TEST_F(LiveFeedTest, ServesOnceAPortTakenAtTheStartIsFreedWithoutPictures)
{
    auto holder = std::make_unique<PortHolder>(kHttpPort);
    ASSERT_TRUE(holder->holds());
    service.startFeed(kCamera);
    EXPECT_TRUE(service.answersEveryQuery());
    holder.reset();
    EXPECT_TRUE(openStream("/jpg")) << "no server after the port was freed";
}

// The driver deletes "CCD1" when the camera disconnects and defines it again
// when it connects: the same server goes on, now fed from the new property.
TEST_F(LiveFeedTest, KeepsServingWhenTheCameraDefinesItsPictureAgain)
{
    startStreamingCamera();
    ASSERT_TRUE(watchFeed());
    readPart(*stream);

    ASSERT_TRUE(simulator.disconnectCamera());
    ASSERT_TRUE(simulator.connectCamera());
    ASSERT_TRUE(simulator.streamWithContent());
    const std::size_t beforeRedefinition = recorder->count();
    ASSERT_TRUE(waitUntil([this, beforeRedefinition] { return recorder->count() > beforeRedefinition; }))
        << "the camera streams no more";
    // Parts that left before the redefinition may still wait in the connection.
    std::size_t arrival = 0;
    while (arrival <= beforeRedefinition) {
        const std::string part = readPart(*stream);
        ASSERT_FALSE(part.empty()) << "the stream ended or stalled after the redefinition";
        ASSERT_TRUE(recorder->waitForBlob(part)) << "a part is no BLOB the camera sent";
        arrival = recorder->arrivalNumber(part);
    }
}

// indiserver starts a crashed driver again, and the driver defines the camera
// afresh: the connection opened before carries the new driver's pictures.
TEST_F(LiveFeedTest, FollowsACameraDriverThatRestarts)
{
    startStreamingCamera();
    ASSERT_TRUE(watchFeed());
    readPart(*stream);

    ASSERT_TRUE(simulator.killDriver()) << "indiserver did not start the driver again";
    ASSERT_TRUE(simulator.connectCamera());
    ASSERT_TRUE(simulator.streamWithContent());
    recorder = std::make_unique<BlobRecorder>();  // the old one watched the gone device
    ASSERT_TRUE(recorder->start());
    ASSERT_TRUE(waitUntil([this] { return recorder->count() > 0; })) << "the restarted driver sends nothing";
    EXPECT_TRUE(waitUntil([&] { return recorder->arrivalNumber(readPart(*stream)) > 0; }))
        << "no picture of the restarted driver on the old connection";
}

// Viewers of "/jpg" and "/histogram" opened while the first exposure runs
// start with its pictures; other paths stay unknown. A driver that deletes its
// device, or "CCD1" alone, and defines it again: pictures go on on the same
// connection. A picture whose header claims 40000 x 40000 goes out unchanged
// even with a stretch set, the feed keeps pace with it, and replacing the feed
// does not wait for it.
TEST_F(LiveFeedTest, ServesViewersBeforeTheFirstPictureAndFollowsRedefinitions)
{
    std::vector<std::string> pictures;
    for (const int grey : {40, 200}) {
        const std::string jpeg = encodeJpeg(std::vector<std::uint8_t>(64 * 48, grey), 64, 48, 1);
        pictures.push_back(jpeg);
        pictures.push_back(claimingSize(jpeg, 40000, 40000));
    }
    QStringList paths;
    for (const std::string& picture : pictures)
        paths.append(writeFile(directory, QString::number(paths.size()), picture));
    const auto send = [&](int picture) {
        return simulator.tellPictureDriver(QStringLiteral("send %1 0.05").arg(paths[picture]));
    };
    ASSERT_TRUE(simulator.startPictureDriver(kPictureDriver));
    ASSERT_TRUE(watchFeed(kPictureDriver));
    const auto histogram = openStream("/histogram");
    ASSERT_TRUE(histogram) << "no stream before the first picture";
    EXPECT_EQ(exchange(kHttpPort, "GET /png HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found\r\n\r\n");
    ASSERT_TRUE(send(0));
    ASSERT_EQ(readPart(*stream), pictures[0]);
    EXPECT_EQ(inspectJpeg(readPart(*histogram)).width, 300);
    const auto partArrives = [&](int picture) {
        return waitUntil([&] { return readPart(*stream) == pictures[picture]; });
    };

    const struct {
        const char* deletion;
        int picture;
    } redefinitions[] = {{"delete-device", 2}, {"delete-property", 0}};
    for (const auto& r : redefinitions) {
        ASSERT_TRUE(simulator.tellPictureDriver(QString::fromLatin1(r.deletion)));
        ASSERT_TRUE(simulator.tellPictureDriver(QStringLiteral("define")));
        ASSERT_TRUE(send(r.picture));
        EXPECT_TRUE(partArrives(r.picture)) << "no picture after " << r.deletion;
    }

    service.setStretch(0.1, 0.3, 0.9);
    ASSERT_TRUE(send(1));
    ASSERT_TRUE(partArrives(1)) << "the picture beyond the decode bound was not passed on unchanged";
    QElapsedTimer paced;
    paced.start();
    for (int i = 0; i < kPacedParts; ++i)
        ASSERT_EQ(readPart(*stream), pictures[1]) << "part " << i;
    EXPECT_LT(paced.elapsed(), kPacedPartsMs) << "the feed falls behind the pictures beyond the bound";

    QElapsedTimer start;
    start.start();
    service.startFeed(kPictureDriver);
    EXPECT_LT(start.elapsed(), kStartAnswerMs) << "start waited for the picture work";
}

// Pictures a scripted camera sends: those that show come out in their
// geometry, a deep one (16 bits using only 1000 to 2000) with its automatic
// stretch, whose median goes to a quarter of white; those that cannot (HTML or a
// cut header sent as JPEG, a 1.5 MB ".jpg.z" inflating to 1.4 GB) leave the
// last good picture on "/jpg"; JPEGs, deflated too, pass through unchanged.
TEST_F(LiveFeedTest, ShowsWhatItCanAndKeepsTheLastGoodPictureOtherwise)
{
    constexpr int kWidth = 64, kHeight = 48, kPixels = kWidth * kHeight;
    std::vector<std::uint16_t> ramp(kPixels);
    for (int i = 0; i < kPixels; ++i)
        ramp[i] = std::uint16_t(1000 + i * 1000 / kPixels);
    std::string ramp16(2 * kPixels, '\0');  // little-endian
    for (int i = 0; i < kPixels; ++i) {
        ramp16[2 * i] = char(ramp[i] & 0xFF);
        ramp16[2 * i + 1] = char(ramp[i] >> 8);
    }
    std::string rgb(3 * kPixels, '\0');
    for (int i = 0; i < 3 * kPixels; ++i)
        rgb[i] = char(i % 3 == 0 ? 200 : 40);
    const std::string fits =
        fitsFile({USHORT_IMG, {kWidth, kHeight}, std::vector<double>(ramp.begin(), ramp.end())}).toStdString();
    QByteArray lying = QByteArray::fromStdString(fits);
    setCard(lying, "NAXIS1", 40000);
    setCard(lying, "NAXIS2", 40000);
    const std::string jpeg = encodeJpeg(std::vector<std::uint8_t>(kPixels, 120), kWidth, kHeight, 1);
    const std::string darkJpeg = encodeJpeg(std::vector<std::uint8_t>(kPixels, 60), kWidth, kHeight, 1);
    const auto deflate = [](const std::string& bytes) {
        return qCompress(QByteArray::fromStdString(bytes)).mid(4).toStdString();  // the zlib stream after Qt's length
    };

    const struct {
        const char* what;
        QString path;
        const char* format;
        int channels;  // 0: not shown
        bool deep = false;
        std::string exact = {};  // the bytes shown, when they are the picture's own
    } pictures[] = {
        {"16-bit raw frame", writeFile(directory, "raw16", ramp16), ".stream", 1, true},
        {"RGB raw frame", writeFile(directory, "rgb", rgb), ".stream", 3},
        {"deflated FITS", writeFile(directory, "fits.z", deflate(fits)), ".fits.z", 1, true},
        {"XISF", writeFile(directory, "xisf", std::string(4096, 'x')), ".xisf", 0},
        {"FITS claiming 40000 x 40000", writeFile(directory, "lying", lying.toStdString()), ".fits", 0},
        {"truncated FITS", writeFile(directory, "truncated", fits.substr(0, fits.size() / 2)), ".fits", 0},
        {"raw frame of the wrong size", writeFile(directory, "odd", std::string(kPixels + 1, 'r')), ".stream", 0},
        {"HTML as JPEG", writeFile(directory, "html", "<html><body>hello</body></html>"), ".jpg", 0},
        {"cut JPEG header", writeFile(directory, "cut", jpeg.substr(2, jpeg.size() / 2)), ".jpg", 0},
        {"deflated JPEG bomb", writeFile(directory, "bomb", deflatedJpegBomb(1450)), ".jpg.z", 0},
        {"deflated JPEG", writeFile(directory, "jpeg.z", deflate(darkJpeg)), ".jpg.z", 1, false, darkJpeg},
        {"JPEG", writeFile(directory, "jpeg", jpeg), ".jpg", 1, false, jpeg},
    };
    ASSERT_TRUE(simulator.startPictureDriver(kPictureDriver));
    ASSERT_TRUE(simulator.tellPictureDriver(QStringLiteral("frame %1 %2").arg(kWidth).arg(kHeight)));
    ASSERT_TRUE(watchFeed(kPictureDriver));
    std::string good, last;
    for (const auto& p : pictures) {
        SCOPED_TRACE(p.what);
        ASSERT_TRUE(simulator.tellPictureDriver(QStringLiteral("send %1 0.05 %2").arg(p.path, p.format)));
        if (p.channels == 0) {
            // Past the good pictures in flight to a keep-alive repeat, a second later.
            for (int i = 0; i <= kPartsInFlight; ++i) {
                const std::string part = readPart(*stream);
                ASSERT_TRUE(part == good) << "a part of " << part.size() << " bytes, not the last good picture";
            }
            continue;
        }
        JpegInfo shown;
        ASSERT_TRUE(waitUntil([&] {
            last = readPart(*stream);
            shown = inspectJpeg(last);
            return last != good;
        }));
        good = last;
        EXPECT_EQ(shown.channels, p.channels);
        EXPECT_EQ(shown.width, kWidth);
        EXPECT_EQ(shown.height, kHeight);
        EXPECT_GT(shown.mean, kLeastMeanGrey);
        EXPECT_TRUE(p.exact.empty() || last == p.exact) << "the JPEG was altered";
        const int median = medianGrey(last);
        EXPECT_TRUE(!p.deep || std::abs(median - kAutoStretchedMedianGrey) <= kMedianGreyTolerance)
            << "median grey " << median << ": not the automatic stretch";
        std::cout << p.what << ": " << shown.width << " x " << shown.height << " x " << shown.channels << ", mean grey "
                  << shown.mean << std::endl;
    }
}

// A stretch set or computed during a long exposure shows on its picture at
// once: a new part, long before the next exposure. On a JPEG camera the
// identity stretch shows the camera's own bytes again.
TEST_F(LiveFeedTest, ShowsANewStretchOnTheLastPictureAtOnce)
{
    constexpr int kWidth = 64, kHeight = 48, kPixels = kWidth * kHeight;
    constexpr int kExposureSeconds = 3600;  // no second picture comes during the test
    std::vector<double> deepRamp(kPixels);
    std::vector<std::uint8_t> greyRamp(kPixels);
    for (int i = 0; i < kPixels; ++i) {
        deepRamp[i] = 1000 + i * 1000 / kPixels;
        greyRamp[i] = std::uint8_t(i * 256 / kPixels);
    }
    const std::string jpeg = encodeJpeg(greyRamp, kWidth, kHeight, 1);
    const std::pair<QString, std::string> cameras[] = {
        {".fits", fitsFile({USHORT_IMG, {kWidth, kHeight}, deepRamp}).toStdString()}, {".jpg", jpeg}};
    ASSERT_TRUE(simulator.startPictureDriver(kPictureDriver));
    ASSERT_TRUE(watchFeed(kPictureDriver));
    std::string shown, error;
    // The next part that is not a repeat of the one shown.
    const auto nextPicture = [&](const char* after) {
        std::string part;
        const bool arrived = stream->readPartAfter(shown, part, error, kEventWaitMs);
        EXPECT_TRUE(arrived) << "nothing new after " << after << ": " << error;
        EXPECT_EQ(inspectJpeg(part).width, kWidth) << after;
        shown = part;
        return arrived;
    };
    for (const auto& [format, bytes] : cameras) {
        SCOPED_TRACE(format.toStdString());
        const QString file = writeFile(directory, QStringLiteral("picture") + format, bytes);
        ASSERT_TRUE(
            simulator.tellPictureDriver(QStringLiteral("send %1 %2 %3").arg(file).arg(kExposureSeconds).arg(format)));
        ASSERT_TRUE(nextPicture("the exposure"));
        service.setStretch(0.1, 0.3, 0.9);
        ASSERT_TRUE(nextPicture("setStretchParams"));
        ASSERT_TRUE(service.autoStretch().success);
        ASSERT_TRUE(nextPicture("autoStretch"));
    }
    service.setStretch(0.0, 0.5, 1.0);
    ASSERT_TRUE(nextPicture("the identity stretch"));
    EXPECT_EQ(shown, jpeg) << "the identity stretch did not show the camera's own bytes";
}

// --- Analysis --------------------------------------------------------------

TEST_F(LiveFeedTest, AnalysesThePicturesOnceTheyArrive)
{
    ASSERT_TRUE(simulator.start());
    ASSERT_TRUE(simulator.connectCamera());
    service.startFeed(kCamera);
    ASSERT_TRUE(waitUntil([] { return portOpen(kHttpPort); }));
    EXPECT_FALSE(service.autoStretch().success) << "autoStretch before the first picture";
    EXPECT_FALSE(service.focusMetrics().available) << "focus metrics before the first picture";

    ASSERT_TRUE(simulator.streamWithContent());
    recorder = std::make_unique<BlobRecorder>();
    ASSERT_TRUE(recorder->start());
    StretchAnswer computed;
    ASSERT_TRUE(waitUntil([&] { return (computed = service.autoStretch()).success; }));
    EXPECT_LE(0.0, computed.shadows);
    EXPECT_LT(computed.shadows, computed.highlights);
    EXPECT_LE(computed.highlights, 1.0);
    EXPECT_GT(computed.midtones, 0.0);
    EXPECT_LT(computed.midtones, 1.0);

    // The computed stretch is applied: parts are re-encoded from now on.
    const auto stream = streamAfterChange();
    ASSERT_TRUE(stream);
    const std::string part = readPart(*stream);
    EXPECT_FALSE(recorder->waitForBlob(part, kBlobMatchMs)) << "autoStretch left the pictures unchanged";
    EXPECT_TRUE(inspectJpeg(part).decoded);

    ASSERT_TRUE(waitUntil([this] { return service.focusMetrics().available; })) << "no focus metrics";
    for (int i = 0; i < kPartsChecked; ++i) {
        readPart(*stream);
        const FocusAnswer focus = service.focusMetrics();
        ASSERT_TRUE(focus.available) << "focus metrics vanished after part " << i;
        EXPECT_GT(focus.sharpness, 0.0);
        EXPECT_LE(focus.min, focus.sharpness);
        EXPECT_LE(focus.sharpness, focus.max);
        EXPECT_LE(focus.min, focus.median);
        EXPECT_LE(focus.median, focus.max);
    }

    const auto histogram = openStream("/histogram");
    ASSERT_TRUE(histogram) << "/histogram never served";
    for (int i = 0; i < 2; ++i) {
        const JpegInfo picture = inspectJpeg(readPart(*histogram));
        EXPECT_TRUE(picture.decoded);
        EXPECT_EQ(picture.width, 300);
        EXPECT_EQ(picture.height, 100);
    }
}

// --- Faults ----------------------------------------------------------------

// The server goes away and comes back, as web managers restart it: the feed
// answers meanwhile, keeps its viewer, and shows the camera's pictures again
// on the same connection without a new start.
TEST_F(LiveFeedTest, ReconnectsWhenTheIndiServerComesBack)
{
    startStreamingCamera();
    ASSERT_TRUE(watchFeed());
    ASSERT_TRUE(waitUntil([this] { return service.focusMetrics().available; }));

    simulator.kill();
    recorder.reset();
    std::string last;
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(service.answersEveryQuery()) << "round " << i;
        EXPECT_TRUE(service.focusMetrics().available) << "the last metrics are kept";
        last = readPart(*stream);
    }
    // A picture the worker took before the server went (stretched by the
    // queries' autoStretch) may still come out; then the last one stays.
    EXPECT_TRUE(waitUntil([&] {
        std::string next = readPart(*stream);
        const bool kept = !next.empty() && next == last;
        last = std::move(next);
        return kept;
    })) << "the viewer lost the last picture";
    service.setStretch(0.0, 0.5, 1.0);  // autoStretch, among the queries, set one

    QElapsedTimer back;
    back.start();
    // The restarted simulator sends the same pictures as before: only a new
    // part shows that it reached the feed.
    startStreamingCamera();
    EXPECT_TRUE(waitUntil([&] {
        const std::string part = readPart(*stream);
        return part != last && recorder->arrivalNumber(part) > 0;
    })) << "no picture of the restarted server on the old connection";
    std::cout << "pictures again " << back.elapsed() << " ms after the server was started again" << std::endl;
}

// --- The viewer page ---------------------------------------------------------

// The page, opened right after start while there is no INDI server yet, says
// what the feed waits for and shows the camera's picture once it streams: at
// the size it shows (600 of 1280 pixels: the half size), and at full size once
// double-clicked to 1:1. Its sharpness figure follows the pictures, and its
// info line counts the last picture's age once the camera stops.
template <typename Browser>
void followTheCameraFromTheStart(IndiSimulator& simulator, Service& service)
{
    SKIP_WITHOUT_PEER(Browser::kProgram);
    const std::string kInfo = "document.getElementById('info').textContent";
    const std::string kSharpness = "document.getElementById('focus').hidden ? '' : "
                                   "document.getElementById('sharpness').textContent";
    const std::string kPictureWidth = "String(document.getElementById('picture').width)";
    const std::string kAgeSeconds = "(/(\\d+) s ago/.exec(" + kInfo + ") || ['', '-1'])[1]";
    const std::string kDoubleClickCentre = "String(document.getElementById('view').dispatchEvent(new MouseEvent("
                                           "'dblclick', {bubbles: true, clientX: 320, clientY: 240})))";
    Browser browser(kWindowWidth, kWindowHeight);
    // What `expression` gives in the page once `wanted` holds for it.
    const auto pageUntil = [&browser](const std::string& expression, const auto& wanted) {
        std::string text;
        EXPECT_TRUE(waitUntil([&] { return wanted(text = browser.evaluate(expression)); }))
            << expression << " gives \"" << text << "\" " << browser.error();
        return text;
    };
    const auto is = [](const char* wanted) { return [wanted](const std::string& text) { return text == wanted; }; };

    service.startFeed(kCamera);
    ASSERT_TRUE(browser.open("http://127.0.0.1:" + std::to_string(kHttpPort) + "/viewer")) << browser.error();
    pageUntil(kInfo, is("waiting for the INDI server"));
    ASSERT_TRUE(simulator.start());
    pageUntil(kInfo, is("waiting for the first picture"));
    ASSERT_TRUE(simulator.connectCamera());
    ASSERT_TRUE(simulator.streamWithContent());
    pageUntil(kPictureWidth, is("640"));
    pageUntil(kInfo, [](const std::string& text) { return text.rfind("1280 ", 0) == 0; });
    const std::string sharpness = pageUntil(kSharpness, [](const std::string& text) { return !text.empty(); });
    // A quarter of the noise: another sharpness.
    ASSERT_TRUE(simulator.set({QStringLiteral("SIMULATOR_SETTINGS.SIM_NOISE=1000")}));
    pageUntil(kSharpness, [&](const std::string& text) { return !text.empty() && text != sharpness; });
    ASSERT_EQ(browser.evaluate(kDoubleClickCentre), "true") << browser.error();
    pageUntil(kPictureWidth, is("1280"));
    ASSERT_TRUE(simulator.stopStreaming());
    pageUntil(kAgeSeconds, [](const std::string& text) { return std::atoi(text.c_str()) >= 2; });
}

TEST_F(LiveFeedTest, ViewerPageFollowsTheCameraFromTheStartInChromium)
{
    followTheCameraFromTheStart<HeadlessChromium>(simulator, service);
}

TEST_F(LiveFeedTest, ViewerPageFollowsTheCameraFromTheStartInFirefox)
{
    followTheCameraFromTheStart<HeadlessFirefox>(simulator, service);
}

}  // namespace
