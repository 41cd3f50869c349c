// The connection log: one line when a relayed connection is established, one when it ends.
#pragma once

#include <optional>
#include <string>

namespace orv {

class connection_data;
class pair;

enum connection_event { connection_connected = 0, connection_disconnected = 1 };

// The texts of one log line; missing values are already "N/A".
struct connection_log_fields {
    std::string session;
    std::string client = "N/A";
    std::string server = "N/A";
    std::string type = "N/A";
    std::string dname = "N/A";
    std::string cipher = "N/A";
    std::string seconds = "N/A";
    std::string bytes_in = "N/A";
    std::string bytes_out = "N/A";
};

// None while both peers are known but the handshake has not named the cipher yet: the line
// would only repeat the first one without the far agent's identity.
std::optional<std::string> format_connect_line(const connection_log_fields& f);
std::string format_disconnect_line(const connection_log_fields& f);
// The same fields for a connection still open, as the connection dump (SIGUSR1) lists it:
// "INF OPEN session: ..., seconds: ..., bytes in: ..., bytes out: ...".
std::string format_open_line(const connection_log_fields& f);
std::string format_open_line(const pair& p);

// Counts `event` of the live pair numbered `number` in the metrics and, with `write_line`, writes
// its line; nothing when no such pair.
void log_connection(connection_data& data, int event, int number, bool write_line = true);

}  // namespace orv
