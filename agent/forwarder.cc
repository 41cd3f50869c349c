#include "agent/forwarder.h"

#include <new>

#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "agent/connection_data.h"
#include "agent/main_acceptor.h"
#include "agent/program.h"
#include "net/selector.h"
#include "net/signal_watch.h"
#include "store/secure_file.h"

namespace orv {

namespace {

constexpr const char* key_cipher_name = "des3";

}  // namespace

int wait_timeout_for(int accept_timeout, int timeout) {
    int wait = accept_timeout > 0 ? accept_timeout : -1;
    if (timeout > 0 && timeout < accept_timeout) wait = timeout;
    return wait;
}

forwarder::forwarder(const agent_program& program, const std::string& path, const char* password,
                     const char* session_name, bool daemon, int signal_fd)
    : program_(program) {
    if (!build(path, password, session_name, daemon, signal_fd)) clear_ok();
}

bool forwarder::build(const std::string& path, const char* password, const char* session_name, bool daemon,
                      int signal_fd) {
    log_bio_ = daemon ? new_daemon_log() : new_console_log();
    if (!log_bio_) return false;
    sink_.set_bio(log_bio_.get());
    set_sink(&sink_);

    if (access(path.c_str(), F_OK) != 0) {
        report(*this, "unable to open configuration file %s\n", path.c_str());
        return false;
    }
    tree_ = load_secure_config(path, password, file_cipher_name, file_digest_name, log_bio_.get());
    if (!tree_) {
        report(*this, "unable to open configuration file %s\n", path.c_str());
        return false;
    }
    store_ = std::make_unique<config_store>(*tree_);
    store_->load_random_seed();

    data_.reset(new (std::nothrow)
                    connection_data(*this, *store_, session_name, password, key_cipher_name, program_.role));
    if (!data_ || !data_->ok()) {
        report(*this, "unable to create connection_data structure\n");
        return false;
    }
    acceptor_ = program_.make_acceptor(*this, data_.get());
    if (acceptor_) acceptor_->watch(&acceptor_);
    if (!acceptor_ || !acceptor_->ok()) {
        report(*this, "unable to create main acceptor\n");
        return false;
    }
    selector_.reset(new (std::nothrow) selector(*this));
    if (!selector_) {
        report(*this, "unable to create selector\n");
        return false;
    }
    const session_record& s = data_->session();
    selector_->set_wait_timeout(wait_timeout_for(s.accept_timeout, s.timeout));
    selector_->add(acceptor_);
    if (signal_fd >= 0) {
        signal_watch* watch = new (std::nothrow) signal_watch(*this, signal_fd, *selector_);
        if (!watch) {
            report(*this, "out of memory\n");
            return false;
        }
        selector_->add_background(watch);
    }
    return true;
}

forwarder::~forwarder() {
    // Registered or not, a live acceptor goes first; one the selector has destroyed already
    // (one-connection sessions) has cleared the pointer.
    delete acceptor_;
    selector_.reset();
    data_.reset();
    store_.reset();
    tree_.reset();
    sink_.set_bio(nullptr);
    log_bio_.reset();
}

void forwarder::run() {
    if (ok() && selector_) selector_->run();
}

}  // namespace orv
