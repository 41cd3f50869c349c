#include "protocols/ftp/ftp_c_proto.h"

#include <new>
#include <string>

#include <netinet/in.h>

#include "agent/connection_data.h"
#include "agent/pair.h"
#include "net/inetaddr.h"
#include "net/selector.h"
#include "protocols/common/clientaccept.h"
#include "protocols/common/clientdata.h"
#include "protocols/common/clientfwd.h"
#include "protocols/ftp/ftp_text.h"

namespace orv {

namespace {

std::string_view view_of(const rwbuf& b) { return std::string_view(b.bytes(), static_cast<size_t>(b.length())); }

}  // namespace

ftp_c_proto::ftp_c_proto(const reporter& parent, connection_data& data, int handle, const channel_header& header)
    : reporter(parent), relaysocket(parent, data, handle, header, "ftp_c_proto"), client_lines_(parent),
      to_client_(parent) {
    set_type("FTP control connection");
}

ftp_c_proto::~ftp_c_proto() { drop_data_connection(); }

int ftp_c_proto::handle_events(int readable, int writable, int error) {
    int result = relaysocket::handle_events(readable, writable, error);
    if (result != 0) return result;
    return relay(readable, writable, error);
}

// ---- client to far agent ----------------------------------------------------------------------

rwbuf* ftp_c_proto::read_target() {
    relaysocket* p = partner();
    // Back-pressure as in the plain relay: stop while the far agent's side still holds a lot.
    if (!p || p->partner_input().length() >= backlog_limit) return nullptr;
    return &client_lines_;
}

int ftp_c_proto::take_lines(rwbuf& in, bool over, int (ftp_c_proto::*on_line)(std::string_view),
                            bool (ftp_c_proto::*on_last)(std::string_view), const rwbuf* room) {
    while (!room || room->length() < backlog_limit) {
        ftp::line_take t = ftp::next_line(view_of(in), over);
        if (t.status == ftp::line_status::need_more) break;
        if (t.status == ftp::line_status::too_long) {
            report(*this, "ftp control line too long\n");
            return -1;
        }
        std::string_view bytes = view_of(in).substr(0, t.length);
        bool handled = t.status == ftp::line_status::line ? (this->*on_line)(bytes) == 0 : (this->*on_last)(bytes);
        if (!handled) return -1;
        in.consume(static_cast<int>(t.length));
    }
    return 0;
}

int ftp_c_proto::on_input() {
    // The FTP client's last partial line will never be completed once it has ended: it goes on as it is.
    if (take_lines(client_lines_, input_done(), &ftp_c_proto::client_line, &ftp_c_proto::forward_to_server,
                   nullptr) == -1)
        return -1;
    if (relaysocket* p = partner()) p->push();
    return 0;
}

int ftp_c_proto::client_line(std::string_view line) {
    ftp::command_line c = ftp::parse_command(line);
    if (c.verb == ftp::command_verb::port) {
        if (!c.active) {
            report(*this, "unable to decode PORT command parameters\n");
            return -1;
        }
        if (!start_active(c.active->address, c.active->port)) return -1;
    } else if (c.verb == ftp::command_verb::eprt) {
        // Nothing could be built for these, so the far agent never sees them.
        if (!c.active) return answer_client("501 Syntax error in EPRT parameters\r\n") ? 0 : -1;
        bool over_ipv6 = control_family() == AF_INET6;
        if (c.active->protocol == 2 && over_ipv6) {
            if (!start_active_to(c.active->address6, c.active->port)) return -1;
        } else if (c.active->protocol != 1) {
            return answer_client(over_ipv6 ? "522 Network protocol not supported, use (1,2)\r\n"
                                           : "522 Network protocol not supported, use (1)\r\n")
                       ? 0
                       : -1;
        } else if (!start_active(c.active->address, c.active->port)) {
            return -1;
        }
    }
    return forward_to_server(line) ? 0 : -1;
}

bool ftp_c_proto::forward_to_server(std::string_view bytes) {
    relaysocket* p = partner();
    if (!p) return true;  // the far agent's side has gone: nothing can be delivered
    if (!p->partner_input().append(bytes.data(), static_cast<int>(bytes.size()))) {
        report(*this, "out of memory\n");
        return false;
    }
    return true;
}

bool ftp_c_proto::answer_client(std::string_view text) {
    if (!to_client_.append(text.data(), static_cast<int>(text.size()))) {
        report(*this, "out of memory\n");
        return false;
    }
    return true;
}

// ---- far agent to client ----------------------------------------------------------------------

int ftp_c_proto::on_output() {
    // Bounded by what the FTP client has not taken yet, so a slow client slows the far agent.
    return take_lines(partner_input(), partner_input_over(), &ftp_c_proto::server_line, &ftp_c_proto::answer_client,
                      &to_client_);
}

rwbuf& ftp_c_proto::output() { return to_client_; }

bool ftp_c_proto::output_pending() {
    if (!to_client_.empty()) return true;
    // A partial line is pending only once it can go out as it is; otherwise it waits for input.
    return ftp::next_line(view_of(partner_input()), partner_input_over()).status != ftp::line_status::need_more;
}

int ftp_c_proto::server_line(std::string_view line) {
    ftp::reply_line r = ftp::parse_reply(line);
    if (r.separator == ' ' && (r.code == 227 || r.code == 229)) {
        if (!r.passive) {
            report(*this, "unable to decode %d response parameters\n", r.code);
            return -1;
        }
        return start_passive(r.passive->address, r.passive->port, r.code == 229) ? 0 : -1;
    }
    return answer_client(line) ? 0 : -1;
}

// ---- data connections -------------------------------------------------------------------------

clientfwd* ftp_c_proto::new_forward(relaysocket* plain, const channel_header& header) {
    clientfwd* ssl = new (std::nothrow) clientfwd(*this, *this, header);
    if (ssl && ssl->ok()) return ssl;
    report(*this, "system error. unable to create clientfwd socket\n");
    delete plain;
    delete ssl;
    return nullptr;
}

int ftp_c_proto::control_family() {
    std::unique_ptr<inetaddr> local = local_address();
    return local ? local->family() : 0;
}

bool ftp_c_proto::start_active_to(const std::string& address6, uint16_t port) {
    drop_data_connection();
    // The channel header has room for an IPv4 address only: an IPv6 one is named by 0.0.0.0 and
    // the port, which the far agent accepts only as announced by this control connection's
    // EPRT |2| command.
    channel_header header = make_channel_header(false, false, 0, port);
    return launch_active(new (std::nothrow) clientdata(*this, data(), address6, htons(port), header), header);
}

bool ftp_c_proto::start_active(uint32_t address, uint16_t port) {
    drop_data_connection();
    channel_header header = make_channel_header(false, false, address, port);
    return launch_active(new (std::nothrow) clientdata(*this, data(), htonl(address), htons(port), header), header);
}

bool ftp_c_proto::launch_active(clientdata* plain, const channel_header& header) {
    if (!plain || !plain->ok() || selectors().empty()) {
        report(*this, "system error. unable to create clientdata socket\n");
        delete plain;
        return false;
    }
    clientfwd* ssl = new_forward(plain, header);
    if (!ssl) return false;
    data_end_ = plain;
    attach_data_connection(plain, plain, ssl);
    return true;
}

bool ftp_c_proto::start_passive(uint32_t address, uint16_t port, bool extended) {
    drop_data_connection();
    // The FTP client reaches the rendezvous where it reached us.
    std::unique_ptr<inetaddr> local = local_address();
    if (!local) return false;
    if (local->family() != AF_INET && !extended) {
        // A 227 reply names an IPv4 rendezvous only: the client is told to use EPSV, and the
        // control connection goes on.
        report(*this, "INF PASV over an IPv6 control connection answered with 425: EPSV is needed\n");
        return answer_client("425 Use EPSV: a PASV reply cannot name an IPv6 address\r\n");
    }
    // The header names the FTP server's side of the data connection, whatever the client's family.
    channel_header header = make_channel_header(false, true, address, port);
    clientaccept* plain = new (std::nothrow) clientaccept(*this, data(), header, *local);
    if (!plain || !plain->ok() || selectors().empty()) {
        report(*this, "system error. unable to create clientaccept socket\n");
        delete plain;
        return false;
    }
    clientfwd* ssl = new_forward(plain, header);
    if (!ssl) return false;
    accept_ = plain;
    attach_data_connection(plain, plain, ssl);
    std::string reply =
        extended ? ftp::make_229_reply(plain->port()) : ftp::make_227_reply(ntohl(local->addr_net()), plain->port());
    return answer_client(reply);
}

void ftp_c_proto::attach_data_connection(relaysocket* plain, control_member* plain_link, clientfwd* ssl) {
    plain_link->set_control(this);
    ssl->set_control(this);
    fwd_ = ssl;
    open_relayed(*selectors().front(), plain, ssl);
}

void ftp_c_proto::drop_data_connection() {
    // Each destructor clears its own link through member_gone; the others stay valid.
    delete accept_;
    delete data_end_;
    delete fwd_;
}

void ftp_c_proto::member_gone(const control_member* end) {
    if (static_cast<const control_member*>(accept_) == end) accept_ = nullptr;
    if (static_cast<const control_member*>(data_end_) == end) data_end_ = nullptr;
    if (static_cast<const control_member*>(fwd_) == end) fwd_ = nullptr;
}

void ftp_c_proto::member_replaced(const control_member* old, clientdata* now) {
    if (static_cast<const control_member*>(accept_) == old) accept_ = nullptr;
    data_end_ = now;
}

}  // namespace orv
