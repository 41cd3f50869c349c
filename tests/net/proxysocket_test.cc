// proxysocket: the direct list, the CONNECT request, the response rules against a scripted proxy
// (the test's own end of the connection), and a real tinyproxy.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "net/proxysocket.h"
#include "net/selector.h"
#include "tests/net/net_test_util.h"

namespace orv {
namespace {

using test::captured_log;

TEST(proxy, direct_list_entries) {
    struct {
        const char* list;
        const char* address;
        bool direct;
    } cases[] = {
        {" 10.0.0.5 ;  10.0.0.6 ", "10.0.0.5", true},
        {" 10.0.0.5 ;  10.0.0.6 ", "10.0.0.6", true},
        {" 10.0.0.5 ;  10.0.0.6 ", "10.0.0.50", false},
        {"10.0.0.5;;", "10.0.0.5", true},
        {";;", "", false},  // empty entries are skipped, never matched
        {"", "10.0.0.5", false},
        {"\t10.0.0.5", "10.0.0.5", false},  // only spaces are trimmed
    };
    for (const auto& c : cases)
        EXPECT_EQ(in_direct_list(c.list, c.address), c.direct) << "[" << c.list << "] " << c.address;
}

TEST(proxy, configuration_needs_host_and_port) {
    clear_proxy_configuration();
    set_proxy_configuration("proxy.example", nullptr, "1.2.3.4");
    EXPECT_FALSE(proxy_configuration().enabled());
    set_proxy_configuration("proxy.example", "", nullptr);
    EXPECT_FALSE(proxy_configuration().enabled());
    set_proxy_configuration("proxy.example", "3128", nullptr);
    EXPECT_TRUE(proxy_configuration().enabled());
    EXPECT_EQ(proxy_configuration().direct, "");
    clear_proxy_configuration();
}

// Drives one proxysocket in a selector against the test's own end of the connection: a listener
// that plays the proxy, or the target when the connection goes direct.
struct exchange : ::testing::Test {
    captured_log log;
    reporter r{&log.sink()};
    selector sel{r};
    test::listener proxy;
    test::listener target;
    proxysocket* sock = nullptr;
    int peer = -1;
    std::string request;

    void SetUp() override { sel.set_wait_timeout(1); }
    void TearDown() override {
        clear_proxy_configuration();
        if (peer >= 0) ::close(peer);
    }

    std::string target_text() { return "127.0.0.1:" + std::to_string(target.port); }

