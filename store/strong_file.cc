#include "store/strong_file.h"

#include <cstring>

#include <openssl/rand.h>

namespace orv {

namespace {

constexpr size_t version_at = 8;
constexpr size_t kdf_at = 9;
constexpr size_t log2_n_at = 10;
constexpr size_t cipher_at = 11;
constexpr size_t r_at = 12;
constexpr size_t p_at = 16;
constexpr size_t salt_at = 20;
constexpr size_t nonce_at = 36;
static_assert(nonce_at + gcm_nonce_size == strong_header_size);

const unsigned char* bytes_of(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

uint32_t read_le32(const unsigned char* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void put_le32(std::string& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>(v >> (8 * i));
}

}  // namespace

bool has_strong_magic(const std::string& file) {
    return file.size() >= sizeof strong_magic && std::memcmp(file.data(), strong_magic, sizeof strong_magic) == 0;
}

header_status read_strong_header(const std::string& file, strong_header& h) {
    // A file too short for header and tag has been cut.
    if (file.size() < strong_header_size + gcm_tag_size) return header_status::truncated;
    const unsigned char* b = bytes_of(file);
    h.version = b[version_at];
    h.kdf = b[kdf_at];
    h.params.log2_n = b[log2_n_at];
    h.cipher = b[cipher_at];
    h.params.r = read_le32(b + r_at);
    h.params.p = read_le32(b + p_at);
    std::memcpy(h.salt, b + salt_at, sizeof h.salt);
    std::memcpy(h.nonce, b + nonce_at, sizeof h.nonce);
    if (h.version != strong_version) return header_status::unknown_version;
    if (h.kdf != strong_kdf_scrypt) return header_status::unknown_kdf;
    if (h.cipher != strong_cipher_aes_256_gcm) return header_status::unknown_cipher;
    if (!kdf_params_acceptable(h.params)) return header_status::unsupported_params;
    return header_status::ok;
}

std::optional<std::string> seal_strong_file(const std::string& text, const strong_keys& keys) {
    std::string file(strong_header_size, '\0');
    std::memcpy(file.data(), strong_magic, sizeof strong_magic);
    file[version_at] = static_cast<char>(strong_version);
    file[kdf_at] = static_cast<char>(strong_kdf_scrypt);
    file[log2_n_at] = static_cast<char>(keys.params().log2_n);
    file[cipher_at] = static_cast<char>(strong_cipher_aes_256_gcm);
    put_le32(file, r_at, keys.params().r);
    put_le32(file, p_at, keys.params().p);
    std::memcpy(file.data() + salt_at, keys.salt(), strong_salt_size);
    auto* nonce = reinterpret_cast<unsigned char*>(file.data() + nonce_at);
    if (RAND_bytes(nonce, gcm_nonce_size) != 1) return std::nullopt;
    // The header is the additional data: no byte of it can change unnoticed.
    std::string header = file;
    if (!gcm_seal(keys.text_key(), bytes_of(header) + nonce_at, bytes_of(header), strong_header_size, bytes_of(text),
                  text.size(), file)) {
        return std::nullopt;
    }
    return file;
}

std::optional<secret_bytes> open_strong_file(const std::string& file, const strong_keys& keys) {
    if (file.size() < strong_header_size + gcm_tag_size) return std::nullopt;
    const unsigned char* b = bytes_of(file);
    return gcm_open(keys.text_key(), b + nonce_at, b, strong_header_size, b + strong_header_size,
                    file.size() - strong_header_size);
}

}  // namespace orv
