// Store operations on the configuration tree: the session schema, partner entries, certificates,
// encrypted RSA keys, the random seed and session validation. Nothing here prints; failures come
// back as results and the caller chooses the message.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "store/config_tree.h"
#include "store/openssl_ptr.h"
#include "store/session_fields.h"

namespace orv {

// Partner fields after the partner name; none (nullopt) stops the value, as in the stored form.
struct partner_fields {
    std::optional<std::string> mapped_name;
    std::optional<std::string> ip_address;
    std::optional<std::string> netmask;
};

enum session_status {
    session_ok = 0,
    session_invalid_root = 1,
    session_invalid_user_cert = 2,
    session_key_mismatch = 3,
    session_missing_parameter = 4,
    session_root_not_yet_valid = 5,
    session_root_expired = 6,
    session_user_not_yet_valid = 7,
    session_user_expired = 8,
};

const char* session_status_text(int status);

std::string hex_encode(const unsigned char* data, size_t len);
// Even length and hex digits of either case; nullopt otherwise.
std::optional<std::string> hex_decode(const std::string& text);
std::string partner_entry_name(const std::string& partner_name);

// A stored key of a strong file: this prefix, then the hex of nonce | ciphertext | tag of its DER
// form under AES-256-GCM with the file's RSA key subkey (store/strong_keys.h) and the prefix as
// additional data. Classic key texts are hex digits alone.
inline constexpr const char* strong_key_prefix = "AES256GCM:";
bool is_strong_key_text(const char* text);

// Derives the classic file's key and IV from a password (also used for its stored RSA keys).
bool derive_key_iv(const EVP_CIPHER* cipher, const char* password, unsigned char* key, unsigned char* iv);

class config_store {
public:
    explicit config_store(config_tree& tree) : tree_(tree) {}

    config_tree& tree() { return tree_; }

    std::vector<std::string> session_list() const;
    std::optional<session_record> session(const char* name) const;
    // Values as in the record (its `name` names the session); optional texts may be null.
    bool insert_session(const session_record& values);
    bool delete_session(const char* name);

    std::vector<std::string> partner_list(const char* session) const;
    bool insert_partner(const char* session, const std::string& partner, const partner_fields& fields);
    bool delete_partner(const char* session, const std::string& partner);

    const char* key_text(const char* name) const;
    // A classic key text decrypts with the password and the cipher; a strong one (the cipher is
    // not used) only while a strong file that the password opened is loaded.
    static evp_pkey_ptr decrypt_key(const char* text, const char* password, const char* cipher_name);
    // The classic key text.
    static std::optional<std::string> encrypt_key(EVP_PKEY* key, const char* password, const char* cipher_name);
    // The key text in the tree's format: classic, or strong under the tree's keys (which must be
    // those of `password`).
    std::optional<std::string> encrypt_key_for_file(EVP_PKEY* key, const char* password, const char* cipher_name) const;
    // Re-encrypts every stored key into the tree's format under the new password.
    bool reencrypt_keys(const char* old_password, const char* old_cipher, const char* new_password,
                        const char* new_cipher);
    // Puts the tree into the format `keys` names (null: classic) under the new password and
    // re-encrypts every key to match. On failure the tree keeps its format; keys already
    // re-encrypted keep their new text, so the caller must not save it.
    bool change_protection(const char* old_password, const char* new_password, std::shared_ptr<const strong_keys> keys,
                           const char* cipher_name);

    x509_ptr certificate(const char* name) const { return decode_cert("certs", name); }
    x509_ptr root(const char* name) const { return decode_cert("roots", name); }
    bool put_certificate(const char* name, X509* cert) { return encode_cert("certs", name, cert); }
    bool put_root(const char* name, X509* cert) { return encode_cert("roots", name, cert); }
    bool delete_entry(const char* section, const char* name);

    int load_random_seed() const;
    bool save_random_seed();

    int validate_session(const char* name, const char* password, const char* key_cipher) const;

private:
    config_tree& tree_;

    x509_ptr decode_cert(const char* section, const char* name) const;
    bool encode_cert(const char* section, const char* name, X509* cert);
    bool add_to_session_list(const char* name);
};

}  // namespace orv
