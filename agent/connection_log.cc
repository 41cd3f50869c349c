#include "agent/connection_log.h"

#include <ctime>

#include "agent/connection_data.h"
#include "agent/pair.h"
#include "agent/metrics/registry.h"

namespace orv {

namespace {

std::string known_or_na(const std::string& text) { return text.empty() ? "N/A" : text; }

connection_log_fields fields_of(const pair& p) {
    connection_log_fields f;
    f.session = p.session_name();
    std::optional<pair_member_view> plain = p.plain_view();
    std::optional<pair_member_view> ssl = p.ssl_view();
    if (plain) {
        f.client = known_or_na(plain->address);
        f.type = plain->type;
        f.bytes_in = std::to_string(plain->bytes_written);
    }
    if (ssl) {
        f.server = known_or_na(ssl->address);
        f.dname = known_or_na(ssl->dname);
        f.cipher = known_or_na(ssl->cipher);
        f.bytes_out = std::to_string(ssl->bytes_written);
    }
    // orvserver's TLS end is on the client side: the peer's name and cipher come from there.
    if (plain && f.dname == "N/A") f.dname = known_or_na(plain->dname);
    if (plain && f.cipher == "N/A") f.cipher = known_or_na(plain->cipher);
    if (plain || ssl) {
        time_t created = plain ? plain->created : ssl->created;
        f.seconds = std::to_string(static_cast<long>(std::time(nullptr) - created));
    }
    return f;
}

}  // namespace

std::optional<std::string> format_connect_line(const connection_log_fields& f) {
    if (f.client != "N/A" && f.server != "N/A" && f.cipher == "N/A") return std::nullopt;
    return "INF CONNECT session: " + f.session + ", client: " + f.client + ", server: " + f.server +
           ", type: " + f.type + ". dname: " + f.dname + ", cipher: " + f.cipher + "\n";
}

namespace {

std::string format_counted_line(const char* word, const connection_log_fields& f) {
    return std::string("INF ") + word + " session: " + f.session + ", client: " + f.client + ", server: " + f.server +
           ", type: " + f.type + ". dname: " + f.dname + ", cipher: " + f.cipher + ". seconds: " + f.seconds +
           ", bytes in: " + f.bytes_in + ", bytes out: " + f.bytes_out + "\n";
}

}  // namespace

std::string format_disconnect_line(const connection_log_fields& f) { return format_counted_line("DISCONNECT", f); }

std::string format_open_line(const connection_log_fields& f) { return format_counted_line("OPEN", f); }

std::string format_open_line(const pair& p) { return format_open_line(fields_of(p)); }

void log_connection(connection_data& data, int event, int number, bool write_line) {
    pair* p = data.find_pair(number);
    if (!p) return;
    connection_log_fields f = fields_of(*p);
    // The counters follow the lines, so that they and the log agree; a quiet pair (a flood's) is
    // counted all the same.
    metrics::registry& m = metrics::process();
    if (event == connection_connected) {
        auto line = format_connect_line(f);
        if (!line) return;
        if (write_line) report(data, "%s", line->c_str());
        if (f.client != "N/A" && f.server != "N/A" && p->first_established()) ++m.established;
    } else {
        if (write_line) report(data, "%s", format_disconnect_line(f).c_str());
        ++m.ended;
        if (auto plain = p->plain_view()) m.bytes_in += static_cast<uint64_t>(plain->bytes_written);
        if (auto ssl = p->ssl_view()) m.bytes_out += static_cast<uint64_t>(ssl->bytes_written);
    }
}

}  // namespace orv