    void connect_to(const char* host, int port) {
        sock = new proxysocket(r, AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(sock->set_nonblocking(1), 0);
        inetaddr to(r, host, std::to_string(port).c_str());
        ASSERT_EQ(sock->connect(&to), 0);
        sel.add(sock);
    }

    bool alive() { return sel.contains(sock); }

    // Accepts at the proxy and runs the selector until the whole request has arrived.
    void take_request() {
        peer = proxy.accept_one(5000);
        ASSERT_GE(peer, 0);
        ASSERT_TRUE(test::run_until(sel, [&] {
            char buf[256];
            ssize_t n = ::recv(peer, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) request.append(buf, static_cast<size_t>(n));
            return request.find("\r\n\r\n") != std::string::npos || !alive();
        }));
    }

    // Sends a response and runs until the tunnel opens or the socket is destroyed.
    bool respond(const std::string& response) {
        EXPECT_TRUE(test::write_all(peer, response));
        return test::run_until(sel, [&] { return !alive() || sock->tunnel_ready(); });
    }
};

TEST_F(exchange, the_request_is_exactly_one_connect_line_and_a_blank_line) {
    set_proxy_configuration("127.0.0.1", std::to_string(proxy.port).c_str(), "10.9.9.9");
    connect_to("127.0.0.1", target.port);
    EXPECT_EQ(sock->is_busy(), 1);
    take_request();
    EXPECT_EQ(request, "CONNECT " + target_text() + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(sock->tunnel_ready(), 0);
    EXPECT_EQ(sock->is_busy(), 1);
}

TEST_F(exchange, responses) {
    struct {
        const char* response;
        bool opens;
        std::string message;
    } cases[] = {
        {"HTTP/1.0 200 Connection established\r\n\r\n", true, ""},
        {"HTTP/1.1 200 OK\r\nProxy-agent: test\r\n\r\n", true, ""},
        {"HTTP/1.0 200 Connection established\n\n", true, ""},  // bare LF line ends
        {"HTTP/1.0 200 OK\nVia: test\n\n", true, ""},
        {"HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n", false,
         "unable to connect. proxy gave error: \"HTTP/1.0 407 Proxy Authentication Required\"\n"},
        {"HTTP/1.0 403 Forbidden\n\n", false, "unable to connect. proxy gave error: \"HTTP/1.0 403 Forbidden\"\n"},
        {"HTTP/1.0 200\r\n\r\n", false, "bad PROXY response line. no second space\n"},
        {"garbage\r\n\r\n", false, "bad PROXY response line. no first space\n"},
        {"HTTP/1.0 2000 OK\r\n\r\n", false, "unable to connect. proxy gave error: \"HTTP/1.0 2000 OK\"\n"},
    };
    set_proxy_configuration("127.0.0.1", std::to_string(proxy.port).c_str(), nullptr);
    for (const auto& c : cases) {
        log.clear();
        request.clear();
        connect_to("127.0.0.1", target.port);
        take_request();
        ASSERT_TRUE(respond(c.response)) << c.response;
        EXPECT_EQ(alive(), c.opens) << c.response;
        if (alive()) {
            EXPECT_EQ(sock->is_busy(), 0);
        }
        EXPECT_EQ(log.text(), c.message) << c.response;
        if (alive()) {
            sel.remove(sock);
            delete sock;
        }
        ::close(peer);
        peer = -1;
    }
}

TEST_F(exchange, a_response_arriving_byte_by_byte_is_taken_at_the_blank_line) {
    set_proxy_configuration("127.0.0.1", std::to_string(proxy.port).c_str(), nullptr);
    connect_to("127.0.0.1", target.port);
    take_request();
    std::string response = "HTTP/1.0 200 Connection established\r\nX: y\r\n\r\n";
    for (size_t i = 0; i + 1 < response.size(); ++i) {
        ASSERT_TRUE(test::write_all(peer, response.substr(i, 1)));
        ASSERT_TRUE(test::run_until(sel, [&] { return sock->bytes_read() == static_cast<int64_t>(i + 1); }));
        ASSERT_EQ(sock->tunnel_ready(), 0) << i;
        ASSERT_TRUE(alive());
    }
    ASSERT_TRUE(respond(response.substr(response.size() - 1)));
    EXPECT_TRUE(alive());
    EXPECT_EQ(sock->tunnel_ready(), 1);
    EXPECT_EQ(log.text(), "");
}

TEST_F(exchange, an_endless_response_is_cut_off_past_20480_bytes) {
    set_proxy_configuration("127.0.0.1", std::to_string(proxy.port).c_str(), nullptr);
    connect_to("127.0.0.1", target.port);
    take_request();
    ASSERT_TRUE(respond("HTTP/1.0 200 OK\r\n" + std::string(20480, 'x')));
    EXPECT_FALSE(alive());
    EXPECT_EQ(log.text(), "response buffer is too big. aborting\n");
}

TEST_F(exchange, a_proxy_that_closes_without_answering) {
    set_proxy_configuration("127.0.0.1", std::to_string(proxy.port).c_str(), nullptr);
    connect_to("127.0.0.1", target.port);
    take_request();
    test::write_all(peer, "HTTP/1.0 200 OK\r\n");
    ::close(peer);
    peer = -1;
    ASSERT_TRUE(test::run_until(sel, [&] { return !alive(); }));
    EXPECT_EQ(log.text(), "unable to read proxy response\n");
}

TEST_F(exchange, the_tunnel_carries_data_both_ways_once_open) {
    set_proxy_configuration("127.0.0.1", std::to_string(proxy.port).c_str(), nullptr);
    connect_to("127.0.0.1", target.port);
    take_request();
    ASSERT_TRUE(respond("HTTP/1.0 200 Connection established\r\n\r\n"));
    ASSERT_TRUE(alive());
    EXPECT_EQ(sock->write("up", 2), 2);
    std::string got;
    ASSERT_TRUE(test::read_exact(peer, &got, 2, 5000));
    EXPECT_EQ(got, "up");
    test::write_all(peer, "down");
    char buf[8] = {};
    ASSERT_TRUE(test::run_until(sel, [&] { return sock->read(buf, sizeof buf) == 4; }));
    EXPECT_EQ(std::string(buf, 4), "down");
    int r_, w_, e_;
    EXPECT_EQ(sock->wants_events(&r_, &w_, &e_), 0);  // a ready tunnel leaves events to subclasses
}

TEST_F(exchange, direct_connections) {
    struct {
        const char* host;  // how the target is named
        const char* proxy_port;
        const char* direct;
    } cases[] = {
        {"127.0.0.1", nullptr, nullptr},  // proxy host without a port: no proxy at all
        {"127.0.0.1", "PORT", " 10.0.0.5 ; 127.0.0.1 "},
        {"localhost", "PORT", "127.0.0.1"},  // compared by the resolved address
    };
    for (const auto& c : cases) {
        clear_proxy_configuration();
        std::string port = std::to_string(proxy.port);
        set_proxy_configuration("127.0.0.1", c.proxy_port ? port.c_str() : nullptr, c.direct);
        log.clear();
        connect_to(c.host, target.port);
        EXPECT_EQ(sock->tunnel_ready(), 1) << c.host;
        int at_target = target.accept_one(5000);
        EXPECT_GE(at_target, 0) << c.host;
        ASSERT_TRUE(test::run_until(sel, [&] { return !sock->is_busy(); }));
        EXPECT_TRUE(alive());
        pollfd p{proxy.fd, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 0), 0) << "the proxy was contacted for " << c.host;
        EXPECT_EQ(log.text(), "");
        ::close(at_target);
        sel.remove(sock);
        delete sock;
    }
}

TEST_F(exchange, an_unresolvable_proxy_fails_the_connection) {
    set_proxy_configuration("no-such-proxy.invalid", "3128", nullptr);
    sock = new proxysocket(r, AF_INET, SOCK_STREAM, 0);
    sock->set_nonblocking(1);
    inetaddr to(r, "127.0.0.1", std::to_string(target.port).c_str());
    int rc = sock->connect(&to);
    if (rc == 0) {
        sel.add(sock);
        EXPECT_TRUE(test::run_until(sel, [&] { return !alive(); }));
    } else {
        EXPECT_EQ(rc, -1);
        delete sock;
    }
    EXPECT_EQ(log.text().rfind("hostname unknown:", 0), 0u) << log.text();
}

TEST_F(exchange, through_tinyproxy) {
    test::tinyproxy_process tinyproxy;
    ASSERT_TRUE(tinyproxy.start()) << tinyproxy.error();
    set_proxy_configuration("127.0.0.1", std::to_string(tinyproxy.port()).c_str(), "");
    const int before = test::open_descriptor_count();
    connect_to("127.0.0.1", target.port);
    ASSERT_TRUE(test::run_until(sel, [&] {
        pollfd p{target.fd, POLLIN, 0};
        return poll(&p, 1, 0) == 1 || !alive();
    }));
    peer = target.accept_one(5000);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(test::run_until(sel, [&] { return !alive() || sock->tunnel_ready(); }));
    ASSERT_TRUE(alive()) << log.text();
    EXPECT_EQ(sock->write("hello", 5), 5);
    std::string got;
    ASSERT_TRUE(test::read_exact(peer, &got, 5, 5000));
    EXPECT_EQ(got, "hello");
    test::write_all(peer, "world");
    char buf[8];
    ASSERT_TRUE(test::run_until(sel, [&] { return sock->read(buf, sizeof buf) == 5; }));
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_EQ(log.text(), "");

    // A target nobody listens on: tinyproxy's own error status, quoted.
    connect_to("127.0.0.1", test::unused_port());
    proxysocket* failing = sock;
    ASSERT_TRUE(test::run_until(sel, [&] { return !sel.contains(failing); }));
    EXPECT_EQ(log.text(), "unable to connect. proxy gave error: \"HTTP/1.0 500 Unable to connect\"\n");

    sel.remove(nullptr);
    ::close(peer);
    peer = -1;
    while (sel.count() > 0) {
        sel.for_each([&](iodesc* d) {
            sel.remove(d);
            delete d;
        });
    }
    EXPECT_EQ(test::open_descriptor_count(), before);
}

}  // namespace
}  // namespace orv
