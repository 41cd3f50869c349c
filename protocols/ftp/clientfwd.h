// clientfwd: the TLS end of an FTP data connection on the client agent. It connects to the far
// agent like the control connection does and sends the data connection's channel header before
// any relayed byte, so the far agent knows where the data connection leads.
#pragma once

#include "agent/stdssl.h"

namespace orv {

class ftp_c_proto;

class clientfwd : public stdssl {
public:
    // Starts the connect and queues `header`; reports and clears the ok flag on failure.
    clientfwd(const reporter& parent, connection_data& data, const channel_header& header);
    // Leaves its control connection's data connection.
    ~clientfwd() override;

    // The control connection this end belongs to (null: none); it is told when the end goes.
    void set_control(ftp_c_proto* control) { control_ = control; }

private:
    ftp_c_proto* control_ = nullptr;
};

}  // namespace orv
