// The store's reading of a loaded configuration: the session list, session records and their
// validation (hex certificates, encrypted hex keys, numbers), partner entries, keys and
// certificates, then the edits orvconf makes (a partner with any name, a session deleted), after
// which the written text must still load as the same tree. The input is a partner name (up to a
// NUL byte) followed by the configuration text; stored keys are read with the password "fuzz".
#include <algorithm>

#include <openssl/err.h>

#include "agent/partner_check.h"
#include "editor/object_name.h"
#include "fuzz/config_support.h"
#include "fuzz/fuzz_support.h"
#include "store/config_store.h"
#include "store/config_text.h"

namespace {

using namespace orv;

constexpr const char* password = "fuzz";
constexpr const char* key_cipher = "des3";
constexpr size_t most = 8;  // entries looked at per section, to bound the time of one input

void check_sessions(config_store& store, const std::string& partner) {
    std::vector<std::string> names = store.session_list();
    for (size_t i = 0; i < names.size() && i < most; ++i) {
        const char* name = names[i].c_str();
        FUZZ_CHECK(names[i].size() < 256 && store.tree().find_section(names[i]) != nullptr);
        std::optional<session_record> r = store.session(name);
        FUZZ_CHECK(r && names[i] == r->name);
        for (int n : {r->multicall, r->minres, r->autoclose, r->cache, r->timeout, r->accept_timeout, r->nodelay,
                      r->sslmode, r->noclientauth})
            FUZZ_CHECK(n >= 0);
        int status = store.validate_session(name, password, key_cipher);
        FUZZ_CHECK(status >= session_ok && status <= session_user_expired);
        std::string mapped;
        int verdict = check_partner(store.partner_list(name), partner, mapped);
        FUZZ_CHECK(verdict == 0 || verdict == -1);
    }
}

void check_keys(config_store& store) {
    std::vector<std::string> names = store.tree().section_names("keys");
    for (size_t i = 0; i < names.size() && i < most; ++i) {
        evp_pkey_ptr key = config_store::decrypt_key(store.key_text(names[i].c_str()), password, key_cipher);
        if (!key) continue;
        std::optional<std::string> hex = config_store::encrypt_key(key.get(), password, key_cipher);
        FUZZ_CHECK(hex);
        evp_pkey_ptr again = config_store::decrypt_key(hex->c_str(), password, key_cipher);
        FUZZ_CHECK(again && EVP_PKEY_eq(key.get(), again.get()) == 1);
    }
}

void check_certificates(config_store& store) {
    for (const char* section : {"certs", "roots"}) {
        std::vector<std::string> names = store.tree().section_names(section);
        for (size_t i = 0; i < names.size() && i < most; ++i) {
            const char* name = names[i].c_str();
            x509_ptr cert = section[0] == 'c' ? store.certificate(name) : store.root(name);
            if (!cert) continue;
            FUZZ_CHECK(section[0] == 'c' ? store.put_certificate(name, cert.get()) : store.put_root(name, cert.get()));
            x509_ptr again = section[0] == 'c' ? store.certificate(name) : store.root(name);
            FUZZ_CHECK(again && X509_cmp(cert.get(), again.get()) == 0);
        }
    }
}

void edit(config_store& store, const std::string& partner) {
    std::vector<std::string> names = store.session_list();
    if (names.empty()) return;
    const char* session = names.front().c_str();
    partner_fields fields{std::string("mapped"), std::nullopt, std::string("255.255.255.0")};
    FUZZ_CHECK(store.insert_partner(session, partner, fields));
    std::vector<std::string> partners = store.partner_list(session);
    FUZZ_CHECK(std::find(partners.begin(), partners.end(), partner + "\tmapped\t\t255.255.255.0") != partners.end());
    // orvconf refuses to name the store's own sections ("default", "keys", ...) as sessions.
    if (names.size() > 1 && valid_object_name(names.back())) {
        std::string gone = names.back();
        FUZZ_CHECK(store.delete_session(gone.c_str()));
        std::vector<std::string> left = store.session_list();
        FUZZ_CHECK(std::find(left.begin(), left.end(), gone) == left.end());
        FUZZ_CHECK(store.tree().find_section(gone) == nullptr);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::input_reader in(data, size);
    std::string partner = in.until('\0');
    std::string text = in.rest();
    if (fuzz::reads_other_files(text)) return 0;
    std::unique_ptr<config_tree> tree = parse_config_text(text);
    if (!tree) {
        ERR_clear_error();
        return 0;
    }
    config_store store(*tree);
    check_sessions(store, partner);
    check_keys(store);
    check_certificates(store);
    edit(store, partner);
    ERR_clear_error();
    if (fuzz::has_foreign_name(*tree)) return 0;
    std::string written = write_config_text(*tree);
    std::unique_ptr<config_tree> again = parse_config_text(written);
    ERR_clear_error();
    if (!again || !fuzz::same_tree(*tree, *again)) {
        std::fprintf(stderr, "the written text does not load as written:\n%s\n", written.c_str());
        if (again) fuzz::print_trees(*tree, *again);
    }
    FUZZ_CHECK(again && fuzz::same_tree(*tree, *again));
    return 0;
}
