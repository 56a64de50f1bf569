// SPDX-License-Identifier: GPL-3.0-or-later
#include "mjpeg/HttpRequest.h"

#include <algorithm>
#include <string_view>

namespace quelmor::net {

namespace {

// Reads a message front to back the way std::getline does: a piece runs up to
// its delimiter (consumed, not kept) or to the end of the message.
class MessageCursor {
public:
    explicit MessageCursor(std::string_view text) : text_(text) { }

    bool atEnd() const { return position_ >= text_.size(); }
    std::size_t position() const { return position_; }

    std::string_view readUntil(char delimiter)
    {
        const std::size_t start = position_;
        const std::size_t found = text_.find(delimiter, start);
        if (found == std::string_view::npos) {
            position_ = text_.size();
            return text_.substr(start);
        }
        position_ = found + 1;
        return text_.substr(start, found - start);
    }

private:
    std::string_view text_;
    std::size_t position_ = 0;
};

void parseHeaderLine(std::string_view line, std::map<std::string, std::string>& headers)
{
    MessageCursor cursor(line);
    const std::string_view name = cursor.readUntil(':');
    cursor.readUntil(' ');
    const std::string_view value = cursor.readUntil('\r');
    headers[std::string(name)] = std::string(value);
}

}  // namespace

HttpRequest HttpRequest::parse(const std::string& message)
{
    HttpRequest request;
    MessageCursor cursor(message);
    request.method = cursor.readUntil(' ');
    request.target = cursor.readUntil(' ');
    request.version = cursor.readUntil('\r');
    cursor.readUntil('\n');
    while (!cursor.atEnd()) {
        const std::string_view line = cursor.readUntil('\n');
        if (line == "\r") {
            request.body = message.substr(cursor.position());
            break;
        }
        parseHeaderLine(line, request.headers);
    }
    return request;
}

const std::string* HttpRequest::header(std::string_view name) const
{
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name))
            return &value;
    }
    return nullptr;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    // ASCII alone, whatever the process's locale.
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace quelmor::net
