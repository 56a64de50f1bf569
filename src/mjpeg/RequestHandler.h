// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mjpeg/HttpRequest.h"
#include "mjpeg/MessageResult.h"
#include "mjpeg/Publisher.h"

#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace quelmor::net {

// The HTTP side of the server: gathers the bytes each connection sends until
// the blank line that ends a request's headers, then routes the request and
// answers it. A connection that received a stream response belongs to the
// publisher from then on: nothing else is ever written to it and whatever it
// sends is discarded.
//
// Threads: the listener thread alone calls onBytes and forget (the owner's
// handlers); the maps are touched by it only, so there is no lock. The
// publisher is reached through its own thread-safe calls.
class RequestHandler {
public:
    // A request whose headers do not end within this many bytes is refused by
    // closing its connection.
    static constexpr std::size_t kMaxRequestBytes = 64 * 1024;

    RequestHandler(Publisher& publisher, std::string shutdown_target);

    // The listener's on_message_cb: `bytes` is what one read pass collected;
    // only a peer on this machine itself, whose Host is a loopback name or
    // address, and no web page of another site open in a browser there, may
    // use the shutdown target. A request with two Hosts gets 400.
    MessageResult onBytes(int socket, const std::string& bytes, bool peer_is_loopback);
    // The connection is about to close: forget what it sent.
    void forget(int socket);
    // The JSON text of GET "/status"; set before the listener starts.
    void setStatusSource(std::function<std::string()> status) { status_source_ = std::move(status); }

private:
    // Answers one whole request on `socket`.
    MessageResult answer(int socket, const std::string& message, bool peer_is_loopback);
    // Hands the connection to the publisher for one picture of "/jpg", or
    // answers 503 before the first.
    MessageResult answerSnapshot(int socket, const HttpRequest& request);

    Publisher& publisher_;
    const std::string shutdown_target_;
    std::function<std::string()> status_source_;
    std::unordered_map<int, std::string> partial_requests_;  // socket -> bytes before the blank line
    std::unordered_set<int> streams_;                        // sockets that got a stream response
};

}  // namespace quelmor::net
