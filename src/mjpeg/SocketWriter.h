// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <sys/uio.h>

#include <functional>

namespace quelmor::net {

// Writing helpers for non-blocking sockets; stateless and callable from any
// thread. Every send uses MSG_NOSIGNAL, so a vanished peer yields an error
// rather than SIGPIPE.

// True when the socket reports exactly POLLWRNORM within timeout_ms.
bool waitUntilWritable(int socket, int timeout_ms);

// Sends every byte of parts[0..count) in order; whenever the socket is full
// it waits a little and tries again. Fails on a send error, when the socket
// took no byte for stall_timeout_ms, or as soon as should_abort (if set)
// returns true; the bytes written before a failure stay written. Modifies
// parts.
bool writeFully(
    int socket, iovec* parts, int count, int stall_timeout_ms, const std::function<bool()>& should_abort = {});

}  // namespace quelmor::net
