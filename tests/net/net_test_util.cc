#include "tests/net/net_test_util.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/rsa.h>
#include <openssl/x509v3.h>

namespace orv::test {

captured_log::captured_log() : bio_(BIO_new(BIO_s_mem())), sink_(bio_.get()) {}

std::string captured_log::text() const {
    char* data = nullptr;
    long len = BIO_get_mem_data(bio_.get(), &data);
    return std::string(data ? data : "", len > 0 ? static_cast<size_t>(len) : 0);
}

void captured_log::clear() { (void)BIO_reset(bio_.get()); }

listener::listener() {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    ::listen(fd, 64);
    socklen_t len = sizeof sin;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    port = ntohs(sin.sin_port);
}

listener::~listener() {
    if (fd >= 0) ::close(fd);
}

int listener::accept_one(int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return -1;
    return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
}

int unused_port() {
    listener l;
    return l.port;
}

bool run_until(selector& s, const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        if (!s.cycle()) return done();
    }
    return true;
}

int open_descriptor_count() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1;  // the directory's own descriptor
}

bool read_exact(int fd, std::string* out, size_t n, int timeout_ms) {
    while (out->size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) return false;
        char buf[4096];
        ssize_t got = ::recv(fd, buf, std::min(sizeof buf, n - out->size()), 0);
        if (got <= 0) return false;
        out->append(buf, static_cast<size_t>(got));
    }
    return true;
}

std::string read_until(int fd, const std::string& end, int timeout_ms) {
    std::string text;
    while (text.find(end) == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) break;
        char c;
        if (::recv(fd, &c, 1, 0) != 1) break;
        text += c;
    }
    return text;
}

bool write_all(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

static x509_ptr new_cert(const char* common_name, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuer_key, bool is_ca) {
    static long serial = 1;
    x509_ptr cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("orv test"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(common_name), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
    X509_EXTENSION* ext =
        X509V3_EXT_conf_nid(nullptr, &ctx, NID_basic_constraints, is_ca ? "critical,CA:TRUE" : "CA:FALSE");
    X509_add_ext(cert.get(), ext, -1);
    X509_EXTENSION_free(ext);
    X509_sign(cert.get(), issuer_key, EVP_sha256());
    return cert;
}

cert_and_key make_ca(const char* common_name) {
    cert_and_key ca;
    ca.key.reset(EVP_RSA_gen(2048));
    ca.cert = new_cert(common_name, ca.key.get(), nullptr, ca.key.get(), true);
    return ca;
}

cert_and_key make_leaf(const cert_and_key& issuer, const char* common_name) {
    cert_and_key leaf;
    leaf.key.reset(EVP_RSA_gen(2048));
    leaf.cert = new_cert(common_name, leaf.key.get(), issuer.cert.get(), issuer.key.get(), false);
    return leaf;
}

}  // namespace orv::test

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sys/wait.h>

namespace orv::test {

tinyproxy_process::tinyproxy_process() {
    char templ[] = "/tmp/orv-tinyproxy-XXXXXX";
    if (mkdtemp(templ)) dir_ = templ;
}

tinyproxy_process::~tinyproxy_process() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        bool gone = false;
        for (int i = 0; i < 100 && !gone; ++i) {
            gone = waitpid(pid_, &status, WNOHANG) == pid_;
            if (!gone) usleep(20 * 1000);
        }
        if (!gone) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
    }
    if (!dir_.empty()) {
        unlink((dir_ + "/tinyproxy.conf").c_str());
        unlink((dir_ + "/tinyproxy.log").c_str());
        rmdir(dir_.c_str());
    }
}

static bool port_answers(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
    ::close(fd);
    return ok;
}

bool tinyproxy_process::start() {
    const char* binary = "/usr/bin/tinyproxy";
    if (access(binary, X_OK) != 0) {
        error_ = "no /usr/bin/tinyproxy";
        return false;
    }
    if (dir_.empty()) {
        error_ = "no temporary directory";
        return false;
    }
    port_ = unused_port();
    std::string conf = dir_ + "/tinyproxy.conf";
    {
        std::ofstream out(conf);
        out << "Port " << port_ << "\n"
            << "Listen 127.0.0.1\n"
            << "Timeout 30\n"
            << "MaxClients 20\n"
            << "LogLevel Info\n"
            << "LogFile \"" << dir_ << "/tinyproxy.log\"\n"
            << "Allow 127.0.0.1\n";
    }
    pid_ = fork();
    if (pid_ < 0) {
        error_ = "fork failed";
        return false;
    }
    if (pid_ == 0) {
        execl(binary, binary, "-d", "-c", conf.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 250; ++i) {
        if (port_answers(port_)) return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "tinyproxy exited at start";
            return false;
        }
        usleep(20 * 1000);
    }
    error_ = "tinyproxy did not listen within 5 s";
    return false;
}

}  // namespace orv::test
