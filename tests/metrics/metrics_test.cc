// The exposition text and the request parser of the metrics endpoint.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "agent/metrics/endpoint.h"
#include "agent/metrics/http_request.h"
#include "agent/metrics/registry.h"

namespace orv::metrics {
namespace {

struct parse_case {
    const char* name;
    std::string received;
    head_status status;
    const char* method;
    const char* path;
};

TEST(RequestHead, Table) {
    const parse_case cases[] = {
        {"get", "GET /metrics HTTP/1.1\r\nHost: x\r\nAccept: */*\r\n\r\n", head_status::complete, "GET", "/metrics"},
        {"query dropped", "GET /metrics?x=1 HTTP/1.0\r\n\r\n", head_status::complete, "GET", "/metrics"},
        {"bare line feeds", "HEAD /healthz HTTP/1.1\n\n", head_status::complete, "HEAD", "/healthz"},
        {"line only, head not over", "GET /metrics HTTP/1.1\r\n", head_status::incomplete, "", ""},
        {"nothing yet", "", head_status::incomplete, "", ""},
        {"method still coming", "GE", head_status::incomplete, "", ""},
        {"binary", std::string("\x16\x03\x01\x02\x00", 5), head_status::invalid, "", ""},
        {"no version", "GET /metrics\r\n\r\n", head_status::invalid, "", ""},
        {"HTTP/2 preface", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", head_status::invalid, "", ""},
        {"relative target", "GET metrics HTTP/1.1\r\n\r\n", head_status::invalid, "", ""},
        {"too large", "GET /metrics HTTP/1.1\r\nX: " + std::string(max_head, 'a'), head_status::invalid, "", ""},
        {"complete but too large", "GET / HTTP/1.1\r\nX: " + std::string(max_head, 'a') + "\r\n\r\n",
         head_status::invalid, "", ""},
    };
    for (const parse_case& c : cases) {
        request_head h = parse_head(c.received);
        EXPECT_EQ(h.status, c.status) << c.name;
        EXPECT_EQ(h.method, c.method) << c.name;
        EXPECT_EQ(h.path, c.path) << c.name;
    }
}

TEST(Response, HeadOnlyKeepsTheLength) {
    response r;
    r.status = 503;
    r.body = "every far agent is passed over\n";
    std::string full = serialize(r, false);
    std::string head = serialize(r, true);
    EXPECT_EQ(full.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u);
    EXPECT_NE(full.find("Content-Length: 31\r\n"), std::string::npos);
    EXPECT_NE(full.find("Connection: close\r\n\r\n"), std::string::npos);
    EXPECT_EQ(full, head + r.body);
}

class fixed_source : public scrape_source {
public:
    live_view view() override { return v; }
    std::string unhealthy_reason() override { return why; }
    live_view v;
    std::string why;
};

TEST(Answer, PathsAndMethods) {
    fixed_source source;
    struct {
        const char* method;
        const char* path;
        int status;
    } cases[] = {{"GET", "/metrics", 200}, {"HEAD", "/metrics", 200}, {"GET", "/healthz", 200},
                 {"GET", "/", 404},        {"GET", "/metricsx", 404}, {"POST", "/metrics", 405},
                 {"DELETE", "/x", 404}};
    for (const auto& c : cases) {
        request_head h{head_status::complete, c.method, c.path};
        EXPECT_EQ(answer(h, source).status, c.status) << c.method << " " << c.path;
    }
    source.why = "not listening";
    response r = answer(request_head{head_status::complete, "GET", "/healthz"}, source);
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.body, "not listening\n");
    r = answer(request_head{head_status::complete, "GET", "/metrics"}, source);
    EXPECT_EQ(r.content_type, "text/plain; version=0.0.4; charset=utf-8");
}

TEST(Histogram, CumulativeBucketsSumAndCount) {
    histogram h;
    for (int64_t ms : {0, 5, 6, 250, 40000}) h.observe_ms(ms);
    EXPECT_EQ(h.cumulative(0), 2u);                           // <= 5 ms
    EXPECT_EQ(h.cumulative(1), 3u);                           // <= 10 ms
    EXPECT_EQ(h.cumulative(5), 4u);                           // <= 250 ms
    EXPECT_EQ(h.cumulative(histogram::bounds_ms.size() - 1), 4u);  // 40 s is only in +Inf
    EXPECT_EQ(h.count(), 5u);
    EXPECT_EQ(h.sum_ms(), 40261);
}

// Every sample belongs to a family announced before it with HELP and TYPE, each family once, and
// every label set stays the same whatever was counted.
TEST(Exposition, EveryFamilyHasHelpAndType) {
    registry r;
    r.accepted = 3;
    r.count(failure::handshake);
    r.setup.observe_ms(1234);
    r.count(announcing_protocol::oracle, announcement_outcome::refused);
    for (bool server : {false, true}) {
        live_view v;
        v.server = server;
        v.version = "1.2.5";
        v.program = server ? "orvserver" : "orvclient";
        v.user_certificate_expiry = 1900000000;
        std::string text = exposition(r, v);
        std::istringstream lines(text);
        std::string line, help, type;
        std::set<std::string> families;
        while (std::getline(lines, line)) {
            if (line.rfind("# HELP ", 0) == 0) {
                help = line.substr(7, line.find(' ', 7) - 7);
                EXPECT_TRUE(families.insert(help).second) << help;
                continue;
            }
            if (line.rfind("# TYPE ", 0) == 0) {
                type = line.substr(7, line.find(' ', 7) - 7);
                EXPECT_EQ(type, help);
                continue;
            }
            std::string name = line.substr(0, line.find_first_of("{ "));
            EXPECT_EQ(name.rfind(type, 0), 0u) << line;
        }
        EXPECT_NE(text.find("orvane_build_info{program=\"" + std::string(v.program) + "\",version=\"1.2.5\"} 1\n"),
                  std::string::npos);
        EXPECT_NE(text.find("orvane_connections_accepted_total 3\n"), std::string::npos);
        EXPECT_NE(text.find("orvane_connection_failures_total{reason=\"handshake\"} 1\n"), std::string::npos);
        EXPECT_NE(text.find("orvane_connection_failures_total{reason=\"out_of_descriptors\"} 0\n"), std::string::npos);
        EXPECT_NE(text.find("orvane_setup_duration_seconds_bucket{le=\"2.500\"} 1\n"), std::string::npos);
        EXPECT_NE(text.find("orvane_setup_duration_seconds_bucket{le=\"1.000\"} 0\n"), std::string::npos);
        EXPECT_NE(text.find("orvane_setup_duration_seconds_sum 1.234\n"), std::string::npos);
        EXPECT_NE(text.find("{certificate=\"user\"} 1900000000\n"), std::string::npos);
        EXPECT_EQ(text.find("{certificate=\"root\"}"), std::string::npos);
        EXPECT_EQ(families.count("orvane_announcements_total"), server ? 1u : 0u);
        EXPECT_EQ(families.count("orvane_far_agents"), server ? 0u : 1u);
        if (server) {
            EXPECT_NE(text.find("orvane_announcements_total{protocol=\"oracle\",outcome=\"refused\"} 1\n"),
                      std::string::npos);
        }
    }
}

}  // namespace
}  // namespace orv::metrics
