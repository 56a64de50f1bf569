// SPDX-License-Identifier: GPL-3.0-or-later
#include "mjpeg/SocketWriter.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace quelmor::net {

namespace {

// How often a writer blocked on a full socket tries the send again and looks
// at its abort condition.
constexpr int kRetryIntervalMs = 20;

using Clock = std::chrono::steady_clock;

// Polls for writability; EINTR restarts the wait. Returns poll's revents,
// or 0 on time-out or failure.
short pollWritable(int socket, int timeout_ms)
{
    pollfd entry{socket, POLLWRNORM, 0};
    int ready = 0;
    do {
        ready = ::poll(&entry, 1, timeout_ms);
    } while (ready == -1 && errno == EINTR);
    return ready == 1 ? entry.revents : 0;
}

bool shouldAbort(const std::function<bool()>& should_abort)
{
    return should_abort && should_abort();
}

// Drops `sent` bytes from the front of the message's buffers.
void consume(msghdr& message, size_t sent)
{
    while (message.msg_iovlen > 0 && sent >= message.msg_iov->iov_len) {
        sent -= message.msg_iov->iov_len;
        ++message.msg_iov;
        --message.msg_iovlen;
    }
    if (message.msg_iovlen > 0) {
        message.msg_iov->iov_base = static_cast<char*>(message.msg_iov->iov_base) + sent;
        message.msg_iov->iov_len -= sent;
    }
}

}  // namespace

bool waitUntilWritable(int socket, int timeout_ms)
{
    return pollWritable(socket, timeout_ms) == POLLWRNORM;
}

bool writeFully(int socket, iovec* parts, int count, int stall_timeout_ms, const std::function<bool()>& should_abort)
{
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = static_cast<size_t>(count);
    consume(message, 0);
    const auto stall_timeout = std::chrono::milliseconds(stall_timeout_ms);
    auto last_progress = Clock::now();
    while (message.msg_iovlen > 0) {
        if (shouldAbort(should_abort))
            return false;
        const ssize_t sent = ::sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            consume(message, static_cast<size_t>(sent));
            last_progress = Clock::now();
            continue;
        }
        if (sent == -1 && errno == EINTR)
            continue;
        if (sent == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A stall is no byte taken for stall_timeout. poll reports room
            // only once much of the send buffer is free, while a steady reader
            // frees a little at a time: so the send is retried after each
            // short wait, whatever poll says.
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(last_progress + stall_timeout - Clock::now());
            if (left.count() <= 0)
                return false;
            const short revents = pollWritable(socket, std::min<int>(kRetryIntervalMs, left.count()));
            if (revents & (POLLERR | POLLHUP | POLLNVAL))
                return false;
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace quelmor::net
