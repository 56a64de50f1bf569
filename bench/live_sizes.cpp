// SPDX-License-Identifier: GPL-3.0-or-later
// What pictures sized for each viewer save: the live feed (a Client in this
// process, HTTP on port 8080) of a scripted camera (picture_driver.py under a
// real indiserver on port 7624), read by stream viewers on threads of their
// own. Needs both ports: run it in a private network namespace,
//   tests/mjpeg/in_network_namespace.sh build/bench/live_sizes [PICTURES]
// The camera sends 6248 x 4176 16-bit grey FITS pictures (plain; a star field
// on a sky gradient, fresh noise in each), one a second or, if later, once the
// last one reached every viewer; then 1280 x 1024 grey JPEGs (quality 90) as
// ".stream_jpg", one each 0.2 s likewise. One line per set of viewers:
//   sizes camera=... viewers=... pictures=... cpu_ms_per_picture=... http_ms=...
//         VIEWER_kb=... VIEWER_size=WxH
// over PICTURES pictures (10 FITS; three times as many JPEGs), after three to
// warm up. VIEWER is full, or wN for "/jpg?width=N"; VIEWER_kb is the mean
// size of the pictures it received (a picture's repeats not counted),
// VIEWER_size the size of its last one. cpu_ms is the process's CPU time
// (getrusage) less that of this program's own threads (viewers and main):
// the service's, receiving, decoding, rendering, analysing, encoding and
// sending; http_ms is the part of it in the HTTP server's threads, which make
// the reduced sizes and send. No wall times: on a shared machine they say
// little. Then, against one full-size viewer alone:
//   sizes ratio camera=... viewer=... bytes_fewer=... cpu_ratio=...
// and what a JPEG camera's viewers get: the size on "/jpg?width=640", and how
// many pictures on "/jpg" were byte for byte ones the camera sent (the
// stream's and each part's headers are checked as the tests expect them):
//   sizes check width640=WxH passthrough_identical=N/M
// Last, with the live feed stopped, where a FITS picture's CPU goes once
// received (the rest of cpu_ms is receiving it): the same pictures fed straight
// to a Client, one a second, with one viewer:
//   sizes split camera=fits16 viewers=... pictures=... picture_ms=... http_ms=... other_ms=...
// picture_ms in the call to Client::processPicture (decoding, stretching,
// rendering, and encoding for a full-size viewer), then http_ms in the HTTP
// server's threads and other_ms elsewhere (the analysis, mostly).
#include "FitsFiles.h"
#include "LiveTestSupport.h"

#include "live/Client.h"
#include "live/FrameDecoding.h"
#include "stretch/JpegEncoding.h"
#include "stretch/PictureBuffer.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fitsio.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace quelmor::test;

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kDevice[] = "Picture Driver";
constexpr int kDefaultPictures = 10;
constexpr int kJpegPicturesPerFits = 3;
constexpr int kVariants = 3;  // pictures alternate, so that each differs from the last
constexpr int kPartWaitMs = 200;
constexpr int kPictureWaitMs = 120000;
constexpr int kWarmUpTries = 5;
constexpr int kWarmUpPictures = 3;
constexpr int kWarmUpWaitMs = 30000;
constexpr int kJpegQuality = 90;
// The HTTP server's threads: its workers make the reduced sizes and send every part.
const QString kHttpThreads = QStringLiteral("quelmor-");

struct Sky {
    int width, height;
    double background, noise, peak, top;  // in the picture's units; top clips
};
constexpr Sky kFitsSky{6248, 4176, 800.0, 25.0, 40000.0, 65535.0};
constexpr Sky kJpegSky{1280, 1024, 30.0, 4.0, 220.0, 255.0};
constexpr double kStarsPerMegapixel = 80.0;
constexpr double kStarSigma = 1.4;  // pixels, about 3.3 px wide at half maximum
constexpr double kGradient = 0.3;   // of the background, across the picture

