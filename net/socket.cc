#include "net/socket.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/rwbuf.h"

namespace orv {

namespace {

bool is_would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == ENOTCONN; }

// EAGAIN from connect() on a TCP socket means no local port was free: a failure, not a
// connect under way.
bool is_connect_pending(int error) { return error == EINPROGRESS || error == EALREADY; }

}  // namespace

void ignore_sigpipe() { signal(SIGPIPE, SIG_IGN); }

socket::socket(const reporter& parent, int handle) : iodesc(parent, handle) {}

socket::socket(const reporter& parent, int family, int type, int protocol) : iodesc(parent, -1) {
    handle_ = ::socket(family, type | SOCK_CLOEXEC, protocol);
    family_ = family;
    if (handle_ < 0) {
        report_sockerr(*this, "unable to create socket");
        clear_ok();
    }
}

socket::~socket() { socket::close(); }

int socket::close() {
    if (race_) {
        forget_handle();
        race_.reset();
        handle_ = -1;
    }
    if (handle_ >= 0) {
        forget_handle();
        ::close(handle_);
    }
    handle_ = -1;
    pending_.reset();
    return 0;
}

int socket::read(char* buf, int size) { return plain_read(buf, size); }

int socket::plain_read(char* buf, int size) {
    if (is_closed()) {
        report(*this, "tried read on closed socket\n");
        return -1;
    }
    if (is_connecting()) {
        report(*this, "tried read on connecting socket\n");
        return 0;
    }
    stamp_activity();
    errno = 0;
    ssize_t n = ::recv(handle_, buf, size, 0);
    if (n > 0) {
        bytes_read_ += n;
        return static_cast<int>(n);
    }
    // recv returning 0 is the peer's orderly close, even with a stale errno.
    if (n < 0 && (is_would_block(errno) || errno == EINTR)) return 0;
    input_end_ = n == 0 ? input_end::orderly : input_end::failed;
    return -1;
}

int socket::write(const char* data, int len) { return plain_write(data, len); }

int socket::plain_write(const char* data, int len) {
    if (is_closed()) {
        report(*this, "tried write on closed socket\n");
        return -1;
    }
    if (is_connecting()) {
        report(*this, "tried write on connecting socket\n");
        return 0;
    }
    stamp_activity();
    if (len <= 0) return 0;
    errno = 0;
    ssize_t n = ::send(handle_, data, len, MSG_NOSIGNAL);
    if (n > 0) {
        bytes_written_ += n;
        return static_cast<int>(n);
    }
    if (n < 0 && (is_would_block(errno) || errno == EINTR)) return 0;
    return -1;
}

// The buffered forms go through a read or write operation given as a member pointer, so that
// the virtual ones (read, write) and the plain ones share one body.
namespace {

template <typename Socket, typename Read>
int buffered_read(Socket* s, Read read, rwbuf* buf, int max) {
    char* at = buf->reserve(max);
    if (!at) return 0;
    int n = (s->*read)(at, max);
    if (n < 0) return -1;
    if (n > 0) buf->commit(n);
    return n;
}

template <typename Socket, typename Write>
int buffered_write(Socket* s, Write write, rwbuf* buf) {
    int len = 0;
    char* at = buf->data(&len);
    if (!at) return 0;
    int n = (s->*write)(at, len);
    if (n < 0) return -1;
    if (n > 0 && !buf->consume(n)) return -1;
    return n;
}

}  // namespace

int socket::read_into(rwbuf* buf, int max) { return buffered_read(this, &socket::read, buf, max); }

int socket::write_from(rwbuf* buf) { return buffered_write(this, &socket::write, buf); }

int socket::plain_read_into(rwbuf* buf, int max) { return buffered_read(this, &socket::plain_read, buf, max); }

int socket::plain_write_from(rwbuf* buf) { return buffered_write(this, &socket::plain_write, buf); }

