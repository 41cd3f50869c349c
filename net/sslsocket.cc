#include "net/sslsocket.h"

#include <cerrno>
#include <sys/socket.h>

#include <openssl/err.h>
#include <openssl/x509.h>

namespace orv {

sslsocket::sslsocket(const reporter& parent, SSL_CTX* ctx, int family, int type, int protocol)
    : proxysocket(parent, family, type, protocol), ctx_(ctx) {}

sslsocket::sslsocket(const reporter& parent, SSL_CTX* ctx, int handle) : proxysocket(parent, handle), ctx_(ctx) {}

sslsocket::~sslsocket() { sslsocket::close(); }

int sslsocket::close() {
    if (!ssl_) return 0;
    // One close notification, result ignored; whatever the library queued about it is not
    // worth a line before the next unrelated report.
    if (SSL_is_init_finished(ssl_.get()) && !fatal_ && !(SSL_get_shutdown(ssl_.get()) & SSL_SENT_SHUTDOWN)) {
        ERR_set_mark();
        SSL_shutdown(ssl_.get());
        ERR_pop_to_mark();
    }
    ssl_.reset();
    return 0;
}

bool sslsocket::in_handshake() const { return ssl_ && !SSL_is_init_finished(ssl_.get()); }

int sslsocket::is_busy() { return (proxysocket::is_busy() || in_handshake()) ? 1 : 0; }

int sslsocket::has_buffered_input() {
    return ssl_ && !input_stalled_ && !in_handshake() && SSL_has_pending(ssl_.get()) ? 1 : 0;
}

bool sslsocket::would_block(int ret) {
    int e = SSL_get_error(ssl_.get(), ret);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return true;
    return e == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

int sslsocket::sslconnect() {
    if (!ctx_) return -1;
    SSL* ssl = SSL_new(ctx_);
    if (!ssl) return -1;
    return sslconnect(ssl);
}

int sslsocket::sslconnect(SSL* ssl) { return attach(ssl, false, "tried sslconnect on already connected ssl socket\n"); }

int sslsocket::sslaccept(SSL* ssl) { return attach(ssl, true, "tried sslaccept on already connected ssl socket\n"); }

int sslsocket::attach(SSL* ssl, bool server, const char* misuse) {
    if (ssl_) {
        report(*this, "%s", misuse);
        if (ssl && ssl != ssl_.get()) SSL_free(ssl);
        return -1;
    }
    if (!ssl) return -1;
    ssl_.reset(ssl);
    tls_ = true;
    // The data a relay retries after a blocked write sits in an rwbuf that may have been
    // reallocated meanwhile; without this mode the library refuses the retry.
    SSL_set_mode(ssl, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Whole records and what follows them per system call: fewer reads for a bulk download. The
    // buffer is given back whenever a read finds nothing more (ssl_read), so idle connections do
    // not keep it. (A read buffer larger than the default made downloads cost more, not less.)
    SSL_set_read_ahead(ssl, 1);
    if (!SSL_set_fd(ssl, handle_)) {
        report_handshake_failure();
        return -1;
    }
    if (server) {
        SSL_set_app_data(ssl, this);
        SSL_set_info_callback(ssl, watch_alerts);
        // The client speaks first: the handshake starts on the first readiness, from
        // handle_events, so that its outcome (a refused certificate, say) is reported and logged
        // like any later step, not inside the constructor of the connection's end.
        SSL_set_accept_state(ssl);
        return 0;
    }
    SSL_set_connect_state(ssl);
    if (proxysocket::is_busy()) return 0;
    return handshake_step() < 0 ? -1 : 0;
}

void sslsocket::watch_alerts(const SSL* ssl, int where, int value) {
    if (!(where & SSL_CB_WRITE_ALERT) || (value & 0xff) != SSL_AD_NO_RENEGOTIATION) return;
    if (auto* self = static_cast<sslsocket*>(SSL_get_app_data(ssl))) self->renegotiation_refused_ = true;
}

int sslsocket::start_over() {
    ssl_.reset();
    tls_ = false;
    fatal_ = false;
    renegotiation_refused_ = false;
    input_stalled_ = false;
    peer_name_.clear();
    cipher_name_.clear();
    return proxysocket::start_over();
}

void sslsocket::handle_replaced() {
    if (ssl_ && !SSL_set_fd(ssl_.get(), handle_)) report_handshake_failure();
}

bool sslsocket::first_record_arriving() {
    // A TLS record: type (22 for a handshake), version (2 bytes), length (2 bytes), then that many.
    constexpr int header_size = 5;
    constexpr int max_first_record = header_size + 16384 + 2048;
    unsigned char header[header_size];
    // Peeking only at bytes that are there: a peek at an empty queue would take the pending error
    // (a reset, say) that the library's own read must see and report.
    int queued = queued_input();
    ssize_t n = queued > 0 ? recv(handle_, header, sizeof header, MSG_PEEK | MSG_DONTWAIT) : 0;
    int need = header_size;
    if (n == header_size) need += header[3] << 8 | header[4];
    bool waiting = n > 0 && header[0] == 22 && need <= max_first_record && queued < need;
    // Woken with the mark already at this size and the record still short: the peer has closed
    // (the selector reports that whatever the mark). The library reads what there is and fails.
    if (waiting && need == low_water_) waiting = false;
    int mark = waiting ? need : 1;
    if (mark != low_water_) {
        if (setsockopt(handle_, SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark) != 0) {
            mark = 1;
            waiting = false;
            (void)setsockopt(handle_, SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark);
        }
        low_water_ = mark;
    }
    return waiting;
}

int sslsocket::handshake_step() {
    if (SSL_is_server(ssl_.get()) && SSL_in_before(ssl_.get()) && first_record_arriving()) return 1;
    stamp_activity();
    ERR_clear_error();
    errno = 0;
    int rc = SSL_do_handshake(ssl_.get());
    if (rc > 0 || would_block(rc)) {
        if (SSL_is_init_finished(ssl_.get())) record_peer();
        return 1;
    }
    fatal_ = true;
    report_handshake_failure();
    return -1;
}

int sslsocket::shutdown_output() {
    if (!tls_ || !ssl_) return socket::shutdown_output();
    if (is_busy()) return 0;
    bool sent = (SSL_get_shutdown(ssl_.get()) & SSL_SENT_SHUTDOWN) != 0;
    bool flushing = sent && SSL_want(ssl_.get()) == SSL_WRITING;
    if (!fatal_ && (!sent || flushing)) {
        stamp_activity();
        ERR_clear_error();
        errno = 0;
        int rc = SSL_shutdown(ssl_.get());
        if (rc < 0 && would_block(rc)) return 0;
        // A peer that has gone already cannot take the notification; its end is ours too.
        ERR_clear_error();
    }
    return socket::shutdown_output();
}

sslsocket::input_end sslsocket::classify_read_end(int ret) {
    int e = SSL_get_error(ssl_.get(), ret);
    if (e == SSL_ERROR_ZERO_RETURN) return input_end::orderly;
    unsigned long last = ERR_peek_last_error();
    bool eof_without_notify = (e == SSL_ERROR_SSL && ERR_GET_REASON(last) == SSL_R_UNEXPECTED_EOF_WHILE_READING) ||
                              (e == SSL_ERROR_SYSCALL && last == 0 && errno == 0);
    fatal_ = true;
    if (eof_without_notify) {
        // The far agent closed the stream without close_notify: an ordinary end here, not an
        // error line (nothing of ours is at risk, the stream is complete up to its end).
        ERR_clear_error();
        return input_end::orderly;
    }
    return input_end::failed;
}

void sslsocket::record_peer() {
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl_.get());
    cipher_name_ = cipher ? SSL_CIPHER_get_name(cipher) : "";
    x509_ptr cert(SSL_get1_peer_certificate(ssl_.get()));
    if (!cert) return;
    char* name = X509_NAME_oneline(X509_get_subject_name(cert.get()), nullptr, 0);
    if (!name) {
        report(*this, "unable to get peer name\n");
        return;
    }
    peer_name_ = name;
    OPENSSL_free(name);
}

void sslsocket::report_handshake_failure() {
    long result = SSL_get_verify_result(ssl_.get());
    int error = errno;
    std::string note = handshake_failure_note();
    if (result == X509_V_OK && ERR_peek_error() == 0 && error != 0)
        report(*this, "SSL handshake failed: %s%s\n", sockerr_text(error), note.c_str());  // the connection broke
    else if (result == X509_V_OK && SSL_is_server(ssl_.get()) && ERR_peek_last_error() != 0) {
        // The server role names the cause (no client certificate, no shared cipher): the
        // client's log is the only other place it would show.
        const char* reason = ERR_reason_error_string(ERR_peek_last_error());
        report(*this, "SSL handshake failed: %s%s\n", reason ? reason : "unknown", note.c_str());
    } else if (result == X509_V_OK) report(*this, "SSL handshake failed%s\n", note.c_str());
    else report(*this, "SSL handshake failed: %s%s\n", X509_verify_cert_error_string(result), note.c_str());
}

int sslsocket::ssl_read(char* buf, int size) {
    if (!tls_) return plain_read(buf, size);
    if (!ssl_) {
        report(*this, "tried read on closed ssl socket\n");
        return -1;
    }
    if (is_busy()) {
        report(*this, "tried read on busy ssl socket\n");
        return 0;
    }
    stamp_activity();
    ERR_clear_error();
    errno = 0;
    int rc = SSL_read(ssl_.get(), buf, size);
    if (rc > 0) {
        input_stalled_ = false;
        bytes_read_ += rc;
        return rc;
    }
    if (would_block(rc)) {
        input_stalled_ = true;
        // The library keeps its read buffer (a record and more) after a read that waited; an
        // idle connection has no use for it.
        if (!SSL_has_pending(ssl_.get())) SSL_free_buffers(ssl_.get());
        return 0;
    }
    input_end_ = classify_read_end(rc);
    return -1;
}

int sslsocket::ssl_write(const char* data, int len) {
    if (!tls_) return plain_write(data, len);
    if (!ssl_) {
        report(*this, "tried write on closed ssl socket\n");
        return -1;
    }
    if (is_busy()) {
        report(*this, "tried write on busy ssl socket\n");
        return 0;
    }
    stamp_activity();
    if (len <= 0) return 0;
    if (len > max_write) len = max_write;
    ERR_clear_error();
    errno = 0;
    int rc = SSL_write(ssl_.get(), data, len);
    if (rc > 0) {
        bytes_written_ += rc;
        return rc;
    }
    if (would_block(rc)) return 0;
    fatal_ = true;
    return -1;
}

int sslsocket::read(char* buf, int size) { return ssl_read(buf, size); }
int sslsocket::write(const char* data, int len) { return ssl_write(data, len); }
int sslsocket::read_into(rwbuf* buf, int max) { return socket::read_into(buf, max); }
int sslsocket::write_from(rwbuf* buf) { return socket::write_from(buf); }

int sslsocket::handle_events(int readable, int writable, int error) {
    int rc = proxysocket::handle_events(readable, writable, error);
    if (rc != 0) return rc;
    if (!in_handshake()) return 0;
    int result = 1;
    if (readable || writable) result = handshake_step();
    return error ? -1 : result;
}

int sslsocket::wants_events(int* read, int* write, int* error) {
    int rc = proxysocket::wants_events(read, write, error);
    if (rc != 0) return rc;
    if (ssl_) {
        // What the library last waited for; subclasses use it for data transfer too.
        int want = SSL_want(ssl_.get());
        *read = want == SSL_READING;
        *write = want == SSL_WRITING;
    }
    if (!in_handshake()) return 0;
    // In the server role nothing happens before the client's first bytes: starting the handshake
    // earlier would give a peer that sends nothing the library's handshake buffers (some 40 KiB).
    if (SSL_is_server(ssl_.get()) && SSL_in_before(ssl_.get())) {
        *read = 1;
        *write = 0;
        *error = 1;
        return 1;
    }
    // Waiting for both when the library waits for one would wake the loop on every cycle.
    if (!*read && !*write) *read = *write = 1;
    *error = 1;
    return 1;
}

}  // namespace orv
