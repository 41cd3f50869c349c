#include "agent/main_acceptor.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <algorithm>
#include <new>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "agent/connection_data.h"
#include "agent/login.h"
#include "agent/metrics/registry.h"
#include "net/periodic.h"
#include "net/selector.h"

namespace orv {

namespace {

// An IPv6 bindaddr ("::1", "::") listens on an IPv6 socket ("::" takes IPv4 clients too).
int listen_family(const connection_data* data) {
    const char* host = data && data->has_session() ? data->session().bindaddr : nullptr;
    return host && std::strchr(host, ':') ? AF_INET6 : AF_INET;
}

}  // namespace

main_acceptor::main_acceptor(const reporter& parent, connection_data* data)
    : reporter(parent), socket(parent, listen_family(data), SOCK_STREAM, 0), data_(data),
      pending_(std::make_shared<pending_peers>(parent)) {
    if (!data_ || !data_->has_session()) {
        report(*this, "program error. connection data structure is missing\n");
        clear_ok();
        return;
    }
    if (!ok()) return;
    const session_record& s = data_->session();
    const char* host = s.bindaddr && *s.bindaddr ? s.bindaddr : "127.0.0.1";
    inetaddr at(*this, host, s.port ? s.port : "");
    bool listening = at.is_valid() && set_nonblocking(1) == 0 && so_reuseaddr(1) == 0 && so_oobinline(1) == 0 &&
                     bind(&at) == 0 && listen(listen_backlog()) == 0;
    if (!listening) clear_ok();
    adopt(data_);
}

void main_acceptor::adopt(connection_data* data) {
    data_ = data;
    pending_peers::caps caps;
    // Checked with the session: a value that does not parse never gets this far.
    if (parse_pending_caps(data_->session().pending, &caps)) pending_->set_caps(caps);
}

void main_acceptor::take_over(main_acceptor& old) {
    pending_ = old.pending_;
    adopt(data_);
}

void main_acceptor::start_ticking() {
    if (ticking_ || selectors().empty()) return;
    ticking_ = true;
    std::shared_ptr<pending_peers> peers = pending_;
    auto* ticker = new (std::nothrow)
        periodic(*this, pending_peers::interval_seconds * 1000LL, [peers] { peers->tick(iodesc::now_ms()); });
    if (ticker) selectors().front()->add_background(ticker);
}

bool main_acceptor::descriptors_short(int handle) const {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return false;
    // Room for the service connections of the clients being served and for other sources'
    // clients: a sixteenth of the limit, at least 16.
    rlim_t reserve = std::max<rlim_t>(16, limit.rlim_cur / 16);
    // A new handle is the lowest free number, which says little once some were closed; nearly
    // every registered object holds one, so their count tells how many are in use.
    rlim_t in_use = static_cast<rlim_t>(handle);
    if (!selectors().empty()) in_use = std::max(in_use, static_cast<rlim_t>(selectors().front()->count()));
    return in_use + reserve >= limit.rlim_cur;
}

main_acceptor::~main_acceptor() {
    if (watcher_) *watcher_ = nullptr;
}

int main_acceptor::wants_events(int* read, int* write, int* error) {
    start_ticking();
    int result = socket::wants_events(read, write, error);
    if (result != 0) return result;
    *read = state_ == acceptor_state::accepting ? 1 : 0;
    return 1;
}

int main_acceptor::handle_events(int readable, int writable, int error) {
    int result = socket::handle_events(readable, writable, error);
    if (result != 0) return result;
    if (!ok()) return -1;
    if (state_ == acceptor_state::paused) {
        // The pause is over: try again (a failure now stays quiet until one succeeds).
        if (now_ms() < resume_ms_) return 1;
        state_ = acceptor_state::retrying;
    }
    if (!readable && state_ != acceptor_state::retrying) return 0;
    bool quiet = state_ == acceptor_state::retrying;
    int handle = accept(false);
    if (handle < 0) {
        int error = errno;
        // Out of descriptors with pending connections held: free one and try again next cycle.
        if ((error == EMFILE || error == ENFILE) && pending_->shed_one()) return 1;
        if (!quiet) report_sockerr(*this, "accept failed", error);
        return accept_failed(error, quiet);
    }
    state_ = acceptor_state::accepting;
    if (descriptors_short(handle)) pending_->shed_one();
    take(handle);
    return data_->session().multicall ? 1 : -1;
}

int main_acceptor::accept_failed(int error, bool quiet) {
    bool out_of_resources = error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
    if (!quiet) report(*this, "error during accept\n");
    if (!quiet && out_of_resources) metrics::process().count(metrics::failure::out_of_descriptors);
    if (!out_of_resources) {
        state_ = acceptor_state::accepting;
        return 1;
    }
    // The pending connection stays readable until a descriptor is free: stop asking for it
    // (the kernel's backlog keeps the clients waiting) and look again shortly.
    state_ = acceptor_state::paused;
    resume_ms_ = now_ms() + pause_ms;
    set_deadline(resume_ms_);
    return 1;
}

int listen_backlog() {
    // The kernel caps a larger backlog at its own limit; read it so the intent is visible.
    int backlog = SOMAXCONN;
    if (FILE* f = std::fopen("/proc/sys/net/core/somaxconn", "r")) {
        int value = 0;
        if (std::fscanf(f, "%d", &value) == 1 && value > backlog) backlog = value;
        std::fclose(f);
    }
    return backlog;
}

void main_acceptor::take(int handle) {
    const char* login = data_->session().login;
    const login_kind* kind = find_login(login);
    if (!kind) {
        report(*this, "configuration error. unknown protocol: %s\n", login);
        ::close(handle);
        return;
    }
    std::string source = source_address(handle);
    if (pending_->admit(source) != pending_peers::verdict::admitted) {
        ::close(handle);  // at once: a refused stranger costs nothing more
        return;
    }
    dispatch(handle, *kind, source);
}

}  // namespace orv
