// SPDX-License-Identifier: GPL-3.0-or-later
#include "mjpeg/RequestHandler.h"

#include "mjpeg/HttpRequest.h"
#include "mjpeg/HttpResponse.h"
#include "mjpeg/SocketWriter.h"
#include "mjpeg/ViewerPage.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quelmor::net {

namespace {

// A response is a few hundred bytes into an idle socket; a peer that cannot
// take it within this time loses the connection.
constexpr int kResponseStallTimeoutMs = 1000;

constexpr const char* kViewerTarget = "/viewer";
constexpr const char* kStatusTarget = "/status";
constexpr const char* kSnapshotTarget = "/snapshot";
// The stream whose latest picture a snapshot is.
constexpr const char* kSnapshotPath = "/jpg";
constexpr const char* kWidthKey = "width";
// Wider than any sensor; a longer number is no width at all.
constexpr std::size_t kMaxWidthDigits = 6;
constexpr const char* kNoCaching = "no-cache, no-store, must-revalidate, pre-check=0, post-check=0, max-age=0";

// Answers in the request's version when it is one the server speaks; never
// copies the request's own bytes into the answer.
HttpResponse makeResponse(const HttpRequest& request, int status_code, const char* reason)
{
    HttpResponse response;
    response.version = request.version == "HTTP/1.0" ? "HTTP/1.0" : "HTTP/1.1";
    response.status_code = status_code;
    response.reason = reason;
    return response;
}

// The width a viewer asked for with "?width=N"; 0 (full size) for none and
// for anything but a positive decimal number, since a stream client cannot
// show an error page.
std::int32_t requestedWidth(const HttpRequest& request)
{
    const std::optional<std::string_view> value = request.queryValue(kWidthKey);
    if (!value || value->empty() || value->size() > kMaxWidthDigits ||
        !std::all_of(value->begin(), value->end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    return static_cast<std::int32_t>(std::stoi(std::string(*value)));
}

// The head of a 200 answer that carries pictures: never cached, and the
// connection closed after it, as MJPEG clients expect.
HttpResponse uncachedPictureResponse(const HttpRequest& request, const char* content_type)
{
    HttpResponse response = makeResponse(request, 200, "OK");
    response.setHeader("Content-Type", content_type);
    response.setHeader("Pragma", "no-cache");
    response.setHeader("Cache-Control", kNoCaching);
    response.setHeader("Connection", "close");
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

// The host[:port] of an absolute URL such as an Origin or Referer; empty for
// anything else ("null" among them).
std::string_view urlAuthority(std::string_view url)
{
    constexpr std::string_view kSchemeEnd = "://";
    const std::size_t scheme_end = url.find(kSchemeEnd);
    if (scheme_end == std::string_view::npos)
        return {};
    const std::string_view rest = url.substr(scheme_end + kSchemeEnd.size());
    return rest.substr(0, rest.find_first_of("/?#"));
}

// Whether `port` is empty or a port after its colon, as a Host value may end.
bool isPortSuffix(std::string_view port)
{
    constexpr std::size_t kMostPortDigits = 5;
    return port.empty() ||
        (port.front() == ':' && port.size() <= 1 + kMostPortDigits &&
            std::all_of(port.begin() + 1, port.end(), [](char c) { return c >= '0' && c <= '9'; }));
}

// Whether `address` is an IPv4 address in 127.0.0.0/8 or the IPv6 loopback.
bool isLoopbackAddress(std::string_view address, bool ipv6)
{
    if (address.find('\0') != std::string_view::npos)
        return false;
    const std::string text(address);
    in6_addr v6{};
    in_addr v4{};
    if (ipv6)
        return ::inet_pton(AF_INET6, text.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
    return ::inet_pton(AF_INET, text.c_str(), &v4) == 1 && ntohl(v4.s_addr) >> 24 == IN_LOOPBACKNET;
}

// Whether a Host value names this machine: "localhost", 127.0.0.0/8 or
// [::1], each with or without a port. A page whose own name an attacker
// points at 127.0.0.1 (DNS rebinding) sends that name, not one of these.
bool isLoopbackHost(std::string_view host)
{
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        return close != std::string_view::npos && isPortSuffix(host.substr(close + 1)) &&
            isLoopbackAddress(host.substr(1, close - 1), true);
    }
    const std::size_t colon = std::min(host.find(':'), host.size());
    const std::string_view name = host.substr(0, colon);
    return isPortSuffix(host.substr(colon)) &&
        (equalsIgnoringCase(name, "localhost") || isLoopbackAddress(name, false));
}

// Whether a browser made the request for a page of another site, such as an
// <img> pointing here: the browser names the page in these headers, which
// curl and local tools do not send.
bool fromAnotherSite(const HttpRequest& request)
{
    const std::string* site = request.header("Sec-Fetch-Site");
    if (site && *site != "none" && *site != "same-origin")
        return true;
    const std::string* host = request.header("Host");
    for (const char* name : {"Origin", "Referer"}) {
        const std::string* url = request.header(name);
        if (!url)
            continue;
        const std::string_view authority = urlAuthority(*url);
        if (authority.empty() || !host || !equalsIgnoringCase(authority, *host))
            return true;
    }
    return false;
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

    // Two Hosts could name two machines to two readers (RFC 9112 asks for 400).
    if (request.headerCount("Host") > 1) {
        sendResponse(socket, makeResponse(request, 400, "Bad Request"));
        return {true, false};
    }

    if (request.target == shutdown_target_) {
        // The server listens on every interface: any viewer on the network
        // could otherwise stop the stream for everyone, and so could any web
        // page open in a browser on this machine, its own or one whose name
        // now leads here.
        const std::string* host = request.header("Host");
        if (!peer_is_loopback || !host || !isLoopbackHost(*host) || fromAnotherSite(request)) {
            sendResponse(socket, makeResponse(request, 403, "Forbidden"));
            return {true, false};
        }
        sendResponse(socket, makeResponse(request, 200, "OK"));
        publisher_.stop();
        return {false, true};
    }

    const std::string path(request.path());
    if (path == kViewerTarget) {
        HttpResponse response = makeResponse(request, 200, "OK");
        response.setHeader("Content-Type", "text/html");
        response.body = kViewerPage;
        sendResponse(socket, response);
        return {true, false};
    }

    if (path == kStatusTarget && request.method == "GET" && status_source_) {
        HttpResponse response = makeResponse(request, 200, "OK");
        response.setHeader("Content-Type", "application/json");
        response.setHeader("Cache-Control", kNoCaching);
        response.body = status_source_();
        response.setHeader("Content-Length", std::to_string(response.body.size()));
        sendResponse(socket, response);
        return {true, false};
    }

    if (path == kSnapshotTarget && request.method == "GET")
        return answerSnapshot(socket, request);

    if (request.method == "GET") {
        if (!publisher_.hasPath(path)) {
            sendResponse(socket, makeResponse(request, 404, "Not Found"));
            return {true, false};
        }
        const HttpResponse response =
            uncachedPictureResponse(request, "multipart/x-mixed-replace; boundary=quelmormjpegstreamer");
        if (!sendResponse(socket, response))
            return {true, false};
        streams_.insert(socket);
        // A stream the publisher cannot serve would hang for ever: close it.
        if (!publisher_.isStopRequested() && !publisher_.addClient(socket, path, requestedWidth(request)))
            return {true, false};
        return {false, false};
    }

    sendResponse(socket, makeResponse(request, 405, "Method Not Allowed"));
    return {true, false};
}

MessageResult RequestHandler::answerSnapshot(int socket, const HttpRequest& request)
{
    if (!publisher_.hasPicture(kSnapshotPath)) {
        HttpResponse response = makeResponse(request, 503, "Service Unavailable");
        response.setHeader("Retry-After", "1");
        response.setHeader("Content-Length", "0");
        sendResponse(socket, response);
        return {true, false};
    }
    std::string head = uncachedPictureResponse(request, "image/jpeg").serialize();
    // The publisher adds Content-Length and the blank line once the picture is made.
    head.resize(head.size() - std::strlen("\r\n"));
    if (!publisher_.addClient(socket, kSnapshotPath, requestedWidth(request), std::move(head)))
        return {true, false};
    // Whatever it sends now is discarded: the answer is the publisher's.
    streams_.insert(socket);
    return {false, false};
}

}  // namespace quelmor::net
