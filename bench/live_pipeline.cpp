// SPDX-License-Identifier: GPL-3.0-or-later
// The live pipeline's throughput and delay. Needs port 8080 and, for the end
// to end part, indiserver with indi_simulator_ccd on port 7624 (started here
// with a temporary HOME): run it inside a private network namespace.
//
// Offline, one line per picture and mode, fed straight to Client::processPicture:
//   live mode=... w=... h=... c=... jpeg_kb=... fps=... ms_per_frame=... decode_ms=...
//        stretch_ms=... encode_ms=... publish_ms=... analysis_ms=...
// fps and ms_per_frame time the whole pipeline (with its analysis passes, at
// most one per 100 ms) with one stream client reading "/jpg"; the split times
// each step alone on the same picture. Each figure is the median of five
// rounds (see averageMilliseconds). Then, per picture, the floor:
//   live floor w=... h=... c=... decode_ms=... encode_ms=... stretched_ms=...
//        stretched_over_floor=...
// libjpeg alone decoding the picture into the layout it gives and encoding
// that at the stretched pipeline's quality (75) and subsampling (libjpeg's
// default), against the stretched pipeline's ms_per_frame: rounds of the two
// alternate, and each figure, the ratio too, is the median over nine rounds.
// Then raw video frames and FITS pictures through the same call, against the
// floor of the same size: libjpeg-turbo encoding the 8-bit picture shown, at
// the pipeline's quality (the least any JPEG output of the picture costs),
// in rounds that alternate with the pipeline's, medians over nine rounds:
//   live format=... w=... h=... blob_kb=... ms_per_frame=... floor_ms=... over_floor=...
// and the memory one 61 Mpx 16-bit FITS picture takes to show and analyse,
// above what the process held with the picture's bytes in hand:
//   live memory format=fits w=... h=... blob_mb=... peak_growth_mb=...
// Then the pass-through delay of small pictures, alone and while slow
// analyses run (a 50 Mpx picture every second among them):
//   live slow-analysis small=WxH big=WxH big_kb=... big_every_ms=... pictures=...
//        parts=... delay_p50_ms=... delay_p99_ms=...
// from the moment a picture is due to the feed to its arrival as a whole part
// on "/jpg": a feed held up by a picture before delays the next ones.
// With --format NAME (raw8, fits16, fpack16) only that format's line is
// printed, after its steps each alone on the same picture:
//   live format-split format=... jpeg_kb=... decode_ms=... statistics_ms=... stretch_ms=...
//        encode_ms=... analysis_ms=...
// End to end (left out with --offline), per INDI transport, with the simulator streaming:
//   live e2e host=... first=... pictures=... delay_p50_ms=... delay_p99_ms=...
// the time from a "CCD1" BLOB reaching a second INDI client on the same
// transport to the same bytes leaving the server as a whole part on "/jpg".
#include "FitsFiles.h"
#include "IndiSimulator.h"

#include "live/Client.h"
#include "live/FitsUnpacker.h"
#include "live/FrameDecoding.h"
#include "live/FrameRendering.h"
#include "live/PictureDecoding.h"
#include "live/FocusMetrics.h"
#include "live/Histogram.h"
#include "mjpeg/MJPEGStreamer.h"
#include "stretch/JpegEncoding.h"
#include "stretch/PictureBuffer.h"
#include "stretch/StretchRenderer.h"

#include <QCoreApplication>
#include <QThread>

#include <basedevice.h>
#include <fitsio.h>
#include <indipropertyblob.h>
#include <jpeglib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cmath>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using quelmor::test::IndiSimulator;

constexpr int kOfflineFrames = 100;
constexpr int kSplitRepeats = 20;
// The stretched pipeline and the floor alternate in rounds of
// kOfflineFrames / kRounds pictures and kFloorRepeats decodes and encodes.
constexpr int kFloorRounds = 9;
constexpr int kFloorRepeats = 6;
constexpr int kEndToEndSeconds = 12;
constexpr int kHttpPort = 8080;
constexpr int kIndiPort = 7624;
constexpr const char* kCamera = IndiSimulator::kDevice;
constexpr int kStretchedQuality = 75;
constexpr int kNoisyJpegQuality = 90;  // of the noisy camera pictures made here

