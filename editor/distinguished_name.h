// Subject names given as text, /C=US/O=Example/CN=Someone, for certificate requests.
#pragma once

#include <string>

#include "store/openssl_ptr.h"

namespace orv {

// The attribute behind a component type: a short object name of the library, with "Email"
// standing for emailAddress. NID_undef when unknown.
int subject_attribute_nid(const std::string& type);

// The ASN.1 string type a value is stored as: the smallest of PrintableString, IA5String and
// T61String that holds it; emailAddress is always IA5String, and a commonName that would be
// IA5String is T61String.
int subject_string_type(int nid, const std::string& value);

// Null when the text is not a '/'-separated list of type=value components with known types and
// non-empty values.
x509_name_ptr parse_distinguished_name(const std::string& text);

}  // namespace orv
