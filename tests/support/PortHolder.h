// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mjpeg/UniqueFd.h"

namespace quelmor::test {

// A listening socket on 0.0.0.0:port, held for the object's life as another
// program would hold it; port 0 takes a free one. It binds with SO_REUSEADDR,
// as the server does, so connections of earlier tests lingering in TIME_WAIT
// do not count. Used by one thread.
class PortHolder {
public:
    explicit PortHolder(int port = 0);

    bool holds() const { return port_ > 0; }
    // The port held; -1 when binding failed.
    int port() const { return port_; }

private:
    net::UniqueFd socket_;
    int port_ = -1;
};

// Something accepts TCP connections on 127.0.0.1:port.
bool portOpen(int port);
// A connection to 127.0.0.1:port is refused: nothing listens there.
bool connectionRefused(int port);
// A new listener could bind 0.0.0.0:port right now.
bool portBindable(int port);

}  // namespace quelmor::test
