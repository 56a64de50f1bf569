// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace quelmor::net {

// An HTTP response built as text. Headers keep the order in which they were
// first set, since MJPEG clients read the stream header as written. A value
// type without threads.
struct HttpResponse {
    std::string version;  // copied from the request
    int status_code = 200;
    std::string reason;
    std::vector<std::pair<std::string, std::string>> headers;  // at most one value per name
    std::string body;

    // Replaces the value of an existing header or appends a new one.
    void setHeader(const std::string& name, const std::string& value);
    // Status line, headers, empty line, body. No Content-Length is added.
    std::string serialize() const;
};

}  // namespace quelmor::net
