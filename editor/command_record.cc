#include "editor/command_record.h"

#include <cstring>

#include <openssl/crypto.h>

namespace orv {

password_buffer::password_buffer() { clear(); }

password_buffer::~password_buffer() { clear(); }

bool password_buffer::assign(const char* text) {
    clear();
    size_t len = std::strlen(text);
    if (len >= capacity) return false;
    std::memcpy(buf_, text, len);
    return true;
}

void password_buffer::clear() { OPENSSL_cleanse(buf_, capacity); }

}  // namespace orv
