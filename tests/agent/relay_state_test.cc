// relaysocket's states, driven by the selector over loopback TCP connections with the test as
// both peers: the transitions that otherwise only whole-program runs reach (half-close either
// way, the partner lost during set-up, the linger bound, the set-up bound).
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "agent/connection_data.h"
#include "agent/relaysocket.h"
#include "net/selector.h"
#include "store/config_store.h"
#include "store/config_tree.h"
#include "tests/net/net_test_util.h"
#include "tests/store/store_test_util.h"

namespace orv {
namespace {

using namespace std::chrono_literals;

constexpr const char* password = "relay-test";

// A relay end the selector drives like the agents' ends, which tells the test when it goes.
class watched_end : public relaysocket {
public:
    // Over an accepted handle: plain (relaying at once), or TLS in the server role (setting up).
    watched_end(const reporter& parent, connection_data& data, int handle, bool* gone)
        : reporter(parent), relaysocket(parent, data, handle, control_channel_header(), "simpledata"), gone_(gone) {}
    watched_end(const reporter& parent, connection_data& data, int handle, SSL_CTX* ctx, bool* gone)
        : reporter(parent), relaysocket(parent, data, handle, control_channel_header(), ctx, "client"), gone_(gone) {}
    ~watched_end() override { *gone_ = true; }

    int handle_events(int readable, int writable, int error) override {
        int result = relaysocket::handle_events(readable, writable, error);
        if (result != 0) return result;
        return relay(readable, writable, error);
    }

private:
    bool* gone_;
};

// A connected loopback TCP pair: `peer` is the test's side, `end` the handle the relay end gets.
struct tcp_pair {
    int peer = -1;
    int end = -1;
};

tcp_pair connect_pair(test::listener& l) {
    tcp_pair p;
    p.peer = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(l.port));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(p.peer, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) p.end = l.accept_one(5000);
    return p;
}

// Closes with a reset, as a peer that vanishes does.
void reset(int fd) {
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
}

// True once the peer's side has read an end of stream (within a bounded wait).
bool sees_end_of_stream(int fd) {
    std::string rest;
    return !test::read_exact(fd, &rest, 1, 5000) && rest.empty();
}

// One session of one pass, made in memory: `timeout` is the inactivity timeout, which also bounds
// set-up and linger when it is shorter.
class relay_state_test : public ::testing::Test {
protected:
    void start(int timeout, connection_role role = connection_role::client) {
        test::cert_and_key ca = test::make_ca("relay test ca");
        test::cert_and_key user = test::make_leaf(ca, "relay test user");
        auto hex = config_store::encrypt_key(user.key.get(), password, "des3");
        ASSERT_TRUE(hex);
        ASSERT_EQ(tree_.put_text("keys", "userkey", hex->c_str()), 0);
        ASSERT_TRUE(store_.put_certificate("user", user.cert.get()));
        ASSERT_TRUE(store_.put_root("ca", ca.cert.get()));
        session_record r = test::minimal_session("t");
        r.server = "127.0.0.1";
        r.sslmode = 1;
        r.timeout = timeout;
        ASSERT_TRUE(store_.insert_session(r));
        data_ = std::make_unique<connection_data>(parent_, store_, "t", password, "des3", role);
        ASSERT_TRUE(data_->ok()) << log_.text();
    }

    // A plain end in the selector over a new connection; `peer` is the test's side.
    watched_end* plain_end(int* peer, bool* gone) {
        tcp_pair p = connect_pair(listener_);
        *peer = p.peer;
        auto* e = new watched_end(parent_, *data_, p.end, gone);
        sel_.add(e);
        return e;
    }

    // Two partnered plain ends, relaying between the test's peers a_peer and b_peer.
    struct relayed_pair {
        int a_peer = -1, b_peer = -1;
        bool a_gone = false, b_gone = false;
        watched_end* a = nullptr;
        watched_end* b = nullptr;
    };
    relayed_pair& relayed() {
        pairs_.push_back(std::make_unique<relayed_pair>());
        relayed_pair& p = *pairs_.back();
        p.a = plain_end(&p.a_peer, &p.a_gone);
        p.b = plain_end(&p.b_peer, &p.b_gone);
        make_partners(p.a, p.b);
        return p;
    }

    bool run_until(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
        return test::run_until(sel_, done, limit);
    }

