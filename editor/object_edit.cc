#include "editor/object_edit.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include "editor/listing.h"
#include "net/endpoint_list.h"
#include "net/inetaddr.h"
#include "store/failover_mode.h"
#include "store/pending_caps.h"

namespace orv {

namespace {

bool insert_certificate(command_record& rec, const char* name) {
    x509_ptr cert = load_certificate_file(rec.sink, rec.cert_file);
    if (!cert) return false;
    rec.changed = true;
    return rec.object == object_kind::root ? rec.store->put_root(name, cert.get())
                                           : rec.store->put_certificate(name, cert.get());
}

// Names the first required value that is missing, in the order of the table's checks.
bool required_values_given(BIO* sink, const session_record& r) {
    for (int place = 1;; ++place) {
        const session_field* field = nullptr;
        for (const session_field& f : session_fields) {
            if (f.required == place) field = &f;
        }
        if (field == nullptr) return true;
        if (r.*field->text == nullptr) {
            BIO_printf(sink, "insert session sub-command requires %s (-%c)\n", field->required_as, field->option);
            return false;
        }
    }
}

// Refuses port and bind address texts that orvclient would refuse at start-up. The server host
// is not looked up: it may resolve only where and when the agent runs.
bool usable_endpoints(BIO* sink, const session_record& r) {
    if (!inetaddr::port_number(r.port)) {
        BIO_printf(sink, "invalid local port (-L): %s\n", r.port);
        return false;
    }
    if (!inetaddr::port_number(r.serverport)) {
        BIO_printf(sink, "invalid server port (-P): %s\n", r.serverport);
        return false;
    }
    std::string bad;
    if (!parse_endpoint_list(r.faragents, &bad)) {
        BIO_printf(sink, "invalid far agent (-W): %s\n", bad.c_str());
        return false;
    }
    if (!parse_failover_mode(r.failover)) {
        BIO_printf(sink, "invalid failover mode (-Y): %s (prio or rr)\n", r.failover);
        return false;
    }
    if (r.metrics && *r.metrics && !parse_endpoint(r.metrics)) {
        BIO_printf(sink, "invalid metrics endpoint (-t): %s\n", r.metrics);
        return false;
    }
    if (!parse_pending_caps(r.pending, nullptr)) {
        BIO_printf(sink, "invalid pending handshake caps (-V): %s (total,per source)\n", r.pending);
        return false;
    }
    // An empty -G stores the agent's default address.
    if (r.bindaddr && *r.bindaddr && !inetaddr::host_resolves(r.bindaddr)) {
        BIO_printf(sink, "invalid bind address (-G): %s\n", r.bindaddr);
        return false;
    }
    return true;
}

bool insert_session(command_record& rec, const char* name) {
    session_record values = rec.session.record(name);
    if (!required_values_given(rec.sink, values) || !usable_endpoints(rec.sink, values)) return false;
    rec.changed = true;
    return rec.store->insert_session(values);
}

bool insert_partner(command_record& rec, const char* session) {
    if (!rec.partner_name) {
        BIO_printf(rec.sink, "insert parent sub-command requires partner name (-J)\n");
        return false;
    }
    rec.changed = true;
    return rec.store->insert_partner(session, *rec.partner_name, rec.partner);
}

}  // namespace

x509_ptr load_certificate_file(BIO* sink, const std::optional<std::string>& path) {
    if (!path) {
        BIO_printf(sink, "input file name (-I) is missing\n");
        return nullptr;
    }
    bio_ptr in(BIO_new_file(path->c_str(), "rb"));
    if (!in) {
        BIO_printf(sink, "unable to open input file: %s\n", path->c_str());
        return nullptr;
    }
    x509_ptr cert(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
    if (cert) return cert;
    // Not PEM: read the file again from the start as DER.
    in.reset();
    ERR_clear_error();
    in.reset(BIO_new_file(path->c_str(), "rb"));
    if (!in) {
        BIO_printf(sink, "unable to open input file: %s\n", path->c_str());
        return nullptr;
    }
    cert.reset(d2i_X509_bio(in.get(), nullptr));
    if (!cert) BIO_printf(sink, "unable to load certificate from file: %s\n", path->c_str());
    return cert;
}

bool insert_object(command_record& rec) {
    const char* name = rec.object_name();
    if (name == nullptr) {
        BIO_printf(rec.sink, "insert sub-command requires object name (-N)\n");
        return false;
    }
    switch (rec.object) {
        case object_kind::certificate:
        case object_kind::root: return insert_certificate(rec, name);
        case object_kind::session: return insert_session(rec, name);
        case object_kind::partner: return insert_partner(rec, name);
        default: return false;
    }
}

bool delete_object(command_record& rec) {
    const char* name = rec.object_name();
    if (name == nullptr) {
        BIO_printf(rec.sink, "delete sub-command requires object name (-N)\n");
        return false;
    }
    switch (rec.object) {
        case object_kind::key:
        case object_kind::certificate:
        case object_kind::root: rec.changed = true; return rec.store->delete_entry(object_section(rec.object), name);
        case object_kind::session: rec.changed = true; return rec.store->delete_session(name);
        case object_kind::partner:
            if (!rec.partner_name) {
                BIO_printf(rec.sink, "partner delete sub-command requires partner name (-J)\n");
                return false;
            }
            rec.changed = true;
            return rec.store->delete_partner(name, *rec.partner_name);
        default: return false;
    }
}

}  // namespace orv
