#include "store/pending_caps.h"

#include <cerrno>
#include <cstdlib>

namespace orv {

namespace {

// One decimal number 1 to 1000000 at `text`, ending at `end_char`; -1 otherwise.
long take_number(const char*& text, char end_char) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != end_char || errno != 0 || value < 1 || value > 1000000) return -1;
    text = end_char ? end + 1 : end;
    return value;
}

}  // namespace

bool parse_pending_caps(const char* text, pending_caps* out) {
    pending_caps c;
    if (text && *text) {
        if (*text < '0' || *text > '9') return false;
        long total = take_number(text, ',');
        if (total < 0 || *text < '0' || *text > '9') return false;
        long per_source = take_number(text, '\0');
        if (per_source < 0) return false;
        c.total = static_cast<int>(total);
        c.per_source = static_cast<int>(per_source);
    }
    if (out) *out = c;
    return true;
}

}  // namespace orv
