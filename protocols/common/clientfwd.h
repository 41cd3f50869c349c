// clientfwd: the TLS end of a data connection (FTP, or one a Progress broker or an Oracle
// listener announced) on the client agent. It connects to the far agent like the control
// connection does and sends the data connection's channel header before any relayed byte, so
// the far agent knows where the data connection leads.
#pragma once

#include "agent/stdssl.h"
#include "protocols/common/data_control.h"

namespace orv {

class clientfwd : public stdssl, public control_member {
public:
    // Starts the connect to the far agent of `control` (the TLS end of the control connection
    // that announced it: only that far agent knows the announcement) and queues `header`;
    // reports and clears the ok flag on failure. `type` names it in the connection log.
    clientfwd(const reporter& parent, relaysocket& control, const channel_header& header,
              const char* type = "SSL-FTP connection");
};

}  // namespace orv
