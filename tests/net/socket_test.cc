// socket: messages on closed and connecting sockets, non-blocking connect and its completion
// through the selector, refused connects, data in both directions, options.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "net/rwbuf.h"
#include "net/selector.h"
#include "net/socket.h"
#include "tests/net/net_test_util.h"

namespace orv {
namespace {

using test::captured_log;

struct misuse {
    const char* name;
    std::function<long(socket&)> call;
    long result;
    const char* message;
};

TEST(socket, operations_on_a_closed_socket) {
    reporter quiet;
    inetaddr to(quiet, "127.0.0.1", "1");
    const misuse cases[] = {
        {"read",
         [](socket& s) {
             char b[4];
             return s.read(b, 4);
         },
         -1, "tried read on closed socket\n"},
        {"write", [](socket& s) { return s.write("x", 1); }, -1, "tried write on closed socket\n"},
        {"bind", [&](socket& s) { return s.bind(&to); }, -1, "tried bind on closed socket\n"},
        {"connect", [&](socket& s) { return s.connect(&to); }, -1, "tried connect on closed socket\n"},
        {"listen", [](socket& s) { return s.listen(5); }, -1, "tried listen on closed socket\n"},
        {"accept", [](socket& s) { return s.accept(); }, -1, "tried accept on closed socket\n"},
        {"option", [](socket& s) { return s.tcp_nodelay(1); }, -1, "tried getopt/setopt on closed socket\n"},
        {"getsockname", [](socket& s) { return s.local_address() ? 1L : 0L; }, 0,
         "tried getsockname on closed socket\n"},
        {"getpeername", [](socket& s) { return s.peer_address() ? 1L : 0L; }, 0,
         "tried getpeername on closed socket\n"},
        {"ioctl", [](socket& s) { return s.set_nonblocking(1); }, -1, "tried ioctl on closed socket\n"},
    };
    for (const misuse& c : cases) {
        captured_log log;
        socket s(reporter(&log.sink()), -1);
        EXPECT_EQ(c.call(s), c.result) << c.name;
        EXPECT_EQ(log.text(), c.message) << c.name;
    }
}

// A connect that stays in progress: the listener's queue is full, so the kernel holds back
// the handshake.
struct stalled_connect {
    test::listener l;
    int filler = -1;
    stalled_connect() {
        ::listen(l.fd, 0);
        filler = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(l.port);
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(filler, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    }
    ~stalled_connect() { ::close(filler); }
};

TEST(socket, operations_on_a_connecting_socket) {
    stalled_connect target;
    captured_log log;
    reporter r(&log.sink());
    std::vector<std::unique_ptr<socket>> keep;
    int stalled = 0;
    for (int i = 0; i < 4 && !stalled; ++i) {
        auto s = std::make_unique<socket>(r, AF_INET, SOCK_STREAM, 0);
        s->set_nonblocking(1);
        inetaddr to(r, "127.0.0.1", std::to_string(target.l.port).c_str());
        ASSERT_EQ(s->connect(&to), 0);
        if (s->is_connecting()) {
            stalled = 1;
            log.clear();
            char b[4];
            EXPECT_EQ(s->read(b, 4), 0);
            EXPECT_EQ(s->write("x", 1), 0);
            EXPECT_EQ(s->connect(&to), 0);
            EXPECT_EQ(s->is_busy(), 1);
            int rd, wr, er;
            EXPECT_EQ(s->wants_events(&rd, &wr, &er), 1);
            EXPECT_EQ(rd, 0);
            EXPECT_EQ(wr, 1);
            EXPECT_EQ(er, 1);
            EXPECT_EQ(log.text(),
                      "tried read on connecting socket\ntried write on connecting socket\n"
                      "tried connect on connecting socket\n");
        }
        keep.push_back(std::move(s));
    }
    if (!stalled) GTEST_SKIP() << "every connect completed at once";
}

TEST(socket, connect_completes_through_the_selector_and_data_flows) {
    test::listener l;
    captured_log log;
    reporter r(&log.sink());
    selector sel(r);
    sel.set_wait_timeout(1);
    auto* s = new socket(r, AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(s->set_nonblocking(1), 0);
    inetaddr to(r, "127.0.0.1", std::to_string(l.port).c_str());
    ASSERT_EQ(s->connect(&to), 0);
    sel.add(s);
    ASSERT_TRUE(test::run_until(sel, [&] { return !s->is_connecting(); }));
    ASSERT_TRUE(sel.contains(s));
    int peer = l.accept_one(5000);
    ASSERT_GE(peer, 0);

    auto local = s->local_address();
    auto remote = s->peer_address();
    ASSERT_TRUE(local && remote);
    EXPECT_EQ(remote->text(), "127.0.0.1:" + std::to_string(l.port));
    EXPECT_EQ(local->dotted(), "127.0.0.1");

    char buf[16];
    EXPECT_EQ(s->read(buf, sizeof buf), 0);  // nothing there yet
    EXPECT_EQ(s->write("ping", 4), 4);
    std::string got;
    ASSERT_TRUE(test::read_exact(peer, &got, 4, 5000));
    EXPECT_EQ(got, "ping");

    rwbuf in(r), out(r);
    out.append("through a buffer", 16);
    EXPECT_EQ(s->write_from(&out), 16);  // the count moved
    EXPECT_TRUE(out.empty());
    got.clear();
    ASSERT_TRUE(test::read_exact(peer, &got, 16, 5000));
    EXPECT_EQ(got, "through a buffer");

    ASSERT_TRUE(test::write_all(peer, "pong"));
    ASSERT_TRUE(test::run_until(sel, [&] {
        s->read_into(&in, 2048);
        return in.length() == 4;
    }));
    EXPECT_EQ(std::string(in.bytes(), 4), "pong");
    EXPECT_EQ(s->bytes_read(), 4);
    EXPECT_EQ(s->bytes_written(), 20);

    ::close(peer);  // the peer's orderly close: read returns -1
    ASSERT_TRUE(test::run_until(sel, [&] { return s->read(buf, sizeof buf) == -1; }));
    // Writing to a peer that has gone fails instead of raising SIGPIPE.
    int w = 0;
    for (int i = 0; i < 100 && w >= 0; ++i) w = s->write("late", 4);
    EXPECT_EQ(w, -1);
    EXPECT_EQ(log.text(), "");
}

TEST(socket, a_refused_connect_ends_through_error_readiness) {
    captured_log log;
    reporter r(&log.sink());
    int before = test::open_descriptor_count();
    {
        selector sel(r);
        sel.set_wait_timeout(1);
        auto* s = new socket(r, AF_INET, SOCK_STREAM, 0);
        s->set_nonblocking(1);
        inetaddr to(r, "127.0.0.1", std::to_string(test::unused_port()).c_str());
        int rc = s->connect(&to);
        if (rc == 0 && s->is_connecting()) {
            sel.add(s);
            EXPECT_TRUE(test::run_until(sel, [&] { return sel.count() == 0; }));
        } else {
            EXPECT_EQ(rc, -1);
            delete s;
        }
    }
    EXPECT_EQ(log.text(), "connect failed:111:Connection refused\n");
    EXPECT_EQ(test::open_descriptor_count(), before);
}

// A local-domain address: the one kind of stream socket whose connect() answers EAGAIN on
// demand (a full listen queue), the answer a TCP connect gives when no local port is free.
class local_address : public address {
public:
    explicit local_address(const std::string& path) {
        sun_.sun_family = AF_UNIX;
        path.copy(sun_.sun_path, sizeof sun_.sun_path - 1);
    }
    int length() const override { return sizeof sun_; }
    const sockaddr* sockaddr_ptr() const override { return reinterpret_cast<const sockaddr*>(&sun_); }
    int family() const override { return AF_UNIX; }
    std::string text() const override { return sun_.sun_path; }
    bool is_valid() const override { return true; }

private:
    sockaddr_un sun_{};
};

TEST(socket, a_connect_that_cannot_start_now_is_a_failure_not_a_connect_under_way) {
    captured_log log;
    reporter r(&log.sink());
    std::string path = "/tmp/orv-socket-test-" + std::to_string(getpid());
    unlink(path.c_str());
    local_address at(path);
    int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(listener, at.sockaddr_ptr(), at.length()), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    // Fill the listen queue; the next non-blocking connect gets EAGAIN.
    std::vector<std::unique_ptr<socket>> fillers;
    int rc = 0;
    for (int i = 0; i < 16 && rc == 0; ++i) {
        auto s = std::make_unique<socket>(r, AF_UNIX, SOCK_STREAM, 0);
        s->set_nonblocking(1);
        rc = s->connect(&at);
        if (rc == 0) {
            EXPECT_FALSE(s->is_connecting()) << "a local connect either completes or fails at once";
        }
        fillers.push_back(std::move(s));
    }
    EXPECT_EQ(rc, -1);
    EXPECT_FALSE(fillers.back()->is_connecting());
    EXPECT_NE(log.text().find("connect failed:11:"), std::string::npos) << log.text();
    ::close(listener);
    unlink(path.c_str());
}

TEST(socket, listen_accept_and_bind_failures) {
    captured_log log;
    reporter r(&log.sink());
    socket server(r, AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(server.so_reuseaddr(1), 0);
    inetaddr any_port(r, "127.0.0.1", "0");
    ASSERT_EQ(server.bind(&any_port), 0);
    ASSERT_EQ(server.listen(5), 0);
    ASSERT_EQ(server.set_nonblocking(1), 0);
    auto bound = server.local_address();
    ASSERT_TRUE(bound);

    EXPECT_LT(server.accept(), 0);  // nothing waiting
    EXPECT_EQ(log.text(), "accept failed:11:Resource temporarily unavailable\n");
    log.clear();

    socket client(r, AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(client.connect(bound.get()), 0);  // blocking
    int h = -1;
    for (int i = 0; i < 100 && h < 0; ++i) {
        h = server.accept();
        if (h < 0) usleep(10000);
    }
    ASSERT_GE(h, 0);
    socket accepted(r, h);
    auto peer = accepted.peer_address();
    auto client_local = client.local_address();
    ASSERT_TRUE(peer && client_local);
    EXPECT_EQ(peer->text(), client_local->text());
    log.clear();

    socket second(r, AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(second.bind(bound.get()), 0);
    EXPECT_EQ(log.text(), "unable to bind:98:Address already in use\n");
    log.clear();
    EXPECT_EQ(second.peer_address(), nullptr);
    EXPECT_EQ(log.text(), "getpeername failed:107:Transport endpoint is not connected\n");
}

TEST(socket, options_read_back_and_name_themselves_in_failures) {
    struct option_case {
        const char* name;
        int (socket::*accessor)(int);
    } cases[] = {
        {"SO_REUSEADDR", &socket::so_reuseaddr},
        {"SO_KEEPALIVE", &socket::so_keepalive},
        {"SO_OOBINLINE", &socket::so_oobinline},
        {"TCP_NODELAY", &socket::tcp_nodelay},
    };
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    ::close(pipe_fds[1]);
    captured_log log;
    reporter r(&log.sink());
    socket tcp(r, AF_INET, SOCK_STREAM, 0);
    socket not_a_socket(r, pipe_fds[0]);
    for (const auto& c : cases) {
        EXPECT_EQ((tcp.*c.accessor)(1), 0) << c.name;
        EXPECT_NE((tcp.*c.accessor)(-1), 0) << c.name;
        EXPECT_EQ((tcp.*c.accessor)(0), 0) << c.name;
        EXPECT_EQ((tcp.*c.accessor)(-1), 0) << c.name;
        EXPECT_EQ(log.text(), "");

        EXPECT_EQ((not_a_socket.*c.accessor)(1), -1);
        EXPECT_EQ((not_a_socket.*c.accessor)(-1), -1);
        EXPECT_EQ(log.text(), std::string("unable to set socket option ") + c.name +
                                  ":88:Socket operation on non-socket\n"
                                  "unable to get socket option " +
                                  c.name + ":88:Socket operation on non-socket\n");
        log.clear();
    }
}

TEST(socket, complete_connect_without_a_pending_connect_is_refused) {
    struct probe : socket {
        using socket::complete_connect;
        using socket::socket;
    };
    captured_log log;
    probe s(reporter(&log.sink()), AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(s.complete_connect(), -1);
    EXPECT_EQ(log.text(), "tried reconnect on closed or unconnected socket\n");
    EXPECT_EQ(s.handle_events(1, 1, 0), 0);  // not connecting: nothing to do
}

}  // namespace
}  // namespace orv
