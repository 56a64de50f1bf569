// SPDX-License-Identifier: GPL-3.0-or-later
#include "mjpeg/HttpRequest.h"

#include <algorithm>

namespace quelmor::net {

namespace {

constexpr std::string_view kBlanks = " \t";

// Reads a message front to back: a piece runs up to its delimiter (consumed,
// not kept) or to the end of the message.
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

    // Whatever is left, taken whole.
    std::string_view rest()
    {
        const std::string_view left = text_.substr(std::min(position_, text_.size()));
        position_ = text_.size();
        return left;
    }

    // One line, without its "\n" and the "\r" before it.
    std::string_view readLine()
    {
        std::string_view line = readUntil('\n');
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        return line;
    }

private:
    std::string_view text_;
    std::size_t position_ = 0;
};

std::string_view trimmed(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace

HttpRequest HttpRequest::parse(const std::string& message)
{
    HttpRequest request;
    MessageCursor cursor(message);
    MessageCursor requestLine(cursor.readLine());
    request.method = requestLine.readUntil(' ');
    request.target = requestLine.readUntil(' ');
    request.version = requestLine.readUntil('\n');
    while (!cursor.atEnd()) {
        const std::string_view line = cursor.readLine();
        if (line.empty()) {
            request.body = message.substr(cursor.position());
            break;
        }
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos)
            request.headers.emplace_back(line.substr(0, colon), trimmed(line.substr(colon + 1)));
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

std::size_t HttpRequest::headerCount(std::string_view name) const
{
    return static_cast<std::size_t>(std::count_if(
        headers.begin(), headers.end(), [&](const auto& entry) { return equalsIgnoringCase(entry.first, name); }));
}

std::string_view HttpRequest::path() const
{
    const std::string_view whole = target;
    return whole.substr(0, whole.find('?'));
}

std::optional<std::string_view> HttpRequest::queryValue(std::string_view key) const
{
    const std::string_view whole = target;
    const std::size_t mark = whole.find('?');
    if (mark == std::string_view::npos)
        return std::nullopt;
    MessageCursor query(whole.substr(mark + 1));
    while (!query.atEnd()) {
        MessageCursor pair(query.readUntil('&'));
        if (pair.readUntil('=') == key)
            return pair.rest();
    }
    return std::nullopt;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    // ASCII alone, whatever the process's locale.
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace quelmor::net
