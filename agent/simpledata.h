// simpledata: the plain side of a relayed connection that passes bytes unchanged.
#pragma once

#include <cstdint>

#include "agent/relaysocket.h"

namespace orv {

class simpledata : public relaysocket {
public:
    // Over an accepted handle.
    simpledata(const reporter& parent, connection_data& data, int handle, const channel_header& header);
    // Connecting to an IPv4 address and port, both in network byte order.
    simpledata(const reporter& parent, connection_data& data, uint32_t addr_net, uint16_t port_net,
               const channel_header& header);
    // Connecting to a host text and a port in network byte order.
    simpledata(const reporter& parent, connection_data& data, const char* host, uint16_t port_net,
               const channel_header& header);

    int handle_events(int readable, int writable, int error) override;
};

}  // namespace orv
