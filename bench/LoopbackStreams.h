// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Loopback stream clients shared by the MJPEG benchmarks: connecting, a
// follower that splits a stream into parts, an epoll reader thread, stamped
// pictures and percentiles.

#include "mjpeg/MJPEGStreamer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadBufferBytes = 1 << 20;
constexpr int kEpollWaitMs = 20;
constexpr std::size_t kStampBytes = 16;  // sequence number, then publish time in ns
constexpr int kWaitForClientsMs = 20000;
constexpr const char* kPath = "/jpg";

// Thousands of connections need more descriptors than the default soft limit.
inline void raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

inline std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

inline Clock::duration seconds(double value)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

inline int connectLoopback(int port)
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
inline std::string stampedPicture(const std::string& pattern, std::int64_t number)
{
    std::string picture = pattern;
    const std::int64_t published = nowNs();
    std::memcpy(&picture[0], &number, 8);
    std::memcpy(&picture[8], &published, 8);
    return picture;
}

inline double percentile(std::vector<double> values, double fraction)
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

}  // namespace bench