// A JPEG picture as the update handler hands it over; `jpeg` outlives it.
Client::Picture jpegPicture(const std::string& jpeg)
{
    return {QByteArray::fromRawData(jpeg.data(), static_cast<qsizetype>(jpeg.size())), ".jpg", {}};
}

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The average time of `work` over a round of repeats / kRounds runs, in the
// median of kRounds rounds: on a shared machine, load from elsewhere in one
// moment then does not decide a figure, and a lucky quiet moment does not
// either.
constexpr int kRounds = 5;

double median(std::vector<double> values)
{
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

double roundMilliseconds(int perRound, const std::function<void()>& work)
{
    const auto start = Clock::now();
    for (int i = 0; i < perRound; ++i)
        work();
    return millisecondsSince(start) / perRound;
}

double averageMilliseconds(int repeats, const std::function<void()>& work)
{
    const int perRound = std::max(1, repeats / kRounds);
    std::vector<double> averages;
    for (int round = 0; round < kRounds; ++round)
        averages.push_back(roundMilliseconds(perRound, work));
    return median(averages);
}

// A noisy picture like the simulator's: mean grey about 90, levels 60 to 120
// (with the default noise).
std::string noisyJpeg(int width, int height, bool colour, double noiseLevels = 10.0)
{
    PictureBuffer image(width, height, colour ? 3 : 1);
    std::mt19937 random(7);
    std::normal_distribution<double> noise(90.0, noiseLevels);
    const auto sample = [&] { return static_cast<std::uint8_t>(std::clamp(noise(random), 0.0, 255.0)); };
    for (int y = 0; y < height; ++y) {
        std::uint8_t* line = image.writableRow(y);
        for (int x = 0; x < width; ++x) {
            if (colour)
                reinterpret_cast<std::uint32_t*>(line)[x] = PictureBuffer::pixelWord(sample(), sample(), sample());
            else
                line[x] = sample();
        }
    }
    QByteArray bytes;
    encodePictureJpeg(image, kNoisyJpegQuality, bytes);
    return bytes.toStdString();
}

// Reads "GET path" parts from port 8080 on its own thread and stamps each
// complete part with its arrival time.
class PartReader {
public:
    explicit PartReader(const std::string& path) : thread_([this, path] { run(path); }) { }
    ~PartReader()
    {
        stop_ = true;
        ::shutdown(socket_.load(), SHUT_RDWR);
        thread_.join();
    }
    std::size_t parts() const { return parts_.load(); }
    // Arrival time of the part with these bytes; false if none arrived.
    bool arrivalOf(const std::string& bytes, Clock::time_point& when)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = arrivals_.find(std::hash<std::string>()(bytes));
        if (found == arrivals_.end())
            return false;
        when = found->second;
        return true;
    }
    void keepArrivals(bool keep) { keep_ = keep; }

private:
    void run(const std::string& path)
    {
        while (!stop_) {
            const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
            socket_ = socket;
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(kHttpPort);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
                const std::string request = "GET " + path + " HTTP/1.1\r\n\r\n";
                ::send(socket, request.data(), request.size(), MSG_NOSIGNAL);
                readParts(socket);
            }
            ::close(socket);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    void readParts(int socket)
    {
        std::string pending;
        char chunk[256 * 1024];
        bool headerDone = false;
        while (!stop_) {
            const ssize_t received = ::recv(socket, chunk, sizeof chunk, 0);
            if (received <= 0)
                return;
            pending.append(chunk, static_cast<std::size_t>(received));
            if (!headerDone) {
                const std::size_t end = pending.find("\r\n\r\n");
                if (end == std::string::npos)
                    continue;
                if (pending.compare(0, 12, "HTTP/1.1 200") != 0)
                    return;  // 404 before the first picture: try again
                pending.erase(0, end + 4);
                headerDone = true;
            }
            while (takePart(pending)) { }
        }
    }

    bool takePart(std::string& pending)
    {
        static const std::string kLength = "Content-Length: ";
        const std::size_t lengthAt = pending.find(kLength);
        const std::size_t headerEnd = pending.find("\r\n\r\n");
        if (lengthAt == std::string::npos || headerEnd == std::string::npos)
            return false;
        const std::size_t length = std::stoull(pending.substr(lengthAt + kLength.size()));
        if (pending.size() < headerEnd + 4 + length)
            return false;
        if (keep_) {
            const std::size_t hash = std::hash<std::string>()(pending.substr(headerEnd + 4, length));
            std::lock_guard<std::mutex> lock(mutex_);
            arrivals_.emplace(hash, Clock::now());
        }
        pending.erase(0, headerEnd + 4 + length);
        ++parts_;
        return true;
    }

    std::atomic<bool> stop_{false};
    std::atomic<bool> keep_{false};
    std::atomic<int> socket_{-1};
    std::atomic<std::size_t> parts_{0};
    std::mutex mutex_;
    std::unordered_map<std::size_t, Clock::time_point> arrivals_;
    std::thread thread_;
};

using TimedPictures = std::vector<std::pair<std::string, Clock::time_point>>;

// Milliseconds from each picture's time to its arrival as a part on the
// reader's path, sorted; pictures that never arrived are left out.
std::vector<double> sortedDelaysMs(PartReader& reader, const TimedPictures& pictures)
{
    std::vector<double> delays;
    for (const auto& [bytes, time] : pictures) {
        Clock::time_point partTime;
        if (reader.arrivalOf(bytes, partTime))
            delays.push_back(std::chrono::duration<double, std::milli>(partTime - time).count());
    }
    std::sort(delays.begin(), delays.end());
    return delays;
}

// The figure at `quantile` (0 to 1) of sorted figures, of which there is at least one.
double quantileOf(const std::vector<double>& sorted, double quantile)
{
    return sorted[static_cast<std::size_t>(quantile * (sorted.size() - 1))];
}

// A picture that differs from `jpeg` in bytes only: the tag goes into a
// comment segment after the start-of-image marker, so the picture stays a
// whole JPEG (the pass-through takes no bytes after its end marker).
std::string tagged(const std::string& jpeg, std::uint64_t tag)
{
    constexpr std::size_t kStartMarkerBytes = 2;
    const char comment[] = {'\xFF', '\xFE', 0, static_cast<char>(2 + sizeof tag)};
    return jpeg.substr(0, kStartMarkerBytes) + std::string(comment, sizeof comment) +
        std::string(reinterpret_cast<const char*>(&tag), sizeof tag) + jpeg.substr(kStartMarkerBytes);
}

constexpr int kSmallWidth = 640, kSmallHeight = 480;
// 50 Mpx of a quiet sky: slow to decode for analysis, but a few MB only, so
// its part holds up the small ones behind it on "/jpg" little.
constexpr int kBigWidth = 8192, kBigHeight = 6144;
constexpr double kBigNoiseLevels = 2.0;
constexpr auto kBigInterval = std::chrono::seconds(1);
constexpr auto kSmallInterval = std::chrono::milliseconds(20);
constexpr auto kSlowAnalysisRun = std::chrono::seconds(10);
// Nothing is fed for this long before a big picture, so its analysis pass is due.
constexpr auto kAnalysisDueGap = std::chrono::milliseconds(110);

// Feeds small pass-through pictures, each one kSmallInterval after the last,
// with `big` (unless empty) every kBigInterval after a pause of kAnalysisDueGap.
void benchSlowAnalysis(const std::string& small, const std::string& big)
{
    Client client(QStringLiteral("slow-analysis"));
    if (!client.startHttpServer()) {
        std::fprintf(stderr, "port %d is taken\n", kHttpPort);
        return;
    }
    const auto feed = [&client](const std::string& picture) { client.processPicture(jpegPicture(picture)); };
    PartReader reader("/jpg");
    while (reader.parts() == 0) {
        feed(small);
        QThread::msleep(10);
    }
    reader.keepArrivals(true);

    TimedPictures fed;
    const auto start = Clock::now();
    auto due = start;
    auto nextBig = start + kBigInterval;
    while (due - start < kSlowAnalysisRun) {
        if (!big.empty() && due >= nextBig) {
            std::this_thread::sleep_until(due += kAnalysisDueGap);
            feed(big);
            nextBig += kBigInterval;
        }
        std::this_thread::sleep_until(due += kSmallInterval);
        fed.emplace_back(tagged(small, fed.size()), due);
        feed(fed.back().first);
    }
    QThread::msleep(500);

    const std::vector<double> delays = sortedDelaysMs(reader, fed);
    if (delays.empty())
        return;
    const std::string bigSize = big.empty() ? "none" : std::to_string(kBigWidth) + "x" + std::to_string(kBigHeight);
    std::printf("live slow-analysis small=%dx%d big=%s big_kb=%zu big_every_ms=%lld pictures=%zu parts=%zu "
                "delay_p50_ms=%.3f delay_p99_ms=%.3f\n",
        kSmallWidth, kSmallHeight, bigSize.c_str(), big.size() / 1024,
        static_cast<long long>(std::chrono::milliseconds(kBigInterval).count()), fed.size(), delays.size(),
        quantileOf(delays, 0.5), quantileOf(delays, 0.99));
    std::fflush(stdout);
}

struct Split {
    double decode = 0, stretch = 0, encode = 0, publish = 0, analysis = 0;
};

// Each pipeline step alone on `jpeg`, in milliseconds.
Split measureSplit(const std::string& jpeg, bool stretched, quelmor::MJPEGStreamer& streamer)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(jpeg.data());
    QByteArray planar;
    std::int32_t width = 0, height = 0, channels = 0;
    Split split;
    split.decode = averageMilliseconds(kSplitRepeats, [&] {
        planar.clear();
        decodeJpegPlanar(bytes, jpeg.size(), planar, width, height, channels);
    });
    split.analysis = averageMilliseconds(kSplitRepeats, [&] {
        QByteArray histogram;
        renderHistogram(planar, width, height, channels, histogram);
        measureSharpness(planar, width, height, channels);
    });
    std::string published = jpeg;
    if (stretched) {
        StretchRenderer renderer(width, height, channels, PixelType::UInt8);
        renderer.params = renderer.computeAutoParams(planar.constData());
        const PictureBuffer image(width, height, channels);
        split.stretch = averageMilliseconds(kSplitRepeats, [&] { renderer.render(planar.constData(), &image, 1); });
        QByteArray encoded;
        split.encode =
            averageMilliseconds(kSplitRepeats, [&] { encodePictureJpeg(image, kStretchedQuality, encoded); });
        published = encoded.toStdString();
    }
    split.publish = averageMilliseconds(kSplitRepeats, [&] { streamer.publish("/jpg", published); });
    return split;
}

