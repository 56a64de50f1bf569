// SPDX-License-Identifier: GPL-3.0-or-later
// Any bytes a client sends, in any pieces, go through the server's request
// handling as the listener drives it: gathering until the request is whole,
// parsing, routing and answering into one end of a socket pair. However the
// bytes come, a connection is answered at most once, and the answer starts
// with the server's own status line: no request bytes come back.
#include "mjpeg/Publisher.h"
#include "mjpeg/RequestHandler.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using quelmor::net::Publisher;
using quelmor::net::RequestHandler;

// A server without a network: the publisher knows the stream path "/jpg".
struct Server {
    Server() { startPublisher(); }
    // "/shutdown" stops the publisher; the next input finds it running again.
    void startPublisher()
    {
        publisher.start(1);
        publisher.enqueue("/jpg", "picture");
    }
    Publisher publisher;
    RequestHandler handler{publisher, "/shutdown"};
};

// Everything the handler wrote so far, read without waiting.
void drain(int socket, std::string& written)
{
    char chunk[4096];
    ssize_t received = 0;
    while ((received = ::recv(socket, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
        written.append(chunk, static_cast<std::size_t>(received));
}

std::size_t countOf(const std::string& text, const std::string& piece)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

// Status lines: the handler writes a version of its own, never the
// request's, so these texts come only from its answers.
std::size_t answersIn(const std::string& written)
{
    return countOf(written, "HTTP/1.1 ") + countOf(written, "HTTP/1.0 ");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Server server;
    if (server.publisher.isStopRequested())
        server.startPublisher();
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair) != 0)
        return 0;
    // The first byte sets the size of the pieces, as reads of a network would,
    // and with its lowest bit whether the peer is on this machine.
    const std::size_t piece_bytes = size == 0 ? 1 : 1 + (data[0] >> 1);
    const bool peer_is_loopback = size != 0 && (data[0] & 1) != 0;
    const std::string bytes(reinterpret_cast<const char*>(data) + (size == 0 ? 0 : 1), size == 0 ? 0 : size - 1);
    std::string written;
    std::size_t at = 0;
    do {
        const std::string piece = bytes.substr(at, piece_bytes);
        at += piece.size();
        const auto result = server.handler.onBytes(pair[0], piece, peer_is_loopback);
        drain(pair[1], written);
        if (result.close_connection || result.stop_listener)
            break;
    } while (at < bytes.size());
    server.handler.forget(pair[0]);
    server.publisher.removeClient(pair[0]);
    ::close(pair[0]);
    drain(pair[1], written);
    ::close(pair[1]);
    // At most one answer, and nothing before its own status line.
    if (answersIn(written) > 1 || (!written.empty() && written.rfind("HTTP/1.", 0) != 0))
        std::abort();
    return 0;
}
