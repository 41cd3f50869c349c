#include "agent/simpledata.h"

namespace orv {

simpledata::simpledata(const reporter& parent, connection_data& data, int handle, const channel_header& header)
    : reporter(parent), relaysocket(parent, data, handle, header) {
    set_type("data connection");
}

simpledata::simpledata(const reporter& parent, connection_data& data, uint32_t addr_net, uint16_t port_net,
                       const channel_header& header)
    : reporter(parent), relaysocket(parent, data, header) {
    set_type("data connection");
    connect_to(inetaddr(*this, addr_net, port_net));
}

simpledata::simpledata(const reporter& parent, connection_data& data, const char* host, uint16_t port_net,
                       const channel_header& header)
    : reporter(parent), relaysocket(parent, data, header) {
    set_type("data connection");
    connect_to(inetaddr(*this, host ? host : "", port_net));
}

void simpledata::connect_to(const inetaddr& target) {
    if (ok()) start_relay_connect(*this, target);
}

int simpledata::handle_events(int readable, int writable, int error) {
    int result = relaysocket::handle_events(readable, writable, error);
    if (result != 0) return result;
    return relay(readable, writable, error, max_read, "connection broken. can't read from simpledata socket\n",
                 "connection broken. unable to write to simpledata socket\n");
}

int simpledata::wants_events(int* read, int* write, int* error) {
    return relaysocket::wants_events(read, write, error);
}

}  // namespace orv
