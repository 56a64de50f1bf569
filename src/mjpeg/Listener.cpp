// SPDX-License-Identifier: GPL-3.0-or-later
#include "mjpeg/Listener.h"

#include "mjpeg/UniqueFd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <iostream>

namespace quelmor::net {

namespace {

constexpr int kPollTimeoutMs = 100;
// Without a free descriptor accept fails at once while the connection waits
// in the backlog; polling the listening socket would spin, so it rests.
constexpr std::chrono::milliseconds kAcceptBackoff{100};
constexpr int kListenBacklog = 4096;
constexpr std::size_t kReadBufferBytes = 4096;
// A peer that sends more than this without pausing is cut off instead of
// growing the message without limit; no request we answer comes near it.
constexpr std::size_t kMaxMessageBytes = 64 * 1024;
constexpr int kMaxPort = 65535;
constexpr const char* kListenAddress = "0.0.0.0";
constexpr const char* kThreadName = "quelmor-listen";
constexpr auto kNoDeadline = std::chrono::steady_clock::time_point::max();

using Clock = std::chrono::steady_clock;

// accept failed for want of descriptors or memory, which closing
// connections gives back: worth waiting for, not a reason to end.
bool isResourceShortage(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// The peer is this machine itself: 127.0.0.0/8, ::1 or an IPv4-mapped
// 127.x.y.z. The listening socket is IPv4; the IPv6 forms keep the rule whole
// should it ever accept both families.
bool isLoopback(const sockaddr_storage& peer)
{
    if (peer.ss_family == AF_INET) {
        const in_addr& address = reinterpret_cast<const sockaddr_in&>(peer).sin_addr;
        return ntohl(address.s_addr) >> 24 == IN_LOOPBACKNET;
    }
    if (peer.ss_family == AF_INET6) {
        const in6_addr& address = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
        return IN6_IS_ADDR_LOOPBACK(&address) ||
            (IN6_IS_ADDR_V4MAPPED(&address) && address.s6_addr[12] == IN_LOOPBACKNET);
    }
    return false;
}

// Error text of a failed set-up step, with errno of the failed call.
std::string setupFailure(const char* step)
{
    return std::string(step) + " - Error Code: " + std::to_string(errno);
}

bool setSocketNonblock(int socket)
{
    int enable = 1;
    return ::ioctl(socket, FIONBIO, &enable) == 0;
}

int localPort(int socket)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    return ntohs(address.sin_port);
}

}  // namespace

Listener::~Listener()
{
    stop();
}

void Listener::setOnMessageCallback(MessageCallback callback)
{
    on_message_cb = std::move(callback);
}

void Listener::setOnBeforeCloseCallback(BeforeCloseCallback callback)
{
    on_before_close_cb = std::move(callback);
}

void Listener::start(int port)
{
    if (thread_.joinable()) {
        if (!hasFinished())
            return;  // still serving: starting twice is the caller's mistake
        thread_.join();
    }
    {
        std::lock_guard<std::mutex> lock(error_mutex_);
        last_error_.clear();
    }
    finished_ = false;
    stop_requested_ = false;
    thread_ = std::thread([this, port] {
        pthread_setname_np(pthread_self(), kThreadName);
        run(port);
    });
}

void Listener::stop()
{
    stop_requested_ = true;
    if (thread_.joinable())
        thread_.join();
}

std::string Listener::lastError() const
{
    std::lock_guard<std::mutex> lock(error_mutex_);
    return last_error_;
}

void Listener::run(int port)
{
    setState(utils::RunState::starting);
    finished_ = false;
    if (!on_message_cb) {
        endRun("not setting on_message_cb");
        return;
    }
    if (!on_before_close_cb) {
        endRun("not setting on_before_close_cb");
        return;
    }
    const std::string setup_error = openListenSocket(port);
    if (!setup_error.empty()) {
        // A failed set-up leaves the state where it was; only the error tells.
        std::lock_guard<std::mutex> lock(error_mutex_);
        last_error_ = setup_error;
        finished_ = true;
        return;
    }
    std::vector<char> buffer(kReadBufferBytes);
    setState(utils::RunState::running);
    std::string error;
    while (!stop_requested_ && error.empty())
        error = servePass(buffer);
    endRun(error);
}

std::string Listener::openListenSocket(int port)
{
    if (::signal(SIGPIPE, SIG_IGN) == SIG_ERR)
        return setupFailure("initSocket() failed");
    UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.isValid())
        return setupFailure("createSocket() failed");
    int enable = 1;
    if (::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &enable, sizeof enable) != 0)
        return setupFailure("setSocketReuseAddress() failed");
    if (!setSocketNonblock(socket.get()))
        return setupFailure("setSocketNonblock() failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, kListenAddress, &address.sin_addr) < 1)
        return setupFailure("inet_pton() failed");
    if (port < 0 || port > kMaxPort) {
        errno = EINVAL;  // htons would silently bind another port
        return setupFailure("bindSocket() failed");
    }
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return setupFailure("bindSocket() failed");
    if (::listen(socket.get(), kListenBacklog) != 0)
        return setupFailure("listenOnSocket() failed");
    bound_port_ = localPort(socket.get());
    listen_socket_ = socket.release();
    poll_set_.clear();
    connections_.clear();
    descriptors_exhausted_ = false;
    accept_paused_ = false;
    addEntry(listen_socket_, POLLRDNORM, kNoDeadline, false);
    return {};
}

