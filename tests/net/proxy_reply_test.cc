// parse_proxy_reply: where the header ends and what the status line says, on texts that arrive
// whole (the socket-level cases are in proxysocket_test.cc).
#include <gtest/gtest.h>

#include "net/proxy_reply.h"

namespace orv {
namespace {

TEST(proxy_reply, header_end_and_verdict) {
    using enum proxy_reply_state;
    const std::string with_nul(
        "HTTP/1.0 4\0"
        "04 x\r\n\r\n",
        19);  // the log line is a C string
    struct {
        std::string received;
        proxy_reply_state state;
        size_t header_end;
        std::string message;
    } cases[] = {
        {"", incomplete, 0, ""},
        {"HTTP/1.0 200 OK\r\n", incomplete, 0, ""},
        {"HTTP/1.0 200 OK\r\n\r", incomplete, 0, ""},
        {"HTTP/1.0 200 OK\r\n\r\n", tunnel_open, 19, ""},
        {"HTTP/1.0 200 OK\n\n", tunnel_open, 17, ""},
        // Tunnel bytes after the blank line are not part of the header, whatever they hold.
        {"HTTP/1.0 200 OK\r\n\r\nAB\r\n\r\n", tunnel_open, 19, ""},
        {"HTTP/1.0 200 OK\n\nAB\r\n\r\n", tunnel_open, 17, ""},
        {"HTTP/1.0 200 OK\r\nVia: x\n\nAB\r\n\r\n", tunnel_open, 25, ""},
        // A status line with a bare LF, then CR LF headers: the status line is still its first line.
        {"HTTP/1.0 200 OK\nVia: x\r\n\r\n", tunnel_open, 26, ""},
        {"HTTP/1.0 502 Bad Gateway\nVia: x\r\n\r\n", refused, 35,
         "unable to connect. proxy gave error: \"HTTP/1.0 502 Bad Gateway\"\n"},
        {"HTTP/1.0 200\r\n\r\n", refused, 16, "bad PROXY response line. no second space\n"},
        {"\r\n\r\n", refused, 4, "bad PROXY response line. no first space\n"},
        {with_nul, refused, 19, "unable to connect. proxy gave error: \"HTTP/1.0 4\"\n"},
    };
    for (const auto& c : cases) {
        proxy_reply r = parse_proxy_reply(c.received);
        EXPECT_EQ(r.state, c.state) << c.received;
        EXPECT_EQ(r.header_end, c.header_end) << c.received;
        EXPECT_EQ(r.message, c.message) << c.received;
    }
}

}  // namespace
}  // namespace orv
