#include "cert_factory.h"

#include <openssl/rsa.h>
#include <openssl/x509v3.h>

namespace orv::test {

evp_pkey_ptr make_rsa_key(int bits) { return evp_pkey_ptr(EVP_RSA_gen(static_cast<unsigned>(bits))); }

x509_ptr make_certificate(const std::string& common_name, EVP_PKEY* key, long not_before_days, long not_after_days,
                          X509* issuer, EVP_PKEY* issuer_key) {
    static long serial = 1;
    x509_ptr cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), not_before_days * 86400);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), not_after_days * 86400);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(common_name.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), issuer != nullptr ? X509_get_subject_name(issuer) : name);
    X509_sign(cert.get(), issuer_key != nullptr ? issuer_key : key, EVP_sha256());
    return cert;
}

}  // namespace orv::test