std::string Listener::servePass(std::vector<char>& buffer)
{
    resumeAcceptingWhenDue();
    const int ready = ::poll(poll_set_.data(), poll_set_.size(), pollTimeoutMs());
    if (ready == -1)
        return errno == EINTR ? std::string() : std::string("pollSockets() failed");
    if (ready == 0) {
        closeOverdueConnections();
        removeClosedEntries();
        return {};
    }
    // Connections accepted during this pass are first polled in the next one.
    const std::size_t count = poll_set_.size();
    for (std::size_t i = 0; i < count; ++i) {
        const short revents = poll_set_[i].revents;
        if (revents == 0)
            continue;
        if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
            closeEntry(i);
            continue;
        }
        if (revents != POLLRDNORM)
            return "revents != POLLRDNORM";
        if (poll_set_[i].fd == listen_socket_) {
            std::string error = acceptConnections();
            if (!error.empty())
                return error;
        } else {
            readConnection(i, buffer);
        }
    }
    closeOverdueConnections();
    removeClosedEntries();
    return {};
}

std::string Listener::acceptConnections()
{
    for (;;) {
        sockaddr_storage peer{};
        socklen_t peer_length = sizeof peer;
        UniqueFd connection(::accept4(listen_socket_, reinterpret_cast<sockaddr*>(&peer), &peer_length, SOCK_CLOEXEC));
        if (!connection.isValid()) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                descriptors_exhausted_ = false;
                return {};
            }
            // A signal or a peer that gave up before we got to it costs nothing.
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (isResourceShortage(errno)) {
                pauseAccepting();
                return {};
            }
            return "accept() failed";
        }
        if (!setSocketNonblock(connection.get()))
            return setupFailure("setSocketNonblock() failed");
        addEntry(connection.release(), POLLRDNORM, Clock::now() + request_timeout_, isLoopback(peer));
    }
}

void Listener::pauseAccepting()
{
    if (!descriptors_exhausted_) {
        // Written by one write(2) that needs no descriptor of its own (the
        // sanitizers' checks inside iostreams open a pipe).
        const std::string report = "accept() failed - Error Code: " + std::to_string(errno) +
            "; accepting again every " + std::to_string(kAcceptBackoff.count()) + " ms\n";
        [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, report.data(), report.size());
        descriptors_exhausted_ = true;
    }
    accept_paused_ = true;
    accept_resume_at_ = Clock::now() + kAcceptBackoff;
    poll_set_[0].events = 0;
}

void Listener::resumeAcceptingWhenDue()
{
    if (accept_paused_ && Clock::now() >= accept_resume_at_) {
        accept_paused_ = false;
        poll_set_[0].events = POLLRDNORM;
    }
}

int Listener::pollTimeoutMs() const
{
    if (!accept_paused_)
        return kPollTimeoutMs;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(accept_resume_at_ - Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, kPollTimeoutMs));
}

void Listener::readConnection(std::size_t index, std::vector<char>& buffer)
{
    const int socket = poll_set_[index].fd;
    std::string message;
    for (;;) {
        const ssize_t received = ::recv(socket, buffer.data(), buffer.size(), 0);
        if (received > 0) {
            if (message.size() + static_cast<std::size_t>(received) > kMaxMessageBytes) {
                closeEntry(index);
                return;
            }
            message.append(buffer.data(), static_cast<std::size_t>(received));
            continue;
        }
        if (received == 0) {
            // A peer may send its request and shut its side at once.
            handMessage(index, message, true);
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        std::cerr << "readFromSocket() failed" << std::endl;
        closeEntry(index);
        return;
    }
    handMessage(index, message, false);
}

void Listener::handMessage(std::size_t index, const std::string& message, bool peer_closed)
{
    MessageResult result{true, false};
    if (!peer_closed || !message.empty())
        result = on_message_cb(poll_set_[index].fd, message, connections_[index].peer_is_loopback);
    if (result.stop_listener)
        stop_requested_ = true;
    if (!result.request_pending)
        connections_[index].request_deadline = kNoDeadline;
    if (result.close_connection || peer_closed)
        closeEntry(index);
}

void Listener::closeOverdueConnections()
{
    const auto now = Clock::now();
    for (std::size_t i = 1; i < poll_set_.size(); ++i) {
        if (poll_set_[i].fd >= 0 && connections_[i].request_deadline <= now)
            closeEntry(i);
    }
}

void Listener::addEntry(int socket, short events, Clock::time_point request_deadline, bool peer_is_loopback)
{
    poll_set_.push_back({socket, events, 0});
    connections_.push_back({request_deadline, peer_is_loopback});
}

void Listener::closeEntry(std::size_t index)
{
    const int socket = poll_set_[index].fd;
    on_before_close_cb(socket);
    ::close(socket);
    if (socket == listen_socket_)
        listen_socket_ = -1;
    poll_set_[index].fd = -1;
    poll_set_marked_ = true;
}

void Listener::removeClosedEntries()
{
    if (!poll_set_marked_)
        return;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < poll_set_.size(); ++i) {
        if (poll_set_[i].fd == -1)
            continue;
        poll_set_[kept] = poll_set_[i];
        connections_[kept] = connections_[i];
        ++kept;
    }
    poll_set_.resize(kept);
    connections_.resize(kept);
    poll_set_marked_ = false;
}

void Listener::closeAll()
{
    for (std::size_t i = 0; i < poll_set_.size(); ++i) {
        if (poll_set_[i].fd >= 0)
            closeEntry(i);
    }
    poll_set_.clear();
    connections_.clear();
    poll_set_marked_ = false;
    listen_socket_ = -1;
}

void Listener::endRun(const std::string& error)
{
    setState(utils::RunState::stopping);
    closeAll();
    bound_port_ = -1;
    setState(utils::RunState::stopped);
    std::lock_guard<std::mutex> lock(error_mutex_);
    last_error_ = error;
    finished_ = true;
}

}  // namespace quelmor::net
