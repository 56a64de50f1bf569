// SPDX-License-Identifier: GPL-3.0-or-later
// The live feed over time, against indiserver with indi_simulator_ccd
// streaming (started here): needs ports 8080 and 7624, so run it inside a
// private network namespace.
//
//   live_soak starts [N]      N start calls (150), each until its first part:
//     starts n=... rss_first_MB=... rss_last_MB=... growth_MB=...
//   live_soak soak [MINUTES]  one feed for MINUTES (30), a line a minute:
//     soak minute=... blobs=... parts=... blob_gap_max_ms=... jpg_gap_max_ms=... rss_MB=...
// blob_gap is the longest time between two BLOBs reaching a second INDI
// client, run in a child process (two INDI clients in one process fragment
// its heap, and rss_MB is about the feed); jpg_gap the longest between two new
// pictures on "/jpg" (a repeat of the newest picture does not count).
#include "BlobRecorder.h"
#include "LiveTestSupport.h"

#include "service/Streamer.h"

#include <QCoreApplication>

#include <fcntl.h>
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

double residentMegabytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
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

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const bool soak = argc > 1 && std::strcmp(argv[1], "soak") == 0;
    if (argc < 2 || (!soak && std::strcmp(argv[1], "starts") != 0)) {
        std::fprintf(stderr, "usage: %s starts [N] | soak [MINUTES]\n", argv[0]);
        return 2;
    }
    const int count = argc > 2 ? std::atoi(argv[2]) : (soak ? kDefaultMinutes : kDefaultStarts);
    IndiSimulator simulator;
    if (!simulator.start() || !simulator.connectCamera() || !simulator.streamWithContent()) {
        std::fprintf(stderr, "indiserver with indi_simulator_ccd did not start\n");
        return 1;
    }
    return soak ? benchSoak(count) : benchStarts(count);
}
