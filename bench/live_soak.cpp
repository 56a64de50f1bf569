// SPDX-License-Identifier: GPL-3.0-or-later
// The live feed over time, against indiserver with indi_simulator_ccd
// streaming (started here): needs ports 8080 and 7624, so run it inside a
// private network namespace.
//
//   live_soak starts [N]      N start calls (150), each until its first part:
//     starts n=... rss_first_MB=... rss_last_MB=... growth_MB=...
//   live_soak soak [MINUTES]  one feed for MINUTES (30), a line a minute:
//     soak minute=... blobs=... parts=... blob_gap_max_ms=... jpg_gap_max_ms=... rss_MB=...
//   live_soak events [ROUNDS] ROUNDS rounds (6) of what an hour brings: raw
//     frames, a loop of FITS exposures, a server restart and a driver kill:
//     events round=... rss_MB=... heap_used_MB=... heap_free_MB=... mapped_MB=...
//     events rounds=... rss_start_MB=... rss_peak_MB=... rss_end_MB=...
//   heap_used is what the program holds, heap_free what malloc keeps of what
//   was freed (in every arena): growth there is held, not lost.
// blob_gap is the longest time between two BLOBs reaching a second INDI
// client, run in a child process (two INDI clients in one process fragment
// its heap, and rss_MB is about the feed); jpg_gap the longest between two new
// pictures on "/jpg" (a repeat of the newest picture does not count).
#include "BlobRecorder.h"
#include "LiveTestSupport.h"

#include "service/Streamer.h"

#include <QCoreApplication>

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

using namespace quelmor::test;

namespace {

constexpr int kDefaultStarts = 150;
constexpr int kDefaultMinutes = 30;
constexpr long long kMinuteMs = 60'000;
constexpr int kDefaultRounds = 6;
// How long the raw stream runs in each round, and the FITS exposures of its loop.
constexpr long long kStreamPhaseMs = 20'000;
constexpr int kExposuresPerLoop = 5;
constexpr long long kExposureWaitMs = 2'500;
constexpr double kBytesPerMegabyte = 1024.0 * 1024.0;

double residentMegabytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atof(line.c_str() + 6) / 1024.0;
    return 0.0;
}

// The peak resident size of the process so far (VmHWM).
double peakResidentMegabytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atof(line.c_str() + 6) / 1024.0;
    return 0.0;
}

bool firstPart(Streamer& streamer)
{
    streamer.start(kCamera);
    const auto stream = openStream("/jpg");
    std::string picture, error;
    return stream && stream->readPart(picture, error, kEventWaitMs);
}

int benchStarts(int starts)
{
    Streamer streamer;
    if (!firstPart(streamer))
        return 1;
    const double first = residentMegabytes();
    for (int i = 1; i < starts; ++i)
        if (!firstPart(streamer)) {
            std::fprintf(stderr, "start %d: no picture\n", i);
            return 1;
        }
    const double last = residentMegabytes();
    std::printf("starts n=%d rss_first_MB=%.1f rss_last_MB=%.1f growth_MB=%.1f\n", starts, first, last, last - first);
    return 0;
}

// A BlobRecorder in a child process that writes "count longest-gap" lines.
class RecorderProcess {
public:
    RecorderProcess()
    {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ends[0]);
            report(ends[1]);
        }
        ::close(ends[1]);
        output_ = ends[0];
        ::fcntl(output_, F_SETFL, O_NONBLOCK);
    }
    ~RecorderProcess()
    {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        ::close(output_);
    }

    // The newest report, "0 0" before the first.
    std::string latest()
    {
        char buffer[4096];
        ssize_t received;
        while ((received = ::read(output_, buffer, sizeof buffer)) > 0)
            lines_.append(buffer, static_cast<std::size_t>(received));
        const std::size_t end = lines_.rfind('\n');
        const std::size_t start = end == std::string::npos ? end : lines_.rfind('\n', end - 1);
        return end == std::string::npos ? "0 0"
                                        : lines_.substr(start == std::string::npos ? 0 : start + 1, end - start - 1);
    }

private:
    [[noreturn]] static void report(int fd)
    {
        BlobRecorder recorder;
        if (!recorder.start())
            ::_exit(1);
        for (;;) {
            ::sleep(1);
            ::dprintf(fd, "%zu %lld\n", recorder.count(), recorder.longestGapMs());
        }
    }

    pid_t pid_ = -1;
    int output_ = -1;
    std::string lines_;
};

