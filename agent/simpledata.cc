#include "agent/simpledata.h"

#include "net/inetaddr.h"

namespace orv {

simpledata::simpledata(const reporter& parent, connection_data& data, int handle, const channel_header& header)
    : reporter(parent), relaysocket(parent, data, handle, header, "simpledata") {}

simpledata::simpledata(const reporter& parent, connection_data& data, uint32_t addr_net, uint16_t port_net,
                       const channel_header& header)
    : reporter(parent), relaysocket(parent, data, header, nullptr, "simpledata") {
    if (ok()) start_connect(inetaddr(*this, addr_net, port_net), false);
}

simpledata::simpledata(const reporter& parent, connection_data& data, const char* host, uint16_t port_net,
                       const channel_header& header)
    : reporter(parent), relaysocket(parent, data, header, nullptr, "simpledata") {
    if (ok()) start_connect_to(host ? host : "", ntohs(port_net), false);
}

int simpledata::handle_events(int readable, int writable, int error) {
    int result = relaysocket::handle_events(readable, writable, error);
    if (result != 0) return result;
    return relay(readable, writable, error);
}

}  // namespace orv
