#include "agent/forwarder.h"

#include <cctype>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <systemd/sd-daemon.h>

#include "agent/connection_data.h"
#include "agent/connection_log.h"
#include "agent/expiry.h"
#include "agent/far_agents.h"
#include "agent/main_acceptor.h"
#include "agent/pair.h"
#include "agent/program.h"
#include "agent/metrics/registry.h"
#include "net/periodic.h"
#include "net/resolver.h"
#include "net/selector.h"
#include "net/signal_watch.h"
#include "store/password_input.h"
#include "store/secure_file.h"
#include "store/session_fields.h"

namespace orv {

namespace {

constexpr const char* key_cipher_name = "des3";
// The expiry of the session's certificates is looked at once a day while the pass runs.
constexpr int64_t expiry_check_ms = 24LL * 3600 * 1000;

std::string text_of(const char* value) { return value ? value : ""; }

// The listening address as the acceptor binds it.
std::string listen_address(const session_record& s) {
    std::string host = s.bindaddr && *s.bindaddr ? s.bindaddr : "127.0.0.1";
    return host + " " + text_of(s.port);
}

// The DER bytes of a certificate, to tell a changed one from a renamed one.
std::string der_of(X509* cert) {
    if (!cert) return {};
    unsigned char* out = nullptr;
    int n = i2d_X509(cert, &out);
    std::string der = n > 0 ? std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n)) : std::string();
    OPENSSL_free(out);
    return der;
}

// How the reload line names a changed session value.
const char* change_name(const char* key) {
    if (std::strcmp(key, "cert") == 0) return "certificate";
    if (std::strcmp(key, "root") == 0) return "root";
    if (std::strcmp(key, "key") == 0) return "key";
    return key;
}

void add_change(std::string& list, const char* what) {
    if (list.find(what) != std::string::npos) return;
    if (!list.empty()) list += ", ";
    list += what;
}

// Queued library error lines look like "140...:error:...": digits, then a colon.
bool is_library_error_line(const std::string& line) {
    size_t i = 0;
    while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i]))) ++i;
    return i > 0 && i < line.size() && line[i] == ':';
}

void tell_service_manager(const char* state) { sd_notify(0, state); }

// The session's metrics endpoint text, empty when it has none.
std::string metrics_text(const session_record& s) { return text_of(s.metrics); }

std::optional<int64_t> expiry_of(X509* cert) {
    const ASN1_TIME* t = cert ? X509_get0_notAfter(cert) : nullptr;
    tm when{};
    if (!t || ASN1_TIME_to_tm(t, &when) != 1) return std::nullopt;
    return static_cast<int64_t>(timegm(&when));
}

unsigned long long now_monotonic_usec() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<unsigned long long>(t.tv_sec) * 1000000ULL + static_cast<unsigned long long>(t.tv_nsec) / 1000;
}

}  // namespace

configuration_reading::~configuration_reading() {
    // The session refers into the tree through the store: it goes first.
    data.reset();
    store.reset();
    tree.reset();
}

int wait_timeout_for(int accept_timeout, int timeout) {
    int wait = accept_timeout > 0 ? accept_timeout : -1;
    if (timeout > 0 && timeout < accept_timeout) wait = timeout;
    return wait;
}

std::string describe_changes(const configuration_reading& before, const configuration_reading& after) {
    const session_record& a = before.data->session();
    const session_record& b = after.data->session();
    std::string list;
    for (const session_field& f : session_fields) {
        bool same = f.kind == field_kind::text ? text_of(a.*f.text) == text_of(b.*f.text) : a.*f.number == b.*f.number;
        if (!same) add_change(list, change_name(f.key));
    }
    // The same names may stand for new contents.
    if (der_of(before.data->user_certificate()) != der_of(after.data->user_certificate()))
        add_change(list, "certificate");
    if (der_of(before.data->root_certificate()) != der_of(after.data->root_certificate())) add_change(list, "root");
    if (text_of(before.store->key_text(a.key)) != text_of(after.store->key_text(b.key))) add_change(list, "key");
    if (before.data->partners() != after.data->partners()) add_change(list, "partners");
    return list.empty() ? "nothing changed" : list;
}

std::string first_message(const std::string& captured) {
    size_t start = 0;
    while (start < captured.size()) {
        size_t end = captured.find('\n', start);
        if (end == std::string::npos) end = captured.size();
        std::string line = captured.substr(start, end - start);
        if (!line.empty() && !is_library_error_line(line)) return line;
        start = end + 1;
    }
    return "unknown reason";
}

forwarder::forwarder(const agent_program& program, const std::string& path, password_source& password,
                     const char* session_name, bool daemon, int signal_fd)
    : program_(program), path_(path), password_(password), session_name_(session_name ? session_name : "") {
    if (!build(daemon, signal_fd)) {
        if (failure_ == pass_failure::none) failure_ = pass_failure::other;
        clear_ok();
    }
}

