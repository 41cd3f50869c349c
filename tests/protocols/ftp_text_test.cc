#include "protocols/ftp/ftp_text.h"

#include <gtest/gtest.h>

namespace orv::ftp {
namespace {

TEST(ftp_text, line_ends_only_at_cr_directly_followed_by_lf) {
    struct row {
        std::string_view buf;
        std::size_t length;
    };
    const row table[] = {
        {"", 0},
        {"USER a", 0},
        {"USER a\r", 0},  // the LF has not arrived yet
        {"USER a\r\n", 8},
        {"USER a\r\nPASS b\r\n", 8},
        {"\r\n", 2},
        {"a\rb\r\n", 5},  // a CR followed by other data is data
        {"a\nb\r\n", 5},  // a lone LF does not end a line
        {"a\n\r\n", 4},
        {"a\r\r\n", 4},
        {"a\n", 0},
        {"\n\r", 0},
        {std::string_view("a\0b\r\nc", 6), 5},
    };
    for (const auto& r : table) EXPECT_EQ(complete_line_length(r.buf), r.length) << "[" << r.buf << "]";
}

TEST(ftp_text, line_filter_takes_lines_within_the_limit_and_the_last_bytes_at_the_end) {
    struct row {
        const char* what;
        std::string input;
        bool over;
        std::size_t limit;
        line_status status;
        std::size_t length;
    };
    const std::string long_line = std::string(20, 'x') + "\r\nNOOP\r\n";
    const row table[] = {
        {"empty", "", false, 10, line_status::need_more, 0},
        {"empty at the end", "", true, 10, line_status::need_more, 0},
        {"a line", "NOOP\r\nPASV\r\n", false, 10, line_status::line, 6},
        {"a line of exactly the limit", "12345678\r\n", false, 10, line_status::line, 10},
        {"a line one past the limit", "123456789\r\n", false, 10, line_status::too_long, 11},
        {"unfinished, room left", "12345", false, 10, line_status::need_more, 0},
        {"unfinished, at the limit", "1234567890", false, 10, line_status::too_long, 10},
        {"unfinished, CR at the limit", "123456789\r", false, 10, line_status::too_long, 10},
        {"unfinished at the end", "12345", true, 10, line_status::last_bytes, 5},
        {"a line before the end", "NOOP\r\nPA", true, 10, line_status::line, 6},
        {"too long wins over the end", "1234567890", true, 10, line_status::too_long, 10},
        {"a long line ends at its CR LF", long_line, false, 10, line_status::too_long, 22},
        {"the default limit", std::string(max_line - 2, 'x') + "\r\n", false, max_line, line_status::line, max_line},
    };
    for (const row& r : table) {
        line_take t = next_line(r.input, r.over, r.limit);
        EXPECT_EQ(t.status, r.status) << r.what;
        EXPECT_EQ(t.length, r.length) << r.what;
    }
}

TEST(ftp_text, commands_that_open_data_connections) {
    struct row {
        std::string_view line;
        command_verb verb;
        bool decoded;
        eprt_params active;
    };
    const row table[] = {
        {"PORT 10,0,0,1,4,1\r\n", command_verb::port, true, {1, 0x0A000001, 1025, ""}},
        {"port 10,0,0,1,4,1", command_verb::port, true, {1, 0x0A000001, 1025, ""}},
        {"PORT x\r\n", command_verb::port, false, {}},
        {"EPRT |1|10.0.0.2|2000|\r\n", command_verb::eprt, true, {1, 0x0A000002, 2000, ""}},
        {"EPRT |2|::1|2000|\r\n", command_verb::eprt, true, {2, 0, 2000, "::1"}},
        {"EPRT |2|2001:db8::7|2000|\r\n", command_verb::eprt, true, {2, 0, 2000, "2001:db8::7"}},
        {"EPRT |2|10.0.0.2|2000|\r\n", command_verb::eprt, false, {}},
        {"EPRT |3|anything|2000|\r\n", command_verb::eprt, true, {3, 0, 2000, ""}},
        {"EPRT |1|10.0.0|2000|\r\n", command_verb::eprt, false, {}},
        {"PASV\r\n", command_verb::pasv, false, {}},
        {"epsv ALL\r\n", command_verb::epsv, false, {}},
        {"PORTS 1\r\n", command_verb::other, false, {}},
        {"NOOP\r\n", command_verb::other, false, {}},
    };
    for (const row& r : table) {
        command_line c = parse_command(r.line);
        EXPECT_EQ(c.verb, r.verb) << r.line;
        ASSERT_EQ(c.active.has_value(), r.decoded) << r.line;
        if (!c.active) continue;
        EXPECT_EQ(c.active->protocol, r.active.protocol) << r.line;
        EXPECT_EQ(c.active->address, r.active.address) << r.line;
        EXPECT_EQ(c.active->port, r.active.port) << r.line;
        EXPECT_EQ(c.active->address6, r.active.address6) << r.line;
    }
}

TEST(ftp_text, replies_with_their_code_separator_and_passive_address) {
    struct row {
        std::string_view line;
        int code;
        char separator;
        std::optional<host_port> passive;
    };
    const row table[] = {
        {"227 Entering Passive Mode (10,0,0,1,4,1).\r\n", 227, ' ', host_port{0x0A000001, 1025}},
        {"229 Entering Extended Passive Mode (|||2000|)\r\n", 229, ' ', host_port{0, 2000}},
        {"227 no numbers\r\n", 227, ' ', std::nullopt},
        {"229 (|||0|)\r\n", 229, ' ', std::nullopt},
        {"227-first of several (10,0,0,1,4,1)\r\n", 227, '-', std::nullopt},
        {"150 Opening\r\n", 150, ' ', std::nullopt},
        {"227", -1, 0, std::nullopt},
        {"22x Hello", -1, 0, std::nullopt},
        {" 227 (1,2,3,4,5,6)", -1, 0, std::nullopt},
    };
    for (const row& r : table) {
        reply_line got = parse_reply(r.line);
        EXPECT_EQ(got.code, r.code) << r.line;
        EXPECT_EQ(got.separator, r.separator) << r.line;
        EXPECT_EQ(got.passive, r.passive) << r.line;
    }
}

TEST(ftp_text, prefix_ignores_letter_case_only) {
    EXPECT_TRUE(starts_with_nocase("PORT 1,2", "PORT "));
    EXPECT_TRUE(starts_with_nocase("port 1,2", "PORT "));
    EXPECT_TRUE(starts_with_nocase("PoRt 1,2", "port "));
    EXPECT_TRUE(starts_with_nocase("eprt |1|", "EPRT "));
    EXPECT_TRUE(starts_with_nocase("227 Entering", "227 "));
    EXPECT_TRUE(starts_with_nocase("229 Entering", "229 "));
    EXPECT_FALSE(starts_with_nocase("227-Entering", "227 "));
    EXPECT_FALSE(starts_with_nocase("PORT", "PORT "));
    EXPECT_FALSE(starts_with_nocase("PORTS x", "PORT "));
    EXPECT_FALSE(starts_with_nocase(" PORT 1", "PORT "));
    EXPECT_FALSE(starts_with_nocase("", "PORT "));
    EXPECT_TRUE(starts_with_nocase("anything", ""));
    // '@' and '`' sit next to the letters: case folding must not join them.
    EXPECT_FALSE(starts_with_nocase("@", "`"));
}

TEST(ftp_text, host_port_decoding) {
    struct row {
        std::string_view params;
        bool ok;
        uint32_t address;
        uint16_t port;
    };
    const row table[] = {
        {"10,0,0,1,4,1", true, 0x0A000001, 1025},
        {"Entering Passive Mode (192,168,1,2,19,137).", true, 0xC0A80102, 5001},
        {"(192,168,1,2,19,137)", true, 0xC0A80102, 5001},
        {"=127,0,0,1,0,21", true, 0x7F000001, 21},
        {"127,0,0,1,0,21\r\n", true, 0x7F000001, 21},
        {"1,2,3,4,5,6,7", true, 0x01020304, 0x0506},  // what follows the sixth is skipped
        {"1,2,3,4,5,6x", true, 0x01020304, 0x0506},
        {"1,,3,4,5,6", true, 0x01000304, 0x0506},  // an empty number is 0
        {"1,2,3,4,5,", false, 0, 0},               // fewer than six
        {"1,2,3,4,5", false, 0, 0},
        {"1,2,3,4", false, 0, 0},
        {"", false, 0, 0},
        {"no digits here", false, 0, 0},
        {"10, 0,0,1,4,1", false, 0, 0},  // a blank after a comma
        {"10,0,0,1,4 ,1", false, 0, 0},
        {"10.0.0.1.4.1", false, 0, 0},
        {"10,0,0,1;4,1", false, 0, 0},
        // No range check: 256 spills into the next byte up, as plain shifting and or-ing gives.
        {"0,0,0,256,1,256", true, 0x00000100, 0x0100},
        {"1,2,3,4,300,1", true, 0x01020304, static_cast<uint16_t>((300 << 8) | 1)},
        // 4294967296 wraps to 0 in a 32-bit accumulator.
        {"4294967296,0,0,1,0,1", true, 0x00000001, 1},
    };
    for (const auto& r : table) {
        auto got = decode_host_port(r.params);
        ASSERT_EQ(got.has_value(), r.ok) << "[" << r.params << "]";
        if (!r.ok) continue;
        EXPECT_EQ(got->address, r.address) << "[" << r.params << "]";
        EXPECT_EQ(got->port, r.port) << "[" << r.params << "]";
    }
}

TEST(ftp_text, eprt_decoding) {
    struct row {
        std::string_view params;
        bool ok;
        int protocol;
        uint32_t address;
        uint16_t port;
    };
    const row table[] = {
        {"|1|132.235.1.2|6275|", true, 1, 0x84EB0102, 6275},
        {"!1!10.0.0.1!21!", true, 1, 0x0A000001, 21},
        {"|1|127.0.0.1|65535|  ", true, 1, 0x7F000001, 65535},
        {"|2|1080::8:800:200C:417A|5282|", true, 2, 0, 5282},
        {"|1|127.0.0.1|65536|", false, 0, 0, 0},
        {"|1|127.0.0.1|0|", false, 0, 0, 0},
        {"|1|127.0.0.1||", false, 0, 0, 0},
        {"|1|127.0.0.1|21", false, 0, 0, 0},
        {"|1|127.0.0|21|", false, 0, 0, 0},
        {"|1|127.0.0.1.5|21|", false, 0, 0, 0},
        {"|1|127.0.0.256|21|", false, 0, 0, 0},
        {"|1|127..0.1|21|", false, 0, 0, 0},
        {"|1|127.0.0.x|21|", false, 0, 0, 0},
        {"||127.0.0.1|21|", false, 0, 0, 0},
        {"|x|127.0.0.1|21|", false, 0, 0, 0},
        {"|0|127.0.0.1|21|", false, 0, 0, 0},
        {"|1||21|", false, 0, 0, 0},
        {"|1|127.0.0.1|21|5|", false, 0, 0, 0},
        {"|1|127.0.0.1|2x|", false, 0, 0, 0},
        {"1|127.0.0.1|21|", false, 0, 0, 0},
        {" |1|127.0.0.1|21|", false, 0, 0, 0},
        {"|", false, 0, 0, 0},
        {"", false, 0, 0, 0},
    };
    for (const auto& r : table) {
        auto got = decode_eprt(r.params);
        ASSERT_EQ(got.has_value(), r.ok) << "[" << r.params << "]";
        if (!r.ok) continue;
        EXPECT_EQ(got->protocol, r.protocol) << "[" << r.params << "]";
        EXPECT_EQ(got->address, r.address) << "[" << r.params << "]";
        EXPECT_EQ(got->port, r.port) << "[" << r.params << "]";
    }
}

TEST(ftp_text, epsv_reply_decoding) {
    struct row {
        std::string_view text;
        std::optional<uint16_t> port;
    };
    const row table[] = {
        {"Entering Extended Passive Mode (|||6446|)", 6446},
        {"Entering Extended Passive Mode (|||6446|)\r\n", 6446},
        {"ok (!!!21!)", 21},
        {"(|||65535|)", 65535},
        {"(|||65536|)", std::nullopt},
        {"(|||0|)", std::nullopt},
        {"(||||)", std::nullopt},
        {"(|||6446)", std::nullopt},
        {"(|||6446|", std::nullopt},
        {"(||6446|)", std::nullopt},
        {"(|1|6446|)", std::nullopt},
        {"(|||64x6|)", std::nullopt},
        {"Entering Extended Passive Mode", std::nullopt},
        {"(", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& r : table) EXPECT_EQ(decode_epsv_reply(r.text), r.port) << "[" << r.text << "]";
}

TEST(ftp_text, builders_round_trip_through_the_decoders) {
    EXPECT_EQ(make_227_reply(0x7F000001, 5001), "227 Entering Passive Mode (127,0,0,1,19,137).\r\n");
    EXPECT_EQ(make_229_reply(6446), "229 Entering Extended Passive Mode (|||6446|)\r\n");
    EXPECT_EQ(make_port_command(0xC0A80102, 1025), "PORT 192,168,1,2,4,1\r\n");
    EXPECT_EQ(make_eprt_command(0x84EB0102, 6275), "EPRT |1|132.235.1.2|6275|\r\n");

    const host_port samples[] = {{0, 1}, {0xFFFFFFFF, 65535}, {0x0A000001, 256}, {0xC0A80102, 255}};
    for (const auto& hp : samples) {
        std::string r227 = make_227_reply(hp.address, hp.port);
        EXPECT_EQ(decode_host_port(std::string_view(r227).substr(4)), hp) << r227;
        std::string port = make_port_command(hp.address, hp.port);
        EXPECT_EQ(decode_host_port(std::string_view(port).substr(5)), hp) << port;
        std::string eprt = make_eprt_command(hp.address, hp.port);
        auto e = decode_eprt(std::string_view(eprt).substr(5, eprt.size() - 7));
        ASSERT_TRUE(e.has_value()) << eprt;
        EXPECT_EQ(e->protocol, 1);
        EXPECT_EQ(e->address, hp.address);
        EXPECT_EQ(e->port, hp.port);
        std::string r229 = make_229_reply(hp.port);
        EXPECT_EQ(decode_epsv_reply(std::string_view(r229).substr(4)), hp.port) << r229;
    }
}

}  // namespace
}  // namespace orv::ftp