// Stars (the same in every variant; most faint) on a sky with a gradient, and
// noise drawn afresh for each `seed`.
std::vector<double> starField(const Sky& sky, unsigned seed)
{
    std::vector<double> values(std::size_t(sky.width) * sky.height);
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, sky.noise);
    for (int y = 0; y < sky.height; ++y)
        for (int x = 0; x < sky.width; ++x)
            values[std::size_t(y) * sky.width + x] = sky.background * (1.0 + kGradient * x / sky.width) + noise(random);
    std::mt19937 stars(1);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const int count = int(kStarsPerMegapixel * sky.width * sky.height / 1e6);
    const int reach = int(std::ceil(4 * kStarSigma));
    for (int star = 0; star < count; ++star) {
        const double cx = unit(stars) * sky.width, cy = unit(stars) * sky.height;
        const double amplitude = sky.peak * std::pow(unit(stars), 4.0);
        for (int y = std::max(0, int(cy) - reach); y < std::min(sky.height, int(cy) + reach); ++y)
            for (int x = std::max(0, int(cx) - reach); x < std::min(sky.width, int(cx) + reach); ++x)
                values[std::size_t(y) * sky.width + x] +=
                    amplitude * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (2 * kStarSigma * kStarSigma));
    }
    for (double& value : values)
        value = std::clamp(std::round(value), 0.0, sky.top);
    return values;
}

QByteArray fitsPicture(unsigned seed)
{
    return fitsFile({USHORT_IMG, {kFitsSky.width, kFitsSky.height}, starField(kFitsSky, seed)});
}

QByteArray jpegPicture(unsigned seed)
{
    const std::vector<double> values = starField(kJpegSky, seed);
    PictureBuffer image(kJpegSky.width, kJpegSky.height, 1);
    for (int y = 0; y < kJpegSky.height; ++y)
        for (int x = 0; x < kJpegSky.width; ++x)
            image.writableRow(y)[x] = std::uint8_t(values[std::size_t(y) * kJpegSky.width + x]);
    QByteArray bytes;
    encodePictureJpeg(image, kJpegQuality, bytes);
    return bytes;
}

double threadCpuSeconds(pthread_t thread)
{
    clockid_t clock;
    timespec time{};
    return pthread_getcpuclockid(thread, &clock) == 0 && clock_gettime(clock, &time) == 0
        ? double(time.tv_sec) + time.tv_nsec / 1e9
        : 0.0;
}

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

// The CPU time of this process's threads whose names begin with `prefix`.
double namedThreadsCpuSeconds(const QString& prefix)
{
    double total = 0.0;
    for (const QString& task : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
        QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(task));
        if (!comm.open(QIODevice::ReadOnly) || !comm.readAll().startsWith(prefix.toLatin1()) ||
            !stat.open(QIODevice::ReadOnly))
            continue;
        // After the name in parentheses: state, then 10 fields, then utime and stime in ticks.
        const QList<QByteArray> fields = stat.readAll().split(')').last().simplified().split(' ');
        if (fields.size() > 12)
            total += (fields[11].toDouble() + fields[12].toDouble()) / double(sysconf(_SC_CLK_TCK));
    }
    return total;
}

// One stream viewer of `path`, reading parts on its own thread. A part that
// differs from the one before is a new picture; with a digest log, it counts
// those whose SHA-256 the driver logged.
class Viewer {
public:
    Viewer(const std::string& path, QString digestLog)
        : digestLog_(std::move(digestLog)), stream_(openStream(path)), thread_([this] { run(); })
    {
    }
    ~Viewer()
    {
        stop_ = true;
        thread_.join();
    }
    int pictures() const { return pictures_; }
    double cpuSeconds() { return threadCpuSeconds(thread_.native_handle()); }
    // Mean picture bytes from now on, and the size of the last picture.
    void resetBytes() { bytes_ = 0, counted_ = 0; }
    double kilobytesPerPicture() const { return counted_ ? bytes_ / 1024.0 / counted_ : 0.0; }
    std::string lastSize()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::int32_t width = 0, height = 0;
        readJpegSize(reinterpret_cast<const unsigned char*>(last_.data()), last_.size(), width, height);
        return std::to_string(width) + "x" + std::to_string(height);
    }
    int identical() const { return identical_; }

