// stdssl: the SSL side of a relayed connection that passes bytes unchanged. It connects to the
// session's far agent (through the HTTPS proxy when one is configured) and runs the client
// handshake itself.
#pragma once

#include "agent/relaysocket.h"

namespace orv {

class stdssl : public sslrelaysocket {
public:
    // Connects to the session's far agents in their order, or to `far_agent` alone when given.
    stdssl(const reporter& parent, connection_data& data, const channel_header& header,
           const endpoint* far_agent = nullptr);

    int handle_events(int readable, int writable, int error) override;
};

}  // namespace orv
