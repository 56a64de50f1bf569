// SPDX-License-Identifier: GPL-3.0-or-later
#include "mjpeg/Listener.h"

#include "LoopbackClient.h"
#include "PortHolder.h"
#include "TestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace quelmor::net {
namespace {

using test::kWaitTimeoutMs;
using test::LoopbackClient;
using test::waitFor;

// Records what the listener hands to its callbacks. The callbacks run on the
// listener thread; the test reads under `mutex`.
class Recorder {
public:
    // Messages equal to `stop_word` ask the listener to stop; every other
    // message is answered with `reply` and closes the connection when
    // `close_after_reply`.
    void attach(Listener& listener)
    {
        listener.setOnMessageCallback([this](const int& socket, const std::string& message, bool) {
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.push_back(message);
            if (message == stop_word)
                return MessageResult{false, true};
            if (!reply.empty())
                ::send(socket, reply.data(), reply.size(), MSG_NOSIGNAL);
            return MessageResult{close_after_reply, false};
        });
        listener.setOnBeforeCloseCallback([this](const int& socket) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++closes_[socket];
            if (::fcntl(socket, F_GETFD) == -1)
                ++already_closed_;
        });
    }

    std::vector<std::string> messages() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    std::map<int, int> closes() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return closes_;
    }
    int alreadyClosed() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return already_closed_;
    }

    std::string stop_word = "stop";
    std::string reply;
    bool close_after_reply = false;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> messages_;
    std::map<int, int> closes_;
    int already_closed_ = 0;
};

bool startOnEphemeralPort(Listener& listener)
{
    listener.start(0);
    return waitFor([&] { return listener.isAlive() || listener.hasFinished(); }) && listener.isAlive();
}

// A listener whose callbacks go to a recorder, which outlives it: its last
// callbacks come at its end.
class ListenerTest : public ::testing::Test {
protected:
    void SetUp() override { recorder.attach(listener); }

    Recorder recorder;
    Listener listener;
};

// A message longer than the 4096-byte read buffer reaches the callback whole.
TEST_F(ListenerTest, DeliversMessageLongerThanReadBufferWhole)
{
    ASSERT_TRUE(startOnEphemeralPort(listener)) << listener.lastError();

    std::string payload(20000, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>('a' + i % 26);
    LoopbackClient client(listener.port());
    ASSERT_TRUE(client.isConnected());
    ASSERT_TRUE(client.send(payload));
    ASSERT_TRUE(waitFor([&] { return !recorder.messages().empty(); }));
    const auto messages = recorder.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].size(), payload.size());
    EXPECT_TRUE(messages[0] == payload) << "the message arrived altered";
}

// Every socket, the listening one included, is announced exactly once and
// while still open: after a reply that closes, after a reset, and at stop.
TEST_F(ListenerTest, AnnouncesEverySocketOnceBeforeClosingIt)
{
    recorder.reply = "bye";
    recorder.close_after_reply = true;
    ASSERT_TRUE(startOnEphemeralPort(listener)) << listener.lastError();

    LoopbackClient answered(listener.port());
    LoopbackClient reset(listener.port());
    LoopbackClient idle(listener.port());
    ASSERT_TRUE(answered.isConnected() && reset.isConnected() && idle.isConnected());

    ASSERT_TRUE(answered.send("hello"));
    EXPECT_EQ(answered.readUntilClosed(kWaitTimeoutMs), "bye");
    EXPECT_TRUE(answered.sawEndOfStream()) << "close_connection must close the connection";

    reset.resetConnection();
    ASSERT_TRUE(waitFor([&] { return recorder.closes().size() == 2; })) << "the reset peer was not closed";

    listener.stop();
    EXPECT_EQ(listener.state(), utils::RunState::stopped);
    EXPECT_FALSE(listener.isAlive());
    EXPECT_EQ(listener.lastError(), "");
    const auto closes = recorder.closes();
    EXPECT_EQ(closes.size(), 4u) << "listening socket and three connections";
    for (const auto& [socket, count] : closes)
        EXPECT_EQ(count, 1) << "socket " << socket << " announced " << count << " times";
    EXPECT_EQ(recorder.alreadyClosed(), 0) << "a socket was announced after it was closed";
    EXPECT_EQ(idle.readUntilClosed(kWaitTimeoutMs), "");
    EXPECT_TRUE(idle.sawEndOfStream()) << "stop must close the remaining connection";
}

// A callback that asks to stop ends the listener, which closes every
// connection; the run ends without error.
TEST_F(ListenerTest, StopsWhenTheCallbackAsks)
{
    ASSERT_TRUE(startOnEphemeralPort(listener)) << listener.lastError();

    LoopbackClient bystander(listener.port());
    LoopbackClient stopper(listener.port());
    ASSERT_TRUE(stopper.send("stop"));
    EXPECT_EQ(bystander.readUntilClosed(kWaitTimeoutMs), "");
    EXPECT_TRUE(bystander.sawEndOfStream());
    EXPECT_EQ(stopper.readUntilClosed(kWaitTimeoutMs), "");
    EXPECT_TRUE(stopper.sawEndOfStream());
    ASSERT_TRUE(waitFor([&] { return listener.hasFinished(); }));
    EXPECT_EQ(listener.state(), utils::RunState::stopped);
    EXPECT_EQ(listener.lastError(), "");
    EXPECT_EQ(recorder.closes().size(), 3u);
}

