// AES-256-GCM with a 12-byte nonce and a 16-byte tag, for the strong file format and the RSA keys
// stored in it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "store/secret_bytes.h"

namespace orv {

inline constexpr size_t gcm_key_size = 32;
inline constexpr size_t gcm_nonce_size = 12;
inline constexpr size_t gcm_tag_size = 16;

// Appends the ciphertext of `plain` and then the tag to `out`. False on a library failure.
bool gcm_seal(const unsigned char* key, const unsigned char* nonce, const unsigned char* aad, size_t aad_len,
              const unsigned char* plain, size_t plain_len, std::string& out);

// `sealed` is ciphertext followed by the tag. The plaintext, or nullopt when the tag does not
// verify (wrong key, any changed byte of nonce, additional data, ciphertext or tag).
std::optional<secret_bytes> gcm_open(const unsigned char* key, const unsigned char* nonce, const unsigned char* aad,
                                     size_t aad_len, const unsigned char* sealed, size_t sealed_len);

}  // namespace orv
