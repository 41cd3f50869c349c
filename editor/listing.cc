#include "editor/listing.h"

#include <ctime>
#include <optional>
#include <string>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "store/cert_time.h"

#include "store/strong_keys.h"

namespace orv {

namespace {

const char* const rule = "====================================\n";

void print_name_list(BIO* out, const char* title, const char* underline, const std::vector<std::string>& names) {
    BIO_printf(out, "%s%s", title, underline);
    for (const std::string& n : names) BIO_printf(out, "%s\n", n.c_str());
    BIO_printf(out, "\n");
}

bool print_digest(BIO* out, X509* cert, const EVP_MD* md, const char* label) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (X509_digest(cert, md, digest, &len) != 1) return false;
    BIO_printf(out, "%s Fingerprint=", label);
    for (unsigned int i = 0; i < len; ++i) {
        BIO_printf(out, "%02X%c", digest[i], i + 1 == len ? '\n' : ':');
    }
    return true;
}

bool print_certificate(BIO* out, X509* cert) {
    bool printed = X509_print(out, cert) == 1;
    return print_fingerprints(out, cert) && printed;
}

// Tabs inside partner values are shown as ", ".
std::string shown_entry(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\t') out += ", ";
        else out += c;
    }
    return out;
}

const char* yes_no(int v) { return v != 0 ? "yes" : "no"; }

const char* ssl_version_text(int mode) {
    switch (mode) {
        case 0: return "SSL2";
        case 1: return "SSL2+SSL3";
        case 2: return "SSL3";
        default: return "unknown";
    }
}

std::string seconds_text(int seconds) { return seconds == 0 ? std::string("infinity") : std::to_string(seconds); }

std::string shown_value(const session_field& f, const session_record& r) {
    switch (f.shown) {
        case shown_as::text:
        case shown_as::text_when_set: return r.*f.text != nullptr ? r.*f.text : f.absent;
        case shown_as::yes_no: return yes_no(r.*f.number);
        case shown_as::no_yes: return yes_no(r.*f.number == 0);
        case shown_as::ssl_version: return ssl_version_text(r.*f.number);
        case shown_as::seconds: return seconds_text(r.*f.number);
    }
    return "";
}

void print_certificates(BIO* out, config_store& store, object_kind kind, const char* title) {
    BIO_printf(out, "%s------------------\n", title);
    for (const std::string& name : store.tree().section_names(object_section(kind))) {
        BIO_printf(out, "%s\n==================\n", name.c_str());
        x509_ptr cert = kind == object_kind::root ? store.root(name.c_str()) : store.certificate(name.c_str());
        if (cert) print_certificate(out, cert.get());
        BIO_printf(out, "\n");
    }
    BIO_printf(out, "\n");
}

// A strong file names its format first; a classic file's listing is as it always was, for the
// scripts that read it.
void print_file_format(BIO* out, const config_tree& tree) {
    const strong_keys* keys = tree.protection().get();
    if (keys == nullptr) return;
    const kdf_params& p = keys->params();
    BIO_printf(out, "File format:\n------------\nstrong (scrypt N=%llu r=%u p=%u, AES-256-GCM)\n\n", 1ULL << p.log2_n,
               static_cast<unsigned>(p.r), static_cast<unsigned>(p.p));
}

bool new_view(command_record& rec) {
    rec.list_result.clear();
    rec.view.reset(BIO_new(BIO_s_mem()));
    return rec.view != nullptr;
}

void print_expiry(BIO* out, const char* label, X509* cert) {
    if (!cert) return;
    const ASN1_TIME* end = X509_get0_notAfter(cert);
    std::optional<days_left> left = days_until(end, std::time(nullptr));
    if (!left) return;
    std::string date = certificate_time_text(end);
    if (left->passed) BIO_printf(out, "%-22s%s, expired\n", label, date.c_str());
    else BIO_printf(out, "%-22s%s, in %d days\n", label, date.c_str(), left->days);
}

}  // namespace

const char* object_section(object_kind kind) {
    switch (kind) {
        case object_kind::key: return "keys";
        case object_kind::certificate: return "certs";
        case object_kind::root: return "roots";
        default: return nullptr;
    }
}

