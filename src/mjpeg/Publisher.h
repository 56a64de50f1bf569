// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mjpeg/NonCopyable.h"
#include "mjpeg/Runnable.h"
#include "mjpeg/ScalablePicture.h"
#include "mjpeg/UniqueFd.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace quelmor::net {

// Fans pictures out to stream clients: keeps the latest picture of every path
// and a pool of workers that write one multipart part per published picture
// to each client of that path.
//
// A browser draws a part only when the next part begins, so a picture that
// stays newest is sent once more: to the path's clients when no newer picture
// followed within kRepeatDelayMs, and to a client that joins, which gets the
// current picture at once and, unless a newer one follows, once more after
// kRepeatDelayMs. After that it goes out again every kKeepAliveIntervalMs for
// as long as it stays newest: some clients (ffmpeg, mpv) decode a picture only
// when more data follows, and proxies close streams that stay silent. While
// pictures flow none of this happens. A repeat is a job like any other: it
// shares the picture.
//
// A client may ask for a width: it is sent the picture reduced by the factor
// that suits it (ScalablePicture::factorForWidth). Each size of a picture is
// encoded once, by the first worker that needs it, while the others that need
// it wait; sizes nobody watches are never made. A snapshot client is sent one
// whole HTTP response with the path's current picture and then let go.
//
// Threads: the owner calls start and stop (stop may also come from the
// listener thread, serialised by lifecycle_mutex_); the producers call
// enqueue; the listener thread calls hasPath, addClient and removeClient; the
// workers run worker(); one repeater thread runs repeater() and queues the
// repeats when due. start launches the workers and the repeater, stop joins
// them. Locks: lifecycle_mutex_ guards workers_ and repeater_;
// jobs_mutex_ (with cv_) guards jobs_; repeats_mutex_ (with repeats_cv_)
// guards repeats_; client_paths_mutex_ guards client_paths_; paths_mutex_
// guards the table paths_ (its PathState records carry their own locks).
// Order: lifecycle_mutex_ before all others; client_paths_mutex_, then
// paths_mutex_, then a path's clients_mutex, then its buffer_mutex;
// jobs_mutex_ and repeats_mutex_ are taken alone.
class Publisher : public utils::NonCopyable, public utils::Runnable {
public:
    // A client with this many jobs waiting gets no job for a new picture.
    static constexpr int kMaxPendingJobsPerClient = 6;
    // How long a picture stays newest before it is sent once more.
    static constexpr int kRepeatDelayMs = 150;
    // How often a picture that stays newest is sent after that.
    static constexpr int kKeepAliveIntervalMs = 1000;

    Publisher() = default;
    virtual ~Publisher();

    // Launches `workers` threads; with 0 no picture is ever sent. The
    // `stream_paths` take clients from now on, before their first picture.
    void start(int workers, const std::vector<std::string>& stream_paths = {});
    // Joins the workers and forgets every path, client and job.
    void stop();
    bool isStopRequested() const { return stop_requested_.load(); }

    // Makes `picture`, one JPEG, the latest of `path` and queues a job for
    // each of its clients; all of them get these bytes. Dropped while the
    // publisher is stopped.
    void enqueue(const std::string& path, std::string picture);
    // The same for a picture sent in the size each client asks for;
    // `full_size_jpeg`, when not empty, is its full size encoded already.
    void enqueue(const std::string& path, std::shared_ptr<const ScalablePicture> picture,
        std::string full_size_jpeg = {});
    // The path was named at start or has been published since.
    bool hasPath(const std::string& path) const;
    // The path has a picture.
    bool hasPicture(const std::string& path) const;
    // Whether a client of `path` would be sent a picture `picture_width` wide at full size.
    bool watchedAtFullSize(const std::string& path, std::int32_t picture_width) const;
    // Registers the connection `socket` (owned by the listener) as a stream
    // client of a known path and queues the path's current picture, if any,
    // for it, reduced for `requested_width` (0: full size). With a
    // `snapshot_head` (a response's status line and headers, each ending in
    // CRLF, without Content-Length) the client is sent that head with the
    // picture as its body once, and its connection is then shut down. False
    // when the path is unknown, the publisher is stopped or the socket cannot
    // be duplicated.
    bool addClient(int socket, const std::string& path, std::int32_t requested_width = 0,
        std::string snapshot_head = {});
    // Forgets the client; nothing happens for a socket that is not one.
    // Must be called before the listener closes `socket`.
    void removeClient(int socket);

    // Observers, for diagnostics and tests.
    std::size_t clientCount() const;
    // Whether `socket` appears in the client table or in any path's clients.
    bool knowsClient(int socket) const;
    // Jobs queued for the client on `socket`; 0 for an unknown socket.
    int pendingJobs(int socket) const;

private:
    // One published picture with its part header, built once and shared by
    // every job that sends it.
    struct Picture {
        std::string part_header;
        std::string bytes;
    };

