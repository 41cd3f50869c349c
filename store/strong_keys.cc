#include "store/strong_keys.h"

#include <algorithm>
#include <cstring>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include "store/openssl_ptr.h"

namespace orv {

namespace {

constexpr size_t master_size = 32;
constexpr const char text_key_info[] = "orvane file text";
constexpr const char rsa_key_info[] = "orvane rsa key";
constexpr const char check_key_info[] = "orvane password check";

// Never destroyed: a tree held in a static may end after it.
std::vector<const strong_keys*>& live_keys() {
    static auto* live = new std::vector<const strong_keys*>;
    return *live;
}

unsigned long derivation_count = 0;

bool run_kdf(const char* name, OSSL_PARAM* params, unsigned char* out, size_t len) {
    evp_kdf_ptr kdf(EVP_KDF_fetch(nullptr, name, nullptr));
    evp_kdf_ctx_ptr ctx(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
    return ctx && EVP_KDF_derive(ctx.get(), out, len, params) == 1;
}

bool scrypt(const char* password, const unsigned char* salt, const kdf_params& kp, unsigned char* out) {
    uint64_t n = uint64_t{1} << kp.log2_n;
    uint32_t r = kp.r;
    uint32_t p = kp.p;
    // The library refuses more than 32 MiB unless told; it counts the p blocks and two more too.
    uint64_t maxmem = kdf_memory(kp) + 128 * uint64_t{r} * (uint64_t{p} + 2);
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, const_cast<char*>(password), std::strlen(password)),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<unsigned char*>(salt), strong_salt_size),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &n),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &r),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &p),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_MAXMEM, &maxmem),
        OSSL_PARAM_construct_end(),
    };
    ++derivation_count;
    return run_kdf("SCRYPT", params, out, master_size);
}

bool hkdf(const unsigned char* master, const char* info, unsigned char* out) {
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<unsigned char*>(master), master_size),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(info), std::strlen(info)),
        OSSL_PARAM_construct_end(),
    };
    return run_kdf("HKDF", params, out, gcm_key_size);
}

bool password_check(const unsigned char* check_key, const char* password, unsigned char* out) {
    size_t len = 0;
    return EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, check_key, gcm_key_size,
                     reinterpret_cast<const unsigned char*>(password), std::strlen(password), out, 32,
                     &len) != nullptr &&
           len == 32;
}

}  // namespace

uint64_t kdf_memory(const kdf_params& params) {
    if (params.r == 0) return 0;
    if (params.log2_n > 56) return UINT64_MAX;
    uint64_t row = uint64_t{128} << params.log2_n;
    return params.r > UINT64_MAX / row ? UINT64_MAX : row * params.r;
}

bool kdf_params_acceptable(const kdf_params& params) {
    if (params.log2_n < 1 || params.r < 1 || params.p < 1 || params.p > kdf_max_p) return false;
    // scrypt's own rule, N < 2^(16·r), which the library enforces too.
    if (params.log2_n >= 16 * uint64_t{params.r}) return false;
    uint64_t memory = kdf_memory(params);
    return memory <= kdf_memory_limit && memory * params.p <= kdf_work_limit;
}

std::shared_ptr<const strong_keys> strong_keys::derive(const char* password, const kdf_params& params,
                                                       const unsigned char* salt) {
    if (password == nullptr || !kdf_params_acceptable(params)) return nullptr;
    std::shared_ptr<strong_keys> keys(new strong_keys);
    keys->params_ = params;
    std::memcpy(keys->salt_, salt, strong_salt_size);
    unsigned char master[master_size];
    bool ok = scrypt(password, salt, params, master) && hkdf(master, text_key_info, keys->text_key_) &&
              hkdf(master, rsa_key_info, keys->rsa_key_) && hkdf(master, check_key_info, keys->check_key_) &&
              password_check(keys->check_key_, password, keys->password_check_);
    OPENSSL_cleanse(master, sizeof master);
    if (!ok) return nullptr;
    live_keys().push_back(keys.get());
    return keys;
}

std::shared_ptr<const strong_keys> strong_keys::create(const char* password, const kdf_params& params) {
    unsigned char salt[strong_salt_size];
    if (RAND_bytes(salt, sizeof salt) != 1) return nullptr;
    return derive(password, params, salt);
}

std::vector<const strong_keys*> strong_keys::unlocked_by(const char* password) {
    std::vector<const strong_keys*> found;
    if (password == nullptr) return found;
    const std::vector<const strong_keys*>& live = live_keys();
    for (auto it = live.rbegin(); it != live.rend(); ++it) {
        if ((*it)->opens_with(password)) found.push_back(*it);
    }
    return found;
}

unsigned long strong_keys::derivations() { return derivation_count; }

strong_keys::~strong_keys() {
    std::vector<const strong_keys*>& live = live_keys();
    live.erase(std::remove(live.begin(), live.end(), this), live.end());
    OPENSSL_cleanse(text_key_, sizeof text_key_);
    OPENSSL_cleanse(rsa_key_, sizeof rsa_key_);
    OPENSSL_cleanse(check_key_, sizeof check_key_);
    OPENSSL_cleanse(password_check_, sizeof password_check_);
}

bool strong_keys::opens_with(const char* password) const {
    unsigned char check[sizeof password_check_];
    bool same = password != nullptr && password_check(check_key_, password, check) &&
                CRYPTO_memcmp(check, password_check_, sizeof check) == 0;
    OPENSSL_cleanse(check, sizeof check);
    return same;
}

std::optional<std::string> strong_keys::seal_key(const unsigned char* der, size_t len, const std::string& aad) const {
    unsigned char nonce[gcm_nonce_size];
    if (RAND_bytes(nonce, sizeof nonce) != 1) return std::nullopt;
    std::string sealed(reinterpret_cast<const char*>(nonce), sizeof nonce);
    if (!gcm_seal(rsa_key_, nonce, reinterpret_cast<const unsigned char*>(aad.data()), aad.size(), der, len, sealed)) {
        return std::nullopt;
    }
    return sealed;
}

std::optional<secret_bytes> strong_keys::open_key(const std::string& sealed, const std::string& aad) const {
    if (sealed.size() < gcm_nonce_size + gcm_tag_size) return std::nullopt;
    const auto* bytes = reinterpret_cast<const unsigned char*>(sealed.data());
    return gcm_open(rsa_key_, bytes, reinterpret_cast<const unsigned char*>(aad.data()), aad.size(),
                    bytes + gcm_nonce_size, sealed.size() - gcm_nonce_size);
}

}  // namespace orv
