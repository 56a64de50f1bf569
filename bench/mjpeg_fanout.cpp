// SPDX-License-Identifier: GPL-3.0-or-later
// Fan-out benchmark of the MJPEG server: N loopback clients that read as fast
// as they can, pictures of several sizes, at an offered 30 pictures/s and at
// saturation next to a plain blocking send loop. Each configuration runs in a
// child process of its own, so that its peak resident memory is its own.
//
//   mjpeg_fanout [--seconds S] [--clients 1,10,100] [--bytes 50000,500000,2000000] [--runs N]
//                [--modes offered,saturation]
//
// With --runs N each saturation measurement is repeated N times, server and
// ceiling side by side, and the medians are printed as well.

#include "LoopbackStreams.h"
#include "mjpeg/MJPEGStreamer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using bench::Clock;
using bench::connectLoopback;
using bench::kStampBytes;
using bench::nowNs;
using bench::percentile;
using bench::Reader;
using bench::seconds;
using bench::stampedPicture;
using bench::StreamFollower;

constexpr double kOfferedFps = 30.0;
constexpr double kWarmUpSeconds = 0.5;
constexpr double kDrainSeconds = 0.5;
using bench::kPath;
using bench::Setup;

struct Options {
    double seconds = 2.0;
    std::vector<int> clients = {1, 10, 100};
    std::vector<std::size_t> bytes = {50000, 500000, 2000000};
    int runs = 1;
    bool offered = true;
    bool saturation = true;
};

template <typename T>
std::vector<T> parseList(const std::string& text)
{
    std::vector<T> values;
    std::istringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ','))
        values.push_back(static_cast<T>(std::stoll(item)));
    return values;
}

Options parseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--seconds")
            options.seconds = std::stod(argv[i + 1]);
        else if (name == "--clients")
            options.clients = parseList<int>(argv[i + 1]);
        else if (name == "--bytes")
            options.bytes = parseList<std::size_t>(argv[i + 1]);
        else if (name == "--runs")
            options.runs = std::max(1, std::stoi(argv[i + 1]));
        else if (name == "--modes") {
            const std::string modes = argv[i + 1];
            options.offered = modes.find("offered") != std::string::npos;
            options.saturation = modes.find("saturation") != std::string::npos;
        }
    }
    return options;
}

double peakResidentMegabytes()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void runOffered(const Options& options, int clients, std::size_t bytes)
{
    Setup setup;
    if (!setup.open(clients, bytes))
        return;
    std::vector<StreamFollower> followers(static_cast<std::size_t>(clients));
    std::int64_t window_start = 0, window_end = 0;
    int published_in_window = 0;
    {
        Reader reader(setup.sockets,
            [&](std::size_t index, const char* data, std::size_t length) { followers[index].feed(data, length); });
        const Clock::duration interval = seconds(1.0 / kOfferedFps);
        const Clock::time_point begin = Clock::now();
        const Clock::time_point warm_up_end = begin + seconds(kWarmUpSeconds);
        const Clock::time_point end = warm_up_end + seconds(options.seconds);
        std::int64_t number = 0;
        for (Clock::time_point next = begin; next < end; next += interval) {
            std::this_thread::sleep_until(next);
            if (window_start == 0 && Clock::now() >= warm_up_end)
                window_start = nowNs();
            if (window_start != 0)
                ++published_in_window;
            setup.streamer.publish(kPath, stampedPicture(setup.pattern, number++));
        }
        window_end = nowNs();
        std::this_thread::sleep_for(seconds(kDrainSeconds));
    }

    // Pictures published in the window, as seen by any client, set the scale.
    const double window_seconds = published_in_window / kOfferedFps;
    std::vector<double> fps, latencies_ms;
    for (const StreamFollower& follower : followers) {
        // A client that falls behind may get the newest picture twice; the
        // first arrival counts.
        int received = 0;
        std::int64_t last_published = 0;
        for (const auto& [published, receipt] : follower.parts) {
            if (published < window_start || published >= window_end || published == last_published)
                continue;
            last_published = published;
            ++received;
            latencies_ms.push_back(static_cast<double>(receipt - published) / 1e6);
        }
        fps.push_back(received / window_seconds);
    }
    double fps_sum = 0;
    for (double value : fps)
        fps_sum += value;
    std::printf("fanout clients=%d bytes=%zu mode=offered fps_min=%.1f fps_mean=%.1f p50_ms=%.2f p99_ms=%.2f "
                "rss_MB=%.1f\n",
        clients, bytes, *std::min_element(fps.begin(), fps.end()), fps_sum / static_cast<double>(clients),
        percentile(latencies_ms, 0.50), percentile(latencies_ms, 0.99), peakResidentMegabytes());
}

