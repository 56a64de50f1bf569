// SPDX-License-Identifier: GPL-3.0-or-later
#include "mjpeg/MJPEGStreamer.h"

#include "LoopbackClient.h"
#include "PortHolder.h"
#include "StreamFormat.h"
#include "TestSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <list>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace quelmor {
namespace {

using test::exchange;
using test::kStreamHeader;
using test::kWaitTimeoutMs;
using test::LoopbackClient;
using test::streamPart;
using test::waitFor;

constexpr int kSmallReceiveBufferBytes = 4096;

const std::string kViewerHead = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n";
// The page, with its zoom, status line and histogram, stays small and self-contained.
constexpr std::size_t kMostViewerPageBytes = 32 * 1024;

// Whether `answer` is `head` followed by the viewer page: one HTML document
// that shows "/jpg" and loads nothing from elsewhere.
::testing::AssertionResult isViewerAnswer(const std::string& answer, const std::string& head = kViewerHead)
{
    if (answer.compare(0, head.size(), head) != 0)
        return ::testing::AssertionFailure() << "the answer starts " << ::testing::PrintToString(answer.substr(0, 80));
    const std::string page = answer.substr(head.size());
    const std::string end = "</html>";
    if (page.rfind("<!DOCTYPE html>", 0) != 0 || page.size() < end.size() ||
        page.compare(page.size() - end.size(), end.size(), end) != 0)
        return ::testing::AssertionFailure() << "no whole HTML document after the head";
    if (page.find("'/jpg'") == std::string::npos)
        return ::testing::AssertionFailure() << "the page does not show /jpg";
    if (page.find("://") != std::string::npos || page.size() > kMostViewerPageBytes)
        return ::testing::AssertionFailure() << "the page is not small and self-contained: " << page.size() << " bytes";
    return ::testing::AssertionSuccess();
}

// A picture whose every byte depends on its number, so that any two differ
// and a torn or mixed part cannot pass for a whole one.
std::string numberedPicture(int number, std::size_t bytes)
{
    std::string picture(bytes, '\0');
    for (std::size_t i = 0; i < bytes; ++i)
        picture[i] = static_cast<char>((i * 31 + static_cast<std::size_t>(number) * 7) % 251);
    return picture;
}

// Opens a stream of `path` and waits until the publisher has registered it.
bool openStream(MJPEGStreamer& streamer, LoopbackClient& client, const std::string& path)
{
    const std::size_t before = streamer.streamClientCount();
    return client.send("GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n") &&
        client.read(kStreamHeader.size(), kWaitTimeoutMs) == kStreamHeader &&
        waitFor([&] { return streamer.streamClientCount() == before + 1; });
}

// Opens a stream of `path` and reads the part it starts with, which must be
// the path's current picture.
::testing::AssertionResult joinStream(
    MJPEGStreamer& streamer, LoopbackClient& client, const std::string& path, const std::string& current)
{
    if (!openStream(streamer, client, path))
        return ::testing::AssertionFailure() << "the stream of " << path << " did not open";
    const std::string picture = client.nextPart();
    if (picture != current)
        return ::testing::AssertionFailure() << "the stream started with " << picture.substr(0, 80);
    return ::testing::AssertionSuccess();
}

class MJPEGStreamerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(streamer.start(0, 2)) << streamer.lastError(); }

    MJPEGStreamer streamer;
};

