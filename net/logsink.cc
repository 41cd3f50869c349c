#include "net/logsink.h"

#include <cstdio>
#include <memory>
#include <syslog.h>
#include <unistd.h>

#include <openssl/err.h>

namespace orv {

logsink::logsink(BIO* bio) : reporter(this), bio_(bio) {}

logsink::~logsink() = default;

static void write_queued_ssl_errors(BIO* bio) {
    const long thread = static_cast<long>(gettid());
    const char* file = nullptr;
    int line = 0;
    unsigned long code;
    while ((code = ERR_get_error_all(&file, &line, nullptr, nullptr, nullptr)) != 0) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        BIO_printf(bio, "%ld:%s:%s:%d\n", thread, text, file ? file : "", line);
    }
}

void logsink::write(const char* format, va_list args) {
    if (!bio_) return;
    write_queued_ssl_errors(bio_);
    std::unique_ptr<char[]> message(new (std::nothrow) char[max_message + 1]);
    if (!message) return;
    int n = vsnprintf(message.get(), max_message + 1, format, args);
    if (n < 0) return;
    if (n > max_message) n = max_message;
    BIO_write(bio_, message.get(), n);
    (void)BIO_flush(bio_);
}

namespace {

class discarding : public logsink {
public:
    void write(const char*, va_list) override { ERR_clear_error(); }
};

}  // namespace

logsink& discarding_sink() {
    static discarding sink;
    return sink;
}

bio_ptr new_console_log() {
    bio_ptr bio(BIO_new(BIO_s_file()));
    if (bio) BIO_set_fp(bio.get(), stderr, BIO_NOCLOSE);
    return bio;
}

bio_ptr new_daemon_log() {
    bio_ptr bio(BIO_new(BIO_s_log()));
    if (bio) BIO_ctrl(bio.get(), BIO_CTRL_SET, LOG_DAEMON, const_cast<char*>("orvng"));
    return bio;
}

}  // namespace orv
