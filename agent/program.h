// The start-up both agent programs share: options "f:dp:h" and one session name, the password
// (wiped from the command line, or asked for), a non-dumpable process, SIGPIPE ignored, the
// descriptor limit raised, SIGTERM and SIGINT as selector events, and the restart loop of passes
// (forwarder). What differs between orvclient and orvserver is described by an agent_program.
#pragma once

#include "agent/connection_data.h"

namespace orv {

class main_acceptor;
class reporter;

struct agent_program {
    // Writes the program's usage text to standard error.
    void (*print_usage)();
    // Which side of the tunnel the program's session context takes.
    connection_role role;
    // Reads ORV_PROXY, ORV_PROXYPORT and ORV_DIRECT (only the client crosses a proxy).
    bool reads_proxy_environment;
    // The listening socket of one pass; null when out of memory. The caller checks its ok flag.
    main_acceptor* (*make_acceptor)(const reporter& parent, connection_data* data);
};

// The program: returns the exit status (0 after SIGTERM or SIGINT, 1 for a rejected command line,
// a failed password input, or a pass that could not be built).
int agent_main(int argc, char** argv, const agent_program& program);

}  // namespace orv
