// The key sub-commands that create material: generate an RSA key into the store, and write a
// certificate request for a stored key.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "editor/command_record.h"
#include "store/openssl_ptr.h"

namespace orv {

inline constexpr int min_key_bits = 384;
// The library refuses RSA operations on larger moduli, so such a key could never be used.
inline constexpr int max_key_bits = 16384;
inline constexpr unsigned long key_public_exponent = 65537;

bool generate_key(command_record& rec);
bool write_request(command_record& rec);

// An RSA key of `bits` with exponent 65537; null on failure (the library's reason is queued).
evp_pkey_ptr make_rsa_key(int bits);
// A version-1 request for `subject` with the key's public half, signed with SHA-256.
x509_req_ptr make_request(EVP_PKEY* key, X509_NAME* subject);

}  // namespace orv
