// sslsocket: the non-blocking client handshake driven by the selector against an in-process
// OpenSSL server (a thread with blocking I/O and bounded waits), directly, over a socket pair and
// through tinyproxy; names recorded at completion; verification failures; the write cut; busy
// refusals; close and the shutdown path.
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>
#include <openssl/err.h>

#include "net/selector.h"
#include "net/sslsocket.h"
#include "tests/net/net_test_util.h"

namespace orv {
namespace {

using test::captured_log;

struct pki {
    test::cert_and_key ca = test::make_ca("orv test ca");
    test::cert_and_key server = test::make_leaf(ca, "far agent");
    test::cert_and_key stranger_ca = test::make_ca("someone else");
};

const pki& certs() {
    static pki p;
    return p;
}

ssl_ctx_ptr server_ctx(bool anonymous) {
    ssl_ctx_ptr ctx(SSL_CTX_new(TLS_server_method()));
    if (anonymous) {
        SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION);
        SSL_CTX_set_cipher_list(ctx.get(), "aNULL:@SECLEVEL=0");
        SSL_CTX_set_dh_auto(ctx.get(), 1);
    } else {
        SSL_CTX_use_certificate(ctx.get(), certs().server.cert.get());
        SSL_CTX_use_PrivateKey(ctx.get(), certs().server.key.get());
    }
    return ctx;
}

// A client context as the agent's session makes it: verify the peer against one root.
ssl_ctx_ptr client_ctx(X509* root, bool anonymous = false) {
    ssl_ctx_ptr ctx(SSL_CTX_new(TLS_client_method()));
    if (anonymous) {
        SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION);
        SSL_CTX_set_cipher_list(ctx.get(), "aNULL:@SECLEVEL=0");
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    } else {
        X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx.get()), root);
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    }
    return ctx;
}

// The far end: accepts TLS on one descriptor in a thread, then runs a script on the connection.
// Every blocking call is bounded by 10-second socket time-outs.
class tls_server {
public:
    using script = std::function<void(SSL*)>;

