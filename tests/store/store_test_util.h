// Helpers shared by the store tests: a scratch directory, a memory sink and raw file access.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <openssl/bio.h>

#include "store/openssl_ptr.h"
#include "store/session_fields.h"

namespace orv::test {

class scratch_dir {
public:
    scratch_dir() {
        char tmpl[] = "/tmp/orvstore.XXXXXX";
        path_ = ::mkdtemp(tmpl);
    }
    ~scratch_dir() { std::filesystem::remove_all(path_); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

class memory_sink {
public:
    memory_sink() : bio_(BIO_new(BIO_s_mem())) {}
    BIO* get() { return bio_.get(); }
    std::string text() {
        char* data = nullptr;
        long n = BIO_get_mem_data(bio_.get(), &data);
        return std::string(data, static_cast<size_t>(n));
    }

private:
    bio_ptr bio_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

// A session with the required values only, naming the certificate "user", the root "ca" and the
// key "userkey".
inline session_record minimal_session(const char* name) {
    session_record r;
    r.name = name;
    r.port = "1000";
    r.server = "far.example";
    r.serverport = "443";
    r.cert = "user";
    r.root = "ca";
    r.key = "userkey";
    return r;
}

}  // namespace orv::test
