#include "server/port_listener.h"

#include <unistd.h>

#include "net/inetaddr.h"
#include "server/client_end.h"
#include "server/server_context.h"

namespace orv {

port_listener::port_listener(const reporter& parent, std::shared_ptr<server_context> context, uint32_t local_net,
                             uint32_t service_net)
    : reporter(parent), socket(parent, AF_INET, SOCK_STREAM, 0), context_(std::move(context)),
      service_net_(service_net) {
    if (!ok()) return;
    inetaddr at(*this, local_net, 0);
    if (set_nonblocking(1) != 0 || bind(&at) != 0 || listen(1) != 0) {
        report(*this, "unable to listen for the FTP server's data connection\n");
        clear_ok();
        return;
    }
    std::unique_ptr<inetaddr> bound = local_address();
    if (!bound) {
        clear_ok();
        return;
    }
    port_ = ntohs(bound->port_net());
    token_ = context_->next_token++;
    context_->listeners[token_] = this;
    expires_ms_ = now_ms() + context_->lifetime_ms;
    set_deadline(expires_ms_);
}

port_listener::~port_listener() {
    if (token_) {
        context_->listeners.erase(token_);
        context_->registry.withdraw(token_);
    }
    if (waiter_) waiter_->listener_gone();
    if (held_ >= 0) ::close(held_);
}

void port_listener::finish() {
    state_ = listener_state::done;
    set_deadline(now_ms());  // the selector calls once more, and the listener ends
}

void port_listener::offer(client_end* end) {
    if (state_ == listener_state::holding) {
        int handle = held_;
        held_ = -1;
        finish();
        end->join(handle);
        return;
    }
    waiter_ = end;
}

void port_listener::forget(client_end* end) {
    if (waiter_ == end) waiter_ = nullptr;
}

int port_listener::wants_events(int* read, int* write, int* error) {
    *read = state_ == listener_state::listening ? 1 : 0;
    *write = 0;
    *error = 0;
    return handle_ >= 0 ? 1 : 0;
}

int port_listener::handle_events(int readable, int, int) {
    if (state_ == listener_state::done) return -1;
    if (now_ms() >= expires_ms_) {
        if (waiter_) {
            client_end* end = waiter_;
            waiter_ = nullptr;
            end->abandon("the FTP server did not open its data connection in time");
        }
        return -1;
    }
    if (!readable || state_ != listener_state::listening) return 0;
    int handle = accept();
    if (handle < 0) return 0;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (getpeername(handle, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        peer.sin_addr.s_addr != service_net_) {
        // Somebody else found the port: only the FTP server may use it.
        inetaddr who(*this, reinterpret_cast<const sockaddr*>(&peer));
        report(*this, "refused data connection to the FTP listener from %s\n", who.text().c_str());
        ::close(handle);
        return 0;
    }
    if (!waiter_) {
        held_ = handle;
        state_ = listener_state::holding;
        return 0;
    }
    client_end* end = waiter_;
    waiter_ = nullptr;
    state_ = listener_state::done;
    end->join(handle);
    return -1;
}

}  // namespace orv
