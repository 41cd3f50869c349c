#include "store/config_store.h"

#include <cstring>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "store/secret_bytes.h"
#include "store/strong_keys.h"

namespace orv {

namespace {

constexpr const char* status_texts[] = {
    "ok",
    "invalid root certificate",
    "invalid user certificate",
    "user certificate does'nt match key",
    "required parameter is missing",
    "root certificate is not yet valid",
    "root certificate has expired",
    "user certificate is not yet valid",
    "user certificate has expired",
};

const char* flag_text(int v) { return v != 0 ? "1" : "0"; }

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(sep, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

}  // namespace

const char* session_status_text(int status) {
    if (status < 0 || status > 8) return "unknown";
    return status_texts[status];
}

std::string hex_encode(const unsigned char* data, size_t len) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(len * 2);
    for (size_t i = 0; i < len; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0f];
    }
    return out;
}

static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::optional<std::string> hex_decode(const std::string& text) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::string out;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = hex_digit(text[i]);
        int lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi << 4 | lo);
    }
    return out;
}

std::string partner_entry_name(const std::string& partner_name) {
    return "partner" + hex_encode(reinterpret_cast<const unsigned char*>(partner_name.data()), partner_name.size());
}

bool derive_key_iv(const EVP_CIPHER* cipher, const char* password, unsigned char* key, unsigned char* iv) {
    if (cipher == nullptr || password == nullptr) return false;
    return EVP_BytesToKey(cipher, EVP_md5(), nullptr, reinterpret_cast<const unsigned char*>(password),
                          static_cast<int>(std::strlen(password)), 1, key, iv) > 0;
}

// ---- sessions ----

std::vector<std::string> config_store::session_list() const {
    std::vector<std::string> names;
    const char* list = tree_.get_text(config_tree::default_section, "sessions");
    if (list == nullptr) return names;
    for (const std::string& name : split(list, ',')) {
        if (name.size() < 256 && tree_.find_section(name) != nullptr) names.push_back(name);
    }
    return names;
}

std::optional<session_record> config_store::session(const char* name) const {
    if (name == nullptr) return std::nullopt;
    const config_section* section = tree_.find_section(name);
    if (section == nullptr) return std::nullopt;
    session_record r;
    r.name = section->name().c_str();
    for (const session_field& f : session_fields) {
        if (f.kind == field_kind::text) r.*f.text = tree_.get_text(name, f.key);
        else r.*f.number = tree_.get_number(name, f.key);
    }
    return r;
}

bool config_store::add_to_session_list(const char* name) {
    const char* current = tree_.get_text(config_tree::default_section, "sessions");
    if (current == nullptr) return tree_.put_text(config_tree::default_section, "sessions", name) == 0;
    for (const std::string& element : split(current, ',')) {
        if (element == name) return true;
    }
    std::string list = current;
    if (!list.empty()) list += ',';
    list += name;
    return tree_.put_text(config_tree::default_section, "sessions", list.c_str()) == 0;
}

bool config_store::insert_session(const session_record& v) {
    const char* s = v.name;
    if (s == nullptr) return false;
    bool ok = add_to_session_list(s);
    auto put = [&](const char* key, const char* value) { ok = ok && tree_.put_text(s, key, value) == 0; };
    // A missing required text fails the put, and with it the whole insert.
    for (const session_field& f : session_fields) {
        switch (f.kind) {
            case field_kind::text:
                if (f.required != 0 || v.*f.text != nullptr) put(f.key, v.*f.text);
                break;
            case field_kind::flag: put(f.key, flag_text(v.*f.number)); break;
            case field_kind::number: put(f.key, std::to_string(v.*f.number).c_str()); break;
        }
    }
    if (!ok) delete_session(s);
    return ok;
}