private:
    void run()
    {
        std::string picture, error;
        while (stream_ && !stop_) {
            if (!stream_->readPart(picture, error, kPartWaitMs) || picture == last_)
                continue;
            if (!digestLog_.isEmpty())
                identical_ += logged(picture);
            bytes_ += picture.size(), ++counted_;
            std::lock_guard<std::mutex> lock(mutex_);
            last_.swap(picture);
            ++pictures_;
        }
    }
    bool logged(const std::string& picture) const
    {
        QFile log(digestLog_);
        const QByteArray digest =
            QCryptographicHash::hash(QByteArray::fromStdString(picture), QCryptographicHash::Sha256).toHex();
        return log.open(QIODevice::ReadOnly) && log.readAll().contains(digest);
    }

    const QString digestLog_;
    std::unique_ptr<LoopbackClient> stream_;
    std::atomic<bool> stop_{false};
    std::atomic<int> pictures_{0}, identical_{0};
    std::atomic<std::uint64_t> bytes_{0}, counted_{0};
    std::mutex mutex_;
    std::string last_;
    std::thread thread_;
};

struct Camera {
    const char* name;
    const char* format;
    std::vector<QString> files;
    std::chrono::milliseconds period;
    int pictures;
};

// Sends the next variant and waits until every viewer has a new picture.
bool deliver(IndiSimulator& driver, const Camera& camera, int& sent, std::vector<std::unique_ptr<Viewer>>& viewers,
    int timeoutMs = kPictureWaitMs)
{
    std::vector<int> before;
    for (const auto& viewer : viewers)
        before.push_back(viewer->pictures());
    const QString& file = camera.files[std::size_t(sent++ % kVariants)];
    driver.tellPictureDriver(QStringLiteral("send %1 3600 %2").arg(file, camera.format));
    return waitUntil(
        [&] {
            for (std::size_t i = 0; i < viewers.size(); ++i)
                if (viewers[i]->pictures() <= before[i])
                    return false;
            return true;
        },
        timeoutMs);
}

struct ViewerFigures {
    std::string name;  // full, or wN for a width of N
    double kilobytes;
    std::string size;
    int identical, pictures;
};

struct Figures {
    double cpuMs = -1.0;  // the service's, per picture; negative when pictures stopped coming
    double httpMs = 0.0;  // of that, the HTTP server's threads
    std::vector<ViewerFigures> viewers;
};

std::string viewerName(const std::string& path)
{
    const std::size_t query = path.find("width=");
    return query == std::string::npos ? "full" : "w" + path.substr(query + 6);
}

