// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mjpeg/MessageResult.h"
#include "mjpeg/NonCopyable.h"
#include "mjpeg/Runnable.h"

#include <poll.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quelmor::net {

// Owns the listening TCP socket and every accepted connection. One thread of
// its own polls them all, accepts, gathers the bytes a connection sent into
// one message and hands it to on_message_cb, with whether the peer is this
// machine itself (a loopback address, noted at accept); on_before_close_cb
// hears of every socket just before it is closed. Knows nothing of HTTP: the
// callback says whether a connection has sent a whole request yet, and one
// that has not within the request time-out is closed. When the process runs
// out of descriptors, accepting pauses for a moment while every connection is
// served.
//
// Threads: start, stop, isAlive, port, lastError and hasFinished are called by
// the owner's thread; run and both callbacks run on thread_. start clears
// stop_requested_ before the thread exists, so a stop that follows at once is
// never undone by the thread starting late. poll_set_, connections_, the
// accept pause and the callbacks are touched by thread_ only while it runs
// (the owner sets the callbacks and request_timeout_ before start).
// stop_requested_, the run state, bound_port_ and finished_ are atomic;
// error_mutex_ guards last_error_.
class Listener : public utils::NonCopyable, public utils::Runnable {
public:
    using MessageCallback =
        std::function<MessageResult(const int& socket, const std::string& message, bool peer_is_loopback)>;
    using BeforeCloseCallback = std::function<void(const int& socket)>;

    Listener() = default;
    virtual ~Listener();

    void setOnMessageCallback(MessageCallback callback);
    void setOnBeforeCloseCallback(BeforeCloseCallback callback);
    // How long a new connection may take until on_message_cb reports its
    // request whole; 10 s unless set. Called by the owner before start.
    void setRequestTimeout(std::chrono::milliseconds timeout) { request_timeout_ = timeout; }

    // Launches thread_ running run(port) and returns at once. Port 0 binds an
    // ephemeral port; port() tells which once isAlive(). Only on a listener
    // whose thread is not running.
    void start(int port);
    // Asks the loop to end and joins thread_; at most one poll time-out plus
    // the pass in progress. Never call it from inside a callback.
    void stop();

    // The bound port while running, -1 before.
    int port() const { return bound_port_.load(); }
    // The text that ended the last run, such as
    // "bindSocket() failed - Error Code: 98"; empty when it ended normally.
    std::string lastError() const;
    // True once the last run has returned, whatever the reason.
    bool hasFinished() const { return finished_.load(); }

private:
    // The thread body: listens on all IPv4 interfaces and serves until stopped,
    // asked to stop by on_message_cb, or failed (see lastError).
    void run(int port);
    std::string openListenSocket(int port);
    std::string servePass(std::vector<char>& buffer);
    std::string acceptConnections();
    void pauseAccepting();
    void resumeAcceptingWhenDue();
    int pollTimeoutMs() const;
    void readConnection(std::size_t index, std::vector<char>& buffer);
    void handMessage(std::size_t index, const std::string& message, bool peer_closed);
    void closeOverdueConnections();
    void addEntry(
        int socket, short events, std::chrono::steady_clock::time_point request_deadline, bool peer_is_loopback);
    void closeEntry(std::size_t index);
    void removeClosedEntries();
    void closeAll();
    void endRun(const std::string& error);

    int listen_socket_ = -1;
    std::atomic<bool> stop_requested_{true};
    std::vector<pollfd> poll_set_;  // entry 0 is the listening socket; fd -1 marks removal
    // What the listener knows of the connection of one entry of poll_set_.
    struct Connection {
        // When it must have sent a whole request; time_point::max() once it
        // has, and for the listening socket.
        std::chrono::steady_clock::time_point request_deadline;
        bool peer_is_loopback;  // the peer's address was loopback at accept
    };
    std::vector<Connection> connections_;  // one per entry of poll_set_
    bool poll_set_marked_ = false;
    std::chrono::milliseconds request_timeout_{10000};
    // Set from the first accept that finds no descriptor until accepting has
    // emptied the queue of waiting connections, so the shortage is reported
    // once per episode.
    bool descriptors_exhausted_ = false;
    bool accept_paused_ = false;  // the listening socket is left out of poll
    std::chrono::steady_clock::time_point accept_resume_at_{};
    MessageCallback on_message_cb;
    BeforeCloseCallback on_before_close_cb;
    std::thread thread_;

    std::atomic<int> bound_port_{-1};
    std::atomic<bool> finished_{false};
    mutable std::mutex error_mutex_;
    std::string last_error_;  // guarded by error_mutex_
};

}  // namespace quelmor::net
