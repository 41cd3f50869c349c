// Owning smart pointers for OpenSSL objects: each frees with the library's own function.
#pragma once

#include <memory>

#include <openssl/bio.h>
#include <openssl/conf.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace orv {

template <typename T, void (*Free)(T*)>
struct openssl_deleter {
    void operator()(T* p) const { Free(p); }
};

inline void bio_free_all(BIO* b) { BIO_free_all(b); }

using bio_ptr = std::unique_ptr<BIO, openssl_deleter<BIO, bio_free_all>>;
using conf_ptr = std::unique_ptr<CONF, openssl_deleter<CONF, NCONF_free>>;
using evp_cipher_ctx_ptr = std::unique_ptr<EVP_CIPHER_CTX, openssl_deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using evp_kdf_ptr = std::unique_ptr<EVP_KDF, openssl_deleter<EVP_KDF, EVP_KDF_free>>;
using evp_kdf_ctx_ptr = std::unique_ptr<EVP_KDF_CTX, openssl_deleter<EVP_KDF_CTX, EVP_KDF_CTX_free>>;
using evp_pkey_ptr = std::unique_ptr<EVP_PKEY, openssl_deleter<EVP_PKEY, EVP_PKEY_free>>;
using evp_pkey_ctx_ptr = std::unique_ptr<EVP_PKEY_CTX, openssl_deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using x509_ptr = std::unique_ptr<X509, openssl_deleter<X509, X509_free>>;
using x509_req_ptr = std::unique_ptr<X509_REQ, openssl_deleter<X509_REQ, X509_REQ_free>>;
using x509_name_ptr = std::unique_ptr<X509_NAME, openssl_deleter<X509_NAME, X509_NAME_free>>;
using x509_store_ptr = std::unique_ptr<X509_STORE, openssl_deleter<X509_STORE, X509_STORE_free>>;
using ssl_ctx_ptr = std::unique_ptr<SSL_CTX, openssl_deleter<SSL_CTX, SSL_CTX_free>>;
using ssl_ptr = std::unique_ptr<SSL, openssl_deleter<SSL, SSL_free>>;
using ssl_session_ptr = std::unique_ptr<SSL_SESSION, openssl_deleter<SSL_SESSION, SSL_SESSION_free>>;

}  // namespace orv
