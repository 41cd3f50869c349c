// The Progress broker's first message, in the part the agents read: a broker answers a client's
// first request with a message that names a TCP port on the broker's host, where the client then
// opens a second connection.
//
//   offset 0, 4 bytes: not examined
//   offset 4, 4 bytes: signature 00 19 00 14
//   offset 8, 2 bytes: the port, unsigned 16-bit big-endian
//   at least message_size bytes in all before anything is decided
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orv::progress {

inline constexpr size_t message_size = 20;
inline constexpr size_t port_offset = 8;

enum class scan_state {
    wait,             // fewer than message_size bytes so far: hold them
    no_announcement,  // the signature is not there: nothing on this connection is examined again
    announcement      // the message names `port`
};

struct scan_result {
    scan_state state = scan_state::wait;
    uint16_t port = 0;  // host order, for an announcement
};

// Looks at the first bytes the broker sent on a connection.
scan_result scan_first_message(std::string_view bytes);

// Writes `port` (host order) over the message's port field; `message` holds at least
// message_size bytes.
void write_port(char* message, uint16_t port);

}  // namespace orv::progress
