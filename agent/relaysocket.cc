#include "agent/relaysocket.h"

#include <sys/socket.h>

#include "agent/connection_data.h"
#include "agent/connection_log.h"
#include "agent/pair.h"
#include "agent/partner_check.h"
#include "net/inetaddr.h"

namespace orv {

namespace {

// Socket options every relayed socket gets; false after the message has been written.
bool set_relay_options(socket& s, const connection_data& data) {
    if (s.set_nonblocking(1) != 0 || s.so_oobinline(1) != 0 || s.so_keepalive(1) != 0) {
        report(s, "unable to set socket options\n");
        return false;
    }
    if (data.session().nodelay && s.tcp_nodelay(1) != 0) {
        report(s, "unable to set socket to non-delayed mode\n");
        return false;
    }
    return true;
}

std::string peer_text(socket& s) {
    std::unique_ptr<inetaddr> peer = s.peer_address();
    return peer ? peer->text() : std::string();
}

void notify(connection_data& data, class pair* p, int event) {
    if (p && data.log()) data.log()(data, event, p->number());
}

// The wanted events of a relaying side once its socket needs nothing for itself.
int relay_wants(bool closing, const rwbuf& own, const rwbuf* partners, int* read, int* write, int* error) {
    if (closing || own.length() > 0) *write = 1;
    if (partners && partners->length() < backlog_limit) *read = 1;
    *error = 1;
    return 1;
}

// One relay step of either side: read from the own peer into the partner's buffer (`partners`,
// null once the partner is gone), write the own buffer out. 1 to go on, -1 when the connection
// has ended.
int relay_once(socket& self, rwbuf* partners, rwbuf& own, int readable, int writable, int error, int max_read,
               const char* read_failed, const char* write_failed) {
    int result = 1;
    if (readable && partners && self.read_into(partners, max_read) == -1) {
        // A peer that closes with nothing left for it is an ordinary end, not a failure.
        if (own.length() > 0) report(self, "%s", read_failed);
        result = -1;
    }
    if (result != -1 && writable && self.write_from(&own) == -1) {
        report(self, "%s", write_failed);
        result = -1;
    }
    return error ? -1 : result;
}

}  // namespace

// ---- relaysocket ------------------------------------------------------------------------------

relaysocket::relaysocket(const reporter& parent, connection_data& data, int handle, const channel_header& header)
    : reporter(parent), socket(parent, handle), header_(header), data_(data), partner_input_(parent) {
    set_type("data connection");
    setup(true);
}

relaysocket::relaysocket(const reporter& parent, connection_data& data, const channel_header& header)
    : reporter(parent), socket(parent, AF_INET, SOCK_STREAM, 0), header_(header), data_(data),
      partner_input_(parent) {
    set_type("data connection");
    setup(false);
}

void relaysocket::setup(bool accepted) {
    if (!ok()) return;
    if (!set_relay_options(*this, data_)) {
        clear_ok();
        return;
    }
    if (accepted) peer_address_text_ = peer_text(*this);
}

relaysocket::~relaysocket() {
    if (pair_) {
        notify(data_, pair_, connection_disconnected);
        delete pair_;
    }
    sslrelaysocket* partner = partner_;
    remove_partner(this);
    if (partner && partner->drain_check() == 1) delete partner;
}

int relaysocket::drain_check() {
    closing_ = 1;
    return partner_input_.length() == 0 ? 1 : 0;
}

int relaysocket::handle_events(int readable, int writable, int error) {
    int result = socket::handle_events(readable, writable, error);
    if (result != 0) return result;
    if (peer_address_text_.empty()) {
        peer_address_text_ = peer_text(*this);
        notify(data_, pair_, connection_connected);
    }
    if (closing_ && drain_check() == 1) return -1;
    return 0;
}

int relaysocket::wants_events(int* read, int* write, int* error) {
    int result = socket::wants_events(read, write, error);
    if (result != 0) return result;
    return relay_wants(closing_, partner_input_, partner_ ? &partner_->partner_input() : nullptr, read, write,
                       error);
}

int relaysocket::relay(int readable, int writable, int error, int max_read, const char* read_failed,
                       const char* write_failed) {
    return relay_once(*this, partner_ ? &partner_->partner_input() : nullptr, partner_input_, readable, writable,
                      error, max_read, read_failed, write_failed);
}

// ---- sslrelaysocket ---------------------------------------------------------------------------

sslrelaysocket::sslrelaysocket(const reporter& parent, connection_data& data, const channel_header& header)
    : reporter(parent), sslsocket(parent, data.ssl_context(), AF_INET, SOCK_STREAM, 0), header_(header),
      data_(data), partner_input_(parent) {
    set_type("SSL connection");
    setup();
}

void sslrelaysocket::setup() {
    if (!ok()) return;
    if (!set_relay_options(*this, data_)) clear_ok();
}

sslrelaysocket::~sslrelaysocket() {
    if (pair_) {
        notify(data_, pair_, connection_disconnected);
        delete pair_;
    }
    relaysocket* partner = partner_;
    remove_partner(this);
    if (partner && partner->drain_check() == 1) delete partner;
}

int sslrelaysocket::drain_check() {
    closing_ = 1;
    return partner_input_.length() == 0 ? 1 : 0;
}

bool sslrelaysocket::queue_header() {
    char* gap = partner_input_.insert(0, static_cast<int>(header_.size()));
    if (!gap) return false;
    std::copy(header_.begin(), header_.end(), gap);
    return true;
}

void sslrelaysocket::connect_to_server() {
    if (!ok()) return;
    const session_record& s = data_.session();
    inetaddr target(*this, s.server ? s.server : "", s.serverport ? s.serverport : "");
    if (!start_relay_connect(*this, target)) return;
    SSL* ssl = data_.new_ssl();
    if (!ssl) {
        report(*this, "unable to create SSL structure\n");
        clear_ok();
        return;
    }
    if (sslconnect(ssl) == -1) {
        report(*this, "unable to do SSL connect\n");
        clear_ok();
    }
}

int sslrelaysocket::handle_events(int readable, int writable, int error) {
    int result = sslsocket::handle_events(readable, writable, error);
    // The step that completes the handshake answers 1; go on at once so that the far agent is
    // logged and checked without waiting for another readiness.
    bool just_finished = result == 1 && ssl() && !is_busy() && !far_agent_checked_;
    if (result != 0 && !just_finished) return result;
    result = 0;
    if (peer_address_text_.empty()) {
        peer_address_text_ = peer_text(*this);
        notify(data_, pair_, connection_connected);
    }
    if (!far_agent_checked_) result = after_handshake();
    if (closing_ && drain_check() == 1) result = -1;
    return result;
}

int sslrelaysocket::after_handshake() {
    far_agent_checked_ = true;
    peer_name_text_ = peer_name();
    cipher_text_ = cipher_name();
    notify(data_, pair_, connection_connected);
    if (check_partner(data_.partners(), peer_name_text_, mapped_name_) != 0) {
        report(*this, "access denied to %s by partner list\n", peer_name_text_.c_str());
        return -1;
    }
    return 0;
}

int sslrelaysocket::wants_events(int* read, int* write, int* error) {
    int result = sslsocket::wants_events(read, write, error);
    if (result != 0) return result;
    return relay_wants(closing_, partner_input_, partner_ ? &partner_->partner_input() : nullptr, read, write,
                       error);
}

int sslrelaysocket::relay(int readable, int writable, int error, int max_read, const char* read_failed,
                          const char* write_failed) {
    return relay_once(*this, partner_ ? &partner_->partner_input() : nullptr, partner_input_, readable, writable,
                      error, max_read, read_failed, write_failed);
}

bool start_relay_connect(socket& s, const inetaddr& target) {
    if (!target.is_valid()) {
        report(s, "invalid address\n");
        s.clear_ok();
        return false;
    }
    if (s.connect(&target) == -1) {
        report(s, "unable to connect\n");
        s.clear_ok();
        return false;
    }
    return true;
}

// ---- links ------------------------------------------------------------------------------------

void make_partners(relaysocket* plain, sslrelaysocket* ssl) {
    remove_partner(plain);
    remove_partner(ssl);
    plain->partner_ = ssl;
    ssl->partner_ = plain;
}

void remove_partner(relaysocket* plain) {
    if (plain->partner_) plain->partner_->partner_ = nullptr;
    plain->partner_ = nullptr;
}

void remove_partner(sslrelaysocket* ssl) {
    if (ssl->partner_) ssl->partner_->partner_ = nullptr;
    ssl->partner_ = nullptr;
}

}  // namespace orv
