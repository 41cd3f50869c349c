// The expiry of a session's certificates as the agents report it: at start, after every reload
// and once a day while running, and in the line of a handshake that failed while our own
// certificate had expired (so the operator does not hunt a network fault).
#pragma once

#include <ctime>
#include <string>

#include <openssl/x509.h>

namespace orv {

class connection_data;
class reporter;

// A certificate that expires within this many days gets a warning line.
inline constexpr int expiry_warning_days = 30;

// For the session's user certificate and root: "WAR user certificate NAME expires on DATE, in N
// days" when it expires within expiry_warning_days of `now`, "user certificate NAME expired on
// DATE" once it has.
void report_expiry(const reporter& r, const connection_data& data, time_t now);

// " (our user certificate NAME expired on DATE)" when the session's user certificate has
// expired by `now`; empty otherwise.
std::string expired_certificate_note(const connection_data& data, time_t now);

}  // namespace orv
