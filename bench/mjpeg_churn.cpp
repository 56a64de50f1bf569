// SPDX-License-Identifier: GPL-3.0-or-later
// Churn and soak benchmarks of the MJPEG server on loopback.
//
//   mjpeg_churn churn [--seconds 60] [--clients 200] [--bytes 200000] [--churners 2]
//     `clients` stream clients at 30 pictures/s while `churners` threads
//     connect, send a request (viewer, stream, unknown path, half a request
//     line), read a little and disconnect, as fast as they can.
//   mjpeg_churn soak [--minutes 10] [--clients 10] [--bytes 200000]
//     `clients` stream clients at 30 pictures/s, one viewer request a second,
//     a line per minute with the resident memory.
//
// Resident memory is the whole process's: server and clients together.

#include "LoopbackStreams.h"

#include <poll.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using bench::Clock;
using bench::nowNs;
using bench::seconds;

constexpr double kOfferedFps = 30.0;
constexpr int kChurnReadTimeoutMs = 1000;

struct Options {
    std::string mode = "churn";
    double seconds = 60.0;
    double minutes = 10.0;
    int clients = -1;
    std::size_t bytes = 200000;
    int churners = 2;
};

Options parseOptions(int argc, char** argv)
{
    Options options;
    if (argc > 1)
        options.mode = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--seconds")
            options.seconds = std::atof(value);
        else if (name == "--minutes")
            options.minutes = std::atof(value);
        else if (name == "--clients")
            options.clients = std::atoi(value);
        else if (name == "--bytes")
            options.bytes = static_cast<std::size_t>(std::atoll(value));
        else if (name == "--churners")
            options.churners = std::atoi(value);
    }
    if (options.clients < 0)
        options.clients = options.mode == "soak" ? 10 : 200;
    return options;
}

