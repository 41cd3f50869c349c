// The announcement registry and the header decisions built on it: what a data header may open.
#include <gtest/gtest.h>

#include "server/announcements.h"
#include "server/header_decision.h"

using namespace orv;

namespace {

const std::string alice = client_identity("/O=T/CN=alice", "10.0.0.1:1000");
const std::string bob = client_identity("/O=T/CN=bob", "10.0.0.1:1001");
constexpr uint32_t addr_s = 0x7F000001;  // 127.0.0.1
constexpr int64_t lifetime = 30000;

channel_header data_header(bool passive, uint32_t address, uint16_t port) {
    return make_channel_header(false, passive, address, port);
}

}  // namespace

TEST(client_identity, subject_first_then_address_without_port) {
    EXPECT_EQ(client_identity("/CN=x", "1.2.3.4:5"), "subject:/CN=x");
    EXPECT_EQ(client_identity("", "1.2.3.4:5"), "address:1.2.3.4");
    EXPECT_EQ(client_identity("", "1.2.3.4:6"), client_identity("", "1.2.3.4:7"));
}

// One table: what is announced (and by whom, and what happened since) against what is claimed.
TEST(announcement_registry, claims) {
    struct row {
        const char* name;
        bool announce;
        const std::string* announcer;
        bool close_control;
        int64_t claim_at;
        const std::string* claimer;
        data_mode claim_mode;
        uint16_t claim_port;
        claim_result expected;
    };
    const row table[] = {
        {"announced", true, &alice, false, 100, &alice, data_mode::passive, 2121, claim_result::granted},
        {"unannounced", false, &alice, false, 100, &alice, data_mode::passive, 2121, claim_result::not_announced},
        {"other port", true, &alice, false, 100, &alice, data_mode::passive, 2122, claim_result::not_announced},
        {"other mode", true, &alice, false, 100, &alice, data_mode::active, 2121, claim_result::not_announced},
        {"wrong client", true, &alice, false, 100, &bob, data_mode::passive, 2121, claim_result::other_client},
        {"expired", true, &alice, false, lifetime + 1, &alice, data_mode::passive, 2121, claim_result::expired},
        {"control gone", true, &alice, true, 100, &alice, data_mode::passive, 2121, claim_result::control_gone},
    };
    for (const row& r : table) {
        announcement_registry reg;
        uint64_t control = reg.open_control(*r.announcer);
        if (r.announce) {
            ASSERT_TRUE(reg.announce(control, data_mode::passive, addr_s, 2121, 0, lifetime)) << r.name;
        }
        if (r.close_control) reg.close_control(control);
        announcement got;
        EXPECT_EQ(reg.claim(*r.claimer, r.claim_mode, addr_s, r.claim_port, r.claim_at, &got), r.expected) << r.name;
        if (r.expected == claim_result::granted) {
            EXPECT_EQ(got.control, control) << r.name;
        }
    }
}

TEST(announcement_registry, one_announcement_serves_one_connection) {
    announcement_registry reg;
    uint64_t c = reg.open_control(alice);
    ASSERT_TRUE(reg.announce(c, data_mode::active, addr_s, 40000, 0, lifetime, 7));
    announcement got;
    EXPECT_EQ(reg.claim(alice, data_mode::active, addr_s, 40000, 10, &got), claim_result::granted);
    EXPECT_EQ(got.token, 7u);
    EXPECT_EQ(reg.claim(alice, data_mode::active, addr_s, 40000, 20, &got), claim_result::not_announced);
    // Two announcements of the same target serve two connections.
    reg.announce(c, data_mode::passive, 0, 21000, 0, lifetime);
    reg.announce(c, data_mode::passive, 0, 21000, 0, lifetime);
    EXPECT_EQ(reg.claim(alice, data_mode::passive, 0, 21000, 5, nullptr), claim_result::granted);
    EXPECT_EQ(reg.claim(alice, data_mode::passive, 0, 21000, 5, nullptr), claim_result::granted);
    EXPECT_EQ(reg.claim(alice, data_mode::passive, 0, 21000, 5, nullptr), claim_result::not_announced);
}

TEST(announcement_registry, another_clients_probe_leaves_the_announcement_for_its_owner) {
    announcement_registry reg;
    uint64_t c = reg.open_control(alice);
    reg.announce(c, data_mode::passive, addr_s, 2121, 0, lifetime);
    EXPECT_EQ(reg.claim(bob, data_mode::passive, addr_s, 2121, 1, nullptr), claim_result::other_client);
    EXPECT_EQ(reg.claim(alice, data_mode::passive, addr_s, 2121, 2, nullptr), claim_result::granted);
}

TEST(announcement_registry, unknown_or_closed_control_cannot_announce_and_withdraw_removes) {
    announcement_registry reg;
    EXPECT_FALSE(reg.announce(99, data_mode::passive, addr_s, 1, 0, lifetime));
    uint64_t c = reg.open_control(alice);
    reg.close_control(c);
    EXPECT_FALSE(reg.announce(c, data_mode::passive, addr_s, 1, 0, lifetime));
    uint64_t d = reg.open_control(alice);
    reg.announce(d, data_mode::active, addr_s, 5, 0, lifetime, 3);
    reg.withdraw(3);
    EXPECT_EQ(reg.size(), 0u);
    EXPECT_EQ(reg.claim(alice, data_mode::active, addr_s, 5, 1, nullptr), claim_result::not_announced);
}