    tls_server(ssl_ctx_ptr ctx, int fd, script after_handshake)
        : ctx_(std::move(ctx)), fd_(fd), script_(std::move(after_handshake)) {
        timeval tv{10, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        thread_ = std::thread([this] { run(); });
    }
    ~tls_server() { join(); }

    void join() {
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    std::string cipher;
    std::atomic<bool> handshake_done{false};

private:
    void run() {
        ssl_ptr ssl(SSL_new(ctx_.get()));
        SSL_set_fd(ssl.get(), fd_);
        if (SSL_accept(ssl.get()) == 1) {
            cipher = SSL_get_cipher_name(ssl.get());
            handshake_done = true;
            if (script_) script_(ssl.get());
        }
        ERR_clear_error();  // this thread's queue: nothing for the client's log
    }

    ssl_ctx_ptr ctx_;
    int fd_;
    script script_;
    std::thread thread_;
};

// Echoes what arrives until the client closes.
void echo(SSL* ssl) {
    char buf[16384];
    int n;
    while ((n = SSL_read(ssl, buf, sizeof buf)) > 0)
        if (SSL_write(ssl, buf, n) <= 0) break;
    SSL_shutdown(ssl);
}

// The relay subclasses ask for read readiness once the handshake is done; so does this one, so
// that the tests' reads are woken by data rather than by the wait timeout.
struct reading_sslsocket : sslsocket {
    using sslsocket::sslsocket;
    int wants_events(int* read, int* write, int* error) override {
        if (sslsocket::wants_events(read, write, error)) return 1;
        *read = 1;
        return 1;
    }
};

struct ssl_fixture : ::testing::Test {
    captured_log log;
    reporter r{&log.sink()};
    selector sel{r};
    test::listener l;
    sslsocket* sock = nullptr;

    void SetUp() override {
        ignore_sigpipe();
        ERR_clear_error();
        sel.set_wait_timeout(1);
    }
    void TearDown() override { clear_proxy_configuration(); }

    bool alive() { return sel.contains(sock); }

    // A new sslsocket connecting to the listener, handed `ctx`'s SSL object.
    void connect_client(SSL_CTX* ctx, int port) {
        sock = new reading_sslsocket(r, ctx, AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(sock->set_nonblocking(1), 0);
        inetaddr to(r, "127.0.0.1", std::to_string(port).c_str());
        ASSERT_EQ(sock->connect(&to), 0);
        ASSERT_EQ(sock->sslconnect(), 0);
        sel.add(sock);
    }

    bool handshake() {
        return test::run_until(sel, [&] { return !alive() || !sock->is_busy(); });
    }
};

TEST_F(ssl_fixture, handshake_records_the_peer_and_the_cipher_and_data_flows) {
    const int before = test::open_descriptor_count();
    ssl_ctx_ptr ctx = client_ctx(certs().ca.cert.get());
    connect_client(ctx.get(), l.port);
    // Still connecting (or handshaking): reads and writes are refused without harm.
    char buf[32];
    EXPECT_EQ(sock->is_busy(), 1);
    EXPECT_EQ(sock->read(buf, sizeof buf), 0);
    EXPECT_EQ(sock->write("x", 1), 0);
    EXPECT_EQ(log.text(), "tried read on busy ssl socket\ntried write on busy ssl socket\n");
    log.clear();
    EXPECT_EQ(sock->peer_name(), "");
    EXPECT_EQ(sock->cipher_name(), "");

    tls_server server(server_ctx(false), l.accept_one(5000), echo);
    ASSERT_TRUE(handshake());
    ASSERT_TRUE(alive()) << log.text();
    EXPECT_EQ(sock->peer_name(), "/O=orv test/CN=far agent");
    EXPECT_FALSE(sock->cipher_name().empty());
    EXPECT_EQ(log.text(), "");

    // A write of 20000 bytes passes at most one record; the rest is the caller's to retry.
    std::string big(20000, 'b');
    EXPECT_EQ(sock->write(big.data(), 20000), 16384);
    rwbuf echoed(r);
    ASSERT_TRUE(test::run_until(sel, [&] {
        sock->read_into(&echoed, 16384);
        return echoed.length() >= 16384;
    }));
    EXPECT_EQ(echoed.length(), 16384);
    EXPECT_EQ(sock->bytes_written(), 16384);
    EXPECT_EQ(sock->bytes_read(), 16384);
    EXPECT_EQ(server.cipher, sock->cipher_name());

    sock->close();  // close notification out, SSL object gone, handle still open
    EXPECT_EQ(sock->ssl(), nullptr);
    EXPECT_GE(sock->handle(), 0);
    EXPECT_EQ(sock->read(buf, sizeof buf), -1);
    EXPECT_EQ(sock->write("x", 1), -1);
    EXPECT_EQ(log.text(), "tried read on closed ssl socket\ntried write on closed ssl socket\n");
    server.join();  // the echo loop ends on our close notification
    sel.remove(sock);
    delete sock;
    EXPECT_EQ(test::open_descriptor_count(), before);
}

TEST_F(ssl_fixture, a_certificate_that_fails_verification) {
    ssl_ctx_ptr ctx = client_ctx(certs().stranger_ca.cert.get());
    connect_client(ctx.get(), l.port);
    tls_server server(server_ctx(false), l.accept_one(5000), nullptr);
    ASSERT_TRUE(handshake());
    EXPECT_FALSE(alive());
    std::string text = log.text();
    const std::string expected = "SSL handshake failed: unable to get local issuer certificate\n";
    ASSERT_GE(text.size(), expected.size());
    EXPECT_EQ(text.substr(text.size() - expected.size()), expected);
    // The library's own errors come first, one line each.
    EXPECT_NE(text.find(":error:"), std::string::npos) << text;
}

TEST_F(ssl_fixture, a_peer_that_does_not_speak_tls) {
    ssl_ctx_ptr ctx = client_ctx(certs().ca.cert.get());
    connect_client(ctx.get(), l.port);
    int peer = l.accept_one(5000);
    ASSERT_GE(peer, 0);
    test::write_all(peer, "HTTP/1.0 400 Bad Request\r\n\r\n");
    ASSERT_TRUE(handshake());
    EXPECT_FALSE(alive());
    std::string text = log.text();
    EXPECT_EQ(text.substr(text.size() - 21), "SSL handshake failed\n");
    EXPECT_NE(text.find(":error:"), std::string::npos) << text;
    ::close(peer);
}

TEST_F(ssl_fixture, a_peer_without_a_certificate) {
    ssl_ctx_ptr ctx = client_ctx(nullptr, true);
    connect_client(ctx.get(), l.port);
    tls_server server(server_ctx(true), l.accept_one(5000), nullptr);
    ASSERT_TRUE(handshake());
    ASSERT_TRUE(alive()) << log.text();
    EXPECT_EQ(sock->peer_name(), "");
    EXPECT_EQ(sock->cipher_name().rfind("ADH-", 0), 0u) << sock->cipher_name();
    EXPECT_EQ(log.text(), "");
}

TEST_F(ssl_fixture, over_a_socket_pair_each_direction_ends_on_its_own) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    ssl_ctx_ptr ctx = client_ctx(certs().ca.cert.get());
    std::atomic<bool> got_late{false};
    std::atomic<bool> got_ours{false};
    tls_server server(server_ctx(false), sv[1], [&](SSL* ssl) {
        SSL_write(ssl, "bye", 3);
        SSL_shutdown(ssl);  // ours out; the client may still send
        char in[16];
        int n = SSL_read(ssl, in, sizeof in);
        got_late = n == 4 && std::string(in, 4) == "late";
        got_ours = SSL_read(ssl, in, sizeof in) <= 0 && SSL_get_error(ssl, 0) == SSL_ERROR_ZERO_RETURN;
    });
    sock = new reading_sslsocket(r, ctx.get(), sv[0]);
    ASSERT_EQ(sock->set_nonblocking(1), 0);
    EXPECT_EQ(sock->tunnel_ready(), 1);
    ASSERT_EQ(sock->sslconnect(SSL_new(ctx.get())), 0);
    EXPECT_EQ(sock->sslconnect(SSL_new(ctx.get())), -1);
    EXPECT_EQ(log.text(), "tried sslconnect on already connected ssl socket\n");
    log.clear();
    sel.add(sock);
    ASSERT_TRUE(handshake());
    ASSERT_TRUE(alive()) << log.text();

    char buf[16];
    ASSERT_TRUE(test::run_until(sel, [&] { return sock->read(buf, sizeof buf) == 3; }));
    // The peer's close notification ends our input, in order, and nothing else.
    ASSERT_TRUE(test::run_until(sel, [&] { return sock->read(buf, sizeof buf) == -1; }));
    EXPECT_EQ(sock->input_state(), socket::input_end::orderly);
    EXPECT_EQ(sock->is_busy(), 0);
    EXPECT_EQ(sock->write("late", 4), 4);
    ASSERT_TRUE(test::run_until(sel, [&] { return sock->shutdown_output() == 1; }));
    server.join();
    EXPECT_TRUE(got_late);
    EXPECT_TRUE(got_ours);
    EXPECT_EQ(log.text(), "");
}

TEST_F(ssl_fixture, through_tinyproxy) {
    test::tinyproxy_process tinyproxy;
    ASSERT_TRUE(tinyproxy.start()) << tinyproxy.error();
    set_proxy_configuration("127.0.0.1", std::to_string(tinyproxy.port()).c_str(), nullptr);
    ssl_ctx_ptr ctx = client_ctx(certs().ca.cert.get());
    connect_client(ctx.get(), l.port);
    EXPECT_EQ(sock->tunnel_ready(), 0);
    // The proxy connects on to the listener once it has the request.
    ASSERT_TRUE(test::run_until(sel, [&] {
        pollfd p{l.fd, POLLIN, 0};
        return poll(&p, 1, 0) == 1 || !alive();
    }));
    tls_server server(server_ctx(false), l.accept_one(5000), echo);
    ASSERT_TRUE(handshake());
    ASSERT_TRUE(alive()) << log.text();
    EXPECT_EQ(sock->peer_name(), "/O=orv test/CN=far agent");
    EXPECT_EQ(sock->write("through", 7), 7);
    char buf[16];
    ASSERT_TRUE(test::run_until(sel, [&] { return sock->read(buf, sizeof buf) == 7; }));
    EXPECT_EQ(std::string(buf, 7), "through");
    sock->close();
    server.join();
    EXPECT_EQ(log.text(), "");
}

}  // namespace
}  // namespace orv
