// One pass of an agent program's restart loop (the programs' shared start-up is agent/program).
//
// Each pass of the restart loop builds one forwarder: log BIO and logsink, a reading of the
// configuration file (tree, store and connection_data), main acceptor, selector. The pass runs
// the selector until nothing is registered (one connection with `multicall` 0, the life of the
// process otherwise), then destroys it all and starts over with a fresh reading of the file. A
// pass that cannot be built ends the program.
//
// SIGHUP reloads within the pass: the file is read and the session validated as a start does;
// when that succeeds new connections use the new reading, while open connections keep the one
// they started with (each end holds it alive) until they end. A reload that fails leaves the
// running reading in service, untouched, and says why in one line. An unchanged `bindaddr` and
// `port` keep the listening socket; a changed one is listening before the old one closes.
#pragma once

#include <memory>
#include <string>

#include "agent/metrics/endpoint.h"
#include "net/logsink.h"
#include "net/reporter.h"
#include "net/signal_watch.h"
#include "store/config_store.h"
#include "store/config_tree.h"
#include "store/openssl_ptr.h"

namespace orv {

class connection_data;
class password_buffer;
struct agent_program;

inline constexpr const char* agent_version_text = "1.2.5";
class main_acceptor;
class resolver;
class selector;

// Where a pass and each of its reloads take the configuration file's password from.
class password_source {
public:
    // Puts the password into `out`; false after the reason has been reported through `r`.
    virtual bool get(const reporter& r, password_buffer& out) = 0;

protected:
    ~password_source() = default;
};

// Why a pass could not be built.
enum class pass_failure {
    none,
    configuration,  // the file or the session cannot work until someone changes it
    other           // anything else (a port in use, say): worth another try
};

// One reading of the configuration file: the tree, its store and the session loaded from them.
struct configuration_reading {
    std::unique_ptr<config_tree> tree;
    std::unique_ptr<config_store> store;
    std::unique_ptr<connection_data> data;
    ~configuration_reading();
};

class forwarder : public virtual reporter,
                  public virtual ok_flag,
                  public signal_handler,
                  public metrics::scrape_source {
public:
    // `signal_fd` reports the operator's signals (-1 for none); it outlives the forwarder.
    // `program` says which acceptor and which role the pass builds, `password` where the
    // password comes from; both outlive the forwarder.
    forwarder(const agent_program& program, const std::string& path, password_source& password,
              const char* session_name, bool daemon, int signal_fd = -1);
    virtual ~forwarder();

    forwarder(const forwarder&) = delete;
    forwarder& operator=(const forwarder&) = delete;

    // Runs the selector until it has nothing left; does nothing when construction failed.
    void run();
    // Why construction failed (none when it did not).
    pass_failure failure() const { return failure_; }

    // SIGHUP: reload, with the service manager told (RELOADING=1, then READY=1).
    void reload_requested() override;
    // SIGUSR1: one line per open connection.
    void dump_requested() override;

    // Reads the file again and puts the new reading in service; false when it was refused (the
    // running one stays, and the reason has been logged in one line).
    bool reload();

    // The metrics endpoint's questions.
    metrics::live_view view() override;
    std::string unhealthy_reason() override;

private:
    bool build(bool daemon, int signal_fd);
    // A new reading, its messages written through `r`; null (with `why` set) when it fails.
    std::shared_ptr<configuration_reading> read_configuration(const reporter& r, pass_failure& why);
    void check_expiry();
    // A listening metrics endpoint for `listen_text` (reports through `r`); null when that fails.
    metrics::endpoint_listener* open_metrics(const reporter& r, const char* listen_text);
    // Puts `next` (null: none) in the place of the running metrics endpoint, registered.
    void replace_metrics(metrics::endpoint_listener* next);

    const agent_program& program_;
    std::string path_;
    password_source& password_;
    std::string session_name_;
    logsink sink_;
    bio_ptr log_bio_;
    main_acceptor* acceptor_ = nullptr;  // owned until the selector takes it; cleared when destroyed
    // The metrics endpoint, when the session has one; the selector owns it, and it clears this
    // pointer when destroyed.
    metrics::endpoint_listener* metrics_ = nullptr;
    std::unique_ptr<resolver> resolver_;  // outlives the selector and its connections
    std::unique_ptr<selector> selector_;
    std::shared_ptr<configuration_reading> current_;  // what new connections use
    pass_failure failure_ = pass_failure::none;
};

// Selector wait timeout from the session's accept_timeout and timeout (seconds, -1 for none).
int wait_timeout_for(int accept_timeout, int timeout);

// What differs between two readings' sessions, for the reload line: "certificate, partners",
// "nothing changed" when nothing does.
std::string describe_changes(const configuration_reading& before, const configuration_reading& after);

// The first message of a refused reload's captured output (the queued library errors before it
// left out).
std::string first_message(const std::string& captured);

}  // namespace orv
