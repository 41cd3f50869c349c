// The strong file format: a header that names the format and its key derivation, then the
// configuration text under AES-256-GCM with the whole header as additional authenticated data.
//
//   offset  size  content
//        0     8  magic 89 4F 52 56 0D 0A 1A 0A ("\x89ORV\r\n\x1a\n")
//        8     1  format version, 1
//        9     1  key derivation, 1 = scrypt
//       10     1  log2 N
//       11     1  cipher, 1 = AES-256-GCM
//       12     4  r, little-endian
//       16     4  p, little-endian
//       20    16  salt
//       36    12  nonce, new at every save
//       48     L  the configuration text (L bytes), encrypted
//     48+L    16  tag
//
// The classic format has no header: it is cipher output from its first byte, so it starts with
// these eight bytes once in 2^64 files.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "store/aes_gcm.h"
#include "store/secret_bytes.h"
#include "store/strong_keys.h"

namespace orv {

inline constexpr unsigned char strong_magic[8] = {0x89, 'O', 'R', 'V', '\r', '\n', 0x1a, '\n'};
inline constexpr unsigned strong_version = 1;
inline constexpr unsigned strong_kdf_scrypt = 1;
inline constexpr unsigned strong_cipher_aes_256_gcm = 1;
inline constexpr size_t strong_header_size = 48;

struct strong_header {
    unsigned version = 0;
    unsigned kdf = 0;
    unsigned cipher = 0;
    kdf_params params;
    unsigned char salt[strong_salt_size] = {};
    unsigned char nonce[gcm_nonce_size] = {};
};

// True when `file` begins with the magic: it is read as the strong format.
bool has_strong_magic(const std::string& file);

enum class header_status { ok, truncated, unknown_version, unknown_kdf, unknown_cipher, unsupported_params };

// Reads the header of a file that has the magic; `header` is filled as far as it could be read.
header_status read_strong_header(const std::string& file, strong_header& header);

// The whole file for `text`, with a fresh nonce.
std::optional<std::string> seal_strong_file(const std::string& text, const strong_keys& keys);

// The text of a file whose header read ok, or nullopt when its tag does not verify.
std::optional<secret_bytes> open_strong_file(const std::string& file, const strong_keys& keys);

}  // namespace orv
