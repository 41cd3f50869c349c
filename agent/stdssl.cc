#include "agent/stdssl.h"

namespace orv {

stdssl::stdssl(const reporter& parent, connection_data& data, const channel_header& header)
    : reporter(parent), sslrelaysocket(parent, data, header) {
    set_type("SSL connection");
    connect_to_server();
}

int stdssl::handle_events(int readable, int writable, int error) {
    int result = sslrelaysocket::handle_events(readable, writable, error);
    if (result != 0) return result;
    return relay(readable, writable, error, max_read, "connection broken. can't read from stdssl socket\n",
                 "connection broken. unable to write to stdssl socket\n");
}

int stdssl::wants_events(int* read, int* write, int* error) {
    return sslrelaysocket::wants_events(read, write, error);
}

}  // namespace orv
