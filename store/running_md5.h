// The running digest of the reliable stream: MD5 started from caller-chosen chaining values and
// continued after every result (the bit count keeps counting hashed data, never padding).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace orv {

class running_md5 {
public:
    static constexpr size_t size = 16;

    running_md5();
    ~running_md5();
    running_md5(const running_md5&) = delete;
    running_md5& operator=(const running_md5&) = delete;

    // Restarts from a 16-byte seed read as the little-endian words A, B, C, D.
    void reset(const unsigned char seed[size]);
    void update(const void* data, size_t len);
    // RFC 1321 finalisation; hashing goes on afterwards from the state it leaves.
    void result(unsigned char out[size]);

private:
    struct state;
    std::unique_ptr<state> state_;
};

}  // namespace orv
