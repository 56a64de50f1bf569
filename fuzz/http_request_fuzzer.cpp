// SPDX-License-Identifier: GPL-3.0-or-later
// Any bytes a client sends are parsed as one request without crashing, and the
// parts the parser reports come from the message itself.
#include "mjpeg/HttpRequest.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string message(reinterpret_cast<const char*>(data), size);
    const auto request = quelmor::net::HttpRequest::parse(message);
    std::size_t parsed = request.method.size() + request.target.size() + request.version.size() + request.body.size();
    for (const auto& [name, value] : request.headers)
        parsed += name.size() + value.size();
    if (parsed > message.size())
        std::abort();
    // The path and a query value are pieces of the target.
    const std::string_view path = request.path();
    const std::optional<std::string_view> width = request.queryValue("width");
    if (path.size() > request.target.size() || (width && width->size() + path.size() >= request.target.size()))
        std::abort();
    return 0;
}
