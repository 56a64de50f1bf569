// SPDX-License-Identifier: GPL-3.0-or-later
#include "mjpeg/Publisher.h"

#include "LoopbackClient.h"
#include "StreamFormat.h"
#include "TestSupport.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace quelmor::net {
namespace {

using test::kWaitTimeoutMs;
using test::LoopbackClient;
using test::streamPart;
using test::waitFor;

// A connected pair: `server` is what the listener would own, `peer` is the
// viewer's end.
struct SocketPair {
    SocketPair()
    {
        int ends[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0) {
            server.reset(ends[0]);
            peer.reset(ends[1]);
        }
    }
    UniqueFd server;
    UniqueFd peer;
};

bool hasDataToRead(int socket)
{
    pollfd entry{socket, POLLIN, 0};
    return ::poll(&entry, 1, 0) == 1;
}

// Paths exist from their first publish until the publisher stops; pictures
// published while stopped are dropped and leave no path behind.
TEST(Publisher, KnowsOnlyPathsPublishedSinceStart)
{
    Publisher publisher;
    publisher.enqueue("/jpg", "early");
    EXPECT_FALSE(publisher.hasPath("/jpg")) << "a publisher not started must drop pictures";

    publisher.start(1);
    EXPECT_TRUE(publisher.isAlive());
    EXPECT_FALSE(publisher.hasPath("/jpg"));
    publisher.enqueue("/jpg", "picture");
    EXPECT_TRUE(publisher.hasPath("/jpg"));
    EXPECT_FALSE(publisher.hasPath("/jpg?size=2")) << "paths compare byte for byte";

    publisher.stop();
    EXPECT_EQ(publisher.state(), utils::RunState::stopped);
    EXPECT_FALSE(publisher.hasPath("/jpg"));
    publisher.enqueue("/jpg", "late");
    EXPECT_FALSE(publisher.hasPath("/jpg"));

    publisher.start(1);
    EXPECT_FALSE(publisher.hasPath("/jpg")) << "a restart begins without paths";
    publisher.stop();
    publisher.stop();
    EXPECT_EQ(publisher.state(), utils::RunState::stopped);
}

// Without workers nothing drains the queue: a client collects at most six
// jobs however many pictures are published, the first for the picture that
// was current when it joined.
TEST(Publisher, QueuesAtMostSixJobsPerClient)
{
    Publisher publisher;
    publisher.start(0);
    publisher.enqueue("/jpg", "first");
    SocketPair pair;
    ASSERT_TRUE(publisher.addClient(pair.server.get(), "/jpg"));
    EXPECT_EQ(publisher.pendingJobs(pair.server.get()), 1);
    for (int i = 0; i < 3; ++i)
        publisher.enqueue("/jpg", "picture");
    EXPECT_EQ(publisher.pendingJobs(pair.server.get()), 4);
    for (int i = 0; i < 20; ++i)
        publisher.enqueue("/jpg", "picture");
    EXPECT_EQ(publisher.pendingJobs(pair.server.get()), Publisher::kMaxPendingJobsPerClient);
}

// Clients are registered only on published paths, and removal clears every
// table while other clients stay.
TEST(Publisher, RemovesClientFromEveryTable)
{
    Publisher publisher;
    publisher.start(1);
    publisher.enqueue("/jpg", "a");
    publisher.enqueue("/histogram", "b");
    SocketPair first, second, never;
    EXPECT_FALSE(publisher.addClient(never.server.get(), "/unknown"));
    EXPECT_FALSE(publisher.knowsClient(never.server.get()));
    ASSERT_TRUE(publisher.addClient(first.server.get(), "/jpg"));
    ASSERT_TRUE(publisher.addClient(second.server.get(), "/histogram"));
    EXPECT_EQ(publisher.clientCount(), 2u);

    publisher.removeClient(never.server.get());
    EXPECT_EQ(publisher.clientCount(), 2u) << "removing a socket that is no client changed the tables";
    EXPECT_TRUE(publisher.knowsClient(first.server.get()));

    publisher.removeClient(first.server.get());
    EXPECT_FALSE(publisher.knowsClient(first.server.get()));
    EXPECT_TRUE(publisher.knowsClient(second.server.get()));
    EXPECT_EQ(publisher.clientCount(), 1u);

    // A connection that asks for another path moves there.
    ASSERT_TRUE(publisher.addClient(second.server.get(), "/jpg"));
    EXPECT_EQ(publisher.clientCount(), 1u);
    publisher.removeClient(second.server.get());
    EXPECT_FALSE(publisher.knowsClient(second.server.get())) << "a stale entry stayed on the old path";
}

// Each picture reaches a client as one part: header, size, blank line,
// picture, and the next part's "--" right after the last byte. A client that
// joins starts with the current picture.
TEST(Publisher, WritesOneWholePartPerPicture)
{
    Publisher publisher;
    publisher.start(2);
    publisher.enqueue("/jpg", "hello");
    SocketPair pair;
    ASSERT_TRUE(publisher.addClient(pair.server.get(), "/jpg"));
    LoopbackClient viewer(std::move(pair.peer));

    const std::string first = streamPart("hello");
    EXPECT_EQ(viewer.read(first.size(), kWaitTimeoutMs), first);
    EXPECT_EQ(first.size(), 66u + 1u + 4u + 5u) << "the part header text is 66 bytes";
    publisher.enqueue("/jpg", std::string("a\0b", 3));
    EXPECT_EQ(viewer.nextPartAfter("hello"), std::string("a\0b", 3));
}

// A job queued for a client that is then removed must not reach the
// connection that inherits its socket number.
TEST(Publisher, NeverWritesAStaleJobToAReusedSocketNumber)
{
    Publisher publisher;
    publisher.start(1);

    // Keep the only worker busy on a client that never reads.
    publisher.enqueue("/stall", "x");
    SocketPair stalled;
    ASSERT_TRUE(publisher.addClient(stalled.server.get(), "/stall"));
    publisher.enqueue("/stall", std::string(16 << 20, 's'));
    ASSERT_TRUE(waitFor([&] { return hasDataToRead(stalled.peer.get()); }));

    publisher.enqueue("/a", "old");
    SocketPair old_client;
    const int number = old_client.server.get();
    ASSERT_TRUE(publisher.addClient(number, "/a"));
    publisher.enqueue("/a", "current");
    ASSERT_EQ(publisher.pendingJobs(number), 2) << "the jobs must still be queued behind the stalled one";

    // The old connection goes away; a new one gets the same number.
    publisher.removeClient(number);
    old_client.server.reset();
    old_client.peer.reset();
    SocketPair fresh;
    UniqueFd reused;
    if (fresh.server.get() == number) {
        reused = std::move(fresh.server);
    } else {
        ASSERT_EQ(::dup2(fresh.server.get(), number), number);
        reused.reset(number);
        fresh.server.reset();
    }
    const long long joined = test::nowMs();
    ASSERT_TRUE(publisher.addClient(number, "/a"));
    LoopbackClient viewer(std::move(fresh.peer));

    // The new client starts with the current picture, repeated once and then
    // once a second while the worker was held; a copy beyond those would be
    // one of the old client's jobs.
    std::string picture, error;
    ASSERT_TRUE(viewer.readPart(picture, error, kWaitTimeoutMs)) << error;
    EXPECT_EQ(picture, "current");
    publisher.enqueue("/a", "second");
    const long long own_copies = 2 + (test::nowMs() - joined) / Publisher::kKeepAliveIntervalMs;
    int copies = 1;
    while (picture == "current") {
        ASSERT_TRUE(viewer.readPart(picture, error, kWaitTimeoutMs)) << error;
        copies += picture == "current" ? 1 : 0;
    }
    EXPECT_EQ(picture, "second");
    EXPECT_LE(copies, own_copies) << "the old client's job was written to the new connection";
    publisher.enqueue("/a", "third");
    EXPECT_EQ(viewer.nextPartAfter("second"), "third");
    publisher.stop();
}

}  // namespace
}  // namespace quelmor::net
