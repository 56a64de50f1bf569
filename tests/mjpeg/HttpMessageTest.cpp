// SPDX-License-Identifier: GPL-3.0-or-later
#include "mjpeg/HttpRequest.h"
#include "mjpeg/HttpResponse.h"

#include <gtest/gtest.h>

namespace quelmor::net {
namespace {

// A complete request: request line, headers, blank line, body.
TEST(HttpRequest, ParsesRequestLineHeadersAndBody)
{
    const HttpRequest request = HttpRequest::parse(
        "POST /jpg?x=1 HTTP/1.1\r\nHost: localhost:8080\r\nUser-Agent: curl/7.88 (x86_64)\r\n\r\nbody\r\n\r\nmore");
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/jpg?x=1");
    EXPECT_EQ(request.version, "HTTP/1.1");
    using Headers = decltype(request.headers);
    EXPECT_EQ(request.headers, (Headers{{"Host", "localhost:8080"}, {"User-Agent", "curl/7.88 (x86_64)"}}))
        << "spaces inside a value stay";
    EXPECT_EQ(request.body, "body\r\n\r\nmore") << "the body is everything after the first blank line";
}

// Header lines: a line ends at "\n" with or without "\r"; a value loses the
// blanks around it; a repeated name keeps both lines and the first counts;
// a line without a colon is no header.
TEST(HttpRequest, HeaderLinesFollowTheirOwnRules)
{
    const HttpRequest request =
        HttpRequest::parse("GET / HTTP/1.1\r\nA: 1\r\na: 2\r\nB:x\r\nC: tail \t\nno colon\nD:\tlast");
    using Headers = decltype(request.headers);
    EXPECT_EQ(request.headers, (Headers{{"A", "1"}, {"a", "2"}, {"B", "x"}, {"C", "tail"}, {"D", "last"}}));
    EXPECT_EQ(*request.header("A"), "1") << "the first of two counts";
    EXPECT_EQ(request.headerCount("A"), 2u);
    EXPECT_EQ(request.header("E"), nullptr);
    EXPECT_EQ(request.body, "");
}

// Malformed input never fails; missing pieces stay empty. Lines ended by "\n"
// alone, or with a stray "\r", read as the same lines.
TEST(HttpRequest, MalformedMessagesLeaveMissingPiecesEmpty)
{
    const HttpRequest empty = HttpRequest::parse("");
    EXPECT_EQ(empty.method, "");
    EXPECT_EQ(empty.target, "");
    EXPECT_EQ(empty.version, "");
    EXPECT_TRUE(empty.headers.empty());

    const HttpRequest bare = HttpRequest::parse("GET");
    EXPECT_EQ(bare.method, "GET");
    EXPECT_EQ(bare.target, "");

    for (const char* message : {"GET /jpg HTTP/1.1\nHost: x\n\nrest", "GET /jpg HTTP/1.1\r\nHost: x\n\r\nrest"}) {
        SCOPED_TRACE(message);
        const HttpRequest request = HttpRequest::parse(message);
        EXPECT_EQ(request.target, "/jpg");
        EXPECT_EQ(request.version, "HTTP/1.1");
        ASSERT_NE(request.header("host"), nullptr);
        EXPECT_EQ(*request.header("host"), "x");
        EXPECT_EQ(request.body, "rest");
    }
}

// The wire text keeps the headers in the order they were set, and setting a
// name twice keeps one entry at its first place.
TEST(HttpResponse, SerializesHeadersInTheOrderSet)
{
    HttpResponse response;
    response.version = "HTTP/1.0";
    response.status_code = 200;
    response.reason = "OK";
    response.setHeader("Zeta", "1");
    response.setHeader("Alpha", "2");
    response.setHeader("Zeta", "3");
    response.body = "page";
    EXPECT_EQ(response.serialize(), "HTTP/1.0 200 OK\r\nZeta: 3\r\nAlpha: 2\r\n\r\npage");

    HttpResponse not_found;
    not_found.status_code = 404;
    not_found.reason = "Not Found";
    EXPECT_EQ(not_found.serialize(), " 404 Not Found\r\n\r\n") << "an empty version leaves a leading space";
}

}  // namespace
}  // namespace quelmor::net
