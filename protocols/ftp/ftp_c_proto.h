// ftp_c_proto: the plain end of an FTP control connection on the client agent (session login
// "ftp"). It relays the control channel line by line and builds the data connections the
// channel sets up, each as its own tunnel to the far agent whose channel header says where the
// data connection leads:
//
// - from the FTP client: PORT and EPRT |1| give the client's address; a clientdata end connects
//   there and a clientfwd end to the far agent with header (0, 0, address, port). The command
//   goes on unchanged. EPRT for another network protocol is refused here (522).
// - from the far agent: a 227 (PASV) or 229 (EPSV) reply names where the far agent reaches the
//   server's data port; a rendezvous (clientaccept) listens on this machine and a clientfwd
//   carries header (0, 1, address, port) (address 0 for 229: the service's own host). The FTP
//   client is told our own address and the rendezvous port instead.
//
// One data connection per control connection: a new one drops the previous one, and so does the
// end of the control connection. A line is handled only once its CR LF has arrived; a line
// longer than ftp::max_line bytes closes the control connection.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "agent/relaysocket.h"
#include "protocols/common/data_control.h"

namespace orv {

class clientaccept;
class clientdata;
class clientfwd;

class ftp_c_proto : public relaysocket, public data_connection_owner {
public:
    // Over the accepted control connection.
    ftp_c_proto(const reporter& parent, connection_data& data, int handle, const channel_header& header);
    // Drops the data connection too.
    ~ftp_c_proto() override;

    int handle_events(int readable, int writable, int error) override;

    void member_gone(const control_member* end) override;
    void member_replaced(const control_member* old, clientdata* now) override;

    // The ends of the current data connection (null when none).
    clientaccept* rendezvous() const { return accept_; }
    clientdata* data_end() const { return data_end_; }
    clientfwd* forward_end() const { return fwd_; }

protected:
    rwbuf* read_target() override;
    int on_input() override;
    int on_output() override;
    rwbuf& output() override;
    bool output_pending() override;

private:
    // Hands each line of `in` to `on_line` and, once `over`, an unfinished last line to
    // `on_last`; stops while `room` (when given) holds backlog_limit bytes or more. -1 after a
    // line too long or a failed handler (with its message).
    int take_lines(rwbuf& in, bool over, int (ftp_c_proto::*on_line)(std::string_view),
                   bool (ftp_c_proto::*on_last)(std::string_view), const rwbuf* room);
    // One complete line from the FTP client (with its CR LF): forwarded, answered here, or the
    // end of the control connection. 0 to go on, -1 after the message.
    int client_line(std::string_view line);
    // One complete line from the far agent; the same results.
    int server_line(std::string_view line);
    // Builds an active-mode data connection to the FTP client's address (host order); false
    // after the message.
    // The data connection's TLS end, or null after "unable to create clientfwd socket" (the
    // plain end made for it is destroyed then too).
    clientfwd* new_forward(relaysocket* plain, const channel_header& header);
    // PORT and EPRT |1|: the client's IPv4 address and port (host order). False after the message.
    bool start_active(uint32_t address, uint16_t port);
    // EPRT |2| over an IPv6 control connection: the client's IPv6 address as given.
    bool start_active_to(const std::string& address6, uint16_t port);
    // Registers an active data connection's ends; false (and `plain` deleted) when it could not be made.
    bool launch_active(clientdata* plain, const channel_header& header);
    // The family of the control connection as the client reached us (0 when unknown).
    int control_family();
    // Builds a passive-mode data connection whose far agent side leads to address:port (host
    // order) and queues the reply for the FTP client; false after the message.
    bool start_passive(uint32_t address, uint16_t port, bool extended);
    // Makes `plain` and `ssl` this control connection's data connection and opens them.
    void attach_data_connection(relaysocket* plain, control_member* plain_link, clientfwd* ssl);
    void drop_data_connection();
    bool forward_to_server(std::string_view bytes);
    bool answer_client(std::string_view text);

    rwbuf client_lines_;  // from the FTP client, until a complete line can be handled
    rwbuf to_client_;     // the far agent's lines as handled, and our own answers
    clientaccept* accept_ = nullptr;
    clientdata* data_end_ = nullptr;
    clientfwd* fwd_ = nullptr;
};

}  // namespace orv
