// SPDX-License-Identifier: GPL-3.0-or-later
#include "mjpeg/HttpResponse.h"

namespace quelmor::net {

void HttpResponse::setHeader(const std::string& name, const std::string& value)
{
    for (auto& header : headers) {
        if (header.first == name) {
            header.second = value;
            return;
        }
    }
    headers.emplace_back(name, value);
}

std::string HttpResponse::serialize() const
{
    std::string text = version + " " + std::to_string(status_code) + " " + reason + "\r\n";
    for (const auto& [name, value] : headers)
        text += name + ": " + value + "\r\n";
    text += "\r\n";
    text += body;
    return text;
}

}  // namespace quelmor::net
