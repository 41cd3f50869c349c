#include "editor/key_material.h"

#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "editor/distinguished_name.h"

namespace orv {

namespace {

using bignum_ptr = std::unique_ptr<BIGNUM, openssl_deleter<BIGNUM, BN_free>>;

bool store_new_key(command_record& rec, const char* name) {
    if (rec.key_bits < min_key_bits || rec.key_bits > max_key_bits) return false;
    evp_pkey_ptr key = make_rsa_key(rec.key_bits);
    if (!key || EVP_PKEY_get_size(key.get()) * 8 < min_key_bits) return false;
    std::optional<std::string> hex = rec.store->encrypt_key_for_file(key.get(), rec.password.c_str(), rec.cipher_name);
    if (!hex) return false;
    return rec.store->tree().put_text("keys", name, hex->c_str()) == 0;
}

// Prints the request as text followed by its PEM block.
bool save_request(BIO* out, X509_REQ* req) {
    return X509_REQ_print(out, req) == 1 && PEM_write_bio_X509_REQ(out, req) == 1 && BIO_flush(out) == 1;
}

}  // namespace

evp_pkey_ptr make_rsa_key(int bits) {
    evp_pkey_ctx_ptr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    bignum_ptr exponent(BN_new());
    if (!ctx || !exponent || BN_set_word(exponent.get(), key_public_exponent) != 1) return nullptr;
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) != 1 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), exponent.get()) != 1 ||
        EVP_PKEY_generate(ctx.get(), &key) != 1) {
        return nullptr;
    }
    return evp_pkey_ptr(key);
}

x509_req_ptr make_request(EVP_PKEY* key, X509_NAME* subject) {
    x509_req_ptr req(X509_REQ_new());
    if (!req || X509_REQ_set_version(req.get(), 0) != 1 || X509_REQ_set_subject_name(req.get(), subject) != 1 ||
        X509_REQ_set_pubkey(req.get(), key) != 1 || X509_REQ_sign(req.get(), key, EVP_sha256()) <= 0) {
        return nullptr;
    }
    return req;
}

bool generate_key(command_record& rec) {
    const char* name = rec.object_name();
    if (name == nullptr) {
        BIO_printf(rec.sink, "generate sub-command requires object name (-N)\n");
        return false;
    }
    bool stored = store_new_key(rec, name);
    rec.changed = true;
    return stored;
}

bool write_request(command_record& rec) {
    const char* name = rec.object_name();
    if (name == nullptr) {
        BIO_printf(rec.sink, "request sub-command requires object name (-N)\n");
        return false;
    }
    if (!rec.cert_file) {
        BIO_printf(rec.sink, "output file name (-O) is missing\n");
        return false;
    }
    bio_ptr out(BIO_new_file(rec.cert_file->c_str(), "w"));
    if (!out) {
        BIO_printf(rec.sink, "unable to open output file: %s\n", rec.cert_file->c_str());
        return false;
    }
    if (!rec.subject) {
        BIO_printf(rec.sink, "request sub-command requires subject name (-D)\n");
        return false;
    }
    x509_name_ptr subject = parse_distinguished_name(*rec.subject);
    if (!subject) {
        BIO_printf(rec.sink, "invalid distinguished name \"%s\"\n", rec.subject->c_str());
        return false;
    }
    evp_pkey_ptr key = config_store::decrypt_key(rec.store->key_text(name), rec.password.c_str(), rec.cipher_name);
    x509_req_ptr req = key ? make_request(key.get(), subject.get()) : nullptr;
    if (!req) {
        BIO_printf(rec.sink, "unable to generate certificate request\n");
        return false;
    }
    if (!save_request(out.get(), req.get())) {
        BIO_printf(rec.sink, "unable to save certificate request\n");
        return false;
    }
    return true;
}

}  // namespace orv
