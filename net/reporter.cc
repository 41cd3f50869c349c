#include "net/reporter.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "net/logsink.h"

namespace orv {

void report(const reporter& r, const char* format, ...) {
    logsink* sink = r.sink();
    if (!sink) return;
    va_list args;
    va_start(args, format);
    sink->write(format, args);
    va_end(args);
}

const char* sockerr_text(int error) {
    // strerror invents "Unknown error N" for codes it does not know; only a real text counts.
    const char* name = strerrorname_np(error);
    if (!name) return "???";
    return strerror(error);
}

void report_sockerr(const reporter& r, const char* text) { report_sockerr(r, text, errno); }

void report_sockerr(const reporter& r, const char* text, int error) {
    report(r, "%s:%ld:%s\n", text, static_cast<long>(error), sockerr_text(error));
}

}  // namespace orv
