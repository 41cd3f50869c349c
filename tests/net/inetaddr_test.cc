// inetaddr: host and port text rules, the four constructors and the text forms.
#include <arpa/inet.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include "net/inetaddr.h"
#include "tests/net/net_test_util.h"

namespace orv {
namespace {

TEST(inetaddr, host_and_port_texts) {
    struct {
        const char* host;
        const char* port;
        const char* text;     // expected text form
        const char* message;  // expected report, "" for none; a prefix when it ends in ':'
    } cases[] = {
        {"10.1.2.3", "4433", "10.1.2.3:4433", ""},
        {"127.0.0.1", "", "127.0.0.1:0", ""},       // empty port text: port 0
        {"localhost", "http", "127.0.0.1:80", ""},  // name look-up and a service name
        {"127.0.0.1", "ftp", "127.0.0.1:21", ""},
        {"127.0.0.1", "no-such-service", "127.0.0.1:65535", ""},  // unknown service: 0xFFFF, silent
        {"127.0.0.1", "99999", "127.0.0.1:65535", ""},            // too large: as unknown, not wrapped
        {"127.0.0.1", "65536", "127.0.0.1:65535", ""},
        {"127.0.0.1", "4294967297", "127.0.0.1:65535", ""},
        {"127.0.0.1", "-1", "127.0.0.1:65535", ""},
        {"1.2.3.4.5", "1", "255.255.255.255:1", "hostname \"1.2.3.4.5\" unparsable\n"},
        {"", "1", "255.255.255.255:1", "hostname \"\" unparsable\n"},
        {"10.1.2.x", "1", "255.255.255.255:1", "hostname unknown:"},  // not all digits: by name
    };
    for (const auto& c : cases) {
        test::captured_log log;
        inetaddr a(reporter(&log.sink()), c.host, c.port);
        EXPECT_TRUE(a.is_valid()) << c.host;
        EXPECT_EQ(a.text(), c.text) << c.host << " " << c.port;
        std::string expected = c.message;
        if (!expected.empty() && expected.back() == ':') EXPECT_EQ(log.text().rfind(expected, 0), 0u) << log.text();
        else EXPECT_EQ(log.text(), expected) << c.host;
    }
}

TEST(inetaddr, port_and_host_checks) {
    struct {
        const char* port;
        int expected;  // -1: refused
    } ports[] = {
        {"1", 1},      {"65535", 65535},   {"0443", 443}, {"http", 80}, {"sieve", 4190}, {"0", -1},    {"65536", -1},
        {"99999", -1}, {"4294967297", -1}, {"-1", -1},    {"abc", -1},  {"", -1},        {"12ab", -1}, {" 80", -1},
    };
    for (const auto& c : ports) {
        std::optional<uint16_t> p = inetaddr::port_number(c.port);
        EXPECT_EQ(p ? static_cast<int>(*p) : -1, c.expected) << '"' << c.port << '"';
    }
    EXPECT_FALSE(inetaddr::port_number(nullptr));

    struct {
        const char* host;
        bool resolves;
    } hosts[] = {
        {"127.0.0.1", true},
        {"10.1.2.3", true},
        {"localhost", true},
        {"1.2.3.4.5", false},
        {"", false},
        {"256.1.1.1", false},
        {"no-such-host.invalid", false},
    };
    for (const auto& c : hosts) EXPECT_EQ(inetaddr::host_resolves(c.host), c.resolves) << c.host;
    EXPECT_FALSE(inetaddr::host_resolves(nullptr));
}

TEST(inetaddr, the_four_constructors) {
    reporter r;
    inetaddr from_texts(r, "192.0.2.7", "4433");
    inetaddr from_host_and_port(r, "192.0.2.7", htons(4433));
    inetaddr from_numbers(r, inet_addr("192.0.2.7"), htons(4433));
    inetaddr from_sockaddr(r, from_numbers.sockaddr_ptr());
    for (const inetaddr* a : {&from_texts, &from_host_and_port, &from_numbers, &from_sockaddr}) {
        EXPECT_EQ(a->text(), "192.0.2.7:4433");
        EXPECT_EQ(a->dotted(), "192.0.2.7");
        EXPECT_EQ(a->length(), 16);
        EXPECT_EQ(a->family(), AF_INET);
        EXPECT_EQ(a->addr_net(), inet_addr("192.0.2.7"));
        EXPECT_EQ(a->port_net(), htons(4433));
    }
}

TEST(inetaddr, ipv6_addresses_and_other_families) {
    reporter r;
    struct row {
        const char* host;
        uint16_t port;
        int family;
        const char* text;
    };
    // A text with a colon is an IPv6 address, never a name; IPv4-mapped ones read as IPv4.
    const row table[] = {
        {"::1", 443, AF_INET6, "[::1]:443"},
        {"::", 0, AF_INET6, "[::]:0"},
        {"fe80::1:2", 80, AF_INET6, "[fe80::1:2]:80"},
        {"::ffff:127.0.0.2", 9, AF_INET6, "[::ffff:127.0.0.2]:9"},
    };
    for (const row& t : table) {
        inetaddr a(r, t.host, htons(t.port));
        EXPECT_EQ(a.family(), t.family) << t.host;
        EXPECT_EQ(a.text(), t.text) << t.host;
        EXPECT_EQ(a.addr_net(), INADDR_NONE) << t.host;
        EXPECT_TRUE(inetaddr::host_resolves(t.host)) << t.host;
    }
    EXPECT_FALSE(inetaddr::host_resolves("::1::2"));
    // From socket addresses: IPv6 as it is, an IPv4-mapped one as the IPv4 address.
    sockaddr_in6 six{};
    six.sin6_family = AF_INET6;
    six.sin6_port = htons(7);
    inet_pton(AF_INET6, "::1", &six.sin6_addr);
    EXPECT_EQ(inetaddr(r, reinterpret_cast<const sockaddr*>(&six)).text(), "[::1]:7");
    inet_pton(AF_INET6, "::ffff:127.0.0.3", &six.sin6_addr);
    inetaddr mapped(r, reinterpret_cast<const sockaddr*>(&six));
    EXPECT_EQ(mapped.family(), AF_INET);
    EXPECT_EQ(mapped.text(), "127.0.0.3:7");
    sockaddr_un unix_address{};
    unix_address.sun_family = AF_UNIX;
    inetaddr a(r, reinterpret_cast<const sockaddr*>(&unix_address));
    EXPECT_FALSE(a.is_valid());
    EXPECT_EQ(a.family(), 0);
    EXPECT_EQ(a.text(), "invalid address");
    inetaddr b(r, static_cast<const sockaddr*>(nullptr));
    EXPECT_FALSE(b.is_valid());
}

}  // namespace
}  // namespace orv