bool config_store::delete_session(const char* name) {
    if (name == nullptr) return false;
    const char* current = tree_.get_text(config_tree::default_section, "sessions");
    if (current == nullptr) return false;
    std::string list;
    for (const std::string& element : split(current, ',')) {
        if (element.empty() || element == name) continue;
        if (!list.empty()) list += ',';
        list += element;
    }
    tree_.put_text(config_tree::default_section, "sessions", list.c_str());
    bool existed = tree_.find_section(name) != nullptr;
    if (existed) tree_.remove(name, nullptr);
    return existed;
}

// ---- partners ----

std::vector<std::string> config_store::partner_list(const char* session) const {
    std::vector<std::string> values;
    if (session == nullptr) return values;
    if (const config_section* s = tree_.find_section(session)) {
        for (const config_entry& e : s->entries()) {
            if (e.name.compare(0, 7, "partner") == 0) values.push_back(e.value);
        }
    }
    return values;
}

bool config_store::insert_partner(const char* session, const std::string& partner, const partner_fields& fields) {
    if (session == nullptr) return false;
    // The value stops after the last given field; a missing field before a given one is empty.
    const std::optional<std::string>* given[] = {&fields.mapped_name, &fields.ip_address, &fields.netmask};
    int last = -1;
    for (int i = 0; i < 3; ++i) {
        if (given[i]->has_value()) last = i;
    }
    std::string value = partner;
    for (int i = 0; i <= last; ++i) {
        value += '\t';
        value += given[i]->value_or("");
    }
    return tree_.put_text(session, partner_entry_name(partner).c_str(), value.c_str()) == 0;
}

bool config_store::delete_partner(const char* session, const std::string& partner) {
    if (session == nullptr) return false;
    return tree_.remove(session, partner_entry_name(partner).c_str()) == 0;
}

// ---- keys ----

const char* config_store::key_text(const char* name) const {
    if (name == nullptr) return nullptr;
    const config_section* keys = tree_.find_section("keys");
    if (keys == nullptr) return nullptr;
    const std::string* v = keys->find(name);
    return v != nullptr ? v->c_str() : nullptr;
}

namespace {

evp_pkey_ptr rsa_key_of(const unsigned char* der, size_t len) {
    const unsigned char* p = der;
    return evp_pkey_ptr(d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(len)));
}

std::optional<secret_bytes> der_of(EVP_PKEY* pkey) {
    int der_len = i2d_PrivateKey(pkey, nullptr);
    if (der_len <= 0) return std::nullopt;
    secret_bytes der(static_cast<size_t>(der_len));
    unsigned char* p = der.get();
    if (i2d_PrivateKey(pkey, &p) != der_len) return std::nullopt;
    return der;
}

// A strong key text opens through the keys of a loaded strong file with the same password.
evp_pkey_ptr decrypt_strong_key(const char* text, const char* password) {
    std::optional<std::string> sealed = hex_decode(text + std::strlen(strong_key_prefix));
    if (!sealed) return nullptr;
    for (const strong_keys* keys : strong_keys::unlocked_by(password)) {
        std::optional<secret_bytes> der = keys->open_key(*sealed, strong_key_prefix);
        if (der) return rsa_key_of(der->get(), der->size());
    }
    return nullptr;
}

}  // namespace

bool is_strong_key_text(const char* text) {
    return text != nullptr && std::strncmp(text, strong_key_prefix, std::strlen(strong_key_prefix)) == 0;
}

