// clientdata: the plain end of an FTP data connection on the client agent, toward the FTP
// client: it connects to the address a PORT or EPRT command named (never through the HTTPS proxy),
// or wraps the connection a rendezvous (clientaccept) accepted. It relays bytes unchanged.
#pragma once

#include <cstdint>

#include "agent/simpledata.h"

namespace orv {

class ftp_c_proto;

class clientdata : public simpledata {
public:
    // Connects directly to an IPv4 address and port, both in network byte order.
    clientdata(const reporter& parent, connection_data& data, uint32_t addr_net, uint16_t port_net,
               const channel_header& header);
    // Over a connection the rendezvous accepted.
    clientdata(const reporter& parent, connection_data& data, int handle, const channel_header& header);
    // Leaves its control connection's data connection.
    ~clientdata() override;

    // The control connection this end belongs to (null: none); it is told when the end goes.
    void set_control(ftp_c_proto* control) { control_ = control; }

private:
    ftp_c_proto* control_ = nullptr;
};

}  // namespace orv