// A stream path is 404 until its first picture; then the stream response
// comes with its headers in fixed order, followed by exact parts, the first
// of them the current picture.
TEST_F(MJPEGStreamerTest, ServesStreamPathOnlyAfterFirstPublish)
{
    EXPECT_EQ(exchange(streamer.port(), "GET /jpg HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found\r\n\r\n");
    streamer.publish("/jpg", "first");
    EXPECT_EQ(exchange(streamer.port(), "GET /histogram?width=2 HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found\r\n\r\n");
    EXPECT_EQ(exchange(streamer.port(), "GET /JPG HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found\r\n\r\n");

    LoopbackClient client(streamer.port());
    ASSERT_TRUE(openStream(streamer, client, "/jpg"));
    const std::string expected = streamPart("first");
    EXPECT_EQ(client.read(expected.size(), kWaitTimeoutMs), expected);
    streamer.publish("/jpg", "hello");
    EXPECT_EQ(client.nextPartAfter("first"), "hello");
}

// "/viewer" answers any method with the page; other methods on a stream path
// get 405; a request of HTTP/1.0 is answered in kind, any other as HTTP/1.1,
// and no byte of the request comes back in the answer.
TEST_F(MJPEGStreamerTest, AnswersViewerAndRefusesOtherMethods)
{
    EXPECT_TRUE(isViewerAnswer(exchange(streamer.port(), "GET /viewer HTTP/1.1\r\n\r\n")));
    EXPECT_TRUE(isViewerAnswer(exchange(streamer.port(), "POST /viewer HTTP/1.1\r\n\r\nbody")));

    streamer.publish("/jpg", "picture");
    EXPECT_EQ(exchange(streamer.port(), "POST /jpg HTTP/1.1\r\n\r\n"), "HTTP/1.1 405 Method Not Allowed\r\n\r\n");
    EXPECT_EQ(exchange(streamer.port(), "HEAD /jpg HTTP/1.1\r\n\r\n"), "HTTP/1.1 405 Method Not Allowed\r\n\r\n");

    EXPECT_TRUE(isViewerAnswer(exchange(streamer.port(), "GET /viewer HTTP/1.0\r\n\r\n"),
        "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n"));
    EXPECT_EQ(exchange(streamer.port(), "GET /nothing HTTP/1.0\r\n\r\n"), "HTTP/1.0 404 Not Found\r\n\r\n");
    LoopbackClient stream(streamer.port());
    ASSERT_TRUE(stream.send("GET /jpg HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(stream.read(8, kWaitTimeoutMs), "HTTP/1.0");
    // Lines ended by "\n" alone are lines all the same.
    EXPECT_TRUE(isViewerAnswer(exchange(streamer.port(), "GET /viewer HTTP/1.0\nHost: a\n\n"),
        "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n"));
    EXPECT_TRUE(isViewerAnswer(exchange(streamer.port(), "GET /viewer <script>\n\n")));
    EXPECT_TRUE(isViewerAnswer(exchange(streamer.port(), "GET /viewer?zoom=2 HTTP/1.1\r\n\r\n")));
    EXPECT_EQ(exchange(streamer.port(), "GET /status HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found\r\n\r\n")
        << "without a status source";
}

// A picture 800 pixels wide whose every size names its factor; counts how
// often each size is made.
class CountingPicture : public ScalablePicture {
public:
    std::int32_t width() const override { return 800; }
    std::int32_t height() const override { return 600; }
    std::string encode(int factor) const override
    {
        ++made[static_cast<std::size_t>(factor)];
        return "size/" + std::to_string(factor);
    }
    mutable std::array<std::atomic<int>, 9> made{};
};

// A viewer's "?width=N" picks the largest reduction still N wide; anything
// that is not a sensible width, and any other key, is ignored.
TEST_F(MJPEGStreamerTest, SendsEachViewerTheSizeItAskedFor)
{
    streamer.publish("/jpg", std::make_shared<CountingPicture>());
    const std::vector<std::pair<std::string, std::string>> rows = {{"", "size/1"}, {"?width=800", "size/1"},
        {"?width=5000", "size/1"}, {"?width=401", "size/1"}, {"?width=400", "size/2"}, {"?width=200", "size/4"},
        {"?width=100", "size/8"}, {"?width=1", "size/8"}, {"?foo=1&width=200", "size/4"},
        {"?width=200&width=800", "size/4"}, {"?width=0", "size/1"}, {"?width=-5", "size/1"}, {"?width=abc", "size/1"},
        {"?width=", "size/1"}, {"?width", "size/1"}, {"?width=99999999999", "size/1"}, {"?width=2e2", "size/1"},
        {"?width=%32", "size/1"}};
    std::list<LoopbackClient> clients;  // kept open, so that the client count only grows
    for (const auto& [query, expected] : rows)
        EXPECT_TRUE(joinStream(streamer, clients.emplace_back(streamer.port()), "/jpg" + query, expected)) << query;
}

// Each size is made once per picture for all its viewers and only while one
// watches; a snapshot takes what is made already, and none is served before
// the first picture.
TEST(MJPEGStreamer, MakesEachSizeOnceAndOnlyForItsViewers)
{
    MJPEGStreamer streamer;
    ASSERT_TRUE(streamer.start(0, 2, {"/jpg"})) << streamer.lastError();
    EXPECT_EQ(exchange(streamer.port(), "GET /snapshot HTTP/1.0\r\n\r\n"),
        "HTTP/1.0 503 Service Unavailable\r\nRetry-After: 1\r\nContent-Length: 0\r\n\r\n");
    LoopbackClient first(streamer.port()), second(streamer.port());
    ASSERT_TRUE(openStream(streamer, first, "/jpg?width=200"));
    ASSERT_TRUE(openStream(streamer, second, "/jpg?width=150"));
    const auto picture = std::make_shared<CountingPicture>();
    EXPECT_FALSE(streamer.watchedAtFullSize("/jpg", picture->width()));
    streamer.publish("/jpg", picture);
    for (LoopbackClient* client : {&first, &second})
        EXPECT_EQ(client->nextPart(), "size/4");
    EXPECT_EQ(picture->made[4], 1);
    EXPECT_EQ(picture->made[1], 0) << "a full size that nobody watches";

    const std::string snapshot = exchange(streamer.port(), "GET /snapshot?width=200 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(snapshot,
        "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nPragma: no-cache\r\nCache-Control: no-cache, no-store, "
        "must-revalidate, pre-check=0, post-check=0, max-age=0\r\nConnection: close\r\nContent-Length: 6\r\n\r\n"
        "size/4");
    EXPECT_EQ(picture->made[4], 1);
    ASSERT_TRUE(waitFor([&] { return streamer.streamClientCount() == 2; })) << "the snapshot's connection stays";
    LoopbackClient full(streamer.port());
    EXPECT_TRUE(joinStream(streamer, full, "/jpg", "size/1"));
    EXPECT_TRUE(streamer.watchedAtFullSize("/jpg", picture->width()));
    EXPECT_EQ(picture->made[1], 1);
}

// "/shutdown" with any method is answered 200, then every connection is
// closed and the server is no longer alive; stop and start bring it back.
TEST_F(MJPEGStreamerTest, ShutdownClosesEveryConnection)
{
    streamer.publish("/jpg", "picture");
    LoopbackClient stream(streamer.port());
    ASSERT_TRUE(openStream(streamer, stream, "/jpg"));
    LoopbackClient idle(streamer.port());
    ASSERT_TRUE(idle.isConnected());

    EXPECT_EQ(
        exchange(streamer.port(), "DELETE /shutdown HTTP/1.1\r\nHost: localhost\r\n\r\n"), "HTTP/1.1 200 OK\r\n\r\n");
    stream.readUntilClosed(kWaitTimeoutMs);
    EXPECT_TRUE(stream.sawEndOfStream()) << "the stream connection stayed open";
    EXPECT_EQ(idle.readUntilClosed(kWaitTimeoutMs), "");
    EXPECT_TRUE(idle.sawEndOfStream()) << "the idle connection stayed open";
    EXPECT_TRUE(waitFor([&] { return !streamer.isAlive(); }));
    EXPECT_EQ(streamer.lastError(), "");
    streamer.publish("/jpg", "ignored");

    streamer.stop();
    ASSERT_TRUE(streamer.start(0, 2)) << streamer.lastError();
    EXPECT_EQ(exchange(streamer.port(), "GET /jpg HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found\r\n\r\n");
}

// An IPv4 address of this machine outside 127.0.0.0/8, empty if it has none.
std::string nonLoopbackAddress()
{
    ifaddrs* list = nullptr;
    std::string found;
    for (ifaddrs* entry = ::getifaddrs(&list) == 0 ? list : nullptr; entry; entry = entry->ifa_next) {
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (address && address->sin_family == AF_INET && ntohl(address->sin_addr.s_addr) >> 24 != IN_LOOPBACKNET)
            found = ::inet_ntoa(address->sin_addr);
    }
    ::freeifaddrs(list);
    return found;
}

// "/shutdown" ends the server only for a peer on this machine that names it
// as its Host, and not for a browser's request made for a page of another
// site, nor for one whose own name was pointed at this machine (DNS
// rebinding); two Hosts get 400. Any other request is refused on that
// connection alone, and the stream goes on. ctest runs this in a network
// namespace whose loopback also holds 192.0.2.1.
TEST(MJPEGStreamer, ShutdownOnlyFromThisMachine)
{
    const std::string remote = nonLoopbackAddress();
    ASSERT_FALSE(remote.empty()) << "no IPv4 address outside 127.0.0.0/8 to connect from: run it through ctest";
    const std::string rebound = "Origin: http://evil.test:8080\r\nReferer: http://evil.test:8080/\r\n";
    const struct {
        std::string source, host, headers;
        int status;
    } rows[] = {
        {"127.0.0.2", "localhost:8080", "", 200},
        {remote, "localhost:8080", "", 403},
        {"127.0.0.1", "localhost:8080", "Sec-Fetch-Site: none\r\n", 200},
        {"127.0.0.1", "localhost:8080", "Sec-Fetch-Site: same-origin\r\n", 200},
        {"127.0.0.1", "localhost:8080", "sec-fetch-site: cross-site\r\n", 403},
        {"127.0.0.1", "localhost:8080", "Sec-Fetch-Site: same-site\r\n", 403},
        {"127.0.0.1", "LOCALHOST:8080", "Origin: http://localhost:8080\r\n", 200},
        {"127.0.0.1", "localhost:8080", "Origin: null\r\n", 403},
        {"127.0.0.1", "localhost:8080", "ORIGIN: http://localhost:8081\r\n", 403},
        {"127.0.0.1", "localhost:8080", "Referer: http://localhost:8080/viewer\r\n", 200},
        {"127.0.0.1", "localhost:8080", "Referer: https://example.com/localhost:8080\r\n", 403},
        {"127.0.0.1", "evil.test:8080", rebound + "Sec-Fetch-Site: same-origin\r\n", 403},
        {"127.0.0.1", "localhost", "", 200},
        {"127.0.0.1", "127.0.0.1:8080", "", 200},
        {"127.0.0.1", "127.255.0.9", "", 200},
        {"127.0.0.1", "[::1]:8080", "", 200},
        {"127.0.0.1", "localhost.evil.test", "", 403},
        {"127.0.0.1", "127.0.0.1.evil", "", 403},
        {"127.0.0.1", "[::1].evil", "", 403},
        {"127.0.0.1", "localhost:80:80", "", 403},
        {"127.0.0.1", "", "", 403},
        {"127.0.0.1", "localhost:8080", "host: evil.test:8080\r\n", 400},
    };
    const std::map<int, std::string> answers = {{200, "HTTP/1.1 200 OK\r\n\r\n"},
        {403, "HTTP/1.1 403 Forbidden\r\n\r\n"}, {400, "HTTP/1.1 400 Bad Request\r\n\r\n"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.source + " Host: " + row.host + " " + row.headers);
        const bool honoured = row.status == 200;
        MJPEGStreamer streamer;
        ASSERT_TRUE(streamer.start(0, 2)) << streamer.lastError();
        streamer.publish("/jpg", "first");
        LoopbackClient stream(streamer.port());
        ASSERT_TRUE(joinStream(streamer, stream, "/jpg", "first"));
        const std::string host = row.host.empty() ? "" : "Host: " + row.host + "\r\n";
        EXPECT_EQ(exchange(streamer.port(), "GET /shutdown HTTP/1.1\r\n" + host + row.headers + "\r\n", row.source),
            answers.at(row.status));
        streamer.publish("/jpg", "second");
        std::string picture, error;
        EXPECT_EQ(stream.readPartAfter("first", picture, error, kWaitTimeoutMs), !honoured) << error;
        EXPECT_EQ(streamer.isAlive(), !honoured);
    }
}

// Paths named at start serve viewers before their first picture; others stay unknown.
TEST(MJPEGStreamer, ServesPathsNamedAtStartBeforeTheirFirstPicture)
{
    MJPEGStreamer streamer;
    ASSERT_TRUE(streamer.start(0, 2, {"/jpg", "/histogram"})) << streamer.lastError();
    LoopbackClient jpg(streamer.port());
    EXPECT_TRUE(openStream(streamer, jpg, "/jpg"));
    LoopbackClient histogram(streamer.port());
    EXPECT_TRUE(openStream(streamer, histogram, "/histogram"));
    EXPECT_EQ(exchange(streamer.port(), "GET /png HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found\r\n\r\n");
}

// Two viewers each receive one whole part per picture (and, should the test
// dawdle past the repeat delay, one repeat of the one before).
TEST_F(MJPEGStreamerTest, TwoClientsEachReceiveOnePartPerPicture)
{
    std::string previous = "start";
    streamer.publish("/jpg", previous);
    LoopbackClient first(streamer.port());
    LoopbackClient second(streamer.port());
    ASSERT_TRUE(joinStream(streamer, first, "/jpg", previous));
    ASSERT_TRUE(joinStream(streamer, second, "/jpg", previous));

    for (int number = 1; number <= 5; ++number) {
        const std::string picture = numberedPicture(number, 1000 + static_cast<std::size_t>(number));
        streamer.publish("/jpg", picture);
        for (LoopbackClient* client : {&first, &second}) {
            std::string received, error;
            ASSERT_TRUE(client->readPartAfter(previous, received, error, kWaitTimeoutMs)) << error;
            EXPECT_TRUE(received == picture) << "picture " << number << " arrived altered or twice";
        }
        previous = picture;
    }
}

// A viewer that disconnects is forgotten by the publisher.
TEST_F(MJPEGStreamerTest, ForgetsClientThatDisconnects)
{
    streamer.publish("/jpg", "picture");
    LoopbackClient leaving(streamer.port());
    LoopbackClient staying(streamer.port());
    ASSERT_TRUE(openStream(streamer, leaving, "/jpg"));
    ASSERT_TRUE(joinStream(streamer, staying, "/jpg", "picture"));
    leaving.close();
    EXPECT_TRUE(waitFor([&] { return streamer.streamClientCount() == 1; }));
    streamer.publish("/jpg", "after");
    EXPECT_EQ(staying.nextPartAfter("picture"), "after");
}

// A viewer with a tiny receive buffer reading slowly, and pictures of 2 MB
// and more: whatever it receives, from the picture current when it joined
// on, is whole and byte-identical to a published picture, in publishing
// order, and it ends with the newest picture.
TEST_F(MJPEGStreamerTest, SlowReaderReceivesOnlyWholePictures)
{
    constexpr int kPictures = 8;
    std::vector<std::string> pictures;
    for (int number = 0; number < kPictures; ++number)
        pictures.push_back(numberedPicture(number, (2u << 20) + static_cast<std::size_t>(number) * 4099));
    streamer.publish("/jpg", pictures[0]);
    LoopbackClient slow(streamer.port(), kSmallReceiveBufferBytes);
    ASSERT_TRUE(openStream(streamer, slow, "/jpg"));
    slow.throttle(16 * 1024, 1);

    std::thread producer([&] {
        for (int number = 1; number < kPictures; ++number) {
            streamer.publish("/jpg", pictures[static_cast<std::size_t>(number)]);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    int last_seen = 0;
    int parts = 0;
    std::string error;
    while (last_seen < kPictures - 1) {
        std::string received;
        if (!slow.readPart(received, error, kWaitTimeoutMs))
            break;
        ++parts;
        const int number = static_cast<int>(std::find(pictures.begin(), pictures.end(), received) - pictures.begin());
        ASSERT_LT(number, kPictures) << "part " << parts << " (" << received.size() << " bytes) matches no picture";
        ASSERT_GE(number, last_seen) << "an older picture came after a newer one";
        last_seen = number;
    }
    producer.join();
    EXPECT_EQ(last_seen, kPictures - 1) << "the newest picture never arrived: " << error;
}

// A viewer that stops reading in the middle of a part is cut off: it sees
// whole parts, at most one torn part at the very end, then the connection
// closes and the publisher forgets it.
TEST_F(MJPEGStreamerTest, StalledClientIsCutOffWithoutTornPartsBeforeTheEnd)
{
    // Larger than the socket buffers can ever hold (a send buffer grows to
    // 4 MiB here), so the stall always falls inside a part, never between two.
    const std::string picture = numberedPicture(1, 8u << 20);
    streamer.publish("/jpg", picture);
    LoopbackClient stalled(streamer.port(), kSmallReceiveBufferBytes);
    ASSERT_TRUE(openStream(streamer, stalled, "/jpg"));
    for (int i = 0; i < 4; ++i)
        streamer.publish("/jpg", picture);
    ASSERT_TRUE(waitFor([&] { return streamer.streamClientCount() == 0; }))
        << "a client that never reads was never given up";

    std::string received, error;
    int whole = 0;
    while (stalled.readPart(received, error, kWaitTimeoutMs)) {
        EXPECT_TRUE(received == picture);
        ++whole;
    }
    EXPECT_TRUE(stalled.sawEndOfStream()) << "the connection was not closed: " << error;
    EXPECT_LE(whole, 5);
}

// A browser draws a part only when the next one begins. So a viewer that
// joins gets the current picture at once and exactly once more a little
// later, and a picture that stays newest is sent exactly once more, until the
// keep-alive a second on.
TEST_F(MJPEGStreamerTest, SendsAPictureThatStaysNewestExactlyOnceMore)
{
    constexpr int kQuietMs = 4 * net::Publisher::kRepeatDelayMs;
    streamer.publish("/jpg", "current");
    LoopbackClient client(streamer.port());
    ASSERT_TRUE(openStream(streamer, client, "/jpg"));
    EXPECT_EQ(client.nextPart(), "current");
    EXPECT_EQ(client.nextPart(), "current");
    streamer.publish("/jpg", "newest");
    EXPECT_EQ(client.nextPart(), "newest");
    EXPECT_EQ(client.nextPart(), "newest");
    std::string received, error;
    EXPECT_FALSE(client.readPart(received, error, kQuietMs)) << "a third copy of \"" << received << "\"";
}

// A paused picture keeps coming once a second after its repeat, never more
// often, both to a viewer that saw it published and to one that joined on it.
TEST_F(MJPEGStreamerTest, KeepsSendingAPausedPictureOnceASecond)
{
    constexpr long long kWatchMs = 3 * net::Publisher::kKeepAliveIntervalMs + 2 * net::Publisher::kRepeatDelayMs;
    constexpr long long kSlackMs = net::Publisher::kKeepAliveIntervalMs / 4;
    for (const bool joins_on_it : {false, true}) {
        SCOPED_TRACE(joins_on_it ? "joined on the paused picture" : "saw it published");
        ASSERT_TRUE(waitFor([&] { return streamer.streamClientCount() == 0; }));
        const std::string paused = numberedPicture(joins_on_it ? 2 : 1, 100);
        LoopbackClient client(streamer.port());
        if (joins_on_it) {
            streamer.publish("/jpg", paused);
            ASSERT_TRUE(openStream(streamer, client, "/jpg"));
        } else {
            streamer.publish("/jpg", "earlier");
            ASSERT_TRUE(joinStream(streamer, client, "/jpg", "earlier"));
            streamer.publish("/jpg", paused);
        }
        const long long start = test::nowMs();
        std::vector<long long> arrivals;
        std::string received, error;
        while (client.readPart(received, error, static_cast<int>(start + kWatchMs - test::nowMs()))) {
            if (received == paused)
                arrivals.push_back(test::nowMs() - start);
        }
        // The picture, its repeat, then at least two keep-alives.
        ASSERT_GE(arrivals.size(), 4u) << error;
        for (std::size_t i = 3; i < arrivals.size(); ++i)
            EXPECT_GE(arrivals[i] - arrivals[i - 1], net::Publisher::kKeepAliveIntervalMs - kSlackMs) << "part " << i;
    }
}

// While pictures come faster than the repeat delay, nothing is repeated: the
// viewer receives each picture once, in order. Only a pause that the test
// itself took longer than half the delay may let one repeat through.
TEST_F(MJPEGStreamerTest, RepeatsNothingWhilePicturesFlow)
{
    constexpr int kPictures = 25;
    constexpr int kIntervalMs = 20;
    constexpr long long kSuspectPauseMs = net::Publisher::kRepeatDelayMs / 2;
    const long long joined = test::nowMs();
    streamer.publish("/jpg", numberedPicture(0, 100));
    LoopbackClient client(streamer.port());
    ASSERT_TRUE(joinStream(streamer, client, "/jpg", numberedPicture(0, 100)));

    int long_pauses = 0;
    std::thread producer([&] {
        long long previous = joined;
        for (int number = 1; number <= kPictures; ++number) {
            const long long now = test::nowMs();
            long_pauses += now - previous > kSuspectPauseMs ? 1 : 0;
            previous = now;
            streamer.publish("/jpg", numberedPicture(number, 100));
            std::this_thread::sleep_for(std::chrono::milliseconds(kIntervalMs));
        }
    });
    int parts = 0;
    int last_seen = 0;
    bool in_order = true;
    std::string received, error;
    while (last_seen < kPictures && client.readPart(received, error, kWaitTimeoutMs)) {
        ++parts;
        int number = -1;
        for (int candidate = 0; candidate <= kPictures; ++candidate) {
            if (received == numberedPicture(candidate, 100))
                number = candidate;
        }
        in_order = in_order && number >= last_seen;
        last_seen = std::max(last_seen, number);
    }
    producer.join();
    EXPECT_EQ(last_seen, kPictures) << error;
    EXPECT_TRUE(in_order) << "an older picture came after a newer one";
    EXPECT_LE(parts, kPictures + long_pauses) << "pictures were repeated while others followed";
}

// Requests as a network delivers them: in pieces, with the headers late, or
// followed at once by a half-close. Each is answered once it is whole, and a
// stream carries nothing but whole parts after its header.
TEST_F(MJPEGStreamerTest, AnswersRequestsOnlyOnceWhole)
{
    enum class Answer { whole, page, stream };
    struct Case {
        const char* name;
        std::vector<std::string> pieces;  // sent 50 ms apart
        bool half_close;
        std::string answer;  // the whole answer; the head before the page, or a stream's header
        Answer kind;
    };
    const std::vector<Case> cases = {
        {"split request line", {"GET /vie", "wer HTTP/1.1\r\n\r\n"}, false, kViewerHead, Answer::page},
        {"split blank line", {"GET /viewer HTTP/1.1\r\nHost: a\r\n", "\r\n"}, false, kViewerHead, Answer::page},
        {"LF-only, split", {"GET /viewer HTTP/1.1\n", "\n"}, false, kViewerHead, Answer::page},
        {"half-close after request", {"GET /viewer HTTP/1.1\r\n\r\n"}, true, kViewerHead, Answer::page},
        {"half-close after split 404", {"GET /no", "ne HTTP/1.0\r\n\r\n"}, true, "HTTP/1.0 404 Not Found\r\n\r\n",
            Answer::whole},
        {"stream with late headers", {"GET /jpg HTTP/1.1\r\n", "Host: localhost\r\n", "Accept: */*\r\n\r\n"}, false,
            kStreamHeader, Answer::stream},
    };
    streamer.publish("/jpg", "picture");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackClient client(streamer.port());
        for (std::size_t i = 0; i < c.pieces.size(); ++i) {
            if (i > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ASSERT_TRUE(client.send(c.pieces[i]));
        }
        if (c.half_close)
            client.halfClose();
        if (c.kind != Answer::stream) {
            const std::string answer = client.readUntilClosed(kWaitTimeoutMs);
            if (c.kind == Answer::page)
                EXPECT_TRUE(isViewerAnswer(answer, c.answer));
            else
                EXPECT_EQ(answer, c.answer);
            EXPECT_TRUE(client.sawEndOfStream());
            continue;
        }
        EXPECT_EQ(client.read(c.answer.size(), kWaitTimeoutMs), c.answer);
        // The current picture, its repeat, then a new one: all whole.
        EXPECT_EQ(client.nextPart(), "picture");
        EXPECT_EQ(client.nextPart(), "picture");
        streamer.publish("/jpg", "next");
        EXPECT_EQ(client.nextPart(), "next");
        streamer.publish("/jpg", "picture");
    }
}

// A stream client that sends more while a part of 8 MB is under way, a
// repeated request and stray bytes, receives nothing but whole parts.
TEST_F(MJPEGStreamerTest, StreamClientInputNeverLandsInsideAPart)
{
    const std::string first = numberedPicture(1, 8u << 20);
    const std::string second = numberedPicture(2, 8u << 20);
    streamer.publish("/jpg", first);
    LoopbackClient client(streamer.port(), kSmallReceiveBufferBytes);
    ASSERT_TRUE(openStream(streamer, client, "/jpg"));
    const std::string head = client.read(1u << 20, kWaitTimeoutMs);
    ASSERT_EQ(head.size(), 1u << 20);
    ASSERT_TRUE(client.send("GET /jpg HTTP/1.1\r\n\r\nGET /viewer HTTP/1.1\r\n\r\nstray bytes\r\n\r\n"));
    streamer.publish("/jpg", second);
    const std::string rest = client.read(streamPart(first).size() - head.size(), kWaitTimeoutMs);
    EXPECT_TRUE(head + rest == streamPart(first)) << "the first part arrived altered";
    std::string received, error;
    ASSERT_TRUE(client.readPartAfter(first, received, error, kWaitTimeoutMs)) << error;
    EXPECT_TRUE(received == second) << "the second part arrived altered";
    EXPECT_EQ(streamer.streamClientCount(), 1u);
}

// A viewer that reads 64 KB every 125 ms (512 KB/s) takes seconds over each
// picture of 8 MB, far more than the socket buffers hold, but never stops
// taking bytes: it stays connected for 30 s and receives only whole parts.
TEST_F(MJPEGStreamerTest, SteadySlowViewerStaysConnected)
{
    constexpr long long kWatchMs = 30000;
    constexpr int kPublishIntervalMs = 1000;
    std::vector<std::string> pictures;
    for (int number = 0; number < 3; ++number)
        pictures.push_back(numberedPicture(number, 8u << 20));
    streamer.publish("/jpg", pictures[0]);
    LoopbackClient viewer(streamer.port());
    ASSERT_TRUE(openStream(streamer, viewer, "/jpg"));
    viewer.throttle(64 * 1024, 125);

    std::atomic<bool> watching{true};
    std::thread producer([&] {
        for (std::size_t number = 1; watching; ++number) {
            streamer.publish("/jpg", pictures[number % pictures.size()]);
            std::this_thread::sleep_for(std::chrono::milliseconds(kPublishIntervalMs));
        }
    });
    const long long end = test::nowMs() + kWatchMs;
    int whole = 0;
    std::string received, error;
    while (test::nowMs() < end && viewer.readPart(received, error, static_cast<int>(end - test::nowMs()))) {
        EXPECT_TRUE(std::find(pictures.begin(), pictures.end(), received) != pictures.end())
            << "part " << whole << " (" << received.size() << " bytes) matches no picture";
        ++whole;
    }
    const bool still_served = streamer.streamClientCount() == 1;
    watching = false;
    producer.join();
    EXPECT_FALSE(viewer.sawEndOfStream()) << "the viewer was cut off after " << whole << " parts: " << error;
    EXPECT_TRUE(still_served);
    EXPECT_GE(whole, 1);
}

// A connection that sends nothing, or half a request line, is closed once
// the request time-out has passed and not before; a stream client that gets
// no picture for longer than that stays open.
TEST(MJPEGStreamer, ClosesConnectionsThatNeverCompleteARequest)
{
    constexpr int kTimeoutMs = 500;
    MJPEGStreamer streamer;
    streamer.setRequestTimeout(std::chrono::milliseconds(kTimeoutMs));
    ASSERT_TRUE(streamer.start(0, 2)) << streamer.lastError();
    streamer.publish("/jpg", "picture");
    LoopbackClient stream(streamer.port());
    ASSERT_TRUE(joinStream(streamer, stream, "/jpg", "picture"));

    const long long opened = test::nowMs();
    LoopbackClient silent(streamer.port());
    LoopbackClient partial(streamer.port());
    ASSERT_TRUE(partial.send("GET /vie"));
    for (LoopbackClient* client : {&silent, &partial}) {
        EXPECT_EQ(client->readUntilClosed(kWaitTimeoutMs), "");
        EXPECT_TRUE(client->sawEndOfStream()) << "an incomplete request was never given up";
        EXPECT_GE(test::nowMs() - opened, kTimeoutMs) << "closed before the time-out";
    }

    std::string received, error;
    ASSERT_TRUE(stream.readPart(received, error, kWaitTimeoutMs)) << "the join's repeat: " << error;
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * kTimeoutMs));
    streamer.publish("/jpg", "later");
    // Past the paused picture's keep-alives.
    do {
        ASSERT_TRUE(stream.readPart(received, error, kWaitTimeoutMs)) << "the idle stream was closed: " << error;
    } while (received == "picture");
    EXPECT_EQ(received, "later");
}

// start right after "/shutdown", while the old listener thread may still be
// closing its sockets and calling the handlers: start waits for that thread,
// and every true it answers is a server that answers.
TEST(MJPEGStreamer, StartsAgainRightAfterShutdown)
{
    constexpr int kRounds = 200;
    MJPEGStreamer streamer;
    ASSERT_TRUE(streamer.start(0, 1)) << streamer.lastError();
    for (int round = 0; round < kRounds; ++round) {
        LoopbackClient stream(streamer.port());
        ASSERT_EQ(
            exchange(streamer.port(), "GET /shutdown HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"), "HTTP/1.1 200 OK\r\n\r\n")
            << "round " << round;
        ASSERT_TRUE(streamer.start(0, 1)) << "round " << round << ": " << streamer.lastError();
        ASSERT_TRUE(isViewerAnswer(exchange(streamer.port(), "GET /viewer HTTP/1.1\r\n\r\n"))) << "round " << round;
    }
}

// A picture that names its number before a body derived from it, so a
// reader can tell which one it got and that it is whole.
std::string taggedPicture(int number)
{
    return std::to_string(number) + ":" + numberedPicture(number, 20000);
}

int highestOpenDescriptor()
{
    int highest = -1;
    DIR* directory = ::opendir("/proc/self/fd");
    while (const dirent* entry = directory ? ::readdir(directory) : nullptr) {
        if (entry->d_name[0] != '.')
            highest = std::max(highest, std::atoi(entry->d_name));
    }
    if (directory)
        ::closedir(directory);
    return highest;
}

// Uses up every free descriptor number below the highest open one: the limit
// counts descriptor numbers, and this process may inherit a high one.
void occupyDescriptorGaps()
{
    const int highest = highestOpenDescriptor();
    for (int ballast = ::dup(STDIN_FILENO); ballast >= 0; ballast = ::dup(STDIN_FILENO)) {
        if (ballast > highest) {
            ::close(ballast);
            return;
        }
    }
}

// The body of a child process: a server whose descriptor limit leaves only
// `spare` descriptors free once it listens. It writes its port to port_fd,
// publishes a tagged picture every 30 ms until control_fd reaches its end,
// and exits 0 if the server is still alive then.
[[noreturn]] void runServerShortOfDescriptors(int port_fd, int control_fd, int spare)
{
    int exit_code = 2;
    {
        MJPEGStreamer streamer;
        if (streamer.start(0, 2)) {
            occupyDescriptorGaps();
            rlimit limit{};
            ::getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = static_cast<rlim_t>(highestOpenDescriptor() + 1 + spare);
            ::setrlimit(RLIMIT_NOFILE, &limit);
            const int port = streamer.port();
            streamer.publish("/jpg", taggedPicture(0));
            if (::write(port_fd, &port, sizeof port) == sizeof port) {
                pollfd control{control_fd, POLLIN, 0};
                for (int number = 1; ::poll(&control, 1, 30) == 0; ++number)
                    streamer.publish("/jpg", taggedPicture(number));
                exit_code = streamer.isAlive() ? 0 : 1;
            }
        }
    }
    ::_exit(exit_code);
}

// A flood of connections that exhausts the server's descriptors ends neither
// the server nor a stream: the stream goes on with whole parts in order, the
// shortage is reported once rather than per failed accept, and once the
// flood is gone the server answers new clients.
TEST(MJPEGStreamer, SurvivesRunningOutOfDescriptors)
{
    constexpr int kSpareDescriptors = 16;
    constexpr int kFloodConnections = 64;
    int port_pipe[2], control_pipe[2], error_pipe[2];
    ASSERT_EQ(::pipe(port_pipe), 0);
    ASSERT_EQ(::pipe(control_pipe), 0);
    ASSERT_EQ(::pipe2(error_pipe, O_NONBLOCK), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(error_pipe[1], STDERR_FILENO);
        ::close(control_pipe[1]);
        runServerShortOfDescriptors(port_pipe[1], control_pipe[0], kSpareDescriptors);
    }
    ::close(port_pipe[1]);
    ::close(control_pipe[0]);
    ::close(error_pipe[1]);
    int port = -1;
    pollfd port_ready{port_pipe[0], POLLIN, 0};
    ASSERT_EQ(::poll(&port_ready, 1, kWaitTimeoutMs), 1);
    ASSERT_EQ(::read(port_pipe[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));

    LoopbackClient stream(port);
    ASSERT_TRUE(stream.send("GET /jpg HTTP/1.1\r\n\r\n"));
    ASSERT_EQ(stream.read(kStreamHeader.size(), kWaitTimeoutMs), kStreamHeader);
    std::atomic<bool> flooding{false};
    std::atomic<bool> done{false};
    std::atomic<int> parts_during_flood{0};
    std::string stream_error;
    std::thread reader([&] {
        int last = -1;
        std::string picture;
        while (!done) {
            if (!stream.readPart(picture, stream_error, kWaitTimeoutMs))
                return;
            const int number = std::atoi(picture.c_str());
            if (picture != taggedPicture(number) || number < last) {
                stream_error = "part " + std::to_string(number) + " after " + std::to_string(last) +
                    " is not whole or out of order";
                return;
            }
            last = number;
            parts_during_flood += flooding ? 1 : 0;
        }
    });

    flooding = true;
    std::vector<std::unique_ptr<LoopbackClient>> flood;
    for (int i = 0; i < kFloodConnections; ++i)
        flood.push_back(std::make_unique<LoopbackClient>(port));
    // Long enough for several pauses of accepting, and for parts to flow.
    EXPECT_TRUE(waitFor([&] { return parts_during_flood >= 20; })) << stream_error;
    flood.clear();
    flooding = false;

    EXPECT_TRUE(waitFor([&] { return isViewerAnswer(exchange(port, "GET /viewer HTTP/1.1\r\n\r\n")); }))
        << "no answer after the flood";
    done = true;
    reader.join();
    EXPECT_TRUE(stream_error.empty()) << stream_error;

    ::close(control_pipe[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the server did not stay alive";
    std::string errors(4096, '\0');
    const ssize_t error_bytes = ::read(error_pipe[0], errors.data(), errors.size());
    errors.resize(static_cast<std::size_t>(std::max<ssize_t>(error_bytes, 0)));
    const auto reports = std::count(errors.begin(), errors.end(), '\n');
    EXPECT_GE(reports, 1) << "the shortage went unreported";
    EXPECT_LE(reports, 2) << "reported per failed accept:\n" << errors;
    ::close(port_pipe[0]);
    ::close(error_pipe[0]);
}

// Start, stop and start again, each time serving from scratch; stop twice
// does no harm; a server without workers from the platform still sends.
TEST(MJPEGStreamer, RestartsAndAlwaysHasAWorker)
{
    MJPEGStreamer streamer;
    streamer.stop();
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(streamer.start(0, round)) << streamer.lastError();
        EXPECT_TRUE(streamer.isAlive());
        LoopbackClient early(streamer.port());
        ASSERT_TRUE(early.isConnected()) << "start returned before the listener accepted";
        EXPECT_EQ(exchange(streamer.port(), "GET /jpg HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found\r\n\r\n");
        streamer.publish("/jpg", "picture");
        LoopbackClient client(streamer.port());
        ASSERT_TRUE(joinStream(streamer, client, "/jpg", "picture"));
        streamer.publish("/jpg", "round");
        EXPECT_EQ(client.nextPartAfter("picture"), "round") << "round " << round;
        streamer.stop();
        streamer.stop();
        EXPECT_FALSE(streamer.isAlive());
    }
}

// A port in use makes start return false at once with the bind error; no
// socket and no thread is left behind, and the streamer can start elsewhere.
TEST(MJPEGStreamer, StartReportsPortInUse)
{
    test::PortHolder blocker;
    ASSERT_GT(blocker.port(), 0);
    MJPEGStreamer streamer;
    const int descriptors_before = test::openDescriptorCount();
    EXPECT_FALSE(streamer.start(blocker.port(), 2));
    EXPECT_EQ(streamer.lastError(), "bindSocket() failed - Error Code: 98");
    EXPECT_FALSE(streamer.isAlive());
    EXPECT_EQ(test::openDescriptorCount(), descriptors_before);
    streamer.publish("/jpg", "dropped");

    ASSERT_TRUE(streamer.start(0, 2)) << streamer.lastError();
    EXPECT_EQ(streamer.lastError(), "");
    EXPECT_EQ(exchange(streamer.port(), "GET /jpg HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found\r\n\r\n");
}

}  // namespace
}  // namespace quelmor
