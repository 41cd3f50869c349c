// The keys of a configuration file in the strong format.
//
//   master   = scrypt(password, salt, N, r, p), 32 bytes       the costly step, once per object
//   text key = HKDF-SHA256(master, info "orvane file text")    encrypts the configuration text
//   rsa key  = HKDF-SHA256(master, info "orvane rsa key")      encrypts each stored RSA key
//   check    = HMAC-SHA256(HKDF-SHA256(master, info "orvane password check"), password)
//                                                              in memory only: which password it is
//
// A stored RSA key is opened through the live object that its file was loaded (or created)
// with, so the agents and the editor pay for scrypt once per reading of the file, however many
// keys they open. Every object is listed in a process-wide table from its creation to its end;
// the tree of the file owns it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store/aes_gcm.h"
#include "store/secret_bytes.h"

namespace orv {

struct kdf_params {
    unsigned log2_n = 0;  // N = 2^log2_n
    uint32_t r = 0;
    uint32_t p = 0;
};

// 64 MiB and about 0.2 s of one core of a current server per guess.
inline constexpr kdf_params default_kdf_params{16, 8, 1};

// What a file may demand of the machine that reads it: the scrypt array of 128·r·N bytes at most
// 1 GiB, p at most 16, and the bytes mixed in all, 128·N·r·p, at most 4 GiB. N is a power of two
// from 2 and below 2^(16·r), as scrypt requires.
inline constexpr uint64_t kdf_memory_limit = uint64_t{1} << 30;
inline constexpr uint32_t kdf_max_p = 16;
inline constexpr uint64_t kdf_work_limit = uint64_t{1} << 32;

// 128·r·N, or UINT64_MAX when that does not fit.
uint64_t kdf_memory(const kdf_params& params);
bool kdf_params_acceptable(const kdf_params& params);

inline constexpr size_t strong_salt_size = 16;

class strong_keys {
public:
    // Runs scrypt. Null for parameters out of bounds or a library failure.
    static std::shared_ptr<const strong_keys> derive(const char* password, const kdf_params& params,
                                                     const unsigned char* salt);
    // The same with a fresh random salt: the keys of a new file, or of a file under a new password.
    static std::shared_ptr<const strong_keys> create(const char* password,
                                                     const kdf_params& params = default_kdf_params);

    // The live objects whose password is `password`, newest first.
    static std::vector<const strong_keys*> unlocked_by(const char* password);
    // How often scrypt has run in this process.
    static unsigned long derivations();

    ~strong_keys();
    strong_keys(const strong_keys&) = delete;
    strong_keys& operator=(const strong_keys&) = delete;

    const kdf_params& params() const { return params_; }
    const unsigned char* salt() const { return salt_; }
    const unsigned char* text_key() const { return text_key_; }
    bool opens_with(const char* password) const;

    // A stored key's DER form as nonce | ciphertext | tag under the RSA key subkey, with `aad`.
    std::optional<std::string> seal_key(const unsigned char* der, size_t len, const std::string& aad) const;
    std::optional<secret_bytes> open_key(const std::string& sealed, const std::string& aad) const;

private:
    strong_keys() = default;

    kdf_params params_;
    unsigned char salt_[strong_salt_size] = {};
    unsigned char text_key_[gcm_key_size] = {};
    unsigned char rsa_key_[gcm_key_size] = {};
    unsigned char check_key_[gcm_key_size] = {};
    unsigned char password_check_[32] = {};
};

}  // namespace orv