struct Floor {
    double decode = 0, encode = 0;
};

// libjpeg's own decode of `jpeg` into the layout it gives, all rows at once
// per call, and encode of that at the stretched pipeline's quality: the
// average of `repeats` runs of each.
Floor measureFloor(const std::string& jpeg, int repeats)
{
    jpeg_error_mgr errors{};
    std::vector<unsigned char> pixels;
    std::vector<JSAMPROW> rows;
    JDIMENSION width = 0, height = 0;
    int components = 0;
    Floor floor;
    floor.decode = roundMilliseconds(repeats, [&] {
        jpeg_decompress_struct info{};
        info.err = jpeg_std_error(&errors);
        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
        jpeg_read_header(&info, TRUE);
        jpeg_start_decompress(&info);
        width = info.output_width;
        height = info.output_height;
        components = info.output_components;
        pixels.resize(std::size_t(width) * height * components);
        rows.resize(height);
        for (JDIMENSION y = 0; y < height; ++y)
            rows[y] = pixels.data() + std::size_t(y) * width * components;
        while (info.output_scanline < height)
            jpeg_read_scanlines(&info, rows.data() + info.output_scanline, height - info.output_scanline);
        jpeg_finish_decompress(&info);
        jpeg_destroy_decompress(&info);
    });
    floor.encode = roundMilliseconds(repeats, [&] {
        jpeg_compress_struct info{};
        info.err = jpeg_std_error(&errors);
        jpeg_create_compress(&info);
        unsigned char* output = nullptr;
        unsigned long outputBytes = 0;
        jpeg_mem_dest(&info, &output, &outputBytes);
        info.image_width = width;
        info.image_height = height;
        info.input_components = components;
        info.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
        jpeg_set_defaults(&info);
        jpeg_set_quality(&info, kStretchedQuality, TRUE);
        jpeg_start_compress(&info, TRUE);
        while (info.next_scanline < height)
            jpeg_write_scanlines(&info, rows.data() + info.next_scanline, height - info.next_scanline);
        jpeg_finish_compress(&info);
        jpeg_destroy_compress(&info);
        std::free(output);
    });
    return floor;
}

