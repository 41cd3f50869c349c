#include "agent/pair.h"

#include <map>
#include <new>

#include "agent/connection_data.h"
#include "agent/connection_log.h"
#include "agent/relaysocket.h"
#include "agent/metrics/registry.h"
#include "net/selector.h"

namespace orv {

namespace {
// Numbers are unique for the life of the process, across passes.
int next_pair_number = 0;
// By number, which is creation order.
std::map<int, pair*> every_pair;

pair_member_view view_of(const relaysocket& end) {
    return pair_member_view{end.peer_address_text(), end.type(),          end.peer_name_text(),
                            end.cipher_text(),       end.bytes_written(), end.creation_time()};
}
}  // namespace

pair::pair(connection_data& data) : data_(data), number_(next_pair_number++), session_name_(data.session_name()) {
    data_.add_pair(this, number_);
    every_pair[number_] = this;
    ++metrics::process().accepted;
}

pair::~pair() {
    detach();
    data_.remove_pair(number_);
    every_pair.erase(number_);
}

std::vector<pair*> live_pairs() {
    std::vector<pair*> all;
    all.reserve(every_pair.size());
    for (const auto& [number, p] : every_pair) all.push_back(p);
    return all;
}

void pair::attach_plain(relaysocket* plain) {
    if (plain_) plain_->pair_ = nullptr;
    plain_ = plain;
    if (plain_) plain_->pair_ = this;
}

void pair::attach_ssl(relaysocket* ssl) {
    if (ssl_) ssl_->pair_ = nullptr;
    ssl_ = ssl;
    if (ssl_) ssl_->pair_ = this;
}

void pair::detach() {
    attach_plain(nullptr);
    attach_ssl(nullptr);
}

void pair::member_gone(relaysocket* end) {
    if (end == plain_) {
        plain_gone_ = view_of(*end);
        attach_plain(nullptr);
    } else if (end == ssl_) {
        ssl_gone_ = view_of(*end);
        attach_ssl(nullptr);
    }
    if (plain_ || ssl_) return;
    log_connection(data_, connection_disconnected, number_, !quiet_);
    delete this;
}

void pair::log_connected() {
    log_connection(data_, connection_connected, number_, !quiet_);
}

std::optional<pair_member_view> pair::plain_view() const {
    return plain_ ? std::optional(view_of(*plain_)) : plain_gone_;
}

std::optional<pair_member_view> pair::ssl_view() const { return ssl_ ? std::optional(view_of(*ssl_)) : ssl_gone_; }

pair* open_relayed(selector& sel, relaysocket* plain, relaysocket* ssl) {
    if (ssl) make_partners(plain, ssl);
    sel.add(plain);
    if (ssl) sel.add(ssl);
    pair* p = new (std::nothrow) pair(plain->data());
    if (!p) return nullptr;
    p->attach_plain(plain);
    if (ssl) p->attach_ssl(ssl);
    p->set_quiet(plain->quiet());
    p->log_connected();
    return p;
}

}  // namespace orv
