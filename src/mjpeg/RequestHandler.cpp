// SPDX-License-Identifier: GPL-3.0-or-later
#include "mjpeg/RequestHandler.h"

#include "mjpeg/HttpRequest.h"
#include "mjpeg/HttpResponse.h"
#include "mjpeg/SocketWriter.h"

#include <sys/uio.h>

#include <utility>

namespace quelmor::net {

namespace {

// A response is a few hundred bytes into an idle socket; a peer that cannot
// take it within this time loses the connection.
constexpr int kResponseStallTimeoutMs = 1000;

constexpr const char* kViewerTarget = "/viewer";
constexpr const char* kViewerPage =
    "<!DOCTYPE html><html><head><style>body{margin:0;padding:0;overflow:hidden;background:#000;}"
    "img{width:100vw;height:100vh;object-fit:contain;}</style></head><body>"
    "<img src='/jpg' alt='MJPEG Stream'/></body></html>";

HttpResponse makeResponse(const HttpRequest& request, int status_code, const char* reason)
{
    HttpResponse response;
    response.version = request.version;
    response.status_code = status_code;
    response.reason = reason;
    return response;
}

// Hands the whole response to the connection; false if it could not be sent.
bool sendResponse(int socket, const HttpResponse& response)
{
    std::string text = response.serialize();
    iovec part{text.data(), text.size()};
    return writeFully(socket, &part, 1, kResponseStallTimeoutMs);
}

// True when `bytes`, searched from position `from` on, hold the blank line
// that ends a request's headers: "\r\n" or a bare "\n" after a line's "\n".
bool hasWholeRequest(const std::string& bytes, std::size_t from)
{
    return bytes.find("\n\r\n", from) != std::string::npos || bytes.find("\n\n", from) != std::string::npos;
}

}  // namespace

RequestHandler::RequestHandler(Publisher& publisher, std::string shutdown_target)
    : publisher_(publisher), shutdown_target_(std::move(shutdown_target))
{
}

MessageResult RequestHandler::onBytes(int socket, const std::string& bytes, bool peer_is_loopback)
{
    // A repeated request or stray bytes must never put an answer inside a part.
    if (streams_.count(socket) != 0)
        return {};
    std::string& gathered = partial_requests_[socket];
    // Only the new bytes and the two before them can complete the blank line,
    // so a request sent a byte at a time is not searched over and over.
    const std::size_t search_from = gathered.size() < 2 ? 0 : gathered.size() - 2;
    gathered += bytes;
    if (gathered.size() > kMaxRequestBytes) {
        partial_requests_.erase(socket);
        return {true, false};
    }
    if (!hasWholeRequest(gathered, search_from))
        return {false, false, true};
    const std::string message = std::move(gathered);
    partial_requests_.erase(socket);
    return answer(socket, message, peer_is_loopback);
}

void RequestHandler::forget(int socket)
{
    partial_requests_.erase(socket);
    streams_.erase(socket);
}

MessageResult RequestHandler::answer(int socket, const std::string& message, bool peer_is_loopback)
{
    const HttpRequest request = HttpRequest::parse(message);

    if (request.target == shutdown_target_) {
        // The server listens on every interface: any viewer on the network
        // could otherwise stop the stream for everyone.
        if (!peer_is_loopback) {
            sendResponse(socket, makeResponse(request, 403, "Forbidden"));
            return {true, false};
        }
        sendResponse(socket, makeResponse(request, 200, "OK"));
        publisher_.stop();
        return {false, true};
    }

    if (request.target == kViewerTarget) {
        HttpResponse response = makeResponse(request, 200, "OK");
        response.setHeader("Content-Type", "text/html");
        response.body = kViewerPage;
        sendResponse(socket, response);
        return {true, false};
    }

    if (request.method == "GET") {
        if (!publisher_.hasPath(request.target)) {
            sendResponse(socket, makeResponse(request, 404, "Not Found"));
            return {true, false};
        }
        HttpResponse response = makeResponse(request, 200, "OK");
        response.setHeader("Content-Type", "multipart/x-mixed-replace; boundary=quelmormjpegstreamer");
        response.setHeader("Pragma", "no-cache");
        response.setHeader(
            "Cache-Control", "no-cache, no-store, must-revalidate, pre-check=0, post-check=0, max-age=0");
        response.setHeader("Connection", "close");
        if (!sendResponse(socket, response))
            return {true, false};
        streams_.insert(socket);
        // A stream the publisher cannot serve would hang for ever: close it.
        if (!publisher_.isStopRequested() && !publisher_.addClient(socket, request.target))
            return {true, false};
        return {false, false};
    }

    sendResponse(socket, makeResponse(request, 405, "Method Not Allowed"));
    return {true, false};
}

}  // namespace quelmor::net
