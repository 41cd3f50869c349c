#include "agent/connection_data.h"

#include <algorithm>
#include <ctime>

#include <openssl/err.h>

#include "agent/connection_log.h"
#include "net/inetaddr.h"
#include "store/pending_caps.h"

namespace orv {

namespace {

// Hands every session the far agent gives us to the session's small pool. The library's own
// client cache would grow by every ticket (two per TLS 1.3 connection) and have to be searched on
// every connection.
int remember_session(SSL* ssl, SSL_SESSION* session) {
    auto* data = static_cast<connection_data*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (!data) return 0;
    data->remember_session(session);
    return 1;  // the reference is ours now
}

// Port and bind address texts that could only listen or connect on a wrong address are refused
// before anything listens. The server's host name is not looked up here: it may resolve later,
// and each connection reports it when it does not.
bool endpoints_usable(const reporter& r, const session_record& s) {
    if (!inetaddr::port_number(s.port)) {
        report(r, "configuration error. invalid port: %s\n", s.port);
        return false;
    }
    if (!inetaddr::port_number(s.serverport)) {
        report(r, "configuration error. invalid server port: %s\n", s.serverport);
        return false;
    }
    if (s.bindaddr && *s.bindaddr && !inetaddr::host_resolves(s.bindaddr)) {
        report(r, "configuration error. invalid bind address: %s\n", s.bindaddr);
        return false;
    }
    std::string bad;
    if (!parse_endpoint_list(s.faragents, &bad)) {
        report(r, "configuration error. invalid far agent: %s\n", bad.c_str());
        return false;
    }
    if (!parse_failover_mode(s.failover)) {
        report(r, "configuration error. invalid failover mode: %s\n", s.failover);
        return false;
    }
    if (s.metrics && *s.metrics && !parse_endpoint(s.metrics)) {
        report(r, "configuration error. invalid metrics endpoint: %s\n", s.metrics);
        return false;
    }
    if (!parse_pending_caps(s.pending, nullptr)) {
        report(r, "configuration error. invalid pending handshake caps: %s\n", s.pending);
        return false;
    }
    return true;
}

}  // namespace

connection_data::connection_data(const reporter& parent, config_store& store, const char* session_name,
                                 const char* password, const char* key_cipher, connection_role role)
    : reporter(parent), store_(store), role_(role), session_name_(session_name ? session_name : "") {
    if (!load(password, key_cipher)) clear_ok();
}

connection_data::~connection_data() {
    // Release order: user certificate, key, root, partners, context, record.
    user_cert_.reset();
    user_key_.reset();
    root_cert_.reset();
    partners_.clear();
    sessions_.clear();
    ctx_.reset();
    record_.reset();
}

bool connection_data::load(const char* password, const char* key_cipher) {
    if (session_name_.empty()) {
        report(*this, "unspecified session name\n");
        return false;
    }
    int status = store_.validate_session(session_name_.c_str(), password, key_cipher);
    if (status >= 1 && status <= 8) {
        report(*this, "invalid session: %s\n", session_status_text(status));
        return false;
    }
    if (status != 0) {
        report(*this, "invalid session or unable to access session data\n");
        return false;
    }
    record_ = store_.session(session_name_.c_str());
    if (!record_) {
        report(*this, "unable to access session data\n");
        return false;
    }
    if (!endpoints_usable(*this, *record_)) return false;
    far_agents_.emplace(*record_);
    partners_ = store_.partner_list(session_name_.c_str());
    return build_context(password, key_cipher);
}

bool connection_data::build_context(const char* password, const char* key_cipher) {
    const session_record& s = *record_;
    // No SSL 2 or 3 any more: every mode negotiates TLS; the old versions are only named.
    if (s.sslmode < 0 || s.sslmode > 2) {
        report(*this, "configuration file specifies unknown SSL method %d\n", s.sslmode);
        return false;
    }
    // Said once per process: a one-connection session builds this again for every connection.
    static bool sslmode_warned = false;
    if (s.sslmode != 1 && !sslmode_warned) {
        report(*this, "WAR configuration file specifies SSL version %d; TLS is negotiated instead\n",
               s.sslmode == 0 ? 2 : 3);
        sslmode_warned = true;
    }
    bool server = role_ == connection_role::server;
    ctx_.reset(SSL_CTX_new(server ? TLS_server_method() : TLS_client_method()));
    if (!ctx_) {
        report(*this, "unable to create SSL context\n");
        return false;
    }
    ERR_clear_error();
    // The relay retries a blocked SSL_write from a buffer that may have grown (and moved) since.
    SSL_CTX_set_mode(ctx_.get(), SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
    if (server) {
        // A server always shows its own certificate; noclientauth only stops asking for the
        // client's.
        if (!install_user_credentials(password, key_cipher)) return false;
    } else {
        configure_client_cache();
        if (!s.noclientauth && !install_user_credentials(password, key_cipher)) return false;
    }
    int verify = SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
    SSL_CTX_set_verify(ctx_.get(), s.noclientauth ? SSL_VERIFY_NONE : verify, nullptr);
    if (!install_root()) return false;
    if (server && !configure_server_side()) return false;
    if (s.cipherlist && *s.cipherlist) {
        // A list the library rejects leaves its defaults in place.
        SSL_CTX_set_cipher_list(ctx_.get(), s.cipherlist);
        ERR_clear_error();
    }
    // The root must sign the far agent's certificate itself. The library counts the depth
    // without the trust anchor, so 0 admits no intermediate CA (1 would admit any sub-CA).
    X509_VERIFY_PARAM_set_depth(X509_STORE_get0_param(SSL_CTX_get_cert_store(ctx_.get())), 0);
    SSL_CTX_set_verify_depth(ctx_.get(), 0);
    return true;
}

void connection_data::configure_client_cache() {
    const session_record& s = *record_;
    SSL_CTX_set_session_cache_mode(
        ctx_.get(), s.cache ? SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE : SSL_SESS_CACHE_OFF);
    if (s.cache) {
        SSL_CTX_set_app_data(ctx_.get(), this);
        SSL_CTX_sess_set_new_cb(ctx_.get(), orv::remember_session);
    }
}

bool connection_data::configure_server_side() {
    const session_record& s = *record_;
    if (!s.noclientauth) {
        // Clients pick the certificate to present from the CA names the server sends.
        X509_NAME* name = X509_NAME_dup(X509_get_subject_name(root_cert_.get()));
        STACK_OF(X509_NAME)* names = sk_X509_NAME_new_null();
        if (!name || !names || !sk_X509_NAME_push(names, name)) {
            X509_NAME_free(name);
            sk_X509_NAME_pop_free(names, X509_NAME_free);
            report(*this, "unable to set client CA list\n");
            return false;
        }
        SSL_CTX_set_client_CA_list(ctx_.get(), names);  // takes the stack
    }
    if (s.cache) {
        // Resumed sessions must belong to this session's context; the library refuses to resume
        // a verified client's session without an id context.
        const auto* id = reinterpret_cast<const unsigned char*>(session_name_.data());
        unsigned int length = static_cast<unsigned int>(std::min<size_t>(session_name_.size(), SSL_MAX_SID_CTX_LENGTH));
        SSL_CTX_set_session_id_context(ctx_.get(), id, length);
        SSL_CTX_set_session_cache_mode(ctx_.get(), SSL_SESS_CACHE_SERVER);
    } else {
        SSL_CTX_set_session_cache_mode(ctx_.get(), SSL_SESS_CACHE_OFF);
        SSL_CTX_set_options(ctx_.get(), SSL_OP_NO_TICKET);
        SSL_CTX_set_num_tickets(ctx_.get(), 0);
    }
    return true;
}

bool connection_data::install_user_credentials(const char* password, const char* key_cipher) {
    const session_record& s = *record_;
    if (s.cert) user_cert_ = store_.certificate(s.cert);
    if (!user_cert_ || SSL_CTX_use_certificate(ctx_.get(), user_cert_.get()) <= 0) {
        report(*this, "unable to set user certificate\n");
        return false;
    }
    const char* hex = s.key ? store_.key_text(s.key) : nullptr;
    if (hex) user_key_ = config_store::decrypt_key(hex, password, key_cipher);
    if (!user_key_ || SSL_CTX_use_PrivateKey(ctx_.get(), user_key_.get()) <= 0) {
        report(*this, "unable to set user key\n");
        return false;
    }
    if (!SSL_CTX_check_private_key(ctx_.get())) {
        report(*this, "unable to verify user cert with user key\n");
        return false;
    }
    return true;
}

bool connection_data::install_root() {
    const session_record& s = *record_;
    if (s.root) root_cert_ = store_.root(s.root);
    if (!root_cert_ || X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx_.get()), root_cert_.get()) <= 0) {
        report(*this, "unable to set root certificate\n");
        return false;
    }
    return true;
}

