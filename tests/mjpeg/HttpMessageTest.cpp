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
    ASSERT_EQ(request.headers.size(), 2u);
    EXPECT_EQ(request.headers.at("Host"), "localhost:8080");
    EXPECT_EQ(request.headers.at("User-Agent"), "curl/7.88 (x86_64)") << "spaces inside a value stay";
    EXPECT_EQ(request.body, "body\r\n\r\nmore") << "the body is everything after the first blank line";
}

// Header quirks: a repeated name keeps its last value; a missing space after
// the colon swallows the value; a line without "\r" runs to its end.
TEST(HttpRequest, HeaderLinesFollowTheirOwnRules)
{
    const HttpRequest request = HttpRequest::parse("GET / HTTP/1.1\r\nA: 1\r\nA: 2\r\nB:x\r\nC: tail\nD: last");
    EXPECT_EQ(request.headers.at("A"), "2");
    EXPECT_EQ(request.headers.at("B"), "") << "no space after the colon leaves no value";
    EXPECT_EQ(request.headers.at("C"), "tail");
    EXPECT_EQ(request.headers.at("D"), "last") << "the end of the message ends the last line";
    EXPECT_EQ(request.body, "");
}

// Malformed input never fails; missing pieces stay empty.
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

    // Lines ended by "\n" alone: the version has no "\r" after it and runs on.
    const HttpRequest lf_only = HttpRequest::parse("GET /jpg HTTP/1.1\nHost: x\n\n");
    EXPECT_EQ(lf_only.method, "GET");
    EXPECT_EQ(lf_only.target, "/jpg");
    EXPECT_EQ(lf_only.version, "HTTP/1.1\nHost: x\n\n");
    EXPECT_TRUE(lf_only.headers.empty());
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
