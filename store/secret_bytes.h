// A byte buffer for key material: cleared before its memory is released.
#pragma once

#include <cstddef>
#include <vector>

#include <openssl/crypto.h>

namespace orv {

struct secret_bytes {
    std::vector<unsigned char> data;
    explicit secret_bytes(size_t n = 0) : data(n) {}
    ~secret_bytes() { OPENSSL_cleanse(data.data(), data.size()); }
    secret_bytes(const secret_bytes&) = delete;
    secret_bytes& operator=(const secret_bytes&) = delete;
    secret_bytes(secret_bytes&& other) noexcept : data(std::move(other.data)) {}
    secret_bytes& operator=(secret_bytes&& other) noexcept {
        OPENSSL_cleanse(data.data(), data.size());
        data = std::move(other.data);
        return *this;
    }

    unsigned char* get() { return data.data(); }
    const unsigned char* get() const { return data.data(); }
    size_t size() const { return data.size(); }
};

}  // namespace orv
