// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "TestSupport.h"

#include "mjpeg/UniqueFd.h"

#include <string>

namespace quelmor::test {

// A blocking TCP client on 127.0.0.1 for tests. Every read has a deadline, so
// a server that stays silent fails the test instead of hanging it.
class LoopbackClient {
public:
    // Connects to 127.0.0.1:port; receive_buffer_bytes > 0 shrinks the
    // receive buffer before connecting; a source_address (a local IPv4
    // address) is bound to first, so the server sees the peer it names.
    explicit LoopbackClient(int port, int receive_buffer_bytes = 0, const std::string& source_address = {});
    // Takes over a connected socket, such as one end of a socketpair.
    explicit LoopbackClient(net::UniqueFd connected) : socket_(std::move(connected)) { }

    bool isConnected() const { return socket_.isValid(); }

    bool send(const std::string& bytes);
    // Reads until `count` bytes have arrived; fewer on time-out or end of stream.
    std::string read(std::size_t count, int timeout_ms);
    // Reads until the server closes the connection or timeout_ms passes.
    std::string readUntilClosed(int timeout_ms);
    // True once a read has met the end of the stream.
    bool sawEndOfStream() const { return end_of_stream_; }
    // Reads one multipart part and returns its picture; on a malformed part,
    // time-out or end of stream returns false and says why in `error`.
    bool readPart(std::string& picture, std::string& error, int timeout_ms);
    // Reads the next part that differs from `previous`, passing over every
    // copy of it: the server sends a picture that stays newest once more after
    // a short while and then once a second. All within timeout_ms.
    bool readPartAfter(const std::string& previous, std::string& picture, std::string& error, int timeout_ms);
    // readPart and readPartAfter for a single check: the picture, or on
    // failure "<no part: ...>" saying why.
    std::string nextPart(int timeout_ms = kWaitTimeoutMs);
    std::string nextPartAfter(const std::string& previous, int timeout_ms = kWaitTimeoutMs);
    // Makes every later read take chunk_bytes (less only when no more has
    // arrived) after a pause, like a client on a slow link.
    void throttle(std::size_t chunk_bytes, int pause_ms);
    // Shuts the sending side: the server reads the end of the stream.
    void halfClose();
    // Closes with a reset instead of an orderly shutdown.
    void resetConnection();
    void close() { socket_.reset(); }

private:
    bool fill(std::size_t count, long long deadline_ms);

    net::UniqueFd socket_;
    std::string pending_;
    bool end_of_stream_ = false;
    std::size_t chunk_limit_bytes_ = 0;  // 0: no limit
    int pause_ms_ = 0;
};

// Sends one request on a new connection, from `source` when given, and
// returns the whole answer of a server that closes the connection after
// answering; "<connection left open>" ends it when the server did not.
std::string exchange(int port, const std::string& request, const std::string& source = {});

}  // namespace quelmor::test
