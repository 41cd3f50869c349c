// Helpers shared by the store tests: a scratch directory, a memory sink and raw file access.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <openssl/bio.h>

#include "store/openssl_ptr.h"

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

}  // namespace orv::test
