// The Oracle listener's redirect, as the agents read it: the first response on a connection may
// hold the text
//     (ADDRESS=(PROTOCOL=tcp)(DEV=value)(HOST=address)(PORT=port))
// after which the client opens a second connection to address:port. The client agent rewrites
// HOST and PORT to name a rendezvous of its own; the far agent notes the redirect it relays.
//
// TNS framing: every packet starts with its length (bytes 0 and 1, big-endian, counting from
// byte 0) and its type (byte 4; 5 is a redirect). A redirect packet's own data length (bytes 8
// and 9) counts the redirect text that follows it from byte 10.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orv::tns {

inline constexpr size_t header_size = 8;
inline constexpr unsigned char redirect_type = 5;
inline constexpr size_t max_packet = 65535;
// A host or port text this long or longer is refused.
inline constexpr size_t max_text = 30;

// The packet length in bytes 0 and 1 of `bytes` (which holds at least 2).
size_t packet_length(std::string_view bytes);

enum class scan_state {
    wait,         // the first packet is not complete yet: hold everything
    no_redirect,  // no redirect text: pass everything on, examine nothing more
    malformed,    // a redirect text that cannot be read: `message` says why; pass everything on
    redirect      // found: the fields below are set
};

struct redirect_scan {
    scan_state state = scan_state::wait;
    const char* message = nullptr;  // malformed: the log message, with its line end
    size_t host_begin = 0;          // offsets of the host text
    size_t host_end = 0;            // the ')' after the host text
    size_t port_begin = 0;
    size_t port_end = 0;       // the ')' after the port text
    uint32_t address_net = 0;  // the host text as inet_addr reads it (255.255.255.255 for a name)
    uint16_t port = 0;         // host order: the port text's number, kept to 16 bits
    std::string host_text;     // the host as written (a name the far agent may resolve)
};

// Examines the first response on a connection: everything buffered from its first byte.
redirect_scan scan_redirect(std::string_view bytes);

struct rewrite_result {
    std::optional<std::string> bytes;  // the rewritten data, or nothing
    const char* message = nullptr;     // why not, with its line end
};

// The data with the redirect's HOST and PORT texts replaced by `host` and `port`, every other
// byte as received. The packet that holds the redirect text has its length changed by the
// difference, and so has its redirect data length when it is a redirect packet; later packets
// keep their framing. Refused (nothing) when the text does not lie inside one packet or when a
// length would pass max_packet.
rewrite_result rewrite_redirect(std::string_view bytes, const redirect_scan& found, std::string_view host,
                                uint16_t port);

}  // namespace orv::tns
