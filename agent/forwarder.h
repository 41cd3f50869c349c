// One pass of an agent program's restart loop (the programs' shared start-up is agent/program).
//
// Each pass of the restart loop builds one forwarder: log BIO and logsink, configuration store,
// connection_data, main acceptor, selector. The pass runs the selector until nothing is registered
// (one connection with `multicall` 0, the life of the process otherwise), then destroys it all and
// starts over with a fresh reading of the file. A pass that cannot be built ends the program.
#pragma once

#include <memory>
#include <string>

#include "net/logsink.h"
#include "net/reporter.h"
#include "store/config_store.h"
#include "store/config_tree.h"
#include "store/openssl_ptr.h"

namespace orv {

class connection_data;
struct agent_program;

inline constexpr const char* agent_version_text = "1.2.5";
class main_acceptor;
class selector;

class forwarder : public virtual reporter, public virtual ok_flag {
public:
    // `signal_fd` reports termination signals (-1 for none); it outlives the forwarder.
    // `program` says which acceptor and which role the pass builds; it outlives the forwarder.
    forwarder(const agent_program& program, const std::string& path, const char* password, const char* session_name,
              bool daemon, int signal_fd = -1);
    virtual ~forwarder();

    forwarder(const forwarder&) = delete;
    forwarder& operator=(const forwarder&) = delete;

    // Runs the selector until it has nothing left; does nothing when construction failed.
    void run();

    selector* get_selector() const { return selector_.get(); }

private:
    bool build(const std::string& path, const char* password, const char* session_name, bool daemon, int signal_fd);

    const agent_program& program_;
    logsink sink_;
    bio_ptr log_bio_;
    main_acceptor* acceptor_ = nullptr;  // owned until the selector takes it; cleared when destroyed
    std::unique_ptr<selector> selector_;
    std::unique_ptr<connection_data> data_;
    std::unique_ptr<config_tree> tree_;
    std::unique_ptr<config_store> store_;
};

// Selector wait timeout from the session's accept_timeout and timeout (seconds, -1 for none).
int wait_timeout_for(int accept_timeout, int timeout);

}  // namespace orv
