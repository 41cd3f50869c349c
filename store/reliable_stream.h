// The reliable stream between the cipher layer and the configuration text.
//
//   stream    = signature block*
//   signature = seed[16] | digest("The quick brown fox ...")[16]
//   block     = length[4, little-endian, 0..4096] | payload[length] | digest(after payload)[16]
//
// One running MD5 (started from the seed) covers the whole stream, so blocks cannot be changed,
// dropped or reordered without a digest mismatch. Both directions work block by block in
// bounded memory.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "store/running_md5.h"

namespace orv {

inline constexpr size_t reliable_block_payload = 4096;
inline constexpr size_t reliable_signature_size = 32;

using byte_buffer = std::vector<unsigned char>;

class reliable_writer {
public:
    // Appends the stream bytes for `len` payload bytes to `out`.
    void write(const void* data, size_t len, byte_buffer& out);
    // Ends the stream: the signature if nothing was written, and the last block.
    void close(byte_buffer& out);

    // For tests: a fixed seed instead of 16 random bytes. False when no random bytes could be had.
    bool start(const unsigned char* fixed_seed, byte_buffer& out);
    // False once the signature's random seed could not be drawn.
    bool good() const { return good_; }

private:
    running_md5 digest_;
    std::string payload_;
    bool started_ = false;
    bool full_block_just_closed_ = false;  // a stream ending here needs no empty block
    bool closed_ = false;
    bool good_ = true;

    void close_block(byte_buffer& out);
};

class reliable_reader {
public:
    ~reliable_reader();
    // Consumes decrypted bytes and appends every verified payload to `text`.
    void feed(const unsigned char* data, size_t len, std::string& text);

    bool good() const { return good_; }
    // True when bytes of an unfinished signature or block are left over.
    bool has_partial_block() const { return !pending_.empty(); }

private:
    running_md5 digest_;
    byte_buffer pending_;
    bool signature_pending_ = true;
    bool good_ = true;

    bool take_signature();
    bool take_block(std::string& text);
};

// The signature's well-known text (52 bytes).
extern const char reliable_signature_text[];

}  // namespace orv
