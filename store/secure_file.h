// Load and save of the password-encrypted configuration file, in either of its two formats.
//
// Classic, the default: DES-EDE3-CBC (key and IV from the password by EVP_BytesToKey with MD5,
// no salt, one round) of the reliable stream, whose payload is the configuration text; the
// cipher and digest names choose its algorithms. Strong: a header with its magic, then the text
// under AES-256-GCM with a key from scrypt (store/strong_file.h). The loader tells them apart by
// the magic and leaves the strong format's keys with the tree it returns; the saver writes the
// format the tree names (config_tree::protection). Messages go to `sink`.
#pragma once

#include <memory>
#include <string>

#include <openssl/bio.h>

#include "store/config_tree.h"

namespace orv {

inline constexpr const char* file_cipher_name = "des3";
inline constexpr const char* file_digest_name = "md5";

// Returns the tree, or null after writing the reason to `sink` (a text that does not parse
// leaves its reason on the library's error queue instead). A wrong password or a damaged file
// is "Unable to read secure config file PATH" in both formats.
std::unique_ptr<config_tree> load_secure_config(const std::string& path, const char* password, const char* cipher_name,
                                                const char* digest_name, BIO* sink);

// Writes the tree to `path` through `path`.tmp, replacing the file in one rename. On failure the
// previous file is untouched and false is returned after writing the reason to `sink`.
bool save_secure_config(const config_tree& tree, const std::string& path, const char* password, const char* cipher_name,
                        const char* digest_name, BIO* sink);

// Default file path: $HOME/.orvrc, else .orvrc.
std::string default_config_path();

}  // namespace orv