int socket::bind(const address* at) {
    if (is_closed()) {
        report(*this, "tried bind on closed socket\n");
        return -1;
    }
    stamp_activity();
    int rc = ::bind(handle_, at->sockaddr_ptr(), at->length());
    if (rc != 0) report_sockerr(*this, "unable to bind");
    return rc;
}

int socket::connect(const address* to) {
    if (is_closed()) {
        report(*this, "tried connect on closed socket\n");
        return -1;
    }
    if (is_connecting()) {
        report(*this, "tried connect on connecting socket\n");
        return 0;
    }
    stamp_activity();
    if (::connect(handle_, to->sockaddr_ptr(), to->length()) == 0) return 0;
    if (is_connect_pending(errno)) {
        pending_ = std::make_unique<inetaddr>(*this, to->sockaddr_ptr());
        return 0;
    }
    report_sockerr(*this, "connect failed");
    return -1;
}

int socket::handle_family() const {
    if (handle_ < 0 || race_) return 0;
    if (family_) return family_;
    int family = 0;
    socklen_t len = sizeof family;
    if (getsockopt(handle_, SOL_SOCKET, SO_DOMAIN, &family, &len) != 0) return 0;
    return family;
}

int socket::reopen(int family) {
    // Only the handle goes: the layers above (an SSL object waiting for the connect) stay.
    socket::close();
    handle_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    family_ = family;
    if (handle_ < 0) {
        report_sockerr(*this, "unable to create socket");
        return -1;
    }
    input_end_ = input_end::open;
    handle_replaced();
    return 0;
}

int socket::start_over() {
    pending_.reset();
    return reopen(AF_INET);
}

int socket::connect_any(std::unique_ptr<connect_race> race) {
    if (is_connecting()) {
        report(*this, "tried connect on connecting socket\n");
        return 0;
    }
    if (!race || !race->usable()) {
        report_sockerr(*this, "connect failed", race ? race->error() : ENOMEM);
        return -1;
    }
    stamp_activity();
    socket::close();
    race_ = std::move(race);
    handle_ = race_->handle();
    return 0;
}

