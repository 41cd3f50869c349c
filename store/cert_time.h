// Certificate validity as people read it: the agents' expiry lines and orvconf's session view.
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include <openssl/asn1.h>

namespace orv {

// "2026-12-10 13:09:28 UTC"; "unknown" for a time the library cannot read.
std::string certificate_time_text(const ASN1_TIME* t);

// Whole days from `now` to `t`, and whether `t` has passed; empty when `t` cannot be read.
struct days_left {
    int days;
    bool passed;
};
std::optional<days_left> days_until(const ASN1_TIME* t, time_t now);

}  // namespace orv
