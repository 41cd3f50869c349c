// The one table of logins: what a session's `login` makes of its connections, for both agents.
// The client agent chooses its plain-side end by the protocol; orvserver chooses what watches the
// service's side of a control connection by it. A login missing from the table is refused at
// every connection with "configuration error. unknown protocol".
#pragma once

namespace orv {

enum class login_protocol {
    plain,     // bytes pass unchanged (no login, "mssql", "http")
    ftp,       // control lines are watched; PORT, EPRT, 227 and 229 open data connections
    progress,  // the broker's first message may announce a data connection
    oracle     // the listener's redirect may announce one
};

struct login_kind {
    const char* name;  // null: no login, or an empty one
    login_protocol protocol;
    bool sends_header;         // every TLS connection opens with the 8-byte channel header
    const char* pair_failure;  // the client agent's message when a connection's ends cannot be made
};

// The row for `login` (null and "" find the row of no login; names are compared exactly); null
// for a login the agents do not know.
const login_kind* find_login(const char* login);

}  // namespace orv
