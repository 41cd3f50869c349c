// The Progress broker's port message and the Oracle listener's redirect: what is found in the
// first response, and what the client agent's rewrite makes of it.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "protocols/oracle/tns_redirect.h"
#include "protocols/progress/progress_message.h"

namespace orv {
namespace {

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}

// ---- Progress --------------------------------------------------------------------------------

std::string broker_message(uint16_t port, std::string signature = bytes({0x00, 0x19, 0x00, 0x14})) {
    std::string m = bytes({0x01, 0x02, 0x03, 0x04}) + signature + bytes({port >> 8, port & 0xFF});
    while (m.size() < 20) m.push_back(static_cast<char>(0xA0 + m.size()));
    return m;
}

TEST(progress_message, scan) {
    struct row {
        const char* what;
        std::string input;
        progress::scan_state state;
        uint16_t port;
    };
    const row table[] = {
        {"empty", "", progress::scan_state::wait, 0},
        {"19 bytes", broker_message(1234).substr(0, 19), progress::scan_state::wait, 0},
        {"port 1234", broker_message(1234), progress::scan_state::announcement, 1234},
        {"high port", broker_message(65535), progress::scan_state::announcement, 65535},
        {"longer message", broker_message(80) + "more", progress::scan_state::announcement, 80},
        {"other signature", broker_message(1234, bytes({0x00, 0x19, 0x00, 0x15})),
         progress::scan_state::no_announcement, 0},
        {"signature shifted", "x" + broker_message(1234), progress::scan_state::no_announcement, 0},
    };
    for (const row& r : table) {
        progress::scan_result got = progress::scan_first_message(r.input);
        EXPECT_EQ(got.state, r.state) << r.what;
        EXPECT_EQ(got.port, r.port) << r.what;
    }
}

TEST(progress_message, port_rewrite_keeps_every_other_byte) {
    std::string m = broker_message(1234);
    ASSERT_EQ(m.substr(8, 2), bytes({0x04, 0xD2}));
    std::string before = m;
    progress::write_port(m.data(), 40001);
    EXPECT_EQ(m.size(), before.size());
    EXPECT_EQ(m.substr(0, 8), before.substr(0, 8));
    EXPECT_EQ(m.substr(8, 2), bytes({40001 >> 8, 40001 & 0xFF}));
    EXPECT_EQ(m.substr(10), before.substr(10));
}

// ---- Oracle TNS ------------------------------------------------------------------------------

// A TNS packet of `type` whose body is `body`, with its length in bytes 0 and 1.
std::string packet(int type, const std::string& body) {
    size_t n = 8 + body.size();
    return bytes({static_cast<int>(n >> 8), static_cast<int>(n & 0xFF), 0, 0, type, 0, 0, 0}) + body;
}

// A redirect packet: its data length, then the text.
std::string redirect_packet(const std::string& text) {
    return packet(5, bytes({static_cast<int>(text.size() >> 8), static_cast<int>(text.size() & 0xFF)}) + text);
}

std::string address_text(const std::string& host, const std::string& port, const std::string& dev = "0") {
    return "(ADDRESS=(PROTOCOL=tcp)(DEV=" + dev + ")(HOST=" + host + ")(PORT=" + port + "))";
}

size_t length_at(const std::string& b, size_t at) {
    return static_cast<size_t>(static_cast<unsigned char>(b[at])) << 8 | static_cast<unsigned char>(b[at + 1]);
}

TEST(tns_redirect, waits_for_the_whole_first_packet) {
    std::string p = redirect_packet(address_text("10.1.2.3", "1522"));
    for (size_t n = 0; n < p.size(); ++n)
        EXPECT_EQ(tns::scan_redirect(p.substr(0, n)).state, tns::scan_state::wait) << n << " bytes";
    EXPECT_EQ(tns::scan_redirect(p).state, tns::scan_state::redirect);

    // A length whose low byte is 128 or more is not a signed byte: 0x00A0 is 160 bytes.
    std::string long_one = redirect_packet(
        address_text("10.1.2.3", "1522", std::string(160 - 10 - address_text("10.1.2.3", "1522", "").size(), 'd')));
    ASSERT_EQ(long_one.size(), 160u);
    ASSERT_EQ(length_at(long_one, 0), 0xA0u);
    EXPECT_EQ(tns::scan_redirect(long_one.substr(0, 159)).state, tns::scan_state::wait);
    EXPECT_EQ(tns::scan_redirect(long_one).state, tns::scan_state::redirect);
}

TEST(tns_redirect, scan) {
    struct row {
        const char* what;
        std::string text;  // the redirect packet's text
        tns::scan_state state;
        const char* message;
        const char* host;
        uint16_t port;
    };
    const std::string ok_tail = ")(HOST=10.1.2.3)(PORT=1522))";
    const row table[] = {
        {"dotted host", address_text("10.1.2.3", "1522"), tns::scan_state::redirect, nullptr, "10.1.2.3", 1522},
        {"inside a description", "(DESCRIPTION=" + address_text("10.1.2.3", "1522") + ")", tns::scan_state::redirect,
         nullptr, "10.1.2.3", 1522},
        {"host name", address_text("db.example", "1522"), tns::scan_state::redirect, nullptr, "db.example", 1522},
        {"port with blanks and sign", address_text("10.1.2.3", " +1522"), tns::scan_state::redirect, nullptr,
         "10.1.2.3", 1522},
        {"port kept to 16 bits", address_text("10.1.2.3", "70000"), tns::scan_state::redirect, nullptr, "10.1.2.3",
         70000 - 65536},
        {"port digits up to a non-digit", address_text("10.1.2.3", "1522abc"), tns::scan_state::redirect, nullptr,
         "10.1.2.3", 1522},
        {"29-character host", address_text(std::string(29, 'h'), "1522"), tns::scan_state::redirect, nullptr,
         "hhhhhhhhhhhhhhhhhhhhhhhhhhhhh", 1522},
        {"no address", "(DESCRIPTION=(ERR=1153)(VSNNUM=0)(ERROR_STACK=(ERROR=(CODE=1153)(EMFI=4))))",
         tns::scan_state::no_redirect, nullptr, "", 0},
        {"case matters", "(ADDRESS=(PROTOCOL=TCP)(DEV=0" + ok_tail, tns::scan_state::no_redirect, nullptr, "", 0},
        {"30-character host", address_text(std::string(30, 'h'), "1522"), tns::scan_state::malformed,
         "unexpected response (length) from oracle server\n", "", 0},
        {"30-character port", address_text("10.1.2.3", std::string(30, '1')), tns::scan_state::malformed,
         "unexpected response (length) from oracle server\n", "", 0},
        {"no HOST", "(ADDRESS=(PROTOCOL=tcp)(DEV=0)(HUST=10.1.2.3)(PORT=1522))", tns::scan_state::malformed,
         "unexpected response (hosts) from oracle server\n", "", 0},
        {"no PORT", "(ADDRESS=(PROTOCOL=tcp)(DEV=0)(HOST=10.1.2.3)(PART=1522))", tns::scan_state::malformed,
         "unexpected response (ports) from oracle server\n", "", 0},
        {"no end", "(ADDRESS=(PROTOCOL=tcp)(DEV=0)(HOST=10.1.2.3)(PORT=1522)(X=1))", tns::scan_state::malformed,
         "unexpected response (ends) from oracle server\n", "", 0},
        {"cut after DEV", "(ADDRESS=(PROTOCOL=tcp)(DEV=012345678901234567", tns::scan_state::malformed,
         "tns redirect too short (hosts)\n", "", 0},
        {"cut after HOST", "(ADDRESS=(PROTOCOL=tcp)(DEV=0)(HOST=10.1.2.3456789", tns::scan_state::malformed,
         "tns redirect too short (ports)\n", "", 0},
        {"cut after PORT", "(ADDRESS=(PROTOCOL=tcp)(DEV=0)(HOST=1)(PORT=15221)", tns::scan_state::malformed,
         "tns redirect too short (ends)\n", "", 0},
        {"too short to hold one", "(ADDRESS=(PROTOCOL=tcp)(DEV=0)(HOST=1)(PORT=", tns::scan_state::no_redirect, nullptr,
         "", 0},
    };
    for (const row& r : table) {
        tns::redirect_scan got = tns::scan_redirect(redirect_packet(r.text));
        EXPECT_EQ(got.state, r.state) << r.what;
        if (r.message) {
            EXPECT_STREQ(got.message, r.message) << r.what;
        }
        EXPECT_EQ(got.host_text, r.host) << r.what;
        EXPECT_EQ(got.port, r.port) << r.what;
    }
}

TEST(tns_redirect, host_address_as_inet_addr_reads_it) {
    EXPECT_EQ(tns::scan_redirect(redirect_packet(address_text("10.1.2.3", "1"))).address_net, inet_addr("10.1.2.3"));
    // A name is no address: the conversion's failure value, 255.255.255.255.
    EXPECT_EQ(tns::scan_redirect(redirect_packet(address_text("db.example", "1"))).address_net, 0xFFFFFFFFu);
}

TEST(tns_redirect, only_the_first_address_counts) {
    std::string text = address_text("10.1.2.3", "1522") + address_text("10.9.9.9", "9999");
    tns::redirect_scan got = tns::scan_redirect(redirect_packet(text));
    EXPECT_EQ(got.host_text, "10.1.2.3");
    EXPECT_EQ(got.port, 1522);
}

TEST(tns_redirect, rewrite_adjusts_the_lengths_of_the_redirect_packet_only) {
    const std::string text = "(DESCRIPTION=" + address_text("db-server.example.com", "1522", "12") + ")";
    const std::string first = redirect_packet(text);
    const std::string second = packet(6, bytes({0, 0}) + "later data with (PARENS)");
    for (const std::string& input : {first, first + second, first + second.substr(0, 5)}) {
        tns::redirect_scan found = tns::scan_redirect(input);
        ASSERT_EQ(found.state, tns::scan_state::redirect);
        tns::rewrite_result r = tns::rewrite_redirect(input, found, "127.0.0.1", 40001);
        ASSERT_TRUE(r.bytes) << r.message;
        const std::string& out = *r.bytes;
        const std::string new_text = "(DESCRIPTION=" + address_text("127.0.0.1", "40001", "12") + ")";
        EXPECT_EQ(out.substr(0, first.size() + new_text.size() - text.size()), redirect_packet(new_text));
        EXPECT_EQ(length_at(out, 0), first.size() + new_text.size() - text.size());
        EXPECT_EQ(length_at(out, 8), new_text.size());  // the redirect's own data length
        // What follows the first packet keeps its own framing, byte for byte.
        EXPECT_EQ(out.substr(length_at(out, 0)), input.substr(first.size()));
    }
}

TEST(tns_redirect, rewrite_refusals) {
    // A packet that would pass 65,535 bytes: the text grows by 2 bytes on a packet of 65,534.
    std::string text = address_text("1.2.3.4", "1");
    std::string big = redirect_packet(std::string(65534 - 10 - text.size(), 'x') + text);
    ASSERT_EQ(big.size(), 65534u);
    tns::redirect_scan found = tns::scan_redirect(big);
    ASSERT_EQ(found.state, tns::scan_state::redirect);
    tns::rewrite_result r = tns::rewrite_redirect(big, found, "127.0.0.1", 40001);
    EXPECT_FALSE(r.bytes);
    EXPECT_STREQ(r.message, "tns redirect rewrite longer than a packet may be, passed unchanged\n");
    // The same packet with a shorter replacement text is fine.
    EXPECT_TRUE(tns::rewrite_redirect(big, found, "1.2.3.4", 1).bytes);

    // A text that runs across a packet boundary cannot be rewritten in place.
    std::string whole = address_text("10.1.2.3", "1522");
    std::string split = packet(6, whole.substr(0, 40)) + packet(6, whole.substr(40));
    found = tns::scan_redirect(split);
    ASSERT_EQ(found.state, tns::scan_state::redirect);
    r = tns::rewrite_redirect(split, found, "127.0.0.1", 40001);
    EXPECT_FALSE(r.bytes);
    EXPECT_STREQ(r.message, "tns redirect not inside one packet, passed unchanged\n");

    // A packet whose length field falls inside the text (found by fuzzing): writing its new length
    // would overwrite the replacement, so the text does not count as inside that packet.
    // First packet of 48 bytes; the next "packet" starts at byte 48, inside ")(HOST=", so its
    // length field would be bytes 48 and 49, the second of which is the host text's first byte.
    std::string overlapping = bytes({0x00, 0x30, 0, 0, 6, 0, 0, 0x0b, 0, 0, 0, 0}) +
                              "(ADDRESS=(PROTOCOL=tcp)(DEV=24)(HOST=10." + bytes({0, 0x1a, 0, 0, 6, 0, 0, 0}) +
                              "1.2.3)(PORT=1522))";
    ASSERT_EQ(overlapping.substr(48, 2), "=1");
    found = tns::scan_redirect(overlapping);
    ASSERT_EQ(found.state, tns::scan_state::redirect);
    r = tns::rewrite_redirect(overlapping, found, "127.0.0.1", 40001);
    EXPECT_FALSE(r.bytes);
}

TEST(tns_redirect, rewrite_in_a_later_data_packet_adjusts_that_packet) {
    std::string text = address_text("10.1.2.3", "1522");
    std::string input = packet(2, "accept") + packet(6, bytes({0, 0}) + text);
    tns::redirect_scan found = tns::scan_redirect(input);
    ASSERT_EQ(found.state, tns::scan_state::redirect);
    tns::rewrite_result r = tns::rewrite_redirect(input, found, "127.0.0.1", 7);
    ASSERT_TRUE(r.bytes);
    EXPECT_EQ(r.bytes->substr(0, 14), packet(2, "accept"));
    EXPECT_EQ(r.bytes->substr(14), packet(6, bytes({0, 0}) + address_text("127.0.0.1", "7")));
}

}  // namespace
}  // namespace orv
