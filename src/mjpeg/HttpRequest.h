// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <map>
#include <string>

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
};

}  // namespace quelmor::net
