// The start-up both agent programs share: options "f:dp:h" and one session name, the password
// (wiped from the command line, or asked for), a non-dumpable process, SIGPIPE ignored, the
// descriptor limit raised, the operator's signals as selector events, and the restart loop of
// passes (forwarder). What differs between orvclient and orvserver is described by an agent_program.
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

// Exit status for a configuration that cannot work until someone changes it: the file cannot be
// opened or read with the password, or the session does not validate (an expired certificate,
// say). A service manager should not restart the program for it (sysexits' EX_CONFIG).
inline constexpr int exit_configuration = 78;

// The program: returns the exit status (0 after SIGTERM or SIGINT; 1 for a rejected command line,
// a failed password input, or a pass that could not be built for another reason, such as a port
// in use; exit_configuration as above).
int agent_main(int argc, char** argv, const agent_program& program);

}  // namespace orv
