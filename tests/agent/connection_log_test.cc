#include "agent/channel_header.h"
#include "agent/connection_log.h"
#include "agent/forwarder.h"
#include "agent/login.h"

#include <gtest/gtest.h>

namespace orv {
namespace {

TEST(connection_log, connect_line_waits_for_the_cipher_once_both_peers_are_known) {
    connection_log_fields f;
    f.session = "s1";
    f.client = "127.0.0.1:4000";
    f.type = "data connection";
    EXPECT_EQ(format_connect_line(f).value(),
              "INF CONNECT session: s1, client: 127.0.0.1:4000, server: N/A, type: data connection. "
              "dname: N/A, cipher: N/A\n");
    f.server = "127.0.0.1:443";
    EXPECT_FALSE(format_connect_line(f).has_value());
    f.dname = "/O=A/CN=b";
    f.cipher = "TLS_AES_256_GCM_SHA384";
    EXPECT_EQ(format_connect_line(f).value(),
              "INF CONNECT session: s1, client: 127.0.0.1:4000, server: 127.0.0.1:443, type: data connection. "
              "dname: /O=A/CN=b, cipher: TLS_AES_256_GCM_SHA384\n");
    f.seconds = "3";
    f.bytes_in = "10";
    f.bytes_out = "20";
    EXPECT_EQ(format_disconnect_line(f),
              "INF DISCONNECT session: s1, client: 127.0.0.1:4000, server: 127.0.0.1:443, type: data connection. "
              "dname: /O=A/CN=b, cipher: TLS_AES_256_GCM_SHA384. seconds: 3, bytes in: 10, bytes out: 20\n");
}

TEST(channel_header, fields_most_significant_byte_first) {
    EXPECT_EQ(control_channel_header(), (channel_header{1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(make_channel_header(false, true, 0xC0000207, 0x1151), (channel_header{0, 1, 0xC0, 0, 2, 7, 0x11, 0x51}));
}

TEST(login_table, protocol_and_header_by_name) {
    struct row {
        const char* login;
        bool known;
        login_protocol protocol;
        bool header;
    };
    const row table[] = {
        {nullptr, true, login_protocol::plain, false},   {"", true, login_protocol::plain, false},
        {"ftp", true, login_protocol::ftp, true},         {"progress", true, login_protocol::progress, true},
        {"oracle", true, login_protocol::oracle, true},   {"mssql", true, login_protocol::plain, false},
        {"http", true, login_protocol::plain, false},     {"FTP", false, login_protocol::plain, false},
        {"telnet", false, login_protocol::plain, false},
    };
    for (const row& r : table) {
        const login_kind* k = find_login(r.login);
        ASSERT_EQ(k != nullptr, r.known) << (r.login ? r.login : "(null)");
        if (!k) continue;
        EXPECT_EQ(k->protocol, r.protocol) << (r.login ? r.login : "(null)");
        EXPECT_EQ(k->sends_header, r.header) << (r.login ? r.login : "(null)");
    }
}

TEST(forwarder, wait_timeout_from_accept_timeout_and_timeout) {
    const int table[][3] = {{0, 30, -1}, {60, 30, 30}, {20, 30, 20}, {0, 0, -1}, {-5, 3, -1}, {15, 0, 15}};
    for (const auto& row : table) EXPECT_EQ(wait_timeout_for(row[0], row[1]), row[2]) << row[0] << "," << row[1];
}

}  // namespace
}  // namespace orv