// Opens the viewers, warms up, then sends the camera's pictures.
Figures runViewers(IndiSimulator& driver, const Camera& camera, int& sent, const std::vector<std::string>& paths,
    const QString& digestLog)
{
    std::vector<std::unique_ptr<Viewer>> viewers;
    for (const std::string& path : paths)
        viewers.push_back(std::make_unique<Viewer>(path, digestLog));
    Figures figures;
    // A viewer that joins gets the current picture first: it is no new one.
    const bool joined = sent == 0 || waitUntil([&] {
        return std::all_of(viewers.begin(), viewers.end(), [](const auto& v) { return v->pictures() > 0; });
    });
    // The first picture is lost when it comes before the feed watches the camera.
    bool warm = false;
    for (int tries = 0; tries < kWarmUpTries && !warm; ++tries)
        warm = deliver(driver, camera, sent, viewers, kWarmUpWaitMs);
    // The work of the camera's pictures before, analysis included, ends meanwhile.
    for (int i = 1; i < kWarmUpPictures && warm; ++i) {
        std::this_thread::sleep_for(camera.period);
        warm = deliver(driver, camera, sent, viewers);
    }
    if (!joined || !warm)  // also when a viewer's stream never opened
        return figures;
    const auto benchCpu = [&] {
        double total = threadCpuSeconds(pthread_self());
        for (const auto& viewer : viewers)
            total += viewer->cpuSeconds();
        return total;
    };
    for (const auto& viewer : viewers)
        viewer->resetBytes();
    const double start = processCpuSeconds() - benchCpu();
    const double httpStart = namedThreadsCpuSeconds(kHttpThreads);
    for (int i = 0; i < camera.pictures; ++i) {
        const auto due = Clock::now() + camera.period;
        if (!deliver(driver, camera, sent, viewers))
            return figures;
        std::this_thread::sleep_until(due);
    }
    figures.cpuMs = (processCpuSeconds() - benchCpu() - start) * 1000.0 / camera.pictures;
    figures.httpMs = (namedThreadsCpuSeconds(kHttpThreads) - httpStart) * 1000.0 / camera.pictures;
    for (std::size_t i = 0; i < paths.size(); ++i)
        figures.viewers.push_back({viewerName(paths[i]), viewers[i]->kilobytesPerPicture(), viewers[i]->lastSize(),
            viewers[i]->identical(), viewers[i]->pictures()});
    return figures;
}

void printFigures(const Camera& camera, const Figures& figures)
{
    std::string names;
    for (const ViewerFigures& viewer : figures.viewers)
        names += (names.empty() ? "" : "+") + viewer.name;
    std::printf("sizes camera=%s viewers=%s pictures=%d cpu_ms_per_picture=%.1f http_ms=%.1f", camera.name,
        names.c_str(), camera.pictures, figures.cpuMs, figures.httpMs);
    for (const ViewerFigures& viewer : figures.viewers)
        std::printf(
            " %s_kb=%.1f %s_size=%s", viewer.name.c_str(), viewer.kilobytes, viewer.name.c_str(), viewer.size.c_str());
    std::printf("\n");
    std::fflush(stdout);
}

void printRatio(const Camera& camera, const Figures& full, const Figures& reduced)
{
    std::printf("sizes ratio camera=%s viewer=%s bytes_fewer=%.1f cpu_ratio=%.2f\n", camera.name,
        reduced.viewers[0].name.c_str(), full.viewers[0].kilobytes / reduced.viewers[0].kilobytes,
        reduced.cpuMs / full.cpuMs);
    std::fflush(stdout);
}

