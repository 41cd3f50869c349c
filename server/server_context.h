// What the connections of one orvserver pass share: the announcement registry and the listeners
// that wait for the service's active data connections. Held by shared pointer by the acceptor
// and by every end and listener, so it lives as long as any of them (a one-connection session
// destroys its acceptor early).
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "agent/login.h"
#include "agent/metrics/registry.h"
#include "server/announcements.h"

namespace orv {

class port_listener;

// How long an announcement (and a data connection waiting for its partner) lasts when the
// session's accept_timeout is 0.
inline constexpr int default_rendezvous_seconds = 30;

// Counts an announcement made, or a data connection honoured or refused, for a session of
// `protocol` (nothing for a protocol that announces none).
inline void count_announcement(login_protocol protocol, metrics::announcement_outcome outcome) {
    switch (protocol) {
        case login_protocol::ftp: metrics::process().count(metrics::announcing_protocol::ftp, outcome); return;
        case login_protocol::progress:
            metrics::process().count(metrics::announcing_protocol::progress, outcome);
            return;
        case login_protocol::oracle: metrics::process().count(metrics::announcing_protocol::oracle, outcome); return;
        case login_protocol::plain: return;
    }
}

struct server_context {
    explicit server_context(int accept_timeout) { set_lifetime(accept_timeout); }

    // From the session's accept_timeout (seconds; 0 or less: the default); a reload may change it.
    void set_lifetime(int accept_timeout) {
        lifetime_ms = static_cast<int64_t>(accept_timeout > 0 ? accept_timeout : default_rendezvous_seconds) * 1000;
    }

    announcement_registry registry;
    // Live listeners by token; a listener enters and leaves this map itself.
    std::unordered_map<uint64_t, port_listener*> listeners;
    uint64_t next_token = 1;
    int64_t lifetime_ms = 0;
};

// The FTP state both ends of one control connection read: its registry number and the
// passive-mode requests (PASV, EPSV) the client has sent that no reply has answered yet. A 227
// or 229 reply only announces a data connection when it answers such a request.
struct control_link {
    uint64_t control = 0;
    int passive_requests = 0;
};

}  // namespace orv
