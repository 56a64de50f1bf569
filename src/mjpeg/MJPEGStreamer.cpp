#include "mjpeg/MJPEGStreamer.h"

#include "mjpeg/HttpRequest.h"
#include "mjpeg/HttpResponse.h"
#include "mjpeg/SocketWriter.h"

#include <sys/uio.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace quelmor {

namespace {

constexpr int kStartPollIntervalMs = 10;
// A response is a few hundred bytes into an idle socket; a peer that cannot
// take it within this time loses the connection.
constexpr int kResponseStallTimeoutMs = 1000;

constexpr const char* kViewerTarget = "/viewer";
constexpr const char* kViewerPage =
    "<!DOCTYPE html><html><head><style>body{margin:0;padding:0;overflow:hidden;background:#000;}"
    "img{width:100vw;height:100vh;object-fit:contain;}</style></head><body>"
    "<img src='/jpg' alt='MJPEG Stream'/></body></html>";

net::HttpResponse makeResponse(const net::HttpRequest& request, int status_code, const char* reason)
{
    net::HttpResponse response;
    response.version = request.version;
    response.status_code = status_code;
    response.reason = reason;
    return response;
}

// Hands the whole response to the connection; false if it could not be sent.
bool sendResponse(int socket, const net::HttpResponse& response)
{
    std::string text = response.serialize();
    iovec part{text.data(), text.size()};
    return net::writeFully(socket, &part, 1, kResponseStallTimeoutMs);
}

}  // namespace

MJPEGStreamer::MJPEGStreamer()
    : shutdown_target_("/shutdown"),
      on_message_cb_([this](const int& socket, const std::string& message) { return handleRequest(socket, message); }),
      on_before_close_cb_([this](const int& socket) { publisher_.removeClient(socket); })
{
}

MJPEGStreamer::~MJPEGStreamer()
{
    stop();
}

bool MJPEGStreamer::start(int port, int workers)
{
    // Some platforms report 0 hardware threads; a pool of 0 would never send.
    publisher_.start(std::max(workers, 1));
    listener_.setOnMessageCallback(on_message_cb_);
    listener_.setOnBeforeCloseCallback(on_before_close_cb_);
    listener_.start(port);
    while (!isAlive()) {
        if (listener_.hasFinished() && !listener_.lastError().empty()) {
            stop();
            return false;
        }
        if (listener_.hasFinished())
            return true;  // served, and already asked to shut down
        std::this_thread::sleep_for(std::chrono::milliseconds(kStartPollIntervalMs));
    }
    return true;
}

void MJPEGStreamer::publish(const std::string& path, std::string buffer)
{
    publisher_.enqueue(path, std::move(buffer));
}

void MJPEGStreamer::stop()
{
    publisher_.stop();
    listener_.stop();
}

bool MJPEGStreamer::isAlive() const
{
    return publisher_.isAlive() && listener_.isAlive();
}

net::MessageResult MJPEGStreamer::handleRequest(const int& socket, const std::string& message)
{
    const net::HttpRequest request = net::HttpRequest::parse(message);

    if (request.target == shutdown_target_) {
        sendResponse(socket, makeResponse(request, 200, "OK"));
        publisher_.stop();
        return {false, true};
    }

    if (request.target == kViewerTarget) {
        net::HttpResponse response = makeResponse(request, 200, "OK");
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
        net::HttpResponse response = makeResponse(request, 200, "OK");
        response.setHeader("Content-Type", "multipart/x-mixed-replace; boundary=quelmormjpegstreamer");
        response.setHeader("Pragma", "no-cache");
        response.setHeader(
            "Cache-Control", "no-cache, no-store, must-revalidate, pre-check=0, post-check=0, max-age=0");
        response.setHeader("Connection", "close");
        if (!sendResponse(socket, response))
            return {true, false};
        // A stream the publisher cannot serve would hang for ever: close it.
        if (!publisher_.isStopRequested() && !publisher_.addClient(socket, request.target))
            return {true, false};
        return {false, false};
    }

    sendResponse(socket, makeResponse(request, 405, "Method Not Allowed"));
    return {true, false};
}

}  // namespace quelmor
