#include "editor/distinguished_name.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>

namespace orv {

int subject_attribute_nid(const std::string& type) {
    int nid = OBJ_sn2nid(type.c_str());
    if (nid == NID_undef && type == "Email") nid = NID_pkcs9_emailAddress;
    return nid;
}

int subject_string_type(int nid, const std::string& value) {
    int type =
        ASN1_PRINTABLE_type(reinterpret_cast<const unsigned char*>(value.data()), static_cast<int>(value.size()));
    if (nid == NID_pkcs9_emailAddress) return V_ASN1_IA5STRING;
    if (nid == NID_commonName && type == V_ASN1_IA5STRING) return V_ASN1_T61STRING;
    return type;
}

namespace {

bool add_component(X509_NAME* name, const std::string& component) {
    size_t eq = component.find('=');
    if (eq == std::string::npos) return false;
    std::string type = component.substr(0, eq);
    std::string value = component.substr(eq + 1);
    int nid = subject_attribute_nid(type);
    if (nid == NID_undef || value.empty()) return false;
    X509_NAME_ENTRY* entry = X509_NAME_ENTRY_create_by_NID(nullptr, nid, subject_string_type(nid, value),
                                                           reinterpret_cast<const unsigned char*>(value.data()),
                                                           static_cast<int>(value.size()));
    if (entry == nullptr) return false;
    bool added = X509_NAME_add_entry(name, entry, -1, 0) == 1;
    X509_NAME_ENTRY_free(entry);  // the name holds its own copy
    return added;
}

}  // namespace

x509_name_ptr parse_distinguished_name(const std::string& text) {
    if (text.empty() || text[0] != '/') return nullptr;
    x509_name_ptr name(X509_NAME_new());
    if (!name) return nullptr;
    size_t start = 1;
    for (;;) {
        size_t end = text.find('/', start);
        std::string component = text.substr(start, end == std::string::npos ? end : end - start);
        if (!add_component(name.get(), component)) return nullptr;
        if (end == std::string::npos) return name;
        start = end + 1;
    }
}

}  // namespace orv