    // One published picture with the sizes made of it so far; each size is
    // made at most once, by the first worker that needs it.
    class Frame {
    public:
        Frame(std::shared_ptr<const ScalablePicture> source, std::string full_size_jpeg);
        std::int32_t width() const { return width_; }
        // The part of the size reduced by `factor`; null when it cannot be made.
        std::shared_ptr<const Picture> part(int factor) const;

    private:
        struct Size {
            std::once_flag made;
            std::shared_ptr<const Picture> part;  // written once, under made
        };
        const std::shared_ptr<const ScalablePicture> source_;  // null: the full size alone
        const std::int32_t width_;
        mutable std::array<Size, ScalablePicture::kFactors.size()> sizes_;
    };

    // One stream connection. The publisher writes through its own duplicate
    // of the listener's descriptor, so the number it writes to cannot be
    // closed or reused while a worker holds the client.
    struct StreamClient {
        StreamClient(UniqueFd socket_copy, std::int32_t width, std::string head)
            : socket(std::move(socket_copy)), requested_width(width), snapshot_head(std::move(head))
        {
        }
        const UniqueFd socket;
        const std::int32_t requested_width;  // 0: full size
        const std::string snapshot_head;     // empty for a stream
        std::atomic<int> pending_jobs{0};
        std::atomic<bool> closed{false};          // removed, or abandoned after a failed part
        std::atomic<bool> send_requested{false};  // a job is waiting to be sent
        std::mutex send_mutex;                    // held by the one worker writing to it
        // When the socket was first found full with no part under way; zero
        // while it takes data. Guarded by send_mutex.
        std::chrono::steady_clock::time_point unwritable_since{};
        // The path's newest picture when the client joined; the client's own
        // repeat covers it. Guarded by the path's clients_mutex.
        std::weak_ptr<const Frame> join_picture;
    };

    struct PathState {
        mutable std::shared_mutex buffer_mutex;
        std::shared_ptr<const Frame> buffer;  // guarded by buffer_mutex
        mutable std::shared_mutex clients_mutex;
        std::unordered_map<int, std::shared_ptr<StreamClient>> clients;  // guarded by clients_mutex
    };

    // Send the current picture of `path` to `client`.
    struct Job {
        std::shared_ptr<PathState> path;
        std::weak_ptr<StreamClient> client;
    };

    // Send `picture` once more, if it is still the newest of `path`: to
    // `client` alone, or with every_client to each client that did not join
    // on it; then again after kKeepAliveIntervalMs.
    struct Repeat {
        std::chrono::steady_clock::time_point due;
        std::shared_ptr<PathState> path;
        std::weak_ptr<const Frame> picture;
        std::weak_ptr<StreamClient> client;
        bool every_client = false;
    };

    void queueJobs(const std::shared_ptr<PathState>& path, const std::vector<std::shared_ptr<StreamClient>>& clients);
    // Queues `repeat` to fall due after `delay`; a repeat for a newly
    // published picture (replacing) drops the path's older path-wide repeats.
    void scheduleRepeat(Repeat repeat, std::chrono::milliseconds delay, bool replacing);
    void repeater();
    bool takeDueRepeat(Repeat& due);
    void sendRepeat(Repeat repeat);

    void worker();
    bool takeJob(Job& job);
    void serveJob(const Job& job);
    enum class SendOutcome { sent, not_writable, failed };
    SendOutcome sendLatestPictures(PathState& path, StreamClient& client);
    // Notes that the socket was full; true once it has stayed full too long.
    static bool recordUnwritable(StreamClient& client);
    void retryLater(const Job& job, StreamClient& client);
    bool writePart(StreamClient& client, const Picture& picture);
    bool writeSnapshot(StreamClient& client, const Picture& picture);
    void abandon(StreamClient& client);

    std::shared_ptr<PathState> findPath(const std::string& path) const;
    std::shared_ptr<PathState> findOrCreatePath(const std::string& path);
    std::shared_ptr<StreamClient> findClient(int socket) const;

    std::mutex lifecycle_mutex_;
    std::condition_variable cv_;
    std::vector<std::thread> workers_;  // guarded by lifecycle_mutex_
    std::thread repeater_;              // guarded by lifecycle_mutex_
    std::mutex jobs_mutex_;
    std::deque<Job> jobs_;  // guarded by jobs_mutex_
    std::mutex repeats_mutex_;
    std::condition_variable repeats_cv_;
    std::deque<Repeat> repeats_;  // guarded by repeats_mutex_; in order of due time
    mutable std::mutex client_paths_mutex_;
    std::unordered_map<int, std::string> client_paths_;  // guarded by client_paths_mutex_
    mutable std::shared_mutex paths_mutex_;
    std::unordered_map<std::string, std::shared_ptr<PathState>> paths_;  // guarded by paths_mutex_
    std::atomic<bool> stop_requested_{true};
};

}  // namespace quelmor::net