namespace {

// Whoever may change the file may change where the tunnel leads and which partners it accepts
// (its keys stay sealed by the password): worth a warning, not a refusal.
void warn_if_writable_by_others(const reporter& r, const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && (st.st_mode & S_IWOTH))
        report(r, "WAR configuration file %s is writable by others (mode %04o)\n", path.c_str(),
               static_cast<unsigned>(st.st_mode & 07777));
}

}  // namespace

std::shared_ptr<configuration_reading> forwarder::read_configuration(const reporter& r, pass_failure& why) {
    why = pass_failure::configuration;
    if (access(path_.c_str(), F_OK) != 0) {
        report(r, "unable to open configuration file %s\n", path_.c_str());
        return nullptr;
    }
    password_buffer password;  // wiped when the reading is made
    if (!password_.get(r, password)) return nullptr;
    auto reading = std::make_shared<configuration_reading>();
    reading->tree = load_secure_config(path_, password.c_str(), file_cipher_name, file_digest_name,
                                       r.sink() ? r.sink()->bio() : log_bio_.get());
    if (!reading->tree) {
        report(r, "unable to open configuration file %s\n", path_.c_str());
        return nullptr;
    }
    reading->store = std::make_unique<config_store>(*reading->tree);
    reading->store->load_random_seed();
    reading->data.reset(new (std::nothrow) connection_data(r, *reading->store, session_name_.c_str(),
                                                           password.c_str(), key_cipher_name, program_.role));
    if (!reading->data || !reading->data->ok()) {
        report(r, "unable to create connection_data structure\n");
        return nullptr;
    }
    // Every end of a connection made from this reading keeps it alive.
    reading->data->set_keeper(reading);
    reading->data->set_resolver(resolver_.get());
    why = pass_failure::none;
    return reading;
}

bool forwarder::build(bool daemon, int signal_fd) {
    log_bio_ = daemon ? new_daemon_log() : new_console_log();
    if (!log_bio_) return false;
    sink_.set_bio(log_bio_.get());
    set_sink(&sink_);

    resolver_.reset(new (std::nothrow) resolver(*this));
    if (!resolver_ || !resolver_->ok()) return false;
    current_ = read_configuration(*this, failure_);
    if (!current_) return false;
    static bool mode_checked = false;  // once per process, not at every pass
    if (!mode_checked) warn_if_writable_by_others(*this, path_);
    mode_checked = true;
    acceptor_ = program_.make_acceptor(*this, current_->data.get());
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
    const session_record& s = current_->data->session();
    selector_->set_wait_timeout(wait_timeout_for(s.accept_timeout, s.timeout));
    selector_->add(acceptor_);
    if (!resolver_->attach(*selector_)) {
        report(*this, "out of memory\n");
        return false;
    }
    if (signal_fd >= 0) {
        signal_watch* watch = new (std::nothrow) signal_watch(*this, signal_fd, *selector_, this);
        if (!watch) {
            report(*this, "out of memory\n");
            return false;
        }
        selector_->add_background(watch);
    }
    periodic* daily = new (std::nothrow) periodic(*this, expiry_check_ms, [this] { check_expiry(); });
    if (!daily) {
        report(*this, "out of memory\n");
        return false;
    }
    selector_->add_background(daily);
    if (!metrics_text(s).empty()) {
        metrics::endpoint_listener* endpoint = open_metrics(*this, s.metrics);
        if (!endpoint) return false;
        replace_metrics(endpoint);
    }
    check_expiry();
    return true;
}

metrics::endpoint_listener* forwarder::open_metrics(const reporter& r, const char* listen_text) {
    auto* endpoint = new (std::nothrow) metrics::endpoint_listener(r, listen_text, *this);
    if (!endpoint || !endpoint->ok()) {
        report(r, "unable to create metrics endpoint %s\n", listen_text);
        delete endpoint;
        return nullptr;
    }
    return endpoint;
}

void forwarder::replace_metrics(metrics::endpoint_listener* next) {
    metrics::endpoint_listener* old = metrics_;
    if (old) old->watch(nullptr);
    metrics_ = next;
    if (next) {
        next->adopt_sink(*this);
        next->watch(&metrics_);
        selector_->add_background(next);
    }
    delete old;
}

metrics::live_view forwarder::view() {
    metrics::live_view v;
    v.program = program_.role == connection_role::server ? "orvserver" : "orvclient";
    v.version = agent_version_text;
    v.server = program_.role == connection_role::server;
    v.open_connections = static_cast<int64_t>(live_pairs().size());
    if (!current_) return v;
    connection_data& data = *current_->data;
    if (!v.server) {
        int64_t now = iodesc::now_ms();
        for (const endpoint& agent : data.far_agents().agents()) {
            ++v.far_agents;
            if (far_agent_health::process().passed_over(agent.text(), now)) ++v.far_agents_passed_over;
        }
    }
    v.user_certificate_expiry = expiry_of(data.user_certificate());
    v.root_certificate_expiry = expiry_of(data.root_certificate());
    return v;
}