evp_pkey_ptr config_store::decrypt_key(const char* hex, const char* password, const char* cipher_name) {
    if (hex == nullptr || password == nullptr) return nullptr;
    if (is_strong_key_text(hex)) return decrypt_strong_key(hex, password);
    if (cipher_name == nullptr) return nullptr;
    std::optional<std::string> encrypted = hex_decode(hex);
    const EVP_CIPHER* cipher = EVP_get_cipherbyname(cipher_name);
    if (!encrypted || cipher == nullptr) return nullptr;
    unsigned char key[EVP_MAX_KEY_LENGTH];
    unsigned char iv[EVP_MAX_IV_LENGTH];
    secret_bytes der(encrypted->size() + EVP_MAX_BLOCK_LENGTH);
    evp_cipher_ctx_ptr ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    int fin = 0;
    bool ok = ctx && derive_key_iv(cipher, password, key, iv) &&
              EVP_DecryptInit_ex(ctx.get(), cipher, nullptr, key, iv) == 1 &&
              EVP_DecryptUpdate(ctx.get(), der.get(), &len, reinterpret_cast<const unsigned char*>(encrypted->data()),
                                static_cast<int>(encrypted->size())) == 1;
    // A failing final contributes no bytes; the DER decode then decides.
    if (ok && EVP_DecryptFinal_ex(ctx.get(), der.get() + len, &fin) != 1) fin = 0;
    OPENSSL_cleanse(key, sizeof key);
    OPENSSL_cleanse(iv, sizeof iv);
    OPENSSL_cleanse(encrypted->data(), encrypted->size());
    if (!ok) return nullptr;
    return rsa_key_of(der.get(), static_cast<size_t>(len + fin));
}

std::optional<std::string> config_store::encrypt_key(EVP_PKEY* pkey, const char* password, const char* cipher_name) {
    if (pkey == nullptr || password == nullptr || cipher_name == nullptr) return std::nullopt;
    const EVP_CIPHER* cipher = EVP_get_cipherbyname(cipher_name);
    std::optional<secret_bytes> der = cipher != nullptr ? der_of(pkey) : std::nullopt;
    if (!der) return std::nullopt;
    unsigned char key[EVP_MAX_KEY_LENGTH];
    unsigned char iv[EVP_MAX_IV_LENGTH];
    std::vector<unsigned char> out(der->size() + EVP_MAX_BLOCK_LENGTH);
    evp_cipher_ctx_ptr ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    int fin = 0;
    bool ok = ctx && derive_key_iv(cipher, password, key, iv) &&
              EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key, iv) == 1 &&
              EVP_EncryptUpdate(ctx.get(), out.data(), &len, der->get(), static_cast<int>(der->size())) == 1 &&
              EVP_EncryptFinal_ex(ctx.get(), out.data() + len, &fin) == 1;
    OPENSSL_cleanse(key, sizeof key);
    OPENSSL_cleanse(iv, sizeof iv);
    if (!ok) return std::nullopt;
    return hex_encode(out.data(), static_cast<size_t>(len + fin));
}

std::optional<std::string> config_store::encrypt_key_for_file(EVP_PKEY* pkey, const char* password,
                                                              const char* cipher_name) const {
    const std::shared_ptr<const strong_keys>& keys = tree_.protection();
    if (!keys) return encrypt_key(pkey, password, cipher_name);
    // Keys that another password unlocked would make a key this password cannot open.
    std::optional<secret_bytes> der = pkey != nullptr && keys->opens_with(password) ? der_of(pkey) : std::nullopt;
    if (!der) return std::nullopt;
    std::optional<std::string> sealed = keys->seal_key(der->get(), der->size(), strong_key_prefix);
    if (!sealed) return std::nullopt;
    return strong_key_prefix + hex_encode(reinterpret_cast<const unsigned char*>(sealed->data()), sealed->size());
}

bool config_store::reencrypt_keys(const char* old_password, const char* old_cipher, const char* new_password,
                                  const char* new_cipher) {
    for (const std::string& name : tree_.section_names("keys")) {
        evp_pkey_ptr key = decrypt_key(key_text(name.c_str()), old_password, old_cipher);
        if (!key) return false;
        std::optional<std::string> hex = encrypt_key_for_file(key.get(), new_password, new_cipher);
        if (!hex || tree_.put_text("keys", name.c_str(), hex->c_str()) != 0) return false;
    }
    return true;
}

bool config_store::change_protection(const char* old_password, const char* new_password,
                                     std::shared_ptr<const strong_keys> keys, const char* cipher_name) {
    // Held here, the old keys stay unlocked while the stored keys are re-encrypted.
    std::shared_ptr<const strong_keys> old_keys = tree_.protection();
    tree_.set_protection(std::move(keys));
    if (reencrypt_keys(old_password, cipher_name, new_password, cipher_name)) return true;
    tree_.set_protection(std::move(old_keys));
    return false;
}

