// oracle_c_proto: the plain end of an "oracle" session's connection on the client agent. The
// listener's first response may redirect the client to another address and port
// ((ADDRESS=(PROTOCOL=tcp)(DEV=...)(HOST=...)(PORT=...))); the response is held until its first
// packet is complete, a rendezvous of this agent is opened for the redirect target (its TLS end
// carries the data header (0, 1, address, port)), and HOST and PORT are rewritten to name the
// address the client reached us on and the rendezvous port, with the packet's lengths adjusted.
// Only the first response on a connection is examined.
#pragma once

#include "protocols/common/announcing_c_proto.h"

namespace orv {

class oracle_c_proto : public announcing_c_proto {
public:
    // Over the Oracle client's accepted connection.
    oracle_c_proto(const reporter& parent, connection_data& data, int handle, const channel_header& header);

protected:
    examination examine(std::string_view held, std::string& rewritten) override;
};

}  // namespace orv