// A port that is taken ends the run with the bind error and errno 98, leaves
// no descriptor behind, and a later start on a free port works.
TEST_F(ListenerTest, PortInUseReportsBindErrorAndLeavesNoSocket)
{
    test::PortHolder blocker;
    ASSERT_GT(blocker.port(), 0);
    const int descriptors_before = test::openDescriptorCount();

    listener.start(blocker.port());
    ASSERT_TRUE(waitFor([&] { return listener.hasFinished(); })) << "the failed run did not end";
    EXPECT_EQ(listener.lastError(), "bindSocket() failed - Error Code: 98");
    EXPECT_FALSE(listener.isAlive());
    listener.stop();
    EXPECT_EQ(test::openDescriptorCount(), descriptors_before) << "the failed run leaked a socket";
    EXPECT_TRUE(recorder.closes().empty());

    ASSERT_TRUE(startOnEphemeralPort(listener)) << listener.lastError();
    EXPECT_EQ(listener.lastError(), "");
}

// Without its callbacks the listener refuses to run.
TEST(Listener, RefusesToRunWithoutCallbacks)
{
    Listener without_any;
    without_any.start(0);
    ASSERT_TRUE(waitFor([&] { return without_any.hasFinished(); }));
    EXPECT_EQ(without_any.lastError(), "not setting on_message_cb");
    EXPECT_EQ(without_any.state(), utils::RunState::stopped);

    Listener without_close;
    without_close.setOnMessageCallback([](const int&, const std::string&, bool) { return MessageResult{}; });
    without_close.start(0);
    ASSERT_TRUE(waitFor([&] { return without_close.hasFinished(); }));
    EXPECT_EQ(without_close.lastError(), "not setting on_before_close_cb");
}

// stop on a listener never started returns; start, stop and start again serve
// each time; a second stop does nothing.
TEST_F(ListenerTest, RestartsAfterStop)
{
    listener.stop();
    EXPECT_EQ(listener.state(), utils::RunState::created);

    recorder.reply = "ok";
    recorder.close_after_reply = true;
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(startOnEphemeralPort(listener)) << "round " << round << ": " << listener.lastError();
        EXPECT_EQ(test::exchange(listener.port(), "ping"), "ok") << "round " << round;
        listener.stop();
        listener.stop();
        EXPECT_EQ(listener.state(), utils::RunState::stopped);
    }
}

// stop right after start, before the thread has begun serving, still ends
// the thread: the stop request is never lost to the run starting late.
TEST_F(ListenerTest, StopRightAfterStartEndsTheThread)
{
    constexpr int kRounds = 200;
    for (int round = 0; round < kRounds; ++round) {
        listener.start(0);
        std::future<void> stopped = std::async(std::launch::async, [this] { listener.stop(); });
        ASSERT_EQ(stopped.wait_for(std::chrono::milliseconds(kWaitTimeoutMs)), std::future_status::ready)
            << "stop did not return in round " << round;
        EXPECT_NE(listener.state(), utils::RunState::running) << "round " << round;
    }
}

// A peer that keeps sending without a pause is cut off once its message
// passes 64 KiB, instead of growing the message without limit.
TEST_F(ListenerTest, CutsOffPeerThatNeverPauses)
{
    ASSERT_TRUE(startOnEphemeralPort(listener)) << listener.lastError();

    LoopbackClient flooder(listener.port());
    const std::string chunk(1 << 20, 'x');
    bool cut_off = false;
    for (int i = 0; i < 256 && !cut_off; ++i)
        cut_off = !flooder.send(chunk);
    EXPECT_TRUE(cut_off) << "256 MiB went through without the connection being closed";
    for (const std::string& message : recorder.messages())
        EXPECT_LE(message.size(), 64u * 1024u);
}

void ignoreSignal(int) { }

// Finds the listener thread by the name it gives itself.
pid_t listenerThreadId()
{
    DIR* tasks = ::opendir("/proc/self/task");
    pid_t found = -1;
    while (const dirent* entry = tasks ? ::readdir(tasks) : nullptr) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name == "quelmor-listen")
            found = static_cast<pid_t>(std::stol(entry->d_name));
    }
    if (tasks)
        ::closedir(tasks);
    return found;
}

// A signal that interrupts poll is not a failure: the listener keeps serving.
TEST_F(ListenerTest, KeepsServingWhenASignalInterruptsPoll)
{
    struct sigaction action { };
    action.sa_handler = ignoreSignal;  // no SA_RESTART: poll returns EINTR
    struct sigaction previous { };
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

    recorder.reply = "ok";
    recorder.close_after_reply = true;
    ASSERT_TRUE(startOnEphemeralPort(listener)) << listener.lastError();
    const pid_t thread = listenerThreadId();
    ASSERT_GT(thread, 0);
    for (int i = 0; i < 20; ++i) {
        ::syscall(SYS_tgkill, ::getpid(), thread, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(test::exchange(listener.port(), "ping"), "ok");
    EXPECT_TRUE(listener.isAlive()) << listener.lastError();
    listener.stop();
    ::sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace
}  // namespace quelmor::net