// Megabytes per second through the server while pictures are offered as fast
// as the clients take them.
double measureServer(const Options& options, int clients, std::size_t bytes)
{
    Setup setup;
    if (!setup.open(clients, bytes))
        return 0.0;
    std::atomic<std::uint64_t> received_bytes{0};
    Reader reader(setup.sockets, [&](std::size_t, const char*, std::size_t length) { received_bytes += length; });
    // Keep a new picture waiting for every client without copying pictures
    // faster than they can possibly leave.
    const auto publish_until = [&](Clock::time_point end) {
        std::int64_t number = 0;
        while (Clock::now() < end) {
            const std::uint64_t bytes_before = received_bytes.load();
            setup.streamer.publish(kPath, stampedPicture(setup.pattern, number++));
            const auto give_up = Clock::now() + std::chrono::milliseconds(2);
            while (received_bytes.load() - bytes_before < bytes * static_cast<std::size_t>(clients) / 2 &&
                Clock::now() < give_up)
                std::this_thread::yield();
        }
    };
    publish_until(Clock::now() + seconds(kWarmUpSeconds));
    const std::uint64_t start_bytes = received_bytes.load();
    const Clock::time_point start = Clock::now();
    publish_until(start + seconds(options.seconds));
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    return static_cast<double>(received_bytes.load() - start_bytes) / elapsed / 1e6;
}

// Megabytes per second of one thread sending the same picture with blocking
// sends to `clients` loopback connections in turn.
double measureCeiling(const Options& options, int clients, std::size_t bytes)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::listen(listener, clients);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::vector<int> readers, senders;
    for (int i = 0; i < clients; ++i) {
        readers.push_back(connectLoopback(ntohs(address.sin_port)));
        senders.push_back(::accept(listener, nullptr, nullptr));
    }
    ::close(listener);

    std::atomic<std::uint64_t> received_bytes{0};
    std::atomic<bool> stop{false};
    const std::string picture(bytes, 'c');
    double rate = 0.0;
    {
        Reader reader(readers, [&](std::size_t, const char*, std::size_t count) { received_bytes += count; });
        std::thread sender([&] {
            while (!stop) {
                for (int socket : senders) {
                    std::size_t sent = 0;
                    while (sent < picture.size()) {
                        const ssize_t result =
                            ::send(socket, picture.data() + sent, picture.size() - sent, MSG_NOSIGNAL);
                        if (result <= 0)
                            return;
                        sent += static_cast<std::size_t>(result);
                    }
                }
            }
        });
        std::this_thread::sleep_for(seconds(kWarmUpSeconds));
        const std::uint64_t start_bytes = received_bytes.load();
        const Clock::time_point start = Clock::now();
        std::this_thread::sleep_for(seconds(options.seconds));
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        rate = static_cast<double>(received_bytes.load() - start_bytes) / elapsed / 1e6;
        stop = true;
        for (int socket : senders)
            ::shutdown(socket, SHUT_RDWR);
        sender.join();
    }
    for (int socket : senders)
        ::close(socket);
    for (int socket : readers)
        ::close(socket);
    return rate;
}

void runSaturation(const Options& options, int clients, std::size_t bytes)
{
    std::vector<double> servers, ceilings, ratios;
    for (int run = 0; run < options.runs; ++run) {
        const double server = measureServer(options, clients, bytes);
        const double ceiling = measureCeiling(options, clients, bytes);
        const double ratio = ceiling > 0 ? server / ceiling : 0.0;
        std::printf("fanout clients=%d bytes=%zu mode=saturation agg_MBps=%.1f ceiling_MBps=%.1f ratio=%.2f "
                    "rss_MB=%.1f\n",
            clients, bytes, server, ceiling, ratio, peakResidentMegabytes());
        std::fflush(stdout);
        servers.push_back(server);
        ceilings.push_back(ceiling);
        ratios.push_back(ratio);
    }
    if (options.runs > 1)
        std::printf("fanout clients=%d bytes=%zu mode=saturation runs=%d median_agg_MBps=%.1f "
                    "median_ceiling_MBps=%.1f median_ratio=%.2f\n",
            clients, bytes, options.runs, percentile(servers, 0.5), percentile(ceilings, 0.5), percentile(ratios, 0.5));
}

// Runs `body` in a child process and waits for it.
template <typename Body>
void inChild(Body body)
{
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        body();
        std::fflush(stdout);
        ::_exit(0);
    }
    if (child > 0)
        ::waitpid(child, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv)
{
    const Options options = parseOptions(argc, argv);
    bench::raiseDescriptorLimit();
    for (const std::size_t bytes : options.bytes) {
        for (const int clients : options.clients) {
            if (options.offered)
                inChild([&] { runOffered(options, clients, bytes); });
            if (options.saturation)
                inChild([&] { runSaturation(options, clients, bytes); });
        }
    }
    return 0;
}
