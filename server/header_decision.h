// What orvserver does with the 8-byte channel header that opens a connection of a header session
// (agent/channel_header.h has the layout).
#pragma once

#include <cstdint>
#include <string>

#include "agent/channel_header.h"
#include "server/announcements.h"

namespace orv {

enum class header_action {
    open_control,   // a control connection: connect to the session's service and relay
    connect_to,     // an announced passive data connection: connect to host:port and relay
    join_listener,  // an announced active data connection: join the service's connection to `token`
    refuse          // close it; `reason` is the log line (without its line end)
};

struct header_decision {
    header_action action = header_action::refuse;
    std::string host;   // connect_to: a dotted address, the session's service host for address 0, or
                        // the host name an announcement named
    uint16_t port = 0;  // connect_to: host order
    uint64_t token = 0;
    std::string reason;
};

// The address and port a header names, "a.b.c.d:port".
std::string header_target_text(const channel_header& h);

// Decides for a connection of `client` (its identity; `subject` is how the log names it) that
// opened with `h`. A data header claims its announcement from `registry` (used up when granted).
header_decision decide_header(const channel_header& h, const std::string& client, const std::string& subject,
                              const char* service_host, announcement_registry& registry, int64_t now_ms);

}  // namespace orv