void benchOffline(const char* name, const std::string& jpeg, int width, int height, int channels)
{
    std::vector<double> stretchedMs, floorDecodeMs, floorEncodeMs, ratios;
    for (const bool stretched : {false, true}) {
        Split split;
        {
            quelmor::MJPEGStreamer streamer;
            streamer.start(0, static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
            split = measureSplit(jpeg, stretched, streamer);
        }
        Client client(QString::fromLatin1(name));
        if (!client.startHttpServer()) {
            std::fprintf(stderr, "port %d is taken\n", kHttpPort);
            return;
        }
        if (stretched)
            client.setStretchParams(0.1, 0.3, 0.9);
        const Client::Picture picture = jpegPicture(jpeg);
        client.processPicture(picture);
        PartReader reader("/jpg");
        while (reader.parts() == 0)
            client.processPicture(picture);
        const auto feed = [&] { client.processPicture(picture); };
        double msPerFrame = 0;
        if (!stretched) {
            msPerFrame = averageMilliseconds(kOfflineFrames, feed);
        } else {
            // Floor rounds between the pipeline's: load from elsewhere weighs on both sides of a ratio.
            for (int round = 0; round < kFloorRounds; ++round) {
                stretchedMs.push_back(roundMilliseconds(kOfflineFrames / kRounds, feed));
                const Floor floor = measureFloor(jpeg, kFloorRepeats);
                floorDecodeMs.push_back(floor.decode);
                floorEncodeMs.push_back(floor.encode);
                ratios.push_back(stretchedMs.back() / (floor.decode + floor.encode));
            }
            msPerFrame = median(stretchedMs);
        }
        std::printf("live mode=%s w=%d h=%d c=%d jpeg_kb=%zu fps=%.1f ms_per_frame=%.3f decode_ms=%.3f "
                    "stretch_ms=%.3f encode_ms=%.3f publish_ms=%.3f analysis_ms=%.3f\n",
            stretched ? "stretched" : "pass-through", width, height, channels, jpeg.size() / 1024, 1000.0 / msPerFrame,
            msPerFrame, stretched ? split.decode : 0.0, split.stretch, split.encode, split.publish, split.analysis);
        std::fflush(stdout);
    }
    std::printf("live floor w=%d h=%d c=%d decode_ms=%.3f encode_ms=%.3f stretched_ms=%.3f stretched_over_floor=%.2f\n",
        width, height, channels, median(floorDecodeMs), median(floorEncodeMs), median(stretchedMs), median(ratios));
    std::fflush(stdout);
}

constexpr int kFormatFrames = 20;
constexpr int kFullFrameWidth = 9568, kFullFrameHeight = 6380;
// Long enough for the analysis pass of the picture to end.
constexpr auto kAnalysisSettle = std::chrono::seconds(3);
// The simulator's sky: an offset of 5000 with noise, of 65535.
constexpr double kSkyLevel = 5000.0, kSkyNoise = 400.0;

// A noisy 16-bit sky, as cfitsio writes it, plain or tile-compressed.
std::string skyFits(int width, int height, bool compressed)
{
    std::mt19937 random(7);
    std::normal_distribution<double> noise(kSkyLevel, kSkyNoise);
    std::vector<double> values(std::size_t(width) * height);
    for (double& value : values)
        value = std::round(std::clamp(noise(random), 0.0, 65535.0));
    return quelmor::test::fitsFile({USHORT_IMG, {width, height}, values, nullptr, compressed}).toStdString();
}

// Raw 8-bit video frame of a noisy sky.
std::string rawFrame(int width, int height)
{
    std::mt19937 random(7);
    std::normal_distribution<double> noise(90.0, 10.0);
    std::string frame(std::size_t(width) * height, '\0');
    for (char& sample : frame)
        sample = static_cast<char>(std::clamp(noise(random), 0.0, 255.0));
    return frame;
}

// The 8-bit grey picture that `picture` shows, whose encode by libjpeg-turbo is the floor.
bool floorPicture(const Client::Picture& picture, PictureBuffer& shown)
{
    CameraFrame frame;
    QString error;
    QByteArray planes;
    if (!decodeCameraPicture(classifyPictureFormat(picture.format), picture.bytes.constData(), picture.bytes.size(),
            picture.geometry, frame, error) ||
        !analysisPlanes(frame, planes)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return false;
    }
    prepareOutputImage(shown, frame.width, frame.height, 1);
    for (int y = 0; y < frame.height; ++y)
        std::memcpy(shown.writableRow(y), planes.constData() + std::size_t(y) * frame.width, std::size_t(frame.width));
    return true;
}

// Each step of showing `picture` alone, as the pipeline runs it without a
// set stretch: decode, the automatic stretch's statistics, the stretch, the encode.
void benchFormatSplit(const char* name, const Client::Picture& picture)
{
    CameraFrame frame;
    QString error;
    const PictureFormatName format = classifyPictureFormat(picture.format);
    const double decode = averageMilliseconds(kFormatFrames, [&] {
        decodeCameraPicture(format, picture.bytes.constData(), picture.bytes.size(), picture.geometry, frame, error);
    });
    StretchRenderer renderer(frame.view());
    const double statistics = averageMilliseconds(
        kFormatFrames, [&] { renderer.params = renderer.computeAutoParams(frame.samples.constData()); });
    PictureBuffer shown;
    prepareOutputImage(shown, frame.width, frame.height, frame.channels);
    const double stretch =
        averageMilliseconds(kFormatFrames, [&] { renderer.render(frame.samples.constData(), &shown, 1); });
    QByteArray jpeg;
    const double encode =
        averageMilliseconds(kFormatFrames, [&] { encodePictureJpeg(shown, kStretchedQuality, jpeg); });
    const double analysis = averageMilliseconds(kFormatFrames, [&] {
        QByteArray planes, histogram;
        planesOfPicture(shown, planes);
        renderHistogram(planes, frame.width, frame.height, frame.channels, histogram);
        measureSharpness(planes, frame.width, frame.height, frame.channels);
    });
    std::printf("live format-split format=%s jpeg_kb=%lld decode_ms=%.3f statistics_ms=%.3f stretch_ms=%.3f "
                "encode_ms=%.3f analysis_ms=%.3f\n",
        name, static_cast<long long>(jpeg.size() / 1024), decode, statistics, stretch, encode, analysis);
    std::fflush(stdout);
}

void benchFormat(const char* name, const std::string& bytes, const char* format, int width, int height)
{
    Client client(QString::fromLatin1(name));
    if (!client.startHttpServer()) {
        std::fprintf(stderr, "port %d is taken\n", kHttpPort);
        return;
    }
    StreamGeometry geometry;
    geometry.width = width;
    geometry.height = height;
    const Client::Picture picture{QByteArray::fromRawData(bytes.data(), qsizetype(bytes.size())), format, geometry};
    PartReader reader("/jpg");
    while (reader.parts() == 0)
        client.processPicture(picture);
    PictureBuffer shown;
    if (!floorPicture(picture, shown))
        return;
    // Floor rounds between the pipeline's, as for the JPEG pictures: each figure is the median over the rounds.
    std::vector<double> pipelineMs, floorMs, ratios;
    QByteArray jpeg;
    for (int round = 0; round < kFloorRounds; ++round) {
        pipelineMs.push_back(roundMilliseconds(kFormatFrames / kRounds, [&] { client.processPicture(picture); }));
        floorMs.push_back(roundMilliseconds(
            kFormatFrames / kRounds, [&] { encodePictureJpeg(shown, kStretchedQuality, jpeg); }));
        ratios.push_back(pipelineMs.back() / floorMs.back());
    }
    std::printf("live format=%s w=%d h=%d blob_kb=%zu ms_per_frame=%.3f floor_ms=%.3f over_floor=%.2f\n", name, width,
        height, bytes.size() / 1024, median(pipelineMs), median(floorMs), median(ratios));
    std::fflush(stdout);
}

// Kilobytes of a "Vm..." line of /proc/self/status.
long statusKilobytes(const std::string& key)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key + ":", 0) == 0)
            return std::stol(line.substr(key.size() + 1));
    }
    return 0;
}

