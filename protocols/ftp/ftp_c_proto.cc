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

// The line without its CR LF.
std::string_view text_of(std::string_view line) {
    return line.size() >= 2 && line.substr(line.size() - 2) == "\r\n" ? line.substr(0, line.size() - 2) : line;
}

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

int ftp_c_proto::on_input() {
    for (size_t n; (n = ftp::complete_line_length(view_of(client_lines_))) > 0;) {
        if (client_line(view_of(client_lines_).substr(0, n)) == -1) return -1;
        client_lines_.consume(static_cast<int>(n));
    }
    if (client_lines_.length() > max_line) {
        report(*this, "ftp control line too long\n");
        return -1;
    }
    // The FTP client has ended: a last partial line will never be completed, pass it on as it is.
    if (input_done() && !client_lines_.empty()) {
        if (!forward_to_server(view_of(client_lines_))) return -1;
        client_lines_.consume(client_lines_.length());
    }
    if (relaysocket* p = partner()) p->push();
    return 0;
}

int ftp_c_proto::client_line(std::string_view line) {
    std::string_view text = text_of(line);
    if (ftp::starts_with_nocase(text, "PORT ")) {
        std::optional<ftp::host_port> hp = ftp::decode_host_port(text.substr(5));
        if (!hp) {
            report(*this, "unable to decode PORT command parameters\n");
            return -1;
        }
        if (!start_active(hp->address, hp->port)) return -1;
    } else if (ftp::starts_with_nocase(text, "EPRT ")) {
        std::optional<ftp::eprt_params> e = ftp::decode_eprt(text.substr(5));
        // Nothing could be built for these, so the far agent never sees them.
        if (!e) return answer_client("501 Syntax error in EPRT parameters\r\n") ? 0 : -1;
        if (e->protocol != 1) return answer_client("522 Network protocol not supported, use (1)\r\n") ? 0 : -1;
        if (!start_active(e->address, e->port)) return -1;
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
    rwbuf& in = partner_input();
    size_t n = 0;
    // Bounded by what the FTP client has not taken yet, so a slow client slows the far agent.
    while (to_client_.length() < backlog_limit && (n = ftp::complete_line_length(view_of(in))) > 0) {
        if (server_line(view_of(in).substr(0, n)) == -1) return -1;
        in.consume(static_cast<int>(n));
    }
    if (n > 0 || in.empty()) return 0;
    if (in.length() > max_line) {
        report(*this, "ftp control line too long\n");
        return -1;
    }
    if (partner_input_over()) {
        to_client_ += in;
        in.consume(in.length());
    }
    return 0;
}

rwbuf& ftp_c_proto::output() { return to_client_; }

bool ftp_c_proto::output_pending() {
    if (!to_client_.empty()) return true;
    const rwbuf& in = partner_input();
    if (in.empty()) return false;
    // A partial line is pending only once it can go out as it is; otherwise it waits for input.
    return ftp::complete_line_length(view_of(in)) > 0 || partner_input_over();
}

int ftp_c_proto::server_line(std::string_view line) {
    std::string_view text = text_of(line);
    if (ftp::starts_with_nocase(text, "227 ")) {
        std::optional<ftp::host_port> hp = ftp::decode_host_port(text.substr(4));
        if (!hp) {
            report(*this, "unable to decode 227 response parameters\n");
            return -1;
        }
        return start_passive(hp->address, hp->port, false) ? 0 : -1;
    }
    if (ftp::starts_with_nocase(text, "229 ")) {
        std::optional<uint16_t> port = ftp::decode_epsv_reply(text.substr(4));
        if (!port) {
            report(*this, "unable to decode 229 response parameters\n");
            return -1;
        }
        return start_passive(0, *port, true) ? 0 : -1;
    }
    return answer_client(line) ? 0 : -1;
}

// ---- data connections -------------------------------------------------------------------------

clientfwd* ftp_c_proto::new_forward(relaysocket* plain, const channel_header& header) {
    clientfwd* ssl = new (std::nothrow) clientfwd(*this, data(), header);
    if (ssl && ssl->ok()) return ssl;
    report(*this, "system error. unable to create clientfwd socket\n");
    delete plain;
    delete ssl;
    return nullptr;
}

bool ftp_c_proto::start_active(uint32_t address, uint16_t port) {
    drop_data_connection();
    channel_header header = make_channel_header(false, false, address, port);
    clientdata* plain = new (std::nothrow) clientdata(*this, data(), htonl(address), htons(port), header);
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
    channel_header header = make_channel_header(false, true, address, port);
    clientaccept* plain = new (std::nothrow) clientaccept(*this, data(), header, local->addr_net());
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