// ---- certificates ----

x509_ptr config_store::decode_cert(const char* section, const char* name) const {
    if (name == nullptr) return nullptr;
    const config_section* s = tree_.find_section(section);
    const std::string* hex = s != nullptr ? s->find(name) : nullptr;
    if (hex == nullptr) return nullptr;
    std::optional<std::string> der = hex_decode(*hex);
    if (!der) return nullptr;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der->data());
    return x509_ptr(d2i_X509(nullptr, &p, static_cast<long>(der->size())));
}

bool config_store::encode_cert(const char* section, const char* name, X509* cert) {
    if (name == nullptr || cert == nullptr) return false;
    unsigned char* der = nullptr;
    int len = i2d_X509(cert, &der);
    if (len <= 0) return false;
    std::string hex = hex_encode(der, static_cast<size_t>(len));
    OPENSSL_free(der);
    return tree_.put_text(section, name, hex.c_str()) == 0;
}

bool config_store::delete_entry(const char* section, const char* name) {
    return name != nullptr && tree_.remove(section, name) == 0;
}

// ---- random seed ----

int config_store::load_random_seed() const {
    const char* hex = tree_.get_text(config_tree::default_section, "randseed");
    if (hex == nullptr) return 0;
    std::optional<std::string> bytes = hex_decode(hex);
    if (!bytes) return 0;
    RAND_seed(bytes->data(), static_cast<int>(bytes->size()));
    int n = static_cast<int>(bytes->size());
    OPENSSL_cleanse(bytes->data(), bytes->size());
    return n;
}

bool config_store::save_random_seed() {
    unsigned char seed[1024];
    if (RAND_bytes(seed, sizeof seed) != 1) return false;
    std::string hex = hex_encode(seed, sizeof seed);
    OPENSSL_cleanse(seed, sizeof seed);
    bool ok = tree_.put_text(config_tree::default_section, "randseed", hex.c_str()) == 0;
    OPENSSL_cleanse(hex.data(), hex.size());
    return ok;
}

// ---- validation ----

int config_store::validate_session(const char* name, const char* password, const char* key_cipher) const {
    std::optional<session_record> r = session(name);
    if (!r) return session_missing_parameter;
    for (const session_field& f : session_fields) {
        if (f.required != 0 && (*r).*f.text == nullptr) return session_missing_parameter;
    }
    x509_ptr root_cert = root(r->root);
    if (!root_cert) return session_invalid_root;
    EVP_PKEY* root_key = X509_get0_pubkey(root_cert.get());
    if (root_key == nullptr || X509_verify(root_cert.get(), root_key) <= 0 ||
        X509_NAME_cmp(X509_get_subject_name(root_cert.get()), X509_get_issuer_name(root_cert.get())) != 0) {
        return session_invalid_root;
    }
    if (r->noclientauth != 0) return session_ok;
    x509_ptr user_cert = certificate(r->cert);
    if (!user_cert) return session_invalid_user_cert;
    evp_pkey_ptr key = decrypt_key(key_text(r->key), password, key_cipher);
    if (!key || X509_check_private_key(user_cert.get(), key.get()) != 1) {
        return session_key_mismatch;
    }
    if (X509_cmp_current_time(X509_get0_notBefore(root_cert.get())) > 0) return session_root_not_yet_valid;
    if (X509_cmp_current_time(X509_get0_notAfter(root_cert.get())) < 0) return session_root_expired;
    if (X509_cmp_current_time(X509_get0_notBefore(user_cert.get())) > 0) return session_user_not_yet_valid;
    if (X509_cmp_current_time(X509_get0_notAfter(user_cert.get())) < 0) return session_user_expired;
    return session_ok;
}

}  // namespace orv
