// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quelmor::net {

// One HTTP request parsed from the bytes a connection sent. A line ends at
// "\n", with or without the "\r" before it (RFC 9112 lets a recipient take a
// bare LF as a line end, and the server already took "\n\n" as the end of
// the headers). Parsing never fails: pieces that are missing stay empty. A
// value type without threads.
struct HttpRequest {
    std::string method;   // text before the first space
    std::string target;   // between the first and second space
    std::string version;  // the rest of the request line
    // In the order sent, a repeated name once per line; values without the
    // spaces and tabs around them. A line without ":" is no header.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;  // everything after the blank line

    static HttpRequest parse(const std::string& message);

    // The first value of header `name`, matched regardless of case as HTTP has
    // header names; null when the request has none.
    const std::string* header(std::string_view name) const;
    // How many lines of the request name header `name`, regardless of case.
    std::size_t headerCount(std::string_view name) const;
    // The target without its query ("?" and what follows).
    std::string_view path() const;
    // The value of the first "key=value" of the query whose key is `key`,
    // as sent (not percent-decoded); null when the query has none.
    std::optional<std::string_view> queryValue(std::string_view key) const;
};

// Whether `a` and `b` are the same text but for the case of ASCII letters.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace quelmor::net
