#include <string>

#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "editor/distinguished_name.h"
#include "editor/object_name.h"

namespace orv {
namespace {

TEST(object_name, letters_digits_underscore_and_not_a_store_section) {
    const std::pair<const char*, bool> cases[] = {
        {"", true},       {"abc", true},    {"A_b_9", true},   {"_", true},     {"default", false},     {"keys", false},
        {"certs", false}, {"roots", false}, {"Default", true}, {"keys2", true}, {"a b", false},         {"a-b", false},
        {"a.b", false},   {"a/b", false},   {"a=b", false},    {"[x]", false},  {"caf\xc3\xa9", false}, {"a$b", false},
    };
    for (const auto& [name, valid] : cases) EXPECT_EQ(valid_object_name(name), valid) << name;
}

struct entry_expectation {
    int nid;
    int type;
    std::string value;
};

std::vector<entry_expectation> entries_of(X509_NAME* name) {
    std::vector<entry_expectation> out;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
        ASN1_STRING* data = X509_NAME_ENTRY_get_data(e);
        out.push_back({OBJ_obj2nid(X509_NAME_ENTRY_get_object(e)), ASN1_STRING_type(data),
                       std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)),
                                   static_cast<size_t>(ASN1_STRING_length(data)))});
    }
    return out;
}

TEST(distinguished_name, components_in_order_with_their_string_types) {
    x509_name_ptr name = parse_distinguished_name(
        "/C=US/ST=Some State/L=Town/O=Example Co./OU=Unit (1)/CN=Someone/Email=some@example.com");
    ASSERT_TRUE(name);
    std::vector<entry_expectation> got = entries_of(name.get());
    const entry_expectation want[] = {
        {NID_countryName, V_ASN1_PRINTABLESTRING, "US"},
        {NID_stateOrProvinceName, V_ASN1_PRINTABLESTRING, "Some State"},
        {NID_localityName, V_ASN1_PRINTABLESTRING, "Town"},
        {NID_organizationName, V_ASN1_PRINTABLESTRING, "Example Co."},
        {NID_organizationalUnitName, V_ASN1_PRINTABLESTRING, "Unit (1)"},
        {NID_commonName, V_ASN1_PRINTABLESTRING, "Someone"},
        {NID_pkcs9_emailAddress, V_ASN1_IA5STRING, "some@example.com"},
    };
    ASSERT_EQ(got.size(), std::size(want));
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].nid, want[i].nid) << i;
        EXPECT_EQ(got[i].type, want[i].type) << i;
        EXPECT_EQ(got[i].value, want[i].value) << i;
    }
}

TEST(distinguished_name, string_type_choice) {
    struct type_case {
        int nid;
        const char* value;
        int type;
    };
    const type_case cases[] = {
        {NID_commonName, "plain name", V_ASN1_PRINTABLESTRING},
        {NID_commonName, "a@b", V_ASN1_T61STRING},  // IA5 becomes T61 for commonName
        {NID_commonName, "M\xfcller", V_ASN1_T61STRING},
        {NID_organizationName, "a@b", V_ASN1_IA5STRING},
        {NID_organizationName, "a_b", V_ASN1_IA5STRING},
        {NID_organizationName, "M\xfcller", V_ASN1_T61STRING},
        {NID_pkcs9_emailAddress, "plain", V_ASN1_IA5STRING},  // always IA5
        {NID_pkcs9_emailAddress, "x@y", V_ASN1_IA5STRING},
    };
    for (const type_case& t : cases) {
        EXPECT_EQ(subject_string_type(t.nid, t.value), t.type) << t.value;
    }
}

TEST(distinguished_name, email_is_a_type_name) {
    EXPECT_EQ(subject_attribute_nid("Email"), NID_pkcs9_emailAddress);
    EXPECT_EQ(subject_attribute_nid("emailAddress"), NID_pkcs9_emailAddress);
    EXPECT_EQ(subject_attribute_nid("CN"), NID_commonName);
    EXPECT_EQ(subject_attribute_nid("Bogus"), NID_undef);
}

TEST(distinguished_name, malformed_texts_are_rejected) {
    const char* bad[] = {
        "", "C=US", "/", "/C=US/", "//C=US", "/C", "/C=US/CN", "/C=", "/C=US/CN=", "/Bogus=x", "/=x", "CN=x/C=US",
    };
    for (const char* text : bad) EXPECT_FALSE(parse_distinguished_name(text)) << text;
    EXPECT_TRUE(parse_distinguished_name("/CN=a=b"));  // the first '=' splits
}

}  // namespace
}  // namespace orv
