// sslsocket: an SSL client connection over a proxysocket, driven without blocking by the selector.
//
// sslconnect attaches an SSL object (owned from then on) in the client role. The handshake runs
// from handle_events once the connect and any proxy exchange are done; at its completion the
// cipher name and the peer certificate's subject (X509_NAME_oneline form, empty without a
// certificate) are recorded. Until then, and during a shutdown, the socket is busy and SSL reads
// and writes are refused with 0 ("tried read on busy ssl socket\n"), so callers retry later.
// read and write go through ssl_read and ssl_write, so relaying subclasses use the plain calls.
//
// The SSL_CTX is the creator's (the session's); the socket never frees it.
//
// For subclasses that relay data: after the handshake, handle_events returns 0 and wants_events
// asks for nothing but reports in *read / *write what the library last waited for; the
// subclass adds its own wishes. Read at least 16384 bytes per ssl_read (one whole record): the
// library decrypts a record at a time, and what a shorter read leaves inside it does not make
// the handle readable again. The process must ignore SIGPIPE (ignore_sigpipe): the library
// writes with plain write() calls.
#pragma once

#include <string>

#include <openssl/ssl.h>

#include "net/proxysocket.h"
#include "store/openssl_ptr.h"

namespace orv {

class sslsocket : public proxysocket {
public:
    // Most plaintext bytes handed to SSL_write per call; longer writes come back short.
    static constexpr int max_write = 16000;

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
    virtual int ssl_read(char* buf, int size);
    virtual int ssl_write(const char* data, int len);

    // Attaches `ssl` (taking ownership even on failure) and starts the client handshake:
    // 0 when under way or done, -1 on failure.
    int sslconnect(SSL* ssl);
    // The same with a new SSL object from the creator's SSL_CTX.
    int sslconnect();

    const std::string& peer_name() const { return peer_name_; }
    const std::string& cipher_name() const { return cipher_name_; }
    SSL* ssl() const { return ssl_.get(); }
    SSL_CTX* ctx() const { return ctx_; }
    bool in_handshake() const;
    bool in_shutdown() const;

protected:
    // One handshake step: 1 to go on (done or waiting), -1 after reporting the failure.
    int handshake_step();
    // One shutdown step: 1 while waiting for the peer, -1 when finished or failed.
    int shutdown_step();
    void record_peer();
    void report_handshake_failure();
    // True when the last SSL call only has to wait for the network.
    bool would_block(int ret);

    SSL_CTX* ctx_;
    ssl_ptr ssl_;
    std::string peer_name_;
    std::string cipher_name_;
};

}  // namespace orv
