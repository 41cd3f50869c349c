// The agent's metrics: plain counters, gauges and one histogram, kept for the life of the process
// (across passes and reloads), and their Prometheus text exposition (format 0.0.4).
//
// One thread: nothing here is atomic. Every label set is fixed at compile time (the enums below),
// so the number of series is bounded whatever the traffic: nothing is labelled by connection or by
// client address. Counters are bumped where the connection log writes its lines and where
// failures are reported, so that they and the log agree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace orv::metrics {

// Why a connection failed, as its log line says.
enum class failure {
    connect,             // "connect failed", "unable to connect", "unable to look up"
    proxy,               // the HTTPS proxy's answer
    handshake,           // "SSL handshake failed"
    partner_refused,     // "access denied to ... by partner list"
    unannounced,         // orvserver: "refused data connection" (or an invalid channel header)
    setup_timeout,       // the set-up bound passed
    inactivity_timeout,  // "connection inactive for N seconds, closed"
    out_of_descriptors,  // "accept failed:24" (once per episode, as logged)
    pending_cap,         // closed at once: its address or the listener held the most pending handshakes
    shed,                // a pending handshake closed to keep descriptors in reserve
    count
};

enum class tls_session { full, resumed, count };
enum class reload_result { done, refused, count };
// The protocols whose control connections announce data connections (orvserver).
enum class announcing_protocol { ftp, progress, oracle, count };
enum class announcement_outcome { made, honoured, refused, count };

template <typename E>
constexpr size_t size_of() {
    return static_cast<size_t>(E::count);
}

// Cumulative buckets over milliseconds; observations above the last go to +Inf only.
class histogram {
public:
    static constexpr std::array<int64_t, 12> bounds_ms = {5, 10, 25, 50, 100, 250, 500, 1000, 2500, 5000, 10000, 30000};

    void observe_ms(int64_t ms);
    // Observations at or below bounds_ms[i] (cumulative, as the exposition wants them).
    uint64_t cumulative(size_t i) const;
    uint64_t count() const { return count_; }
    int64_t sum_ms() const { return sum_ms_; }

private:
    std::array<uint64_t, bounds_ms.size()> in_bucket_{};  // not cumulative
    uint64_t count_ = 0;
    int64_t sum_ms_ = 0;
};

struct registry {
    uint64_t accepted = 0;     // connections given a pair (their first CONNECT line)
    uint64_t established = 0;  // connections whose complete CONNECT line was written
    uint64_t ended = 0;        // DISCONNECT lines
    std::array<uint64_t, size_of<failure>()> failures{};
    uint64_t bytes_in = 0;   // "bytes in" of the DISCONNECT lines: delivered to the local program
    uint64_t bytes_out = 0;  // "bytes out": sent to the far agent (orvserver: to the service)
    histogram setup;
    std::array<uint64_t, size_of<tls_session>()> tls_sessions{};
    uint64_t far_agent_pass_overs = 0;
    std::array<uint64_t, size_of<reload_result>()> reloads{};
    std::array<std::array<uint64_t, size_of<announcement_outcome>()>, size_of<announcing_protocol>()> announcements{};

    void count(failure why) { ++failures[static_cast<size_t>(why)]; }
    void count(tls_session kind) { ++tls_sessions[static_cast<size_t>(kind)]; }
    void count(reload_result r) { ++reloads[static_cast<size_t>(r)]; }
    void count(announcing_protocol p, announcement_outcome o) {
        ++announcements[static_cast<size_t>(p)][static_cast<size_t>(o)];
    }
};

// The process's registry.
registry& process();

// What a scrape reads from the running agent rather than from counters.
struct live_view {
    const char* program = "orvclient";  // build_info's labels
    const char* version = "";
    bool server = false;                // orvserver: the announcement family is shown
    int64_t open_connections = 0;
    int far_agents = 0;                 // the session's far agents (0 for orvserver)
    int far_agents_passed_over = 0;
    std::optional<int64_t> user_certificate_expiry;  // seconds since the epoch
    std::optional<int64_t> root_certificate_expiry;
};

// The text exposition of `r` and `v`: "# HELP" and "# TYPE" before every family.
std::string exposition(const registry& r, const live_view& v);

}  // namespace orv::metrics
