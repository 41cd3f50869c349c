// The caps on connections that have not yet proved who they are (agent/pending_peers), as a
// session's `pending` field gives them: "TOTAL,PER_SOURCE".
#pragma once

namespace orv {

struct pending_caps {
    // Defaults that a real deployment does not meet; files without the field keep them.
    static constexpr int default_total = 4096;
    static constexpr int default_per_source = 512;

    int total = default_total;            // pending connections of all sources together
    int per_source = default_per_source;  // pending connections of one source address
};

// Parses "TOTAL,PER_SOURCE" (decimal numbers 1 to 1000000) into `*out` (may be null); null or
// empty text gives the defaults. False when the text is not of that form.
bool parse_pending_caps(const char* text, pending_caps* out);

}  // namespace orv
