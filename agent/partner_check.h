// Decides whether a far agent's certificate subject is acceptable for the session.
//
// Entries are "pattern[\tmapped name[\taddress[\tnetmask]]]". A leading '!' refuses; a trailing
// '*' makes a prefix pattern (at least one character before it). The first exact match decides;
// otherwise the longest matching prefix does (the first among equals). An empty list accepts
// everybody; a non-empty list refuses what no entry names.
#pragma once

#include <string>
#include <vector>

namespace orv {

// Returns 0 to accept, -1 to refuse. `mapped` is cleared, then set to the chosen entry's
// mapped name when it has one.
int check_partner(const std::vector<std::string>& partners, const std::string& subject, std::string& mapped);

}  // namespace orv
