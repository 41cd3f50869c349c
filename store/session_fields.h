// The fields of a session, in one place: the record both programs read, and the table from which
// the store loads and saves it, orvconf takes it from its options and checks and shows it.
// A new field is a member of session_record and a row of session_fields.
#pragma once

#include <cstddef>
#include <iterator>

namespace orv {

// The loaded values of one session. Texts point into the tree (null when missing) and stay
// valid while the tree lives and the session is not changed; missing numbers are 0.
struct session_record {
    const char* name = nullptr;
    const char* bindaddr = nullptr;
    const char* port = nullptr;
    const char* server = nullptr;
    const char* serverport = nullptr;
    const char* cipherlist = nullptr;
    const char* cert = nullptr;
    const char* root = nullptr;
    const char* key = nullptr;
    int multicall = 0;
    const char* command = nullptr;
    int minres = 0;
    int autoclose = 0;
    const char* login = nullptr;
    int cache = 0;
    int timeout = 0;
    int accept_timeout = 0;
    int nodelay = 0;
    int sslmode = 0;
    int noclientauth = 0;
    // Further far agents after server:serverport ("host:port,host:port", IPv6 hosts in
    // brackets), and how connections choose among them ("prio" or "rr").
    const char* faragents = nullptr;
    const char* failover = nullptr;
    // Where the metrics endpoint listens ("ADDRESS:PORT", "[::1]:PORT"); none when missing.
    const char* metrics = nullptr;
    // Caps on connections not yet authenticated, "TOTAL,PER_SOURCE" (store/pending_caps.h);
    // without it the defaults apply.
    const char* pending = nullptr;
};

// text: stored as given; flag: stored as 0 or 1, an orvconf option without argument sets it;
// number: decimal.
enum class field_kind { text, flag, number };

// How the session view shows a flag or number (texts are shown as they are).
// text_when_set: a text whose line the view leaves out while it is missing, so that sessions
// without it are shown as before it existed.
enum class shown_as { text, text_when_set, yes_no, no_yes, ssl_version, seconds };

struct session_field {
    const char* key;  // the entry in the session's section
    field_kind kind;
    const char* session_record::*text;  // for text
    int session_record::*number;        // for flag and number
    // 0 when the value may be missing; otherwise the session is incomplete without it, and this
    // is the place of its check when orvconf inserts a session (the first missing one is named).
    int required;
    const char* required_as;  // orvconf's name of a missing required value
    char option;              // orvconf's option letter
    const char* label;        // the session view's label
    int view_line;            // the place of its line in the session view
    shown_as shown;
    const char* absent;  // the view's text for a missing text
};

// In the order the store writes the entries of a new session.
inline constexpr session_field session_fields[] = {
    {"port", field_kind::text, &session_record::port, nullptr, 1, "local port", 'L', "Local port:", 2, shown_as::text,
     "(null)"},
    {"bindaddr", field_kind::text, &session_record::bindaddr, nullptr, 0, nullptr, 'G', "Local address:", 1,
     shown_as::text, "(null)"},
    {"server", field_kind::text, &session_record::server, nullptr, 2, "server name", 'H', "Server host:", 3,
     shown_as::text, "(null)"},
    {"serverport", field_kind::text, &session_record::serverport, nullptr, 3, "server port", 'P', "Server port:", 4,
     shown_as::text, "(null)"},
    {"cipherlist", field_kind::text, &session_record::cipherlist, nullptr, 0, nullptr, 'C', "Cipher:", 5,
     shown_as::text, "<default>"},
    {"cert", field_kind::text, &session_record::cert, nullptr, 4, "name of the user certificate", 'B',
     "Certificate:", 7, shown_as::text, "(null)"},
    {"root", field_kind::text, &session_record::root, nullptr, 6, "name of the root certificate", 'X',
     "Root certificate:", 8, shown_as::text, "(null)"},
    {"multicall", field_kind::flag, nullptr, &session_record::multicall, 0, nullptr, 'M', "Multiple connections:", 9,
     shown_as::yes_no, nullptr},
    {"nodelay", field_kind::flag, nullptr, &session_record::nodelay, 0, nullptr, 'j', "TCP no delay:", 15,
     shown_as::yes_no, nullptr},
    {"minres", field_kind::flag, nullptr, &session_record::minres, 0, nullptr, 'm', "Minimize/Restore:", 11,
     shown_as::yes_no, nullptr},
    {"autoclose", field_kind::flag, nullptr, &session_record::autoclose, 0, nullptr, 'a', "Close on deactivation:", 12,
     shown_as::yes_no, nullptr},
    {"command", field_kind::text, &session_record::command, nullptr, 0, nullptr, 'E', "Command:", 18, shown_as::text,
     "<none>"},
    {"login", field_kind::text, &session_record::login, nullptr, 0, nullptr, 'o', "Map login name:", 19, shown_as::text,
     "no"},
    {"cache", field_kind::flag, nullptr, &session_record::cache, 0, nullptr, 'e', "Cache connections:", 10,
     shown_as::yes_no, nullptr},
    {"timeout", field_kind::number, nullptr, &session_record::timeout, 0, nullptr, 'u', "Inactivity timeout:", 16,
     shown_as::seconds, nullptr},
    {"accept_timeout", field_kind::number, nullptr, &session_record::accept_timeout, 0, nullptr, 'T',
     "Accept timeout:", 17, shown_as::seconds, nullptr},
    {"key", field_kind::text, &session_record::key, nullptr, 5, "name of the user key", 'A', "Key:", 6, shown_as::text,
     "(null)"},
    {"sslmode", field_kind::number, nullptr, &session_record::sslmode, 0, nullptr, 'Z', "SSL version:", 14,
     shown_as::ssl_version, nullptr},
    {"noclientauth", field_kind::flag, nullptr, &session_record::noclientauth, 0, nullptr, 'x',
     "Client authentication:", 13, shown_as::no_yes, nullptr},
    {"faragents", field_kind::text, &session_record::faragents, nullptr, 0, nullptr, 'W', "Further far agents:", 20,
     shown_as::text_when_set, ""},
    {"failover", field_kind::text, &session_record::failover, nullptr, 0, nullptr, 'Y', "Failover:", 21,
     shown_as::text_when_set, ""},
    {"metrics", field_kind::text, &session_record::metrics, nullptr, 0, nullptr, 't', "Metrics endpoint:", 22,
     shown_as::text_when_set, ""},
    {"pending", field_kind::text, &session_record::pending, nullptr, 0, nullptr, 'V', "Pending handshakes:", 23,
     shown_as::text_when_set, ""},
};

inline constexpr size_t session_field_count = std::size(session_fields);

// Every row is complete, and every view line and every place of a required check is taken once.
constexpr bool session_fields_consistent() {
    int view_lines = 0;
    int checks = 0;
    int required = 0;
    for (const session_field& f : session_fields) {
        bool is_text = f.kind == field_kind::text;
        if (is_text != (f.text != nullptr) || is_text == (f.number != nullptr)) return false;
        bool shown_as_text = f.shown == shown_as::text || f.shown == shown_as::text_when_set;
        if (is_text != shown_as_text || is_text != (f.absent != nullptr)) return false;
        if (f.view_line < 1 || f.view_line > static_cast<int>(session_field_count)) return false;
        if (f.required < 0 || f.required > static_cast<int>(session_field_count)) return false;
        if ((f.required != 0) != (f.required_as != nullptr) || !f.option || !f.label) return false;
        view_lines |= 1 << f.view_line;
        if (f.required != 0) {
            checks |= 1 << f.required;
            ++required;
        }
    }
    return view_lines == (1 << (session_field_count + 1)) - 2 && checks == (1 << (required + 1)) - 2;
}
static_assert(session_fields_consistent(), "a session field row is incomplete or shares a place");

}  // namespace orv
