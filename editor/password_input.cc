#include "editor/password_input.h"

#include <openssl/evp.h>

namespace orv {

std::string password_prompt(const std::string& path) {
    return "Enter password for \"" + path + "\":";
}

std::string new_password_prompt(const std::string& path) {
    return "Enter new password for \"" + path + "\":";
}

bool read_password(password_buffer& buf, const std::string& prompt) {
    buf.clear();
    if (EVP_read_pw_string(buf.data(), static_cast<int>(password_buffer::capacity),
                           prompt.c_str(), 0) != 0) {
        buf.clear();
        return false;
    }
    return !buf.empty();
}

}  // namespace orv
