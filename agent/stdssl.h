// stdssl: the SSL side of a relayed connection that passes bytes unchanged. It connects to the
// session's far agent (through the HTTPS proxy when one is configured) and runs the client
// handshake itself.
#pragma once

#include "agent/relaysocket.h"

namespace orv {

class stdssl : public sslrelaysocket {
public:
    // Most bytes read from the far agent per event.
    static constexpr int max_read = 16384;

    stdssl(const reporter& parent, connection_data& data, const channel_header& header);

    int handle_events(int readable, int writable, int error) override;
    int wants_events(int* read, int* write, int* error) override;
};

}  // namespace orv