SSL* connection_data::new_ssl() {
    if (!ctx_) return nullptr;
    SSL* ssl = SSL_new(ctx_.get());
    if (!ssl || role_ == connection_role::server || !record_->cache) return ssl;
    // Newest first; sessions that have expired or cannot resume are dropped on the way.
    long now = static_cast<long>(std::time(nullptr));
    while (!sessions_.empty()) {
        ssl_session_ptr& s = sessions_.back();
        long start = static_cast<long>(SSL_SESSION_get_time(s.get()));
        bool valid = start + static_cast<long>(SSL_SESSION_get_timeout(s.get())) > now;
        if (!valid || !SSL_SESSION_is_resumable(s.get())) {
            sessions_.pop_back();
            continue;
        }
        SSL_set_session(ssl, s.get());
        // A TLS 1.3 ticket serves one resumption (far agents refuse a second use and the
        // connection falls back to a full handshake); each connection brings fresh ones. Older
        // sessions may be resumed again and again.
        if (SSL_SESSION_get_protocol_version(s.get()) >= TLS1_3_VERSION) sessions_.pop_back();
        break;
    }
    return ssl;
}

void connection_data::remember_session(SSL_SESSION* session) {
    sessions_.emplace_back(session);
    if (sessions_.size() > max_sessions) sessions_.pop_front();
}

pair* connection_data::find_pair(int number) const {
    auto it = pairs_.find(number);
    return it == pairs_.end() ? nullptr : it->second;
}

}  // namespace orv