int benchSoak(int minutes)
{
    RecorderProcess recorder;
    Streamer streamer;
    streamer.start(kCamera);
    const auto stream = openStream("/jpg");
    if (!stream)
        return 1;
    std::string previous, picture, error;
    long long parts = 0, jpgGapMs = 0, lastNewMs = nowMs();
    const long long startMs = lastNewMs;
    for (int minute = 1; minute <= minutes; ++minute) {
        while (nowMs() - startMs < minute * kMinuteMs) {
            if (!stream->readPart(picture, error, kEventWaitMs)) {
                std::fprintf(stderr, "/jpg: %s\n", error.c_str());
                return 1;
            }
            if (picture == previous)
                continue;
            const long long now = nowMs();
            jpgGapMs = std::max(jpgGapMs, now - lastNewMs);
            lastNewMs = now;
            previous.swap(picture);
            ++parts;
        }
        std::size_t blobs = 0;
        long long blobGapMs = 0;
        std::sscanf(recorder.latest().c_str(), "%zu %lld", &blobs, &blobGapMs);
        std::printf("soak minute=%d blobs=%zu parts=%lld blob_gap_max_ms=%lld jpg_gap_max_ms=%lld rss_MB=%.1f\n",
            minute, blobs, parts, blobGapMs, jpgGapMs, residentMegabytes());
        std::fflush(stdout);
    }
    return 0;
}

// Reads "/jpg" for `durationMs`; false when the stream ends.
bool readFor(LoopbackClient& stream, long long durationMs)
{
    std::string picture, error;
    const long long endMs = nowMs() + durationMs;
    while (nowMs() < endMs)
        if (!stream.readPart(picture, error, kEventWaitMs)) {
            std::fprintf(stderr, "/jpg: %s\n", error.c_str());
            return false;
        }
    return true;
}

// Raw 8-bit video frames with content, as a capture program streams them.
bool streamRaw(IndiSimulator& simulator)
{
    return simulator.streamWithContent(QStringLiteral("RAW"));
}

bool fitsLoop(IndiSimulator& simulator, LoopbackClient& stream)
{
    if (!simulator.stopStreaming())
        return false;
    for (int i = 0; i < kExposuresPerLoop; ++i)
        if (!simulator.set({QStringLiteral("CCD_EXPOSURE.CCD_EXPOSURE_VALUE=0.1")}) ||
            !readFor(stream, kExposureWaitMs))
            return false;
    return streamRaw(simulator);
}

void printHeap(int round)
{
    const struct mallinfo2 heap = ::mallinfo2();
    std::printf("events round=%d rss_MB=%.1f heap_used_MB=%.1f heap_free_MB=%.1f mapped_MB=%.1f\n", round,
        residentMegabytes(), heap.uordblks / kBytesPerMegabyte, heap.fordblks / kBytesPerMegabyte,
        heap.hblkhd / kBytesPerMegabyte);
    std::fflush(stdout);
}

int benchEvents(IndiSimulator& simulator, int rounds)
{
    Streamer streamer;
    streamer.start(kCamera);
    const auto stream = openStream("/jpg");
    if (!stream || !streamRaw(simulator) || !readFor(*stream, kStreamPhaseMs))
        return 1;
    const double start = residentMegabytes();
    printHeap(0);
    for (int round = 1; round <= rounds; ++round) {
        // The server goes and comes back, a FITS loop, then the driver dies.
        simulator.kill();
        if (!simulator.start() || !simulator.connectCamera() || !streamRaw(simulator) ||
            !readFor(*stream, kStreamPhaseMs) || !fitsLoop(simulator, *stream) || !simulator.killDriver() ||
            !simulator.connectCamera() || !streamRaw(simulator) || !readFor(*stream, kStreamPhaseMs)) {
            std::fprintf(stderr, "round %d: the simulator did not follow\n%s\n", round, qPrintable(simulator.log()));
            return 1;
        }
        printHeap(round);
    }
    std::printf("events rounds=%d rss_start_MB=%.1f rss_peak_MB=%.1f rss_end_MB=%.1f\n", rounds, start,
        peakResidentMegabytes(), residentMegabytes());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode != "starts" && mode != "soak" && mode != "events") {
        std::fprintf(stderr, "usage: %s starts [N] | soak [MINUTES] | events [ROUNDS]\n", argv[0]);
        return 2;
    }
    const int defaultCount = mode == "soak" ? kDefaultMinutes : mode == "events" ? kDefaultRounds : kDefaultStarts;
    const int count = argc > 2 ? std::atoi(argv[2]) : defaultCount;
    IndiSimulator simulator;
    if (!simulator.start() || !simulator.connectCamera() || !simulator.streamWithContent()) {
        std::fprintf(stderr, "indiserver with indi_simulator_ccd did not start\n");
        return 1;
    }
    if (mode == "events")
        return benchEvents(simulator, count);
    return mode == "soak" ? benchSoak(count) : benchStarts(count);
}
