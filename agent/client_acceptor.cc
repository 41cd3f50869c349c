#include "agent/client_acceptor.h"

#include <cstdio>
#include <new>

#include <unistd.h>

#include "agent/connection_data.h"
#include "agent/forwarder.h"
#include "agent/login.h"
#include "agent/pair.h"
#include "agent/program.h"
#include "agent/simpledata.h"
#include "agent/stdssl.h"
#include "net/selector.h"
#include "protocols/ftp/ftp_c_proto.h"
#include "protocols/oracle/oracle_c_proto.h"
#include "protocols/progress/progress_c_proto.h"

namespace orv {

namespace {

// The plain end over an accepted handle, by the login's protocol; null when out of memory.
relaysocket* new_plain_end(const reporter& parent, connection_data& data, int handle, const channel_header& header,
                           login_protocol protocol) {
    switch (protocol) {
        case login_protocol::plain: return new (std::nothrow) simpledata(parent, data, handle, header);
        case login_protocol::ftp: return new (std::nothrow) ftp_c_proto(parent, data, handle, header);
        case login_protocol::progress: return new (std::nothrow) progress_c_proto(parent, data, handle, header);
        case login_protocol::oracle: return new (std::nothrow) oracle_c_proto(parent, data, handle, header);
    }
    return nullptr;
}

void client_usage() {
    std::fprintf(stderr, "Orvane client forwarder version %s\n", agent_version_text);
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
}

main_acceptor* make_client_acceptor(const reporter& parent, connection_data* data) {
    return new (std::nothrow) client_acceptor(parent, data);
}

}  // namespace

client_acceptor::client_acceptor(const reporter& parent, connection_data* data)
    : reporter(parent), main_acceptor(parent, data) {}

void client_acceptor::dispatch(int handle, const login_kind& login, const std::string& source) {
    channel_header header = control_channel_header();
    relaysocket* plain = new_plain_end(*this, *data(), handle, header, login.protocol);
    if (!plain) {
        report(*this, "out of memory\n");
        ::close(handle);
    }
    stdssl* ssl = new (std::nothrow) stdssl(*this, *data(), header);
    if (!ssl) report(*this, "out of memory\n");
    if (ssl && login.sends_header && !ssl->queue_header()) ssl->clear_ok();

    if (!plain || !ssl || !plain->ok() || !ssl->ok() || selectors().empty()) {
        report(*this, "%s", login.pair_failure);
        delete plain;
        delete ssl;
        return;
    }
    // Until its tunnel is up the local connection counts against its address (every local user
    // is 127.0.0.1, but a wider bindaddr lets others in); its lines are never held back, since
    // they are about the far agent.
    plain->hold_pending(pending(), source, false);
    open_relayed(*selectors().front(), plain, ssl);
}

const agent_program& client_program() {
    static const agent_program program{client_usage, connection_role::client, true, make_client_acceptor};
    return program;
}

}  // namespace orv
