// Fan-out benchmark of the MJPEG server: N loopback clients that read as fast
// as they can, pictures of several sizes, at an offered 30 pictures/s and at
// saturation next to a plain blocking send loop. Each configuration runs in a
// child process of its own, so that its peak resident memory is its own.
//
//   mjpeg_fanout [--seconds S] [--clients 1,10,100] [--bytes 50000,500000,2000000]

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

using Clock = std::chrono::steady_clock;

constexpr double kOfferedFps = 30.0;
constexpr double kWarmUpSeconds = 0.5;
constexpr double kDrainSeconds = 0.5;
constexpr std::size_t kReadBufferBytes = 1 << 20;
constexpr int kEpollWaitMs = 20;
constexpr std::size_t kStampBytes = 16;  // sequence number, then publish time in ns
constexpr int kWaitForClientsMs = 20000;
constexpr const char* kPath = "/jpg";

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

Clock::duration seconds(double value)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

struct Options {
    double seconds = 2.0;
    std::vector<int> clients = {1, 10, 100};
    std::vector<std::size_t> bytes = {50000, 500000, 2000000};
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
    }
    return options;
}

void raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

double peakResidentMegabytes()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

int connectLoopback(int port)
{
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(socket);
        return -1;
    }
    return socket;
}

// Follows one client's stream: the HTTP response header, then parts. Records
// each whole part's stamp when its last byte arrives.
struct StreamFollower {
    std::string header;
    bool response_seen = false;
    bool in_body = false;
    std::size_t body_left = 0;
    std::size_t body_read = 0;
    char stamp[kStampBytes] = {};
    std::uint64_t bytes = 0;
    std::vector<std::pair<std::int64_t, std::int64_t>> parts;  // publish ns, receipt ns

    void feed(const char* data, std::size_t length)
    {
        bytes += length;
        while (length > 0) {
            if (!in_body) {
                header.push_back(*data++);
                --length;
                if (header.size() >= 4 && header.compare(header.size() - 4, 4, "\r\n\r\n") == 0)
                    endHeader();
                continue;
            }
            const std::size_t taken = std::min(length, body_left);
            if (body_read < kStampBytes)
                std::memcpy(stamp + body_read, data, std::min(taken, kStampBytes - body_read));
            body_read += taken;
            body_left -= taken;
            data += taken;
            length -= taken;
            if (body_left == 0)
                endPart();
        }
    }

    void endHeader()
    {
        if (response_seen) {
            const std::size_t field = header.find("Content-Length: ");
            body_left = std::stoull(header.substr(field + 16));
            body_read = 0;
            in_body = true;
        }
        response_seen = true;
        header.clear();
    }

    void endPart()
    {
        std::int64_t published = 0;
        std::memcpy(&published, stamp + 8, sizeof published);
        parts.emplace_back(published, nowNs());
        in_body = false;
    }
};

// Reads every socket as fast as it can on one thread, handing the bytes to
// `consume(index, data, length)`.
template <typename Consume>
class Reader {
public:
    Reader(const std::vector<int>& sockets, Consume consume) : sockets_(sockets), consume_(consume)
    {
        epoll_ = ::epoll_create1(0);
        for (std::size_t i = 0; i < sockets_.size(); ++i) {
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.u64 = i;
            ::epoll_ctl(epoll_, EPOLL_CTL_ADD, sockets_[i], &event);
        }
        thread_ = std::thread([this] { run(); });
    }
    ~Reader()
    {
        stop_ = true;
        thread_.join();
        ::close(epoll_);
    }

private:
    void run()
    {
        std::vector<char> buffer(kReadBufferBytes);
        std::vector<epoll_event> events(sockets_.size());
        while (!stop_) {
            const int ready = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), kEpollWaitMs);
            for (int i = 0; i < ready; ++i) {
                const std::size_t index = events[static_cast<std::size_t>(i)].data.u64;
                const ssize_t received = ::recv(sockets_[index], buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (received > 0)
                    consume_(index, buffer.data(), static_cast<std::size_t>(received));
                else if (received == 0)
                    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, sockets_[index], nullptr);
            }
        }
    }

    std::vector<int> sockets_;
    Consume consume_;
    int epoll_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A picture of `bytes` bytes whose first bytes carry its number and the
// moment it is published.
std::string stampedPicture(const std::string& pattern, std::int64_t number)
{
    std::string picture = pattern;
    const std::int64_t published = nowNs();
    std::memcpy(&picture[0], &number, 8);
    std::memcpy(&picture[8], &published, 8);
    return picture;
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const std::size_t index = std::min(values.size() - 1, static_cast<std::size_t>(fraction * values.size()));
    return values[index];
}

// The server with `clients` stream connections open on it.
struct Setup {
    quelmor::MJPEGStreamer streamer;
    std::vector<int> sockets;
    std::string pattern;

    bool open(int clients, std::size_t bytes)
    {
        const int workers = static_cast<int>(std::thread::hardware_concurrency());
        if (!streamer.start(0, workers)) {
            std::fprintf(stderr, "start failed: %s\n", streamer.lastError().c_str());
            return false;
        }
        pattern.assign(std::max(bytes, kStampBytes), 'j');
        streamer.publish(kPath, pattern);
        const std::string request = std::string("GET ") + kPath + " HTTP/1.1\r\n\r\n";
        for (int i = 0; i < clients; ++i) {
            const int socket = connectLoopback(streamer.port());
            if (socket < 0 || ::send(socket, request.data(), request.size(), MSG_NOSIGNAL) < 0)
                return false;
            sockets.push_back(socket);
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitForClientsMs);
        while (streamer.streamClientCount() < static_cast<std::size_t>(clients)) {
            if (Clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    ~Setup()
    {
        streamer.stop();
        for (int socket : sockets)
            ::close(socket);
    }
};

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
    const double server = measureServer(options, clients, bytes);
    const double ceiling = measureCeiling(options, clients, bytes);
    std::printf("fanout clients=%d bytes=%zu mode=saturation agg_MBps=%.1f ceiling_MBps=%.1f ratio=%.2f "
                "rss_MB=%.1f\n",
        clients, bytes, server, ceiling, ceiling > 0 ? server / ceiling : 0.0, peakResidentMegabytes());
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
    raiseDescriptorLimit();
    for (const std::size_t bytes : options.bytes) {
        for (const int clients : options.clients) {
            inChild([&] { runOffered(options, clients, bytes); });
            inChild([&] { runSaturation(options, clients, bytes); });
        }
    }
    return 0;
}
