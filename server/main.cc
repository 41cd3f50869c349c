#include <cstdio>
#include <new>

#include "agent/forwarder.h"
#include "agent/program.h"
#include "server/server_acceptor.h"

namespace {

void server_usage() {
    std::fprintf(stderr, "Orvane server agent version %s\n", orv::agent_version_text);
    std::fputs(
        "===============================================\n"
        "orvserver [-p <password>] [-d] -f <conffile> <session name>\n"
        "-d -- daemon mode\n",
        stderr);
}

orv::main_acceptor* make_server_acceptor(const orv::reporter& parent, orv::connection_data* data) {
    return new (std::nothrow) orv::server_acceptor(parent, data);
}

}  // namespace

int main(int argc, char** argv) {
    static const orv::agent_program server_program{server_usage, orv::connection_role::server, false,
                                                   make_server_acceptor};
    return orv::agent_main(argc, argv, server_program);
}