std::string forwarder::unhealthy_reason() {
    if (!acceptor_) return "not listening";
    if (acceptor_->paused()) return "out of descriptors: not accepting";
    if (program_.role == connection_role::client && current_) {
        metrics::live_view v = view();
        if (v.far_agents > 0 && v.far_agents_passed_over == v.far_agents) return "every far agent is passed over";
    }
    return {};
}

forwarder::~forwarder() {
    // Registered or not, a live acceptor goes first; one the selector has destroyed already
    // (one-connection sessions) has cleared the pointer.
    delete acceptor_;
    // The metrics endpoint goes with the selector (which clears metrics_). The ends go with the
    // selector, and with the last of them the readings they held; the resolver they may cancel
    // lookups on goes after them.
    selector_.reset();
    current_.reset();
    resolver_.reset();
    sink_.set_bio(nullptr);
    log_bio_.reset();
}

void forwarder::run() {
    if (ok() && selector_) selector_->run();
}

void forwarder::check_expiry() {
    if (current_) report_expiry(*this, *current_->data, std::time(nullptr));
}

void forwarder::reload_requested() {
    // What systemd 252 understands: RELOADING=1 until READY=1 (MONOTONIC_USEC for later versions).
    std::string reloading = "RELOADING=1\nMONOTONIC_USEC=" + std::to_string(now_monotonic_usec());
    tell_service_manager(reloading.c_str());
    reload();
    tell_service_manager("READY=1");
}

bool forwarder::reload() {
    // The new reading's messages are captured: a refused reload says why in one line, and the
    // library's queued errors behind that reason stay out of the log.
    bio_ptr captured(BIO_new(BIO_s_mem()));
    logsink capture_sink(captured.get());
    reporter capture(&capture_sink);
    pass_failure why = pass_failure::none;
    std::shared_ptr<configuration_reading> next = captured ? read_configuration(capture, why) : nullptr;
    main_acceptor* replacement = nullptr;
    metrics::endpoint_listener* new_metrics = nullptr;
    bool metrics_moved = next && metrics_text(current_->data->session()) != metrics_text(next->data->session());
    if (next && metrics_moved && !metrics_text(next->data->session()).empty()) {
        // Like the main listener: the new endpoint listens before the old one closes, and a new
        // address that cannot be bound refuses the reload.
        new_metrics = open_metrics(capture, next->data->session().metrics);
        if (!new_metrics) next.reset();
    }
    if (next && acceptor_ &&
        listen_address(current_->data->session()) != listen_address(next->data->session())) {
        // Listening on the new address before the old one closes: no moment without a listener.
        replacement = program_.make_acceptor(capture, next->data.get());
        if (!replacement || !replacement->ok()) {
            report(capture, "unable to create main acceptor\n");
            delete replacement;
            replacement = nullptr;
            next.reset();
        }
    }
    ERR_clear_error();
    if (!next) {
        delete new_metrics;
        metrics::process().count(metrics::reload_result::refused);
        char* text = nullptr;
        long n = captured ? BIO_get_mem_data(captured.get(), &text) : 0;
        std::string reason = first_message(n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string());
        report(*this, "configuration reload refused, the running configuration stays in service: %s\n",
               reason.c_str());
        return false;
    }
    std::string changes = describe_changes(*current_, *next);
    next->data->adopt_sink(*this);
    if (replacement) {
        replacement->adopt_sink(*this);
        replacement->take_over(*acceptor_);
        main_acceptor* old = acceptor_;
        old->watch(nullptr);
        acceptor_ = replacement;
        acceptor_->watch(&acceptor_);
        selector_->add(acceptor_);
        delete old;
    } else if (acceptor_) {
        acceptor_->adopt(next->data.get());
    }
    if (metrics_moved) replace_metrics(new_metrics);
    const session_record& s = next->data->session();
    selector_->set_wait_timeout(wait_timeout_for(s.accept_timeout, s.timeout));
    current_ = std::move(next);
    report(*this, "INF configuration reloaded: %s\n", changes.c_str());
    metrics::process().count(metrics::reload_result::done);
    check_expiry();
    return true;
}

void forwarder::dump_requested() {
    std::vector<pair*> open = live_pairs();
    report(*this, "INF open connections: %d\n", static_cast<int>(open.size()));
    for (pair* p : open) report(*this, "%s", format_open_line(*p).c_str());
}

}  // namespace orv
