#include "agent/stdssl.h"

namespace orv {

stdssl::stdssl(const reporter& parent, connection_data& data, const channel_header& header,
               const endpoint* far_agent)
    : reporter(parent), sslrelaysocket(parent, data, header, "stdssl") {
    connect_to_server(far_agent);
}

int stdssl::handle_events(int readable, int writable, int error) {
    int result = sslrelaysocket::handle_events(readable, writable, error);
    if (result != 0) return result;
    return relay(readable, writable, error);
}

}  // namespace orv
