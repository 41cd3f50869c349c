#include "store/reliable_stream.h"

#include <cstring>

#include <openssl/crypto.h>
#include <openssl/rand.h>

namespace orv {

const char reliable_signature_text[] = "The quick brown fox jumped over the lazy dog's back.";

static void append_le32(byte_buffer& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

static uint32_t read_le32(const unsigned char* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool reliable_writer::start(const unsigned char* fixed_seed, byte_buffer& out) {
    unsigned char seed[running_md5::size];
    if (fixed_seed != nullptr) {
        std::memcpy(seed, fixed_seed, sizeof seed);
    } else if (RAND_bytes(seed, sizeof seed) != 1) {
        good_ = false;
        return false;
    }
    digest_.reset(seed);
    digest_.update(reliable_signature_text, std::strlen(reliable_signature_text));
    out.insert(out.end(), seed, seed + sizeof seed);
    unsigned char check[running_md5::size];
    digest_.result(check);
    out.insert(out.end(), check, check + sizeof check);
    started_ = true;
    return true;
}

void reliable_writer::write(const void* data, size_t len, byte_buffer& out) {
    if (!started_ && !start(nullptr, out)) return;
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        size_t room = reliable_block_payload - payload_.size();
        size_t n = len < room ? len : room;
        payload_.append(p, n);
        full_block_just_closed_ = false;
        p += n;
        len -= n;
        if (payload_.size() == reliable_block_payload) {
            close_block(out);
            full_block_just_closed_ = true;
        }
    }
}

void reliable_writer::close(byte_buffer& out) {
    if (closed_) return;
    if (!started_ && !start(nullptr, out)) return;
    if (!full_block_just_closed_) close_block(out);
    closed_ = true;
}

void reliable_writer::close_block(byte_buffer& out) {
    append_le32(out, static_cast<uint32_t>(payload_.size()));
    out.insert(out.end(), payload_.begin(), payload_.end());
    digest_.update(payload_.data(), payload_.size());
    unsigned char check[running_md5::size];
    digest_.result(check);
    out.insert(out.end(), check, check + sizeof check);
    OPENSSL_cleanse(payload_.data(), payload_.size());
    payload_.clear();
}

reliable_reader::~reliable_reader() { OPENSSL_cleanse(pending_.data(), pending_.size()); }

void reliable_reader::feed(const unsigned char* data, size_t len, std::string& text) {
    if (!good_) return;
    pending_.insert(pending_.end(), data, data + len);
    while (good_) {
        bool progressed = signature_pending_ ? take_signature() : take_block(text);
        if (!progressed) break;
    }
}

bool reliable_reader::take_signature() {
    if (pending_.size() < reliable_signature_size) return false;
    digest_.reset(pending_.data());
    digest_.update(reliable_signature_text, std::strlen(reliable_signature_text));
    unsigned char check[running_md5::size];
    digest_.result(check);
    if (CRYPTO_memcmp(check, pending_.data() + running_md5::size, sizeof check) != 0) {
        good_ = false;
        return false;
    }
    pending_.erase(pending_.begin(), pending_.begin() + reliable_signature_size);
    signature_pending_ = false;
    return true;
}

bool reliable_reader::take_block(std::string& text) {
    if (pending_.size() < 4) return false;
    uint32_t len = read_le32(pending_.data());
    if (len > reliable_block_payload) {
        good_ = false;
        return false;
    }
    size_t whole = 4 + len + running_md5::size;
    if (pending_.size() < whole) return false;
    const unsigned char* payload = pending_.data() + 4;
    digest_.update(payload, len);
    unsigned char check[running_md5::size];
    digest_.result(check);
    if (CRYPTO_memcmp(check, payload + len, sizeof check) != 0) {
        good_ = false;
        return false;
    }
    text.append(reinterpret_cast<const char*>(payload), len);
    OPENSSL_cleanse(pending_.data(), whole);
    pending_.erase(pending_.begin(), pending_.begin() + whole);
    return true;
}

}  // namespace orv
