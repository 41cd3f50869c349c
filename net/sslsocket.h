// sslsocket: a stream socket that may carry TLS, over a proxysocket, driven without blocking by
// the selector.
//
// Without an SSL object it is a plain socket: read and write go straight to the handle. sslconnect
// attaches an SSL object (owned from then on) in the client role. The handshake runs from
// handle_events once the connect and any proxy exchange are done; at its completion the cipher
// name and the peer certificate's subject (X509_NAME_oneline form, empty without a certificate)
// are recorded. Until then the socket is busy and SSL reads and writes are refused with 0
// ("tried read on busy ssl socket\n"), so callers retry later.
//
// Either direction ends on its own (half-close): a read answers -1 once the peer's close_notify
// (or its end of the stream) has come, and input_end() then says whether that was an orderly end
// or a failure; shutdown_output sends our close_notify and the TCP end of stream while reads go
// on.
//
// The SSL_CTX is the creator's (the session's); the socket never frees it.
//
// For subclasses that relay data: after the handshake, handle_events returns 0 and wants_events
// asks for nothing but reports in *read / *write what the library last waited for; the
// subclass adds its own wishes. Records are read ahead, so decrypted input can wait inside the
// library while the handle is quiet: has_buffered_input tells the selector. The process must
// ignore SIGPIPE (ignore_sigpipe): the library writes with plain write() calls.
#pragma once

#include <string>

#include <openssl/ssl.h>

#include "net/proxysocket.h"
#include "store/openssl_ptr.h"

namespace orv {

class sslsocket : public proxysocket {
public:
    // Most plaintext bytes handed to SSL_write per call (one full record); longer writes come
    // back short.
    static constexpr int max_write = 16384;

    // A new socket(family, type, protocol); `ctx` may be null when every SSL object is given
    // to sslconnect(SSL*).
    sslsocket(const reporter& parent, SSL_CTX* ctx, int family, int type, int protocol);
    // Over an existing connected handle.
    sslsocket(const reporter& parent, SSL_CTX* ctx, int handle);
    ~sslsocket() override;

    // Sends the close notification once, frees the SSL object; the handle stays open until
    // the object is destroyed.
    int close() override;
    int read_into(rwbuf* buf, int max) override;
    int write_from(rwbuf* buf) override;
    int read(char* buf, int size) override;
    int write(const char* data, int len) override;
    int handle_events(int readable, int writable, int error) override;
    int wants_events(int* read, int* write, int* error) override;
    int is_busy() override;
    int has_buffered_input() override;
    virtual int ssl_read(char* buf, int size);
    virtual int ssl_write(const char* data, int len);

    // Attaches `ssl` (taking ownership even on failure) and starts the client handshake:
    // 0 when under way or done, -1 on failure.
    int sslconnect(SSL* ssl);
    // The same with a new SSL object from the creator's SSL_CTX.
    int sslconnect();
    // Attaches `ssl` (taking ownership even on failure) in the server role over an accepted
    // handle; the handshake then runs from handle_events as the client one does: 0 when under
    // way or done, -1 on failure.
    int sslaccept(SSL* ssl);

    // Drops the SSL object without a close_notify (the handshake failed or never completed)
    // and starts the socket over.
    int start_over() override;
    // Our close_notify (with TLS), then the TCP end of stream.
    int shutdown_output() override;

    const std::string& peer_name() const { return peer_name_; }
    const std::string& cipher_name() const { return cipher_name_; }
    SSL* ssl() const { return ssl_.get(); }
    SSL_CTX* ctx() const { return ctx_; }
    bool in_handshake() const;
    // True once the library has refused the peer's request to renegotiate (server role: it sent
    // the no_renegotiation alert); the peer's fatal alert that usually follows is its answer to
    // that, not a certificate problem.
    bool renegotiation_refused() const { return renegotiation_refused_; }

protected:
    // The SSL object follows a new handle (set before the handshake has begun).
    void handle_replaced() override;
    // sslconnect and sslaccept: the role is the only difference.
    int attach(SSL* ssl, bool server, const char* misuse);
    // One handshake step: 1 to go on (done or waiting), -1 after reporting the failure.
    int handshake_step();
    // Server role, before the library has read anything: true while the client's first record
    // is still arriving. The library is not called until it is whole, so a peer that sends part
    // of a ClientHello costs the kernel's receive queue, not the library's handshake buffers
    // (some 36 KiB). The socket's low-water mark makes the selector wake once it is all there.
    // False, and the library goes on as usual, for anything that is not the start of a
    // handshake record, and when the peer has closed or the mark cannot be set.
    bool first_record_arriving();
    void record_peer();
    void report_handshake_failure();
    // Appended to every "SSL handshake failed" line: what the owner knows that explains a
    // refusal (our own certificate has expired, say); empty by default.
    virtual std::string handshake_failure_note() const { return {}; }
    // True when the last SSL call only has to wait for the network.
    bool would_block(int ret);
    // After a failed SSL_read: the orderly ends (close_notify, or the stream ending without
    // one) against real failures.
    input_end classify_read_end(int ret);

    SSL_CTX* ctx_;
    ssl_ptr ssl_;
    std::string peer_name_;
    std::string cipher_name_;
    bool tls_ = false;            // an SSL object was attached: I/O goes through TLS from then on
    bool input_stalled_ = false;  // the last read waited for the network
    bool fatal_ = false;          // the library failed: no close_notify may follow
    bool renegotiation_refused_ = false;
    int low_water_ = 1;  // the handle's SO_RCVLOWAT while the first record arrives

private:
    static void watch_alerts(const SSL* ssl, int where, int value);
};

}  // namespace orv
