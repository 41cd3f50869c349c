#include "server/server_acceptor.h"

#include <new>

#include <unistd.h>

#include "agent/connection_data.h"
#include "agent/pair.h"
#include "net/selector.h"
#include "server/client_end.h"
#include "server/server_context.h"

namespace orv {

server_acceptor::server_acceptor(const reporter& parent, connection_data* data)
    : reporter(parent), main_acceptor(parent, data) {
    if (!ok()) return;
    context_ = std::make_shared<server_context>(data->session().accept_timeout);
}

server_acceptor::~server_acceptor() = default;

void server_acceptor::adopt(connection_data* data) {
    main_acceptor::adopt(data);
    context_->set_lifetime(data->session().accept_timeout);
}

void server_acceptor::take_over(main_acceptor& old) {
    main_acceptor::take_over(old);
    auto* before = dynamic_cast<server_acceptor*>(&old);
    if (!before || !before->context_) return;
    int accept_timeout = data()->session().accept_timeout;
    context_ = before->context_;
    context_->set_lifetime(accept_timeout);
}

void server_acceptor::dispatch(int handle, const login_kind& login, const std::string& source) {
    client_end* end = new (std::nothrow) client_end(*this, *data(), handle, login, context_);
    if (!end) {
        report(*this, "out of memory\n");
        ::close(handle);
        return;
    }
    if (!end->ok() || selectors().empty()) {
        report(*this, "unable to create SSL socket\n");
        delete end;
        return;
    }
    // Until the client has proved itself it counts against its address, and may be quiet.
    end->hold_pending(pending(), source, true);
    // The log's client side is the TLS peer; the service end takes the server side later.
    open_relayed(*selectors().front(), end, nullptr);
}

}  // namespace orv
