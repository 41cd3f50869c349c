// The only user of the low-level MD5 interface: the stream format needs chaining values set by
// the caller, which the EVP interface does not offer.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "store/running_md5.h"

#include <openssl/crypto.h>
#include <openssl/md5.h>

namespace orv {

struct running_md5::state {
    MD5_CTX ctx;
};

running_md5::running_md5() : state_(std::make_unique<state>()) { MD5_Init(&state_->ctx); }

running_md5::~running_md5() { OPENSSL_cleanse(&state_->ctx, sizeof state_->ctx); }

static MD5_LONG little_endian_word(const unsigned char* p) {
    return static_cast<MD5_LONG>(p[0]) | static_cast<MD5_LONG>(p[1]) << 8 | static_cast<MD5_LONG>(p[2]) << 16 |
           static_cast<MD5_LONG>(p[3]) << 24;
}

void running_md5::reset(const unsigned char seed[size]) {
    MD5_Init(&state_->ctx);
    state_->ctx.A = little_endian_word(seed);
    state_->ctx.B = little_endian_word(seed + 4);
    state_->ctx.C = little_endian_word(seed + 8);
    state_->ctx.D = little_endian_word(seed + 12);
}

void running_md5::update(const void* data, size_t len) { MD5_Update(&state_->ctx, data, len); }

void running_md5::result(unsigned char out[size]) {
    // MD5_Final leaves the chaining values after the padding block and keeps the bit count,
    // which is exactly how the stream continues.
    MD5_Final(out, &state_->ctx);
}

}  // namespace orv