int socket::complete_connect() {
    if (is_closed() || !is_connecting()) {
        report(*this, "tried reconnect on closed or unconnected socket\n");
        return -1;
    }
    stamp_activity();
    // The kernel keeps the outcome of the non-blocking connect in SO_ERROR.
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(handle_, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
    if (error == 0) {
        // No error yet: either done or still under way; a second connect tells which.
        if (::connect(handle_, pending_->sockaddr_ptr(), pending_->length()) == 0) error = 0;
        else error = errno;
    }
    if (error == 0 || error == EISCONN) {
        pending_.reset();
        return 0;
    }
    if (is_connect_pending(error)) return 0;
    report_sockerr(*this, "connect failed", error);
    pending_.reset();
    return -1;
}

int socket::shutdown_output() {
    if (is_closed()) {
        report(*this, "tried shutdown on closed socket\n");
        return -1;
    }
    if (::shutdown(handle_, SHUT_WR) == 0 || errno == ENOTCONN) return 1;
    return -1;
}

int socket::listen(int backlog) {
    if (is_closed()) {
        report(*this, "tried listen on closed socket\n");
        return -1;
    }
    stamp_activity();
    if (::listen(handle_, backlog) != 0) {
        report_sockerr(*this, "listen failed");
        return -1;
    }
    return 0;
}

int socket::accept(bool report_failure) {
    if (is_closed()) {
        report(*this, "tried accept on closed socket\n");
        return -1;
    }
    stamp_activity();
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int h = ::accept4(handle_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (h < 0 && report_failure) {
        int error = errno;
        report_sockerr(*this, "accept failed");
        errno = error;
    }
    return h;
}

std::unique_ptr<inetaddr> socket::local_address() {
    if (is_closed()) {
        report(*this, "tried getsockname on closed socket\n");
        return nullptr;
    }
    sockaddr_storage sin{};
    socklen_t len = sizeof sin;
    if (getsockname(handle_, reinterpret_cast<sockaddr*>(&sin), &len) != 0) {
        report_sockerr(*this, "getsockname failed");
        return nullptr;
    }
    return std::make_unique<inetaddr>(*this, reinterpret_cast<const sockaddr*>(&sin));
}

std::unique_ptr<inetaddr> socket::peer_address() {
    if (is_closed()) {
        report(*this, "tried getpeername on closed socket\n");
        return nullptr;
    }
    sockaddr_storage sin{};
    socklen_t len = sizeof sin;
    if (getpeername(handle_, reinterpret_cast<sockaddr*>(&sin), &len) != 0) {
        report_sockerr(*this, "getpeername failed");
        return nullptr;
    }
    return std::make_unique<inetaddr>(*this, reinterpret_cast<const sockaddr*>(&sin));
}

int socket::set_nonblocking(int on) {
    if (is_closed()) {
        report(*this, "tried ioctl on closed socket\n");
        return -1;
    }
    int flags = fcntl(handle_, F_GETFL);
    if (flags >= 0) flags = fcntl(handle_, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
    if (flags < 0) {
        report_sockerr(*this, "ioctl FIONBIO failed");
        return -1;
    }
    return 0;
}

int socket::option(int level, int name, const char* option_name, int value) {
    if (is_closed()) {
        report(*this, "tried getopt/setopt on closed socket\n");
        return -1;
    }
    char text[64];
    if (value == -1) {
        int current = 0;
        socklen_t len = sizeof current;
        if (getsockopt(handle_, level, name, &current, &len) != 0) {
            snprintf(text, sizeof text, "unable to get socket option %s", option_name);
            report_sockerr(*this, text);
            return -1;
        }
        return current;
    }
    if (setsockopt(handle_, level, name, &value, sizeof value) != 0) {
        snprintf(text, sizeof text, "unable to set socket option %s", option_name);
        report_sockerr(*this, text);
        return -1;
    }
    return 0;
}

int socket::so_reuseaddr(int value) { return option(SOL_SOCKET, SO_REUSEADDR, "SO_REUSEADDR", value); }
int socket::so_keepalive(int value) { return option(SOL_SOCKET, SO_KEEPALIVE, "SO_KEEPALIVE", value); }
int socket::so_oobinline(int value) { return option(SOL_SOCKET, SO_OOBINLINE, "SO_OOBINLINE", value); }
int socket::tcp_nodelay(int value) { return option(IPPROTO_TCP, TCP_NODELAY, "TCP_NODELAY", value); }

int socket::queued_input() const {
    int queued = 0;
    if (handle_ < 0 || race_ || ioctl(handle_, FIONREAD, &queued) != 0) return 0;
    return queued;
}

int socket::is_busy() { return is_connecting() ? 1 : 0; }

int socket::wants_events(int* read, int* write, int* error) {
    *read = *write = *error = 0;
    if (race_) {
        *read = 1;
        return 1;
    }
    if (!is_connecting()) return 0;
    *write = *error = 1;
    return 1;
}

int socket::handle_events(int, int writable, int error) {
    if (race_) {
        switch (race_->step(now_ms())) {
            case connect_race::outcome::running: return 1;
            case connect_race::outcome::failed: {
                int err = race_->error();
                socket::close();
                report_sockerr(*this, "connect failed", err ? err : ECONNREFUSED);
                return -1;
            }
            case connect_race::outcome::connected: {
                int winner = race_->take_winner();
                forget_handle();
                race_.reset();
                handle_ = winner;
                family_ = 0;
                stamp_activity();
                handle_replaced();
                request_update();
                return 1;
            }
        }
    }
    if (!is_connecting()) return 0;
    int result = 1;
    if (writable && complete_connect() < 0) result = -1;
    if (error) {
        // Error readiness while connecting: the connect has failed.
        pending_.reset();
        result = -1;
    }
    return result;
}

}  // namespace orv