void benchFullFrameMemory()
{
    const std::string bytes = skyFits(kFullFrameWidth, kFullFrameHeight, false);
    Client client(QStringLiteral("memory"));
    client.startHttpServer();
    const Client::Picture picture{QByteArray::fromRawData(bytes.data(), qsizetype(bytes.size())), ".fits", {}};
    // Resets the peak to what is resident now (Linux 4.0 and later).
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = statusKilobytes("VmRSS");
    client.processPicture(picture);
    std::this_thread::sleep_for(kAnalysisSettle);
    std::printf("live memory format=fits w=%d h=%d blob_mb=%zu peak_growth_mb=%ld\n", kFullFrameWidth, kFullFrameHeight,
        bytes.size() >> 20, (statusKilobytes("VmHWM") - before) >> 10);
    std::fflush(stdout);
}

struct FormatCase {
    const char* name;
    std::function<std::string()> bytes;
    const char* format;
    int width, height;
};

const std::vector<FormatCase>& formatCases()
{
    static const std::vector<FormatCase> cases{
        {"raw8", [] { return rawFrame(1280, 1024); }, ".stream", 1280, 1024},
        {"fits16", [] { return skyFits(4096, 4096, false); }, ".fits", 4096, 4096},
        {"fpack16", [] { return skyFits(4096, 4096, true); }, ".fits.fz", 4096, 4096},
    };
    return cases;
}

