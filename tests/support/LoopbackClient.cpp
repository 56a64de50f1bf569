// SPDX-License-Identifier: GPL-3.0-or-later
#include "LoopbackClient.h"

#include "StreamFormat.h"
#include "TestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

namespace quelmor::test {

namespace {

constexpr std::size_t kMaxLengthDigits = 20;
constexpr std::size_t kReadChunkBytes = 64 * 1024;

}  // namespace

LoopbackClient::LoopbackClient(int port, int receive_buffer_bytes, const std::string& source_address)
{
    net::UniqueFd socket(::socket(AF_INET, SOCK_STREAM, 0));
    if (!socket.isValid())
        return;
    if (receive_buffer_bytes > 0)
        ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVBUF, &receive_buffer_bytes, sizeof receive_buffer_bytes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (!source_address.empty() &&
        (::inet_pton(AF_INET, source_address.c_str(), &address.sin_addr) != 1 ||
            ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0))
        return;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return;
    socket_ = std::move(socket);
}

bool LoopbackClient::send(const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t result = ::send(socket_.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (result < 0 && errno == EINTR)
            continue;
        if (result <= 0)
            return false;
        sent += static_cast<std::size_t>(result);
    }
    return true;
}

bool LoopbackClient::fill(std::size_t count, long long deadline_ms)
{
    char chunk[kReadChunkBytes];
    while (pending_.size() < count && !end_of_stream_) {
        const long long left = deadline_ms - nowMs();
        if (left <= 0)
            return false;
        pollfd entry{socket_.get(), POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left));
        if (ready <= 0)
            continue;
        std::size_t wanted = std::min(sizeof chunk, count - pending_.size());
        if (chunk_limit_bytes_ > 0) {
            // A slow link delivers whole chunks whatever the reader parses: a
            // part header read a byte per pause would starve the server.
            wanted = std::min(sizeof chunk, chunk_limit_bytes_);
            std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms_));
        }
        const ssize_t received = ::recv(socket_.get(), chunk, wanted, 0);
        if (received > 0)
            pending_.append(chunk, static_cast<std::size_t>(received));
        else if (received == 0 || errno != EINTR)
            end_of_stream_ = true;
    }
    return pending_.size() >= count;
}

std::string LoopbackClient::read(std::size_t count, int timeout_ms)
{
    fill(count, nowMs() + timeout_ms);
    const std::size_t taken = std::min(count, pending_.size());
    std::string bytes = pending_.substr(0, taken);
    pending_.erase(0, taken);
    return bytes;
}

std::string LoopbackClient::readUntilClosed(int timeout_ms)
{
    fill(static_cast<std::size_t>(-1), nowMs() + timeout_ms);
    return std::exchange(pending_, std::string());
}

bool LoopbackClient::readPart(std::string& picture, std::string& error, int timeout_ms)
{
    const long long deadline = nowMs() + timeout_ms;
    const std::string& prefix = kPartPrefix;
    if (!fill(prefix.size(), deadline)) {
        error = "no part header within the time-out (" + std::to_string(pending_.size()) + " bytes)";
        return false;
    }
    if (pending_.compare(0, prefix.size(), prefix) != 0) {
        error = "part does not start with the part header: " + pending_.substr(0, prefix.size());
        return false;
    }
    std::size_t end = std::string::npos;
    while ((end = pending_.find("\r\n\r\n", prefix.size())) == std::string::npos) {
        if (pending_.size() > prefix.size() + kMaxLengthDigits + 4 || !fill(pending_.size() + 1, deadline)) {
            error = "part header does not end";
            return false;
        }
    }
    const std::string digits = pending_.substr(prefix.size(), end - prefix.size());
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
        error = "bad Content-Length: " + digits;
        return false;
    }
    const std::size_t length = std::stoull(digits);
    const std::size_t body_start = end + 4;
    if (!fill(body_start + length, deadline)) {
        error = "short part body: " + std::to_string(pending_.size() - body_start) + " of " + std::to_string(length);
        return false;
    }
    picture = pending_.substr(body_start, length);
    pending_.erase(0, body_start + length);
    return true;
}

bool LoopbackClient::readPartAfter(
    const std::string& previous, std::string& picture, std::string& error, int timeout_ms)
{
    const long long deadline = nowMs() + timeout_ms;
    do {
        if (!readPart(picture, error, static_cast<int>(std::max(0LL, deadline - nowMs()))))
            return false;
    } while (picture == previous);
    return true;
}

std::string LoopbackClient::nextPart(int timeout_ms)
{
    std::string picture, error;
    return readPart(picture, error, timeout_ms) ? picture : "<no part: " + error + ">";
}

std::string LoopbackClient::nextPartAfter(const std::string& previous, int timeout_ms)
{
    std::string picture, error;
    return readPartAfter(previous, picture, error, timeout_ms) ? picture : "<no part: " + error + ">";
}

void LoopbackClient::throttle(std::size_t chunk_bytes, int pause_ms)
{
    chunk_limit_bytes_ = chunk_bytes;
    pause_ms_ = pause_ms;
}

void LoopbackClient::halfClose()
{
    ::shutdown(socket_.get(), SHUT_WR);
}

void LoopbackClient::resetConnection()
{
    linger option{1, 0};
    ::setsockopt(socket_.get(), SOL_SOCKET, SO_LINGER, &option, sizeof option);
    socket_.reset();
}

std::string exchange(int port, const std::string& request, const std::string& source)
{
    LoopbackClient client(port, 0, source);
    if (!client.send(request))
        return "<send failed>";
    std::string answer = client.readUntilClosed(kWaitTimeoutMs);
    return client.sawEndOfStream() ? answer : answer + "<connection left open>";
}

}  // namespace quelmor::test
