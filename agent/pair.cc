#include "agent/pair.h"

#include "agent/connection_data.h"
#include "agent/relaysocket.h"

namespace orv {

namespace {
// Numbers are unique for the life of the process, across passes.
int next_pair_number = 0;
}  // namespace

pair::pair(connection_data& data)
    : data_(data), number_(next_pair_number++), session_name_(data.session_name()) {
    data_.add_pair(this, number_);
}

pair::~pair() {
    detach();
    data_.remove_pair(number_);
}

void pair::attach(relaysocket* plain) {
    if (plain_) plain_->pair_ = nullptr;
    plain_ = plain;
    if (plain_) plain_->pair_ = this;
}

void pair::attach(sslrelaysocket* ssl) {
    if (ssl_) ssl_->pair_ = nullptr;
    ssl_ = ssl;
    if (ssl_) ssl_->pair_ = this;
}

void pair::detach() {
    attach(static_cast<relaysocket*>(nullptr));
    attach(static_cast<sslrelaysocket*>(nullptr));
}

}  // namespace orv