// Writes kVariants variants of a picture; their paths, or none on failure.
std::vector<QString> writeVariants(const QTemporaryDir& directory, const char* name, QByteArray (*make)(unsigned))
{
    std::vector<QString> paths;
    for (unsigned seed = 0; seed < kVariants; ++seed) {
        QFile file(directory.filePath(QStringLiteral("%1%2").arg(name).arg(seed)));
        const QByteArray bytes = make(seed + 1);
        if (bytes.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return {};
        paths.push_back(file.fileName());
    }
    return paths;
}

// Where a FITS picture's CPU goes once received: the same pictures fed
// straight to a Client's processPicture, one each camera period, while a
// viewer of `path` watches. The process's CPU time (less the viewer's) during
// the call is the picture work (decoding, stretching, rendering, and encoding
// for a full-size viewer); after it, in the HTTP server's threads, making the
// reduced size and sending, and elsewhere, mostly the analysis. Run with the
// live feed stopped, for port 8080.
void printSplit(const Camera& camera, const std::string& path)
{
    Client client(QStringLiteral("split"));
    std::vector<QByteArray> variants;
    for (const QString& name : camera.files) {
        QFile file(name);
        variants.push_back(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
    }
    if (!client.startHttpServer())
        return;
    Viewer viewer(path, {});
    // The picture work runs on this thread; after it, this thread only waits.
    const auto serviceCpu = [&] { return processCpuSeconds() - viewer.cpuSeconds(); };
    const auto othersCpu = [&] { return serviceCpu() - threadCpuSeconds(pthread_self()); };
    double picture = 0.0, after = 0.0, http = 0.0;
    for (int i = 0; i <= camera.pictures; ++i) {
        const int before = viewer.pictures();
        const double start = serviceCpu(), httpStart = namedThreadsCpuSeconds(kHttpThreads);
        client.processPicture({variants[std::size_t(i % kVariants)], camera.format, {}, {}});
        const double called = serviceCpu(), othersCalled = othersCpu();
        if (!waitUntil([&] { return viewer.pictures() > before; }, kPictureWaitMs))
            return;
        std::this_thread::sleep_for(camera.period);
        if (i == 0)  // the first warms up
            continue;
        picture += called - start;
        after += othersCpu() - othersCalled;
        http += namedThreadsCpuSeconds(kHttpThreads) - httpStart;
    }
    const double perPicture = 1000.0 / camera.pictures;
    std::printf("sizes split camera=%s viewers=%s pictures=%d picture_ms=%.1f http_ms=%.1f other_ms=%.1f\n",
        camera.name, viewerName(path).c_str(), camera.pictures, picture * perPicture, http * perPicture,
        (after - http) * perPicture);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int pictures = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultPictures;
    QTemporaryDir directory;
    const Camera fits{
        "fits16", ".fits", writeVariants(directory, "sky.fits", fitsPicture), std::chrono::seconds(1), pictures};
    const Camera jpeg{"stream_jpg", ".stream_jpg", writeVariants(directory, "sky.jpg", jpegPicture),
        std::chrono::milliseconds(200), pictures * kJpegPicturesPerFits};
    IndiSimulator driver;
    if (fits.files.empty() || jpeg.files.empty() || !driver.startPictureDriver(QString::fromLatin1(kDevice))) {
        std::fprintf(stderr, "no pictures written, or indiserver with the picture driver did not start\n");
        return 1;
    }
    auto client = std::make_unique<Client>(QString::fromLatin1(kDevice));
    client->start();
    int sent = 0;
    bool failed = false;
    const auto run = [&](const Camera& camera, const std::vector<std::string>& paths, const QString& digests = {}) {
        const Figures figures = failed ? Figures() : runViewers(driver, camera, sent, paths, digests);
        if (figures.cpuMs < 0 && !failed)
            std::fprintf(stderr, "pictures stopped reaching the viewers %s\n", paths.front().c_str());
        failed = figures.cpuMs < 0;
        if (!failed)
            printFigures(camera, figures);
        return figures;
    };
    const Figures full = run(fits, {"/jpg"});
    const Figures reduced = run(fits, {"/jpg?width=1600"});
    run(fits, {"/jpg", "/jpg?width=1600"});
    const Figures quarter = run(fits, {"/jpg?width=1500"});
    if (failed)
        return 1;
    printRatio(fits, full, reduced);
    printRatio(fits, full, quarter);

    const QString digests = directory.filePath(QStringLiteral("digests"));
    driver.tellPictureDriver(QStringLiteral("digests ") + digests);
    const Figures small = run(jpeg, {"/jpg?width=640"});
    const Figures whole = run(jpeg, {"/jpg"}, digests);
    if (failed)
        return 1;
    printRatio(jpeg, whole, small);
    std::printf("sizes check width640=%s passthrough_identical=%d/%d\n", small.viewers[0].size.c_str(),
        whole.viewers[0].identical, whole.viewers[0].pictures);

    client.reset();
    for (const char* path : {"/jpg", "/jpg?width=1600"})
        printSplit(fits, path);
    return 0;
}
