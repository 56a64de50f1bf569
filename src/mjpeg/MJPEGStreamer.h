// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mjpeg/Listener.h"
#include "mjpeg/MessageResult.h"
#include "mjpeg/NonCopyable.h"
#include "mjpeg/Publisher.h"
#include "mjpeg/RequestHandler.h"
#include "mjpeg/ScalablePicture.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quelmor {

// The MJPEG HTTP server: a listener, a publisher and the request handler
// that joins them. Serves "/viewer", the published stream paths as
// multipart/x-mixed-replace streams (reduced with "?width=N"), "/snapshot"
// (the latest picture of "/jpg" as one JPEG), "/status" when the owner gives
// one, and "/shutdown".
//
// Threads: the owner calls start, stop and the destructor (never two at
// once); producer threads call publish, each path's pictures from one thread
// so that they keep their order; the handlers run on the listener thread; the
// publisher's workers write the parts. The streamer itself holds no lock: its
// members' own locks are documented with them.
class MJPEGStreamer : public utils::NonCopyable {
public:
    MJPEGStreamer();
    virtual ~MJPEGStreamer();

    // Starts the publisher with `workers` threads (at least one) and the
    // listener on `port` (0 picks a free port, see port()); returns true once
    // the listener listens. A listener still ending after "/shutdown" is
    // waited for first. Returns false whenever the server did not start, with
    // both parts stopped and the reason, if any, in lastError(). On a running
    // server it changes nothing and returns true. The owner's `stream_paths`
    // take viewers as soon as it listens: they get the stream header at once
    // and their first part with the path's first picture. Any other path is
    // served only once published.
    bool start(int port, int workers, const std::vector<std::string>& stream_paths = {});
    // How long a connection may take to send a whole request before it is
    // closed (10 s unless set). Only while stopped; used from the next start.
    void setRequestTimeout(std::chrono::milliseconds timeout) { listener_.setRequestTimeout(timeout); }
    // Makes `buffer`, one JPEG picture, the latest of `path` and sends it to
    // the path's stream clients; a stream that opens later starts with it.
    // Does nothing while the server is stopped.
    void publish(const std::string& path, std::string buffer);
    // Makes `picture` the latest of `path`. Each size its viewers ask for is
    // encoded on demand by the publisher's workers, once, unless it is the
    // full size and `full_size_jpeg` holds it already.
    void publish(const std::string& path, std::shared_ptr<const ScalablePicture> picture,
        std::string full_size_jpeg = {});
    // Whether a viewer of `path` would take a picture `picture_width` wide at
    // full size: a producer encodes it ahead only then.
    bool watchedAtFullSize(const std::string& path, std::int32_t picture_width) const;
    // Answers GET "/status" with the JSON text `status` returns, called on the
    // listener thread; without one "/status" is not found. Only while stopped.
    void setStatusSource(std::function<std::string()> status) { handler_.setStatusSource(std::move(status)); }
    // Stops the publisher, then the listener; start may follow.
    void stop();
    // Both the publisher and the listener are running.
    bool isAlive() const;

    // The listening port while alive, -1 otherwise.
    int port() const { return listener_.port(); }
    // Why the last start failed or the listener ended, e.g.
    // "bindSocket() failed - Error Code: 98"; empty otherwise.
    std::string lastError() const { return listener_.lastError(); }
    // Connections currently registered as stream clients.
    std::size_t streamClientCount() const { return publisher_.clientCount(); }

private:
    net::Listener listener_;
    net::Publisher publisher_;
    std::string shutdown_target_;
    net::RequestHandler handler_;  // runs on the listener thread only
    net::Listener::MessageCallback on_message_cb_;
    std::function<void(const int&)> on_before_close_cb_;
};

}  // namespace quelmor
