// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace quelmor::net {

// One HTTP request parsed from the bytes a connection sent. Parsing never
// fails: pieces that are missing stay empty. A value type without threads.
struct HttpRequest {
    std::string method;                          // text before the first space
    std::string target;                          // between the first and second space
    std::string version;                         // from there up to the first "\r"
    std::map<std::string, std::string> headers;  // a repeated name keeps the last value
    std::string body;                            // everything after the blank line

    static HttpRequest parse(const std::string& message);

    // The value of header `name`, matched regardless of case as HTTP has
    // header names; null when the request has none.
    const std::string* header(std::string_view name) const;
};

// Whether `a` and `b` are the same text but for the case of ASCII letters.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace quelmor::net