void benchFormats()
{
    for (const FormatCase& format : formatCases())
        benchFormat(format.name, format.bytes(), format.format, format.width, format.height);
    benchFullFrameMemory();
}

// Only the format named, with its split first; false for an unknown name.
bool benchOneFormat(const std::string& name)
{
    for (const FormatCase& format : formatCases()) {
        if (name != format.name)
            continue;
        const std::string bytes = format.bytes();
        StreamGeometry geometry;
        geometry.width = format.width;
        geometry.height = format.height;
        benchFormatSplit(format.name,
            {QByteArray::fromRawData(bytes.data(), qsizetype(bytes.size())), format.format, geometry});
        benchFormat(format.name, bytes, format.format, format.width, format.height);
        return true;
    }
    return false;
}

// A second INDI client that stamps the arrival of every "CCD1" BLOB.
class ArrivalRecorder : public INDI::BaseClient {
public:
    explicit ArrivalRecorder(const char* host) { setServer(host, kIndiPort); }
    ~ArrivalRecorder() override
    {
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->closing = true;
        }
        if (isServerConnected())
            disconnectServer();
    }
    bool start()
    {
        watchDevice(kCamera, [state = state_](INDI::BaseDevice device) {
            device.watchProperty("CCD1", [state](INDI::Property property) {
                auto* blob = static_cast<INDI::PropertyView<IBLOB>*>(property.getProperty());
                property.onUpdate([state, blob] {
                    const auto now = Clock::now();
                    const INDI::WidgetView<IBLOB>& element = *blob->at(0);
                    std::string bytes(static_cast<const char*>(element.getBlob()), element.getBlobLen());
                    std::lock_guard<std::mutex> lock(state->mutex);
                    if (!state->closing)
                        state->arrivals.emplace_back(std::move(bytes), now);
                });
            });
        });
        enableDirectBlobAccess(kCamera, "CCD1");
        if (!connectServer())
            return false;
        setBLOBMode(B_ONLY, kCamera, "CCD1");
        return true;
    }
    TimedPictures take()
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return std::move(state_->arrivals);
    }

