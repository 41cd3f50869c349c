#include "store/aes_gcm.h"

#include <algorithm>
#include <climits>

#include <openssl/evp.h>

#include "store/openssl_ptr.h"

namespace orv {

namespace {

// The library takes int lengths; configuration texts are far below that.
bool fits_int(size_t n) { return n <= static_cast<size_t>(INT_MAX); }

evp_cipher_ctx_ptr gcm_context(bool encrypt, const unsigned char* key, const unsigned char* nonce,
                               const unsigned char* aad, size_t aad_len) {
    evp_cipher_ctx_ptr ctx(EVP_CIPHER_CTX_new());
    int ignored = 0;
    if (!ctx || !fits_int(aad_len) ||
        EVP_CipherInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr, encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(gcm_nonce_size), nullptr) != 1 ||
        EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, key, nonce, encrypt ? 1 : 0) != 1 ||
        (aad_len > 0 && EVP_CipherUpdate(ctx.get(), nullptr, &ignored, aad, static_cast<int>(aad_len)) != 1)) {
        return nullptr;
    }
    return ctx;
}

}  // namespace

bool gcm_seal(const unsigned char* key, const unsigned char* nonce, const unsigned char* aad, size_t aad_len,
              const unsigned char* plain, size_t plain_len, std::string& out) {
    evp_cipher_ctx_ptr ctx = gcm_context(true, key, nonce, aad, aad_len);
    if (!ctx || !fits_int(plain_len)) return false;
    size_t start = out.size();
    out.resize(start + plain_len + gcm_tag_size);
    auto* o = reinterpret_cast<unsigned char*>(out.data()) + start;
    int len = 0;
    int fin = 0;
    bool ok = EVP_EncryptUpdate(ctx.get(), o, &len, plain, static_cast<int>(plain_len)) == 1 &&
              EVP_EncryptFinal_ex(ctx.get(), o + len, &fin) == 1 && static_cast<size_t>(len + fin) == plain_len &&
              EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(gcm_tag_size), o + plain_len) == 1;
    if (!ok) out.resize(start);
    return ok;
}

std::optional<secret_bytes> gcm_open(const unsigned char* key, const unsigned char* nonce, const unsigned char* aad,
                                     size_t aad_len, const unsigned char* sealed, size_t sealed_len) {
    if (sealed_len < gcm_tag_size) return std::nullopt;
    size_t plain_len = sealed_len - gcm_tag_size;
    evp_cipher_ctx_ptr ctx = gcm_context(false, key, nonce, aad, aad_len);
    if (!ctx || !fits_int(plain_len)) return std::nullopt;
    // One spare byte: the library may not be handed a null output for an empty text.
    secret_bytes plain(plain_len + 1);
    unsigned char tag[gcm_tag_size];
    std::copy(sealed + plain_len, sealed + sealed_len, tag);
    int len = 0;
    int fin = 0;
    bool ok = EVP_DecryptUpdate(ctx.get(), plain.get(), &len, sealed, static_cast<int>(plain_len)) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(gcm_tag_size), tag) == 1 &&
              EVP_DecryptFinal_ex(ctx.get(), plain.get() + len, &fin) == 1;
    if (!ok) return std::nullopt;
    plain.data.resize(plain_len);  // shrinking keeps the buffer, which the destructor clears
    return plain;
}

}  // namespace orv
