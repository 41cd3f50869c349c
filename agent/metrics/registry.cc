#include "agent/metrics/registry.h"

#include <cinttypes>
#include <cstdio>

namespace orv::metrics {

void histogram::observe_ms(int64_t ms) {
    if (ms < 0) ms = 0;
    for (size_t i = 0; i < bounds_ms.size(); ++i) {
        if (ms <= bounds_ms[i]) {
            ++in_bucket_[i];
            break;
        }
    }
    ++count_;
    sum_ms_ += ms;
}

uint64_t histogram::cumulative(size_t i) const {
    uint64_t n = 0;
    for (size_t k = 0; k <= i && k < in_bucket_.size(); ++k) n += in_bucket_[k];
    return n;
}

registry& process() {
    static registry r;
    return r;
}

namespace {

const char* const failure_names[] = {"connect",       "proxy",
                                     "handshake",     "partner_refused",
                                     "unannounced",   "setup_timeout",
                                     "inactivity_timeout", "out_of_descriptors",
                                     "pending_cap",   "shed"};
static_assert(std::size(failure_names) == size_of<failure>());
const char* const tls_session_names[] = {"full", "resumed"};
static_assert(std::size(tls_session_names) == size_of<tls_session>());
const char* const reload_names[] = {"done", "refused"};
static_assert(std::size(reload_names) == size_of<reload_result>());
const char* const protocol_names[] = {"ftp", "progress", "oracle"};
static_assert(std::size(protocol_names) == size_of<announcing_protocol>());
const char* const outcome_names[] = {"made", "honoured", "refused"};
static_assert(std::size(outcome_names) == size_of<announcement_outcome>());

// Builds the text one family at a time.
class writer {
public:
    void family(const char* name, const char* type, const char* help) {
        out_ += "# HELP ";
        out_ += name;
        out_ += ' ';
        out_ += help;
        out_ += "\n# TYPE ";
        out_ += name;
        out_ += ' ';
        out_ += type;
        out_ += '\n';
    }
    // `labels` is empty or "{...}" already.
    void sample(const char* name, const std::string& labels, uint64_t value) {
        line(name, labels, std::to_string(value));
    }
    void sample(const char* name, const std::string& labels, int64_t value) {
        line(name, labels, std::to_string(value));
    }
    void sample_ms_as_seconds(const char* name, const std::string& labels, int64_t ms) {
        line(name, labels, seconds_text(ms));
    }
    // A family of one sample without labels.
    template <typename V>
    void single(const char* name, const char* type, const char* help, V value) {
        family(name, type, help);
        sample(name, "", value);
    }
    // Milliseconds as seconds with three decimals, as the histogram's bounds and sum are shown.
    static std::string seconds_text(int64_t ms) {
        char text[32];
        std::snprintf(text, sizeof text, "%" PRId64 ".%03" PRId64, ms / 1000, ms % 1000);
        return text;
    }
    std::string take() { return std::move(out_); }

private:
    void line(const char* name, const std::string& labels, const std::string& value) {
        out_ += name;
        out_ += labels;
        out_ += ' ';
        out_ += value;
        out_ += '\n';
    }
    std::string out_;
};

std::string label(const char* key, const char* value) { return std::string("{") + key + "=\"" + value + "\"}"; }

template <typename Names, typename Values>
void labelled(writer& w, const char* name, const char* key, const Names& names, const Values& values) {
    for (size_t i = 0; i < std::size(names); ++i) w.sample(name, label(key, names[i]), values[i]);
}

}  // namespace

std::string exposition(const registry& r, const live_view& v) {
    writer w;
    w.family("orvane_build_info", "gauge", "The agent's program and version; always 1.");
    w.sample("orvane_build_info",
             std::string("{program=\"") + v.program + "\",version=\"" + v.version + "\"}", int64_t{1});

    w.single("orvane_connections_accepted_total", "counter", "Connections accepted (their first CONNECT line).",
             r.accepted);
    w.single("orvane_connections_established_total", "counter",
             "Connections set up end to end (their complete CONNECT line).", r.established);
    w.single("orvane_connections_ended_total", "counter", "Connections ended (their DISCONNECT line).", r.ended);
    w.single("orvane_connections_open", "gauge", "Connections open now.", v.open_connections);

    w.family("orvane_connection_failures_total", "counter",
             "Connection failures by reason, counted with the line that reports each (at most once per end).");
    labelled(w, "orvane_connection_failures_total", "reason", failure_names, r.failures);

    w.family("orvane_relayed_bytes_total", "counter",
             "Bytes of ended connections: in = delivered to the local program, out = sent on through the tunnel.");
    w.sample("orvane_relayed_bytes_total", label("direction", "in"), r.bytes_in);
    w.sample("orvane_relayed_bytes_total", label("direction", "out"), r.bytes_out);

    w.family("orvane_setup_duration_seconds", "histogram",
             "Time from a TLS end's creation to its completed set-up (connect, proxy, handshake).");
    for (size_t i = 0; i < histogram::bounds_ms.size(); ++i) {
        std::string le = writer::seconds_text(histogram::bounds_ms[i]);
        w.sample("orvane_setup_duration_seconds_bucket", label("le", le.c_str()), r.setup.cumulative(i));
    }
    w.sample("orvane_setup_duration_seconds_bucket", label("le", "+Inf"), r.setup.count());
    w.sample_ms_as_seconds("orvane_setup_duration_seconds_sum", "", r.setup.sum_ms());
    w.sample("orvane_setup_duration_seconds_count", "", r.setup.count());

    w.family("orvane_tls_sessions_total", "counter", "TLS handshakes completed, full or resumed.");
    labelled(w, "orvane_tls_sessions_total", "kind", tls_session_names, r.tls_sessions);

    if (!v.server) {
        w.family("orvane_far_agents", "gauge", "The session's far agents, in service (up) or passed over.");
        w.sample("orvane_far_agents", label("state", "up"),
                 static_cast<int64_t>(v.far_agents - v.far_agents_passed_over));
        w.sample("orvane_far_agents", label("state", "passed_over"), static_cast<int64_t>(v.far_agents_passed_over));
        w.single("orvane_far_agent_pass_overs_total", "counter", "Times a far agent began to be passed over.",
                 r.far_agent_pass_overs);
    }

    w.family("orvane_reloads_total", "counter", "Configuration reloads, done or refused.");
    labelled(w, "orvane_reloads_total", "result", reload_names, r.reloads);

    w.family("orvane_certificate_expiry_timestamp_seconds", "gauge",
             "When the session's certificates expire, in seconds since the epoch.");
    if (v.user_certificate_expiry)
        w.sample("orvane_certificate_expiry_timestamp_seconds", label("certificate", "user"), *v.user_certificate_expiry);
    if (v.root_certificate_expiry)
        w.sample("orvane_certificate_expiry_timestamp_seconds", label("certificate", "root"), *v.root_certificate_expiry);

    if (v.server) {
        w.family("orvane_announcements_total", "counter",
                 "Data connections announced by control connections, and data connections honoured or refused.");
        for (size_t p = 0; p < size_of<announcing_protocol>(); ++p) {
            for (size_t o = 0; o < size_of<announcement_outcome>(); ++o) {
                w.sample("orvane_announcements_total",
                         std::string("{protocol=\"") + protocol_names[p] + "\",outcome=\"" + outcome_names[o] + "\"}",
                         r.announcements[p][o]);
            }
        }
    }
    return w.take();
}

}  // namespace orv::metrics
