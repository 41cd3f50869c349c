// The reply of an HTTPS proxy to CONNECT: where its header ends and whether it opens the tunnel.
// No sockets, so that it can be checked on any bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orv {

enum class proxy_reply_state {
    incomplete,   // the blank line that ends the header has not arrived yet
    tunnel_open,  // status 200: the tunnel carries everything after header_end
    refused       // anything else: `message` says why
};

struct proxy_reply {
    proxy_reply_state state = proxy_reply_state::incomplete;
    size_t header_end = 0;  // tunnel_open and refused: bytes of the header, its blank line included
    std::string message;    // refused: the log line, with its line end
};

// Reads what has arrived so far. The header ends at the first blank line (CR LF CR LF, or a bare
// LF LF); the status line is its first line, and its second space-separated word must be "200".
proxy_reply parse_proxy_reply(std::string_view received);

}  // namespace orv
