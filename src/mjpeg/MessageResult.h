// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace quelmor::net {

// What the listener does after handing a message to its owner.
struct MessageResult {
    bool close_connection = false;  // close this connection after the callback
    bool stop_listener = false;     // end the listener after the current pass
    // The connection has not yet sent a whole request: it stays under the
    // listener's request time-out, counted from its accept.
    bool request_pending = false;
};

}  // namespace quelmor::net
