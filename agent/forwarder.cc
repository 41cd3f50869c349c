#include "agent/forwarder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/ui.h>

#include "agent/connection_data.h"
#include "agent/main_acceptor.h"
#include "net/proxysocket.h"
#include "net/selector.h"
#include "net/signal_watch.h"
#include "net/socket.h"
#include "store/password_input.h"
#include "store/secure_file.h"

namespace orv {

namespace {

constexpr const char* version_text = "1.2.5";
constexpr const char* key_cipher_name = "des3";

int usage() {
    std::fprintf(stderr, "Orvane client forwarder version %s\n", version_text);
    std::fputs(
        "===============================================\n"
        "orvclient [-p <password>] [-d] -f <conffile> <session name>\n"
        "-d -- daemon mode\n"
        "\n"
        "In order to use HTTPS proxy set the environment variables:\n"
        "ORV_PROXY -- name or IP address of the proxy\n"
        "ORV_PROXYPORT -- TCP port of the HTTPS proxy\n"
        "ORV_DIRECT -- list of the directly accessible servers\n"
        "              (seprator is ;)\n",
        stderr);
    return 1;
}

// Thousands of relayed connections need thousands of descriptors: take what the system allows.
void raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void configure_proxy() {
    const char* proxy = std::getenv("ORV_PROXY");
    const char* direct = std::getenv("ORV_DIRECT");
    const char* proxy_port = std::getenv("ORV_PROXYPORT");
    if (proxy && proxy_port) set_proxy_configuration(proxy, proxy_port, direct);
}

}  // namespace

int wait_timeout_for(int accept_timeout, int timeout) {
    int wait = accept_timeout > 0 ? accept_timeout : -1;
    if (timeout > 0 && timeout < accept_timeout) wait = timeout;
    return wait;
}

forwarder::forwarder(const std::string& path, const char* password, const char* session_name, bool daemon,
                     int signal_fd) {
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

    data_.reset(new (std::nothrow) connection_data(*this, *store_, session_name, password, key_cipher_name));
    if (!data_ || !data_->ok()) {
        report(*this, "unable to create connection_data structure\n");
        return false;
    }
    acceptor_ = new (std::nothrow) main_acceptor(*this, data_.get());
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

// Relay buffers (ours and the library's read-ahead buffer) come and go with every burst of
// data; a heap that gives their pages back to the system at once pays page faults for them on the
// next burst. Keep freed memory for reuse instead.
void keep_freed_memory() {
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
}

int orvclient_main(int argc, char** argv) {
    keep_freed_memory();
    // Before the -p argument is read: the password and the keys stay out of core dumps.
    make_undumpable();
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    ignore_sigpipe();
    raise_descriptor_limit();

    configure_proxy();
    std::string path = default_config_path();
    bool daemon = false;
    password_buffer password;  // wiped when main returns
    bool password_too_long = false;
    int c;
    // '+': options end at the session name, as the usage shows; nothing after it is an option.
    while ((c = getopt(argc, argv, "+f:dp:h")) != -1) {
        switch (c) {
            case 'f': path = optarg; break;
            case 'd': daemon = true; break;
            case 'p': password_too_long = !take_password_argument(password, optarg); break;
            default: return usage();
        }
    }
    if (argc - optind != 1) return usage();
    const char* session_name = argv[optind];

    if (password_too_long || (password.empty() && !read_password(password, password_prompt(path)))) {
        std::fputs("Error during password input\n", stderr);
        return 1;
    }

    // SIGTERM and SIGINT end the program cleanly: no new connections, every open one closed
    // and logged with its counts (the passes' objects are destroyed on the way out).
    int signal_fd = block_termination_signals();
    // Every pass ends in failure or on a signal: the loop stops when a pass cannot be built.
    for (bool running = true; running && !signal_watch::received();) {
        forwarder f(path, password.c_str(), session_name, daemon, signal_fd);
        if (f.ok()) f.run();
        else running = false;
    }
    ERR_clear_error();
    if (signal_fd >= 0) close(signal_fd);
    return signal_watch::received() ? 0 : 1;
}

}  // namespace orv
