// Helpers shared by the network layer's tests: a log sink that keeps what it is given, loopback
// listeners, a bounded selector loop, descriptor counting and test-time certificates.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <openssl/bio.h>
#include <openssl/ssl.h>

#include "net/logsink.h"
#include "net/selector.h"
#include "store/openssl_ptr.h"

namespace orv::test {

// A logsink writing to a memory BIO.
class captured_log {
public:
    captured_log();
    logsink& sink() { return sink_; }
    std::string text() const;  // everything written so far
    void clear();

private:
    bio_ptr bio_;
    logsink sink_;
};

// A blocking listening socket on 127.0.0.1 with a kernel-chosen port.
struct listener {
    listener();
    ~listener();
    listener(const listener&) = delete;
    listener& operator=(const listener&) = delete;
    int accept_one(int timeout_ms);  // -1 on time-out
    int fd = -1;
    int port = 0;
};

// A port on 127.0.0.1 on which nothing listens (bound, then closed).
int unused_port();

// Runs cycles until `done` holds or `limit` passes; true when `done` held.
bool run_until(selector& s, const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(10));

int open_descriptor_count();

// Blocking helpers for the peer side of a test connection, each bounded by a time-out.
bool read_exact(int fd, std::string* out, size_t n, int timeout_ms);
std::string read_until(int fd, const std::string& end, int timeout_ms);
bool write_all(int fd, const std::string& data);

// Certificates made at test time: a CA, and leaf certificates issued by it.
struct cert_and_key {
    x509_ptr cert;
    evp_pkey_ptr key;
};
cert_and_key make_ca(const char* common_name);
cert_and_key make_leaf(const cert_and_key& issuer, const char* common_name);

}  // namespace orv::test

namespace orv::test {

// tinyproxy from the system, run in the foreground on 127.0.0.1 with a configuration written
// here; stopped by its PID (SIGTERM, then SIGKILL) when this object goes.
class tinyproxy_process {
public:
    tinyproxy_process();
    ~tinyproxy_process();
    tinyproxy_process(const tinyproxy_process&) = delete;
    tinyproxy_process& operator=(const tinyproxy_process&) = delete;

    // False (with the reason in error()) when it cannot be started or does not listen in time.
    bool start();
    int port() const { return port_; }
    const std::string& error() const { return error_; }

private:
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    std::string error_;
};

}  // namespace orv::test
