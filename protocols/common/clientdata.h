// clientdata: the plain end of a data connection on the client agent, toward the client
// program: it connects to the address an FTP PORT or EPRT command named (never through the
// HTTPS proxy), or wraps the connection a rendezvous (clientaccept) accepted. It relays bytes
// unchanged.
#pragma once

#include <cstdint>
#include <string>

#include "agent/simpledata.h"
#include "protocols/common/data_control.h"

namespace orv {

class clientdata : public simpledata, public control_member {
public:
    // Connects directly to an IPv4 address and port, both in network byte order.
    clientdata(const reporter& parent, connection_data& data, uint32_t addr_net, uint16_t port_net,
               const channel_header& header);
    // Connects directly to `host` (an IPv6 address an EPRT command named, say), port in network
    // byte order.
    clientdata(const reporter& parent, connection_data& data, const std::string& host, uint16_t port_net,
               const channel_header& header);
    // Over a connection the rendezvous accepted; `type` names it in the connection log.
    clientdata(const reporter& parent, connection_data& data, int handle, const channel_header& header,
               const char* type = "FTP data connection");
};

}  // namespace orv
