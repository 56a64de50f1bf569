// SPDX-License-Identifier: GPL-3.0-or-later
#include "mjpeg/MJPEGStreamer.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace quelmor {

namespace {

constexpr int kStartPollIntervalMs = 10;

}  // namespace

MJPEGStreamer::MJPEGStreamer()
    : shutdown_target_("/shutdown"), handler_(publisher_, shutdown_target_),
      on_message_cb_([this](const int& socket, const std::string& message, bool peer_is_loopback) {
          return handler_.onBytes(socket, message, peer_is_loopback);
      }),
      on_before_close_cb_([this](const int& socket) {
          handler_.forget(socket);
          publisher_.removeClient(socket);
      })
{
}

MJPEGStreamer::~MJPEGStreamer()
{
    stop();
}

bool MJPEGStreamer::start(int port, int workers, const std::vector<std::string>& stream_paths)
{
    if (isAlive())
        return true;
    // After "/shutdown" the listener thread may still be closing its sockets
    // and calling the handlers: it must be gone before they are replaced.
    listener_.stop();
    // Some platforms report 0 hardware threads; a pool of 0 would never send.
    publisher_.start(std::max(workers, 1), stream_paths);
    listener_.setOnMessageCallback(on_message_cb_);
    listener_.setOnBeforeCloseCallback(on_before_close_cb_);
    listener_.start(port);
    while (!isAlive()) {
        if (listener_.hasFinished()) {
            stop();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kStartPollIntervalMs));
    }
    return true;
}

void MJPEGStreamer::publish(const std::string& path, std::string buffer)
{
    publisher_.enqueue(path, std::move(buffer));
}

void MJPEGStreamer::publish(
    const std::string& path, std::shared_ptr<const ScalablePicture> picture, std::string full_size_jpeg)
{
    publisher_.enqueue(path, std::move(picture), std::move(full_size_jpeg));
}

bool MJPEGStreamer::watchedAtFullSize(const std::string& path, std::int32_t picture_width) const
{
    return publisher_.watchedAtFullSize(path, picture_width);
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

}  // namespace quelmor
