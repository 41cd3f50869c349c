// clientfwd: the TLS end of a data connection (FTP, or one a Progress broker or an Oracle listener
// announced) on the client agent. It connects to the far
// agent like the control connection does and sends the data connection's channel header before
// any relayed byte, so the far agent knows where the data connection leads.
#pragma once

#include "agent/stdssl.h"

namespace orv {

class ftp_c_proto;

class clientfwd : public stdssl {
public:
    // Starts the connect and queues `header`; reports and clears the ok flag on failure. `type`
    // names it in the connection log.
    clientfwd(const reporter& parent, connection_data& data, const channel_header& header,
              const char* type = "SSL-FTP connection");
    // Leaves its control connection's data connection.
    ~clientfwd() override;

    // The control connection this end belongs to (null: none); it is told when the end goes.
    void set_control(ftp_c_proto* control) { control_ = control; }

private:
    ftp_c_proto* control_ = nullptr;
};

}  // namespace orv