    test::captured_log log_;
    reporter parent_{&log_.sink()};
    config_tree tree_;
    config_store store_{tree_};
    std::unique_ptr<connection_data> data_;
    test::listener listener_;
    std::vector<std::unique_ptr<relayed_pair>> pairs_;  // the gone flags outlive the ends
    selector sel_{parent_};
};

TEST_F(relay_state_test, half_close_either_way_keeps_the_other_direction_until_both_ended) {
    start(0);
    for (bool first_is_a : {true, false}) {
        SCOPED_TRACE(first_is_a ? "a ends first" : "b ends first");
        relayed_pair& p = relayed();
        watched_end* first = first_is_a ? p.a : p.b;
        watched_end* second = first_is_a ? p.b : p.a;
        int first_peer = first_is_a ? p.a_peer : p.b_peer;
        int second_peer = first_is_a ? p.b_peer : p.a_peer;

        ::shutdown(first_peer, SHUT_WR);
        ASSERT_TRUE(run_until([&] {
            return first->state() == relay_state::input_ended && second->state() == relay_state::output_ended;
        }));
        EXPECT_TRUE(sees_end_of_stream(second_peer));
        // The other direction still flows.
        ASSERT_TRUE(test::write_all(second_peer, "back"));
        std::string got;
        ASSERT_TRUE(run_until([&] { return test::read_exact(first_peer, &got, 4, 50); }));
        EXPECT_EQ(got, "back");

        ::shutdown(second_peer, SHUT_WR);
        ASSERT_TRUE(run_until([&] { return p.a_gone && p.b_gone; }));
        EXPECT_TRUE(sees_end_of_stream(first_peer));
        ::close(p.a_peer);
        ::close(p.b_peer);
    }
    EXPECT_EQ(sel_.count(), 0);
}

TEST_F(relay_state_test, partner_lost_during_setup_delivers_what_it_left_or_closes) {
    start(0, connection_role::server);
    for (bool bytes_left : {true, false}) {
        SCOPED_TRACE(bytes_left ? "bytes left for the peer" : "nothing left");
        // The TLS end's peer says nothing: its handshake stays under way.
        tcp_pair t = connect_pair(listener_);
        bool tls_gone = false, plain_gone = false;
        auto* tls = new watched_end(parent_, *data_, t.end, data_->ssl_context(), &tls_gone);
        sel_.add(tls);
        int plain_peer = -1;
        watched_end* plain = plain_end(&plain_peer, &plain_gone);
        make_partners(plain, tls);
        if (bytes_left) tls->partner_input().append("early", 5);
        ASSERT_EQ(tls->state(), relay_state::setting_up);

        reset(plain_peer);
        ASSERT_TRUE(run_until([&] { return plain_gone; }));
        if (bytes_left) {
            EXPECT_EQ(tls->state(), relay_state::setting_up_alone);
            EXPECT_FALSE(tls_gone);
            reset(t.peer);  // ends the handshake that would have delivered them
            ASSERT_TRUE(run_until([&] { return tls_gone; }));
        } else {
            ASSERT_TRUE(run_until([&] { return tls_gone; }));
            ::close(t.peer);
        }
    }
    EXPECT_EQ(sel_.count(), 0);
}

TEST_F(relay_state_test, a_drained_end_lingers_for_the_peers_end_within_its_bound) {
    start(1);  // the linger bound is the shorter of 5 s and the inactivity timeout
    for (bool peer_ends : {true, false}) {
        SCOPED_TRACE(peer_ends ? "the peer ends its stream" : "the peer stays silent");
        relayed_pair& p = relayed();
        reset(p.b_peer);
        ASSERT_TRUE(run_until([&] { return p.b_gone && p.a->state() == relay_state::lingering; }));
        EXPECT_TRUE(sees_end_of_stream(p.a_peer));
        auto since = std::chrono::steady_clock::now();
        if (peer_ends) ::shutdown(p.a_peer, SHUT_WR);
        ASSERT_TRUE(run_until([&] { return p.a_gone; }));
        auto waited = std::chrono::steady_clock::now() - since;
        if (peer_ends) EXPECT_LT(waited, 900ms);
        else EXPECT_GE(waited, 900ms);
        ::close(p.a_peer);
    }
}

TEST_F(relay_state_test, setup_past_its_bound_ends_the_end_with_the_step_that_timed_out) {
    start(1, connection_role::server);  // the set-up bound is the shorter of 30 s and the timeout
    tcp_pair t = connect_pair(listener_);
    bool gone = false;
    auto* tls = new watched_end(parent_, *data_, t.end, data_->ssl_context(), &gone);
    sel_.add(tls);
    auto since = std::chrono::steady_clock::now();
    ASSERT_TRUE(run_until([&] { return gone; }));
    EXPECT_GE(std::chrono::steady_clock::now() - since, 900ms);
    EXPECT_NE(log_.text().find("SSL handshake failed: timed out"), std::string::npos) << log_.text();
    ::close(t.peer);
}

}  // namespace
}  // namespace orv
