// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdio>
#include <string>

namespace quelmor::test {

// The few pieces of JSON the browser drivers write and read; their messages
// need no parser.

// `text` as a JSON string, quotes included.
inline std::string jsonQuoted(const std::string& text)
{
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(c));
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

// The raw text of the first string member `name` of a JSON message; empty if
// absent. Escapes are left as they are: the values read hold none.
inline std::string jsonStringMember(const std::string& message, const std::string& name)
{
    const std::string key = "\"" + name + "\":\"";
    const std::size_t start = message.find(key);
    if (start == std::string::npos)
        return {};
    const std::size_t begin = start + key.size();
    const std::size_t end = message.find('"', begin);
    return end == std::string::npos ? std::string() : message.substr(begin, end - begin);
}

}  // namespace quelmor::test