private:
    struct State {
        std::mutex mutex;
        bool closing = false;
        TimedPictures arrivals;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// indiserver serves its clients one after the other: the client that connected
// first gets each BLOB first. With the recorder first the delay includes the
// server's turn to the feed (an upper bound); with the feed first it misses
// the feed's head start (a lower bound).
void benchEndToEnd(const char* host, bool recorderFirst)
{
    ArrivalRecorder recorder(host);
    Client client(QString::fromLatin1(kCamera), host);
    // The feed connects on its reconnector's thread: wait for it when it goes first.
    const auto startFeed = [&client] {
        client.start();
        for (int tries = 0; tries < 100 && !client.isServerConnected(); ++tries)
            QThread::msleep(20);
        return client.isServerConnected();
    };
    const bool started = recorderFirst ? recorder.start() && startFeed() : startFeed() && recorder.start();
    if (!started) {
        std::fprintf(stderr, "no INDI server at %s\n", host);
        return;
    }
    PartReader reader("/jpg");
    while (reader.parts() == 0)
        QThread::msleep(50);
    reader.keepArrivals(true);
    recorder.take();
    QThread::sleep(kEndToEndSeconds);
    const auto arrivals = recorder.take();
    QThread::msleep(500);

    const std::vector<double> delays = sortedDelaysMs(reader, arrivals);
    if (delays.empty()) {
        std::printf("live e2e host=%s first=%s pictures=0\n", host, recorderFirst ? "recorder" : "feed");
        return;
    }
    std::printf("live e2e host=%s first=%s pictures=%zu delay_p50_ms=%.3f delay_p99_ms=%.3f\n", host,
        recorderFirst ? "recorder" : "feed", delays.size(), quantileOf(delays, 0.5), quantileOf(delays, 0.99));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    FitsUnpacker::useHelper(FITS_UNPACK_EXECUTABLE);
    if (argc > 2 && std::string(argv[1]) == "--format") {
        if (benchOneFormat(argv[2]))
            return 0;
        std::fprintf(stderr, "usage: %s [--offline | --format raw8|fits16|fpack16]\n", argv[0]);
        return 2;
    }
    benchOffline("grey", noisyJpeg(1280, 1024, false), 1280, 1024, 1);
    benchOffline("colour", noisyJpeg(1280, 1024, true), 1280, 1024, 3);
    benchOffline("colour", noisyJpeg(1920, 1080, true), 1920, 1080, 3);
    benchFormats();
    const std::string small = noisyJpeg(kSmallWidth, kSmallHeight, false);
    benchSlowAnalysis(small, std::string());
    benchSlowAnalysis(small, noisyJpeg(kBigWidth, kBigHeight, false, kBigNoiseLevels));
    if (argc > 1 && std::string(argv[1]) == "--offline")
        return 0;

    // On indiserver's default local socket, which the "localhost:" host reaches.
    IndiSimulator simulator(kIndiPort, IndiSimulator::LocalSocket::Default);
    if (!simulator.start() || !simulator.connectCamera() || !simulator.streamWithContent()) {
        std::fprintf(stderr, "indiserver with indi_simulator_ccd did not start\n%s\n", qPrintable(simulator.log()));
        return 1;
    }
    for (const bool recorderFirst : {true, false}) {
        benchEndToEnd(Client::kLocalSocketHost, recorderFirst);
        benchEndToEnd(Client::kTcpLoopbackHost, recorderFirst);
    }
    return 0;
}