TEST(announcement_registry, old_entries_are_dropped_as_new_ones_come) {
    announcement_registry reg;
    uint64_t c = reg.open_control(alice);
    for (int i = 0; i < 100; ++i) reg.announce(c, data_mode::passive, addr_s, static_cast<uint16_t>(i + 1), 0, 1000);
    reg.announce(c, data_mode::passive, addr_s, 999, 120000, 1000);
    EXPECT_EQ(reg.size(), 1u);
}

// The header decisions: control headers, data headers with and without announcements, address 0.
TEST(header_decision, table) {
    struct row {
        const char* name;
        channel_header header;
        bool announce;
        data_mode mode;
        uint32_t address;
        header_action expected;
        const char* host;
        const char* reason_part;
    };
    const row table[] = {
        {"control", control_channel_header(), false, data_mode::passive, 0, header_action::open_control, "", ""},
        {"passive announced", data_header(true, addr_s, 2121), true, data_mode::passive, addr_s,
         header_action::connect_to, "127.0.0.1", ""},
        {"passive address 0 is the service host", data_header(true, 0, 2121), true, data_mode::passive, 0,
         header_action::connect_to, "ftp.example", ""},
        {"passive unannounced", data_header(true, addr_s, 5432), false, data_mode::passive, 0, header_action::refuse,
         "", "refused data connection from /O=T/CN=alice: 127.0.0.1:5432 was not announced"},
        {"active announced", data_header(false, 0x0A000001, 2121), true, data_mode::active, 0x0A000001,
         header_action::join_listener, "", ""},
        {"active header does not use a passive announcement", data_header(false, addr_s, 2121), true,
         data_mode::passive, addr_s, header_action::refuse, "", "was not announced"},
        {"active, nothing announced", make_channel_header(false, false, 0, 0), false, data_mode::passive, 0,
         header_action::refuse, "", "was not announced"},
    };
    for (const row& r : table) {
        announcement_registry reg;
        uint64_t c = reg.open_control(alice);
        if (r.announce) reg.announce(c, r.mode, r.address, 2121, 0, lifetime, 11);
        header_decision d = decide_header(r.header, alice, "/O=T/CN=alice", "ftp.example", reg, 100);
        EXPECT_EQ(d.action, r.expected) << r.name;
        if (r.expected == header_action::connect_to) {
            EXPECT_EQ(d.host, r.host) << r.name;
            EXPECT_EQ(d.port, 2121) << r.name;
        }
        if (r.expected == header_action::join_listener) {
            EXPECT_EQ(d.token, 11u) << r.name;
        }
        if (r.expected == header_action::refuse) {
            EXPECT_NE(d.reason.find(r.reason_part), std::string::npos) << d.reason;
        }
    }
    channel_header odd = control_channel_header();
    odd[0] = 2;
    announcement_registry reg;
    EXPECT_EQ(decide_header(odd, alice, "", "h", reg, 0).action, header_action::refuse);
    channel_header odd_passive = data_header(false, 0, 1);
    odd_passive[1] = 7;
    header_decision d = decide_header(odd_passive, alice, "", "h", reg, 0);
    EXPECT_EQ(d.action, header_action::refuse);
    EXPECT_NE(d.reason.find("invalid channel header"), std::string::npos);
}

// A Progress port message or an Oracle redirect is followed after the announcing connection may
// have closed; a redirect to a host name is reached by that name.
TEST(announcement_registry, lasting_announcements_outlive_their_control_connection) {
    announcement_registry reg;
    uint64_t c = reg.open_control(alice);
    ASSERT_TRUE(reg.announce_lasting(c, 0, 1234, "", 0, lifetime));
    ASSERT_TRUE(reg.announce_lasting(c, 0xFFFFFFFF, 1522, "db.example", 0, lifetime));
    reg.announce(c, data_mode::passive, addr_s, 2121, 0, lifetime);
    reg.close_control(c);
    EXPECT_EQ(reg.claim(alice, data_mode::passive, addr_s, 2121, 1, nullptr), claim_result::control_gone);
    EXPECT_EQ(reg.claim(bob, data_mode::passive, 0, 1234, 1, nullptr), claim_result::other_client);
    EXPECT_EQ(reg.claim(alice, data_mode::passive, 0, 1234, lifetime + 1, nullptr), claim_result::expired);

    header_decision d = decide_header(data_header(true, 0xFFFFFFFF, 1522), alice, "", "svc.example", reg, 1);
    EXPECT_EQ(d.action, header_action::connect_to);
    EXPECT_EQ(d.host, "db.example");
    EXPECT_EQ(d.port, 1522);
    EXPECT_EQ(decide_header(data_header(true, 0xFFFFFFFF, 1522), alice, "", "svc.example", reg, 2).action,
              header_action::refuse);
}
