// pair: one relayed connection as the connection log sees it, the plain-side end and the
// SSL-side end. The log reads the plain slot as its client side and the SSL slot as its server
// side; orvserver puts its TLS end (facing the client) in the plain slot and its service end in
// the SSL slot.
//
// Links are two-sided and non-owning: a pair holds its two ends and each end holds its pair.
// An end that goes leaves what the log needs of it (addresses, names, byte counts) in the pair;
// the end that goes last logs the disconnect with the final counts and destroys the pair, whose
// destructor leaves the session's pair list.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace orv {

class connection_data;
class relaysocket;
class selector;

// What the connection log reads of one end.
struct pair_member_view {
    std::string address;  // peer address text
    std::string type;
    std::string dname;
    std::string cipher;
    int64_t bytes_written = 0;
    time_t created = 0;
};

class pair {
public:
    explicit pair(connection_data& data);
    virtual ~pair();

    pair(const pair&) = delete;
    pair& operator=(const pair&) = delete;

    void attach_plain(relaysocket* plain);
    void attach_ssl(relaysocket* ssl);
    void detach();
    // `end` is being destroyed: keep its view; the last end to go logs the disconnect and
    // destroys the pair (so `this` may be gone on return).
    void member_gone(relaysocket* end);

    // Writes the connection log's connect line (nothing until both sides are known; nothing
    // while quiet).
    void log_connected();
    // A quiet pair writes neither its connect nor its disconnect line (see relaysocket::set_quiet).
    void set_quiet(bool quiet) { quiet_ = quiet; }

    relaysocket* plain() const { return plain_; }
    relaysocket* ssl() const { return ssl_; }
    // The live end's view, or what a gone end left; none when the slot was never filled.
    std::optional<pair_member_view> plain_view() const;
    std::optional<pair_member_view> ssl_view() const;
    int number() const { return number_; }
    // True the first time only: the pair's complete connect line is being written.
    bool first_established() { return !established_ && (established_ = true); }
    const std::string& session_name() const { return session_name_; }

private:
    relaysocket* plain_ = nullptr;
    relaysocket* ssl_ = nullptr;
    std::optional<pair_member_view> plain_gone_;
    std::optional<pair_member_view> ssl_gone_;
    connection_data& data_;
    int number_;
    std::string session_name_;
    bool established_ = false;
    bool quiet_ = false;
};

// Every live pair of the process, whichever reading of the configuration it came from, oldest first.
std::vector<pair*> live_pairs();

// Opens one relayed connection: makes the two ends partners, registers both with `sel` (which
// owns them from then on), gives them a pair (`plain` in its client slot) and writes the first
// connect line (unless `plain` is quiet). `ssl` may be null: orvserver's client end gets its service end later. Returns
// the pair; null when there was no memory for one (the ends then relay without a log entry).
pair* open_relayed(selector& sel, relaysocket* plain, relaysocket* ssl);

}  // namespace orv
