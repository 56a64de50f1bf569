// SPDX-License-Identifier: GPL-3.0-or-later
#include "mjpeg/Publisher.h"

#include "mjpeg/SocketWriter.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <utility>

namespace quelmor::net {

namespace {

// How long one job waits for a full socket before it goes to the back of the
// queue, so one slow client never holds a worker that others need.
constexpr int kWritableWaitMs = 1;
// A client that takes no byte for this long is given up on: between parts it
// loses the picture, inside a part its connection is ended, so a part is
// never left half-written with another one after it.
constexpr int kStallTimeoutMs = 2000;
constexpr const char* kPartHeaderPrefix = "--quelmormjpegstreamer\r\nContent-Type: image/jpeg\r\nContent-Length: ";
constexpr const char* kWorkerThreadName = "quelmor-worker";
constexpr const char* kRepeaterThreadName = "quelmor-repeat";

using Clock = std::chrono::steady_clock;

std::string partHeader(std::size_t picture_bytes)
{
    return kPartHeaderPrefix + std::to_string(picture_bytes) + "\r\n\r\n";
}

// Whether both name the same picture; an expired one still has its identity.
template <typename A, typename B>
bool samePicture(const A& a, const B& b)
{
    return !a.owner_before(b) && !b.owner_before(a);
}

// The position of `factor` in ScalablePicture::kFactors; 0 (full size) for any other.
std::size_t sizeIndex(int factor)
{
    const auto& factors = ScalablePicture::kFactors;
    const auto found = std::find(factors.begin(), factors.end(), factor);
    return found == factors.end() ? 0 : static_cast<std::size_t>(found - factors.begin());
}

}  // namespace

Publisher::Frame::Frame(std::shared_ptr<const ScalablePicture> source, std::string full_size_jpeg)
    : source_(std::move(source)), width_(source_ ? source_->width() : 0)
{
    if (full_size_jpeg.empty())
        return;
    std::call_once(sizes_[0].made, [&] {
        const std::size_t picture_bytes = full_size_jpeg.size();
        sizes_[0].part = std::make_shared<const Picture>(Picture{partHeader(picture_bytes), std::move(full_size_jpeg)});
    });
}

std::shared_ptr<const Publisher::Picture> Publisher::Frame::part(int factor) const
{
    Size& size = sizes_[source_ ? sizeIndex(factor) : 0];
    std::call_once(size.made, [&] {
        if (!source_)
            return;
        std::string bytes = source_->encode(ScalablePicture::kFactors[sizeIndex(factor)]);
        if (bytes.empty())
            return;
        const std::size_t picture_bytes = bytes.size();
        size.part = std::make_shared<const Picture>(Picture{partHeader(picture_bytes), std::move(bytes)});
    });
    return size.part;
}

Publisher::~Publisher()
{
    stop();
}

void Publisher::start(int workers, const std::vector<std::string>& stream_paths)
{
    std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
    if (repeater_.joinable())
        return;  // already running
    setState(utils::RunState::starting);
    {
        std::lock_guard<std::mutex> lock(jobs_mutex_);
        stop_requested_ = false;
    }
    {
        std::unique_lock<std::shared_mutex> lock(paths_mutex_);
        for (const std::string& path : stream_paths)
            paths_.emplace(path, std::make_shared<PathState>());
    }
    for (int i = 0; i < workers; ++i) {
        workers_.emplace_back([this] {
            pthread_setname_np(pthread_self(), kWorkerThreadName);
            worker();
        });
    }
    repeater_ = std::thread([this] {
        pthread_setname_np(pthread_self(), kRepeaterThreadName);
        repeater();
    });
    setState(utils::RunState::running);
}

void Publisher::stop()
{
    std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
    setState(utils::RunState::stopping);
    {
        std::lock_guard<std::mutex> lock(jobs_mutex_);
        stop_requested_ = true;
    }
    cv_.notify_all();
    // Swapped out under the locks, destroyed after them.
    std::deque<Repeat> dropped_repeats;
    {
        std::lock_guard<std::mutex> lock(repeats_mutex_);
        dropped_repeats.swap(repeats_);
    }
    repeats_cv_.notify_all();
    for (auto& thread : workers_)
        thread.join();
    workers_.clear();
    if (repeater_.joinable())
        repeater_.join();

    std::deque<Job> dropped_jobs;
    std::unordered_map<std::string, std::shared_ptr<PathState>> dropped_paths;
    {
        std::lock_guard<std::mutex> lock(jobs_mutex_);
        dropped_jobs.swap(jobs_);
    }
    {
        std::unique_lock<std::shared_mutex> lock(paths_mutex_);
        dropped_paths.swap(paths_);
    }
    {
        std::lock_guard<std::mutex> lock(client_paths_mutex_);
        client_paths_.clear();
    }
    setState(utils::RunState::stopped);
}

void Publisher::enqueue(const std::string& path, std::string picture)
{
    enqueue(path, nullptr, std::move(picture));
}

void Publisher::enqueue(
    const std::string& path, std::shared_ptr<const ScalablePicture> picture, std::string full_size_jpeg)
{
    if (stop_requested_)
        return;
    const std::shared_ptr<PathState> state = findOrCreatePath(path);
    if (!state)
        return;
    auto latest = std::make_shared<const Frame>(std::move(picture), std::move(full_size_jpeg));
    const std::weak_ptr<const Frame> newest = latest;
    std::shared_ptr<const Frame> previous;
    {
        std::unique_lock<std::shared_mutex> lock(state->buffer_mutex);
        previous = std::exchange(state->buffer, std::move(latest));
    }

    std::vector<std::shared_ptr<StreamClient>> clients;
    {
        std::shared_lock<std::shared_mutex> lock(state->clients_mutex);
        clients.reserve(state->clients.size());
        for (const auto& entry : state->clients)
            clients.push_back(entry.second);
    }
    if (clients.empty())
        return;  // a client joining later has a repeat of its own
    queueJobs(state, clients);
    scheduleRepeat(Repeat{{}, state, newest, {}, true}, std::chrono::milliseconds(kRepeatDelayMs), true);
}

void Publisher::queueJobs(
    const std::shared_ptr<PathState>& path, const std::vector<std::shared_ptr<StreamClient>>& clients)
{
    std::size_t queued = 0;
    {
        std::lock_guard<std::mutex> lock(jobs_mutex_);
        if (stop_requested_)
            return;
        for (const auto& client : clients) {
            if (client->pending_jobs.load() >= kMaxPendingJobsPerClient)
                continue;
            jobs_.push_back(Job{path, client});
            ++client->pending_jobs;
            ++queued;
        }
    }
    if (queued == 1)
        cv_.notify_one();
    else if (queued > 1)
        cv_.notify_all();
}

void Publisher::scheduleRepeat(Repeat repeat, std::chrono::milliseconds delay, bool replacing)
{
    bool earliest = false;
    {
        std::lock_guard<std::mutex> lock(repeats_mutex_);
        if (stop_requested_)
            return;
        // A newer picture of the path replaces its path-wide repeat; the
        // repeater may wake once for the old due time and find nothing.
        if (replacing && repeat.every_client) {
            repeats_.erase(
                std::remove_if(repeats_.begin(), repeats_.end(),
                    [&repeat](const Repeat& queued) { return queued.every_client && queued.path == repeat.path; }),
                repeats_.end());
        }
        // Read under the lock; the queue stays in order of due time.
        repeat.due = Clock::now() + delay;
        const auto later = std::upper_bound(repeats_.begin(), repeats_.end(), repeat.due,
            [](Clock::time_point due, const Repeat& queued) { return due < queued.due; });
        earliest = later == repeats_.begin();
        repeats_.insert(later, std::move(repeat));
    }
    if (earliest)
        repeats_cv_.notify_one();
}

void Publisher::repeater()
{
    Repeat due;
    while (takeDueRepeat(due)) {
        sendRepeat(std::move(due));
        due = Repeat{};
    }
}

bool Publisher::takeDueRepeat(Repeat& due)
{
    std::unique_lock<std::mutex> lock(repeats_mutex_);
    while (!stop_requested_) {
        if (repeats_.empty()) {
            repeats_cv_.wait(lock);
            continue;
        }
        const Clock::time_point next = repeats_.front().due;
        if (Clock::now() < next) {
            repeats_cv_.wait_until(lock, next);
            continue;
        }
        due = std::move(repeats_.front());
        repeats_.pop_front();
        return true;
    }
    return false;
}

void Publisher::sendRepeat(Repeat repeat)
{
    PathState& path = *repeat.path;
    {
        std::shared_lock<std::shared_mutex> lock(path.buffer_mutex);
        if (!path.buffer || !samePicture(path.buffer, repeat.picture))
            return;  // a newer picture came and has its own repeat
    }
    std::vector<std::shared_ptr<StreamClient>> clients;
    if (!repeat.every_client) {
        std::shared_ptr<StreamClient> client = repeat.client.lock();
        if (client && !client->closed)
            clients.push_back(std::move(client));
    } else {
        std::shared_lock<std::shared_mutex> lock(path.clients_mutex);
        for (const auto& entry : path.clients) {
            if (!samePicture(entry.second->join_picture, repeat.picture))
                clients.push_back(entry.second);
        }
    }
    // Without clients the chain ends: one that joins later has its own.
    if (clients.empty())
        return;
    queueJobs(repeat.path, clients);
    scheduleRepeat(std::move(repeat), std::chrono::milliseconds(kKeepAliveIntervalMs), false);
}

bool Publisher::hasPath(const std::string& path) const
{
    return findPath(path) != nullptr;
}

bool Publisher::hasPicture(const std::string& path) const
{
    const std::shared_ptr<PathState> state = findPath(path);
    if (!state)
        return false;
    std::shared_lock<std::shared_mutex> lock(state->buffer_mutex);
    return state->buffer != nullptr;
}

bool Publisher::watchedAtFullSize(const std::string& path, std::int32_t picture_width) const
{
    const std::shared_ptr<PathState> state = findPath(path);
    if (!state)
        return false;
    std::shared_lock<std::shared_mutex> lock(state->clients_mutex);
    return std::any_of(state->clients.begin(), state->clients.end(), [picture_width](const auto& entry) {
        return ScalablePicture::factorForWidth(picture_width, entry.second->requested_width) == 1;
    });
}

bool Publisher::addClient(int socket, const std::string& path, std::int32_t requested_width, std::string snapshot_head)
{
    if (stop_requested_)
        return false;
    const std::shared_ptr<PathState> state = findPath(path);
    if (!state)
        return false;
    UniqueFd socket_copy(::fcntl(socket, F_DUPFD_CLOEXEC, 0));
    if (!socket_copy.isValid())
        return false;
    auto client = std::make_shared<StreamClient>(std::move(socket_copy), requested_width, std::move(snapshot_head));

    // A connection watches one stream at a time.
    removeClient(socket);
    std::shared_ptr<const Frame> current;
    {
        std::lock_guard<std::mutex> lock(client_paths_mutex_);
        {
            // The current picture is read with the client in place, so a
            // newer one is either this or reaches the client by enqueue.
            std::unique_lock<std::shared_mutex> clients_lock(state->clients_mutex);
            {
                std::shared_lock<std::shared_mutex> buffer_lock(state->buffer_mutex);
                current = state->buffer;
            }
            client->join_picture = current;
            state->clients[socket] = client;
        }
        client_paths_[socket] = path;
    }
    if (!current)
        return true;
    queueJobs(state, {client});
    scheduleRepeat(Repeat{{}, state, current, client, false}, std::chrono::milliseconds(kRepeatDelayMs), false);
    return true;
}

void Publisher::removeClient(int socket)
{
    std::shared_ptr<StreamClient> removed;  // released after the locks
    std::lock_guard<std::mutex> lock(client_paths_mutex_);
    const auto entry = client_paths_.find(socket);
    if (entry == client_paths_.end())
        return;
    if (const std::shared_ptr<PathState> state = findPath(entry->second)) {
        std::unique_lock<std::shared_mutex> clients_lock(state->clients_mutex);
        const auto found = state->clients.find(socket);
        if (found != state->clients.end()) {
            removed = std::move(found->second);
            removed->closed = true;
            state->clients.erase(found);
        }
    }
    client_paths_.erase(entry);
}

std::size_t Publisher::clientCount() const
{
    std::lock_guard<std::mutex> lock(client_paths_mutex_);
    return client_paths_.size();
}

bool Publisher::knowsClient(int socket) const
{
    std::lock_guard<std::mutex> lock(client_paths_mutex_);
    if (client_paths_.count(socket) != 0)
        return true;
    std::shared_lock<std::shared_mutex> paths_lock(paths_mutex_);
    for (const auto& entry : paths_) {
        std::shared_lock<std::shared_mutex> clients_lock(entry.second->clients_mutex);
        if (entry.second->clients.count(socket) != 0)
            return true;
    }
    return false;
}

int Publisher::pendingJobs(int socket) const
{
    const std::shared_ptr<StreamClient> client = findClient(socket);
    return client ? client->pending_jobs.load() : 0;
}

void Publisher::worker()
{
    Job job;
    while (takeJob(job)) {
        serveJob(job);
        job = Job{};
    }
}

bool Publisher::takeJob(Job& job)
{
    std::unique_lock<std::mutex> lock(jobs_mutex_);
    cv_.wait(lock, [this] { return stop_requested_ || !jobs_.empty(); });
    if (stop_requested_)
        return false;
    job = std::move(jobs_.front());
    jobs_.pop_front();
    return true;
}

void Publisher::serveJob(const Job& job)
{
    // A client removed after its job was queued is gone: the job is dropped.
    const std::shared_ptr<StreamClient> client = job.client.lock();
    if (!client)
        return;
    --client->pending_jobs;
    // One worker writes to a client at a time, so parts never interleave. A
    // job that finds the client busy leaves its request to the worker that
    // holds it, which sends the newest picture once more before letting go.
    client->send_requested = true;
    while (client->send_requested.load() && !client->closed) {
        std::unique_lock<std::mutex> sending(client->send_mutex, std::try_to_lock);
        if (!sending.owns_lock())
            return;
        if (sendLatestPictures(*job.path, *client) == SendOutcome::not_writable) {
            // The retry carries this request and any that came meanwhile; it is
            // queued after letting go, so that whoever takes it can send.
            const bool stalled = recordUnwritable(*client);
            sending.unlock();
            if (!stalled)
                retryLater(job, *client);
            return;
        }
    }
}

Publisher::SendOutcome Publisher::sendLatestPictures(PathState& path, StreamClient& client)
{
    while (client.send_requested.exchange(false)) {
        if (client.closed || stop_requested_)
            return SendOutcome::failed;
        if (!waitUntilWritable(client.socket.get(), kWritableWaitMs))
            return SendOutcome::not_writable;
        client.unwritable_since = {};
        std::shared_ptr<const Frame> frame;
        {
            std::shared_lock<std::shared_mutex> lock(path.buffer_mutex);
            frame = path.buffer;
        }
        if (!frame)
            return SendOutcome::failed;
        // Made here, on first need, while the client's send lock is held.
        const std::shared_ptr<const Picture> picture =
            frame->part(ScalablePicture::factorForWidth(frame->width(), client.requested_width));
        if (!client.snapshot_head.empty()) {
            if (picture)
                writeSnapshot(client, *picture);
            abandon(client);
            return SendOutcome::failed;
        }
        if (!picture)
            continue;  // this picture cannot be sent at that size; the next may
        if (!writePart(client, *picture)) {
            abandon(client);
            return SendOutcome::failed;
        }
    }
    return SendOutcome::sent;
}

bool Publisher::recordUnwritable(StreamClient& client)
{
    const auto now = std::chrono::steady_clock::now();
    if (client.unwritable_since == std::chrono::steady_clock::time_point{})
        client.unwritable_since = now;
    return now - client.unwritable_since >= std::chrono::milliseconds(kStallTimeoutMs);
}

void Publisher::retryLater(const Job& job, StreamClient& client)
{
    {
        std::lock_guard<std::mutex> lock(jobs_mutex_);
        if (stop_requested_ || client.pending_jobs.load() >= kMaxPendingJobsPerClient)
            return;
        jobs_.push_back(job);
        ++client.pending_jobs;
    }
    cv_.notify_one();
}

bool Publisher::writePart(StreamClient& client, const Picture& picture)
{
    iovec parts[] = {
        {const_cast<char*>(picture.part_header.data()), picture.part_header.size()},
        {const_cast<char*>(picture.bytes.data()), picture.bytes.size()},
    };
    return writeFully(client.socket.get(), parts, 2, kStallTimeoutMs,
        [this, &client] { return client.closed.load() || stop_requested_.load(); });
}

bool Publisher::writeSnapshot(StreamClient& client, const Picture& picture)
{
    std::string head = client.snapshot_head + "Content-Length: " + std::to_string(picture.bytes.size()) + "\r\n\r\n";
    iovec parts[] = {
        {head.data(), head.size()},
        {const_cast<char*>(picture.bytes.data()), picture.bytes.size()},
    };
    return writeFully(client.socket.get(), parts, 2, kStallTimeoutMs,
        [this, &client] { return client.closed.load() || stop_requested_.load(); });
}

void Publisher::abandon(StreamClient& client)
{
    // The connection ends here: the hang-up makes the listener close it and
    // remove the client, and the peer never sees a part after a short one.
    client.closed = true;
    ::shutdown(client.socket.get(), SHUT_RDWR);
}

std::shared_ptr<Publisher::PathState> Publisher::findPath(const std::string& path) const
{
    std::shared_lock<std::shared_mutex> lock(paths_mutex_);
    const auto found = paths_.find(path);
    return found == paths_.end() ? nullptr : found->second;
}

std::shared_ptr<Publisher::PathState> Publisher::findOrCreatePath(const std::string& path)
{
    if (std::shared_ptr<PathState> existing = findPath(path))
        return existing;
    std::unique_lock<std::shared_mutex> lock(paths_mutex_);
    // Checked under the table's lock, so a stop that empties the table cannot
    // be followed by a path created by a late publish.
    if (stop_requested_)
        return nullptr;
    std::shared_ptr<PathState>& slot = paths_[path];
    if (!slot)
        slot = std::make_shared<PathState>();
    return slot;
}

std::shared_ptr<Publisher::StreamClient> Publisher::findClient(int socket) const
{
    std::lock_guard<std::mutex> lock(client_paths_mutex_);
    const auto entry = client_paths_.find(socket);
    if (entry == client_paths_.end())
        return nullptr;
    const std::shared_ptr<PathState> state = findPath(entry->second);
    if (!state)
        return nullptr;
    std::shared_lock<std::shared_mutex> clients_lock(state->clients_mutex);
    const auto found = state->clients.find(socket);
    return found == state->clients.end() ? nullptr : found->second;
}

}  // namespace quelmor::net
