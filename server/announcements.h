// announcement_registry: which data connections a far agent may open or join, per client.
//
// A far agent that connected wherever a channel header says would be an open relay into the
// service's network. So a data header is honoured only when the connection it names was
// announced on a live control connection of the same client (same certificate subject, or same
// peer address without client authentication) a short while before. Protocol ends announce what
// they see on their control connections (FTP: a 227/229 reply relayed to the client announces a
// passive connection, a PORT/EPRT the far agent rewrote announces an active one; a Progress
// broker's port message and an Oracle listener's redirect announce a passive one that outlives
// its control connection). An announcement serves one data connection.
//
// Times are monotonic milliseconds (iodesc::now_ms); the registry never reads a clock itself.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace orv {

// passive: the far agent connects to the named address (FTP 227/229); active: the service
// connects to a listener of the far agent, which joins it to the data connection (PORT/EPRT).
enum class data_mode { passive, active };

struct announcement {
    std::string client;    // the client identity (see client_identity)
    uint64_t control = 0;  // the control connection that announced it
    data_mode mode = data_mode::passive;
    uint32_t address = 0;  // host order; 0 stands for the service's host
    uint16_t port = 0;
    int64_t expires_ms = 0;
    uint64_t token = 0;             // active: the number of the listener that waits for the service
    std::string host;               // the target as announced when that was a name, not an address
    bool outlives_control = false;  // stays valid after its control connection has ended
};

enum class claim_result {
    granted,        // the announcement is handed over and removed
    not_announced,  // nothing names this address and port (or it has been used already)
    other_client,   // announced, but to another client
    expired,        // announced too long ago
    control_gone    // its control connection has ended
};

// What a log line says after "ADDRESS:PORT ".
const char* claim_result_text(claim_result r);

// "subject:/O=.../CN=..." with a certificate subject, "address:a.b.c.d" without one.
std::string client_identity(const std::string& subject, const std::string& peer_address);

class announcement_registry {
public:
    // A control connection of `client` has opened: its number (never 0).
    uint64_t open_control(const std::string& client);
    // It has ended: its announcements serve nothing any more.
    void close_control(uint64_t control);
    bool control_live(uint64_t control) const;

    // Records an announcement of a live control connection, valid for `lifetime_ms` from
    // `now_ms`; false (nothing recorded) when the control connection is unknown or has ended.
    // Entries expired a minute or more ago are dropped on the way.
    bool announce(uint64_t control, data_mode mode, uint32_t address, uint16_t port, int64_t now_ms,
                  int64_t lifetime_ms, uint64_t token = 0);
    // A passive announcement that stays valid after its control connection ends: a Progress port
    // message or an Oracle redirect, which the client may follow only once it has closed the
    // connection that announced it. `host` is the target's text when the address cannot name it
    // (a host name announced as 255.255.255.255). Same result as announce().
    bool announce_lasting(uint64_t control, uint32_t address, uint16_t port, std::string host, int64_t now_ms,
                          int64_t lifetime_ms);
    // Drops the announcements carrying `token` (a listener that has given up).
    void withdraw(uint64_t token);
    // Looks for an announcement of (mode, address, port) for `client`. Granted: it is copied to
    // `*granted` (when not null) and removed. Otherwise the result says why not; another
    // client's announcement is left in place for its owner.
    claim_result claim(const std::string& client, data_mode mode, uint32_t address, uint16_t port, int64_t now_ms,
                       announcement* granted);

    size_t size() const { return entries_.size(); }

private:
    void drop_expired(int64_t now_ms);

    std::vector<announcement> entries_;  // announcement order: the oldest matching one serves first
    std::unordered_set<uint64_t> live_controls_;
    std::unordered_map<uint64_t, std::string> control_client_;
    uint64_t next_control_ = 1;
};

}  // namespace orv
