// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace quelmor::test {

// What the server sends, written out apart from its code: the response that
// opens a stream, and the header of each part up to its length.
inline const std::string kStreamHeader =
    "HTTP/1.1 200 OK\r\n"
    "Content-Type: multipart/x-mixed-replace; boundary=quelmormjpegstreamer\r\n"
    "Pragma: no-cache\r\n"
    "Cache-Control: no-cache, no-store, must-revalidate, pre-check=0, post-check=0, max-age=0\r\n"
    "Connection: close\r\n"
    "\r\n";
inline const std::string kPartPrefix = "--quelmormjpegstreamer\r\nContent-Type: image/jpeg\r\nContent-Length: ";

// The whole part that carries `picture`.
inline std::string streamPart(const std::string& picture)
{
    return kPartPrefix + std::to_string(picture.size()) + "\r\n\r\n" + picture;
}

}  // namespace quelmor::test
