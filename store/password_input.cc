#include "store/password_input.h"

#include <cstring>

#include <sys/prctl.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

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

std::string password_prompt(const std::string& path) { return "Enter password for \"" + path + "\":"; }

std::string new_password_prompt(const std::string& path) { return "Enter new password for \"" + path + "\":"; }

bool read_password(password_buffer& buf, const std::string& prompt) {
    buf.clear();
    if (EVP_read_pw_string(buf.data(), static_cast<int>(password_buffer::capacity), prompt.c_str(), 0) != 0) {
        buf.clear();
        return false;
    }
    return !buf.empty();
}

bool take_password_argument(password_buffer& buf, char* argument) {
    bool fits = buf.assign(argument);
    OPENSSL_cleanse(argument, std::strlen(argument));
    return fits;
}

bool make_undumpable() { return prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0; }

}  // namespace orv
