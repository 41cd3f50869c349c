// The single sink of a pass: every report of every object ends here.
//
// Before each message it drains the SSL library's error queue, one "%ld:%s:%s:%d\n" line per
// queued error (thread id, error string, source file, line), so that a report is preceded by the
// library errors that caused it. The BIO is not owned: the application object frees it after the
// sink is gone.
#pragma once

#include <cstdarg>

#include <openssl/bio.h>

#include "net/reporter.h"
#include "store/openssl_ptr.h"

namespace orv {

class logsink : public reporter {
public:
    // Longest message written; longer ones are cut.
    static constexpr int max_message = 2000;

    explicit logsink(BIO* bio = nullptr);
    logsink(const logsink&) = delete;
    logsink& operator=(const logsink&) = delete;
    virtual ~logsink();

    virtual void write(const char* format, va_list args);

    BIO* bio() const { return bio_; }
    void set_bio(BIO* bio) { bio_ = bio; }

private:
    BIO* bio_;
};

// Where the lines of an object that is to stay quiet go (a connection whose source has had its
// share of log lines): nowhere. The library's queued errors are dropped with each line, so that
// they do not come before another object's message.
logsink& discarding_sink();

// Console mode: a file BIO on the standard error stream (not closed with the BIO).
bio_ptr new_console_log();
// Daemon mode: OpenSSL's log BIO, syslog with the ident "orvng" and the daemon facility. Lines
// beginning "ERR ", "WAR ", "INF " are filed as error, warning, information with the prefix
// removed; every other line is an error.
bio_ptr new_daemon_log();

}  // namespace orv