// Resident memory now, from /proc/self/statm.
double residentMegabytes()
{
    long pages = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// One connection's life: connect, one request, a little of the answer, close.
bool churnOnce(int port, int kind)
{
    static const char* const kRequests[] = {
        "GET /viewer HTTP/1.1\r\n\r\n",
        "GET /jpg HTTP/1.1\r\nHost: localhost\r\n\r\n",
        "GET /nothing HTTP/1.1\r\n\r\n",
        "GET /vie",
    };
    const int socket = bench::connectLoopback(port);
    if (socket < 0)
        return false;
    const std::string request = kRequests[kind % 4];
    bool answered = ::send(socket, request.data(), request.size(), MSG_NOSIGNAL) > 0;
    if (answered && kind % 4 != 3) {
        pollfd entry{socket, POLLIN, 0};
        char buffer[4096];
        answered = ::poll(&entry, 1, kChurnReadTimeoutMs) == 1 && ::recv(socket, buffer, sizeof buffer, 0) > 0;
    }
    ::close(socket);
    return answered;
}

// Publishes at 30 pictures/s until `end`, calling `each_second` once a second.
template <typename EachSecond>
void publishUntil(bench::Setup& setup, Clock::time_point end, EachSecond each_second)
{
    const Clock::duration interval = seconds(1.0 / kOfferedFps);
    std::int64_t number = 0;
    Clock::time_point next_second = Clock::now() + seconds(1.0);
    for (Clock::time_point next = Clock::now(); next < end; next += interval) {
        std::this_thread::sleep_until(next);
        setup.streamer.publish(bench::kPath, bench::stampedPicture(setup.pattern, number++));
        if (Clock::now() >= next_second) {
            each_second();
            next_second += seconds(1.0);
        }
    }
}

// Pictures each follower received per second of the window, the slowest one,
// and the 99th percentile of the delay from publish to last byte.
void streamFigures(const std::vector<bench::StreamFollower>& followers, std::int64_t from_ns, std::int64_t to_ns,
    double& fps_min, double& p99_ms)
{
    const double window_seconds = static_cast<double>(to_ns - from_ns) / 1e9;
    std::vector<double> latencies_ms;
    fps_min = 1e9;
    for (const bench::StreamFollower& follower : followers) {
        int received = 0;
        std::int64_t last_published = 0;
        for (const auto& [published, receipt] : follower.parts) {
            if (published < from_ns || published >= to_ns || published == last_published)
                continue;
            last_published = published;
            ++received;
            latencies_ms.push_back(static_cast<double>(receipt - published) / 1e6);
        }
        fps_min = std::min(fps_min, received / window_seconds);
    }
    p99_ms = bench::percentile(latencies_ms, 0.99);
}

void runChurn(const Options& options)
{
    bench::Setup setup;
    if (!setup.open(options.clients, options.bytes))
        return;
    std::vector<bench::StreamFollower> followers(static_cast<std::size_t>(options.clients));
    std::atomic<bool> churning{true};
    std::atomic<long> connects{0}, failures{0};
    const double rss_start = residentMegabytes();
    std::int64_t from_ns = 0, to_ns = 0;
    {
        bench::Reader reader(setup.sockets,
            [&](std::size_t index, const char* data, std::size_t length) { followers[index].feed(data, length); });
        std::vector<std::thread> churners;
        for (int i = 0; i < options.churners; ++i) {
            churners.emplace_back([&, i] {
                for (int kind = i; churning; ++kind) {
                    ++connects;
                    if (!churnOnce(setup.streamer.port(), kind))
                        ++failures;
                }
            });
        }
        from_ns = nowNs();
        publishUntil(setup, Clock::now() + seconds(options.seconds), [] {});
        to_ns = nowNs();
        churning = false;
        for (std::thread& churner : churners)
            churner.join();
        std::this_thread::sleep_for(seconds(0.5));
    }
    double fps_min = 0, p99_ms = 0;
    streamFigures(followers, from_ns, to_ns, fps_min, p99_ms);
    std::printf("churn clients=%d connects_per_s=%.0f failed=%ld fps_min=%.1f p99_ms=%.2f rss_start_MB=%.1f "
                "rss_end_MB=%.1f alive=%d\n",
        options.clients, static_cast<double>(connects) / options.seconds, failures.load(), fps_min, p99_ms, rss_start,
        residentMegabytes(), setup.streamer.isAlive() ? 1 : 0);
}

void runSoak(const Options& options)
{
    bench::Setup setup;
    if (!setup.open(options.clients, options.bytes))
        return;
    std::vector<bench::StreamFollower> followers(static_cast<std::size_t>(options.clients));
    std::mutex followers_mutex;  // the reader thread feeds them while the minute lines read them
    bench::Reader reader(setup.sockets, [&](std::size_t index, const char* data, std::size_t length) {
        std::lock_guard<std::mutex> lock(followers_mutex);
        followers[index].feed(data, length);
    });
    std::printf("soak minute=0 rss_MB=%.1f\n", residentMegabytes());
    std::fflush(stdout);
    const int minutes = static_cast<int>(options.minutes);
    long viewer_failures = 0;
    for (int minute = 1; minute <= minutes; ++minute) {
        const std::int64_t from_ns = nowNs();
        publishUntil(setup, Clock::now() + seconds(60.0), [&] {
            if (!churnOnce(setup.streamer.port(), 0))
                ++viewer_failures;
        });
        // The reader thread appends parts meanwhile; figures are read after a
        // short drain, when nothing of this minute is still in flight.
        std::this_thread::sleep_for(seconds(0.2));
        double fps_min = 0, p99_ms = 0;
        {
            std::lock_guard<std::mutex> lock(followers_mutex);
            streamFigures(followers, from_ns, nowNs() - 200000000, fps_min, p99_ms);
            // Forgotten once counted, so the memory lines show the server's
            // growth rather than this record's.
            for (bench::StreamFollower& follower : followers)
                std::vector<std::pair<std::int64_t, std::int64_t>>().swap(follower.parts);
        }
        std::printf("soak minute=%d rss_MB=%.1f fps_min=%.1f p99_ms=%.2f viewer_failures=%ld alive=%d\n", minute,
            residentMegabytes(), fps_min, p99_ms, viewer_failures, setup.streamer.isAlive() ? 1 : 0);
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const Options options = parseOptions(argc, argv);
    bench::raiseDescriptorLimit();
    if (options.mode == "soak")
        runSoak(options);
    else
        runChurn(options);
    return 0;
}
