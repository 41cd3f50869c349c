// Makes RSA keys and X.509 certificates at test time, with chosen validity windows.
#pragma once

#include <string>

#include "store/openssl_ptr.h"

namespace orv::test {

evp_pkey_ptr make_rsa_key(int bits = 2048);

// Validity from now + not_before_days to now + not_after_days. A null issuer makes it self-signed.
x509_ptr make_certificate(const std::string& common_name, EVP_PKEY* key, long not_before_days, long not_after_days,
                          X509* issuer = nullptr, EVP_PKEY* issuer_key = nullptr);

}  // namespace orv::test