bool print_fingerprints(BIO* out, X509* cert) {
    bool md5_ok = print_digest(out, cert, EVP_md5(), "MD5");
    bool sha1_ok = print_digest(out, cert, EVP_sha1(), "SHA1");
    return sha1_ok || md5_ok;
}

bool print_session_view(BIO* out, const config_store& store, const char* name, const char* password,
                        const char* key_cipher) {
    std::optional<session_record> r = store.session(name);
    if (!r) return false;
    BIO_printf(out, "Session name:         %s\n%s", r->name, rule);
    const session_field* by_line[session_field_count] = {};
    for (const session_field& f : session_fields) by_line[f.view_line - 1] = &f;
    for (const session_field* f : by_line) {
        if (f->shown == shown_as::text_when_set && (*r).*f->text == nullptr) continue;
        BIO_printf(out, "%-22s%s\n", f->label, shown_value(*f, *r).c_str());
    }
    BIO_printf(out, "\n");
    int status = store.validate_session(name, password, key_cipher);
    if (status >= 0 && status <= 8) {
        BIO_printf(out, "Session status:       %s\n", session_status_text(status));
        // The expiry dates as they stand today: the agents warn 30 days ahead.
        print_expiry(out, "User cert expires:", r->cert ? store.certificate(r->cert).get() : nullptr);
        print_expiry(out, "Root cert expires:", r->root ? store.root(r->root).get() : nullptr);
        BIO_printf(out, "%s\n", rule);
    }
    BIO_printf(out, "Session partners:\n%s", rule);
    for (const std::string& p : store.partner_list(name)) {
        BIO_printf(out, "%s\n", shown_entry(p).c_str());
    }
    BIO_printf(out, "\n");
    return true;
}

bool list_objects(command_record& rec) {
    rec.list_result.clear();
    rec.view.reset();
    switch (rec.object) {
        case object_kind::key:
        case object_kind::certificate:
        case object_kind::root:
            rec.list_result = rec.store->tree().section_names(object_section(rec.object));
            return true;
        case object_kind::session: rec.list_result = rec.store->session_list(); return true;
        case object_kind::partner:
            if (rec.object_name() == nullptr) {
                BIO_printf(rec.sink, "partner list sub-command requires session name (-N)\n");
                return false;
            }
            rec.list_result = rec.store->partner_list(rec.object_name());
            return true;
        default: return false;
    }
}

bool list_all(command_record& rec) {
    if (!new_view(rec)) return false;
    BIO* out = rec.view.get();
    const config_tree& tree = rec.store->tree();
    print_file_format(out, tree);
    print_name_list(out, "Keys:\n", "-----\n", tree.section_names("keys"));
    print_name_list(out, "User Certificates:\n", "------------------\n", tree.section_names("certs"));
    print_name_list(out, "Root Certificates:\n", "------------------\n", tree.section_names("roots"));
    print_name_list(out, "Sessions:\n", "---------\n", rec.store->session_list());
    return true;
}

bool view_object(command_record& rec) {
    rec.list_result.clear();
    rec.view.reset();
    const char* name = rec.object_name();
    if (name == nullptr) {
        BIO_printf(rec.sink, "view sub-command requires object name (-N)\n");
        return false;
    }
    if (!new_view(rec)) return false;
    if (rec.object == object_kind::session) {
        return print_session_view(rec.view.get(), *rec.store, name, rec.password.c_str(), rec.cipher_name);
    }
    x509_ptr cert = rec.object == object_kind::root ? rec.store->root(name) : rec.store->certificate(name);
    return cert && print_certificate(rec.view.get(), cert.get());
}

bool view_all(command_record& rec) {
    if (!new_view(rec)) return false;
    BIO* out = rec.view.get();
    config_store& store = *rec.store;
    print_file_format(out, store.tree());
    print_name_list(out, "Keys:\n", "-----\n", store.tree().section_names("keys"));
    print_certificates(out, store, object_kind::certificate, "User Certificates:\n");
    print_certificates(out, store, object_kind::root, "Root Certificates:\n");
    BIO_printf(out, "Sessions:\n---------\n");
    for (const std::string& name : store.session_list()) {
        print_session_view(out, store, name.c_str(), rec.password.c_str(), rec.cipher_name);
        BIO_printf(out, "\n");
    }
    BIO_printf(out, "\n");
    return true;
}

}  // namespace orv
