#include "editor/object_edit.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include "editor/listing.h"
#include "net/inetaddr.h"

namespace orv {

namespace {

const char* optional_text(const std::optional<std::string>& s) {
    return s ? s->c_str() : nullptr;
}

bool insert_certificate(command_record& rec, const char* name) {
    x509_ptr cert = load_certificate_file(rec.sink, rec.cert_file);
    if (!cert) return false;
    rec.changed = true;
    return rec.object == object_kind::root ? rec.store->put_root(name, cert.get())
                                           : rec.store->put_certificate(name, cert.get());
}

// The first required value that is missing, with its message; null when all are there.
const char* missing_session_value(const session_options& s) {
    if (!s.port) return "insert session sub-command requires local port (-L)\n";
    if (!s.server) return "insert session sub-command requires server name (-H)\n";
    if (!s.serverport) return "insert session sub-command requires server port (-P)\n";
    if (!s.cert) return "insert session sub-command requires name of the user certificate (-B)\n";
    if (!s.key) return "insert session sub-command requires name of the user key (-A)\n";
    if (!s.root) return "insert session sub-command requires name of the root certificate (-X)\n";
    return nullptr;
}

// Refuses port and bind address texts that orvclient would refuse at start-up. The server host
// is not looked up: it may resolve only where and when the agent runs.
bool usable_endpoints(BIO* sink, const session_options& s) {
    if (!inetaddr::port_number(s.port->c_str())) {
        BIO_printf(sink, "invalid local port (-L): %s\n", s.port->c_str());
        return false;
    }
    if (!inetaddr::port_number(s.serverport->c_str())) {
        BIO_printf(sink, "invalid server port (-P): %s\n", s.serverport->c_str());
        return false;
    }
    // An empty -G stores the agent's default address.
    if (s.bindaddr && !s.bindaddr->empty() && !inetaddr::host_resolves(s.bindaddr->c_str())) {
        BIO_printf(sink, "invalid bind address (-G): %s\n", s.bindaddr->c_str());
        return false;
    }
    return true;
}

bool insert_session(command_record& rec, const char* name) {
    const session_options& s = rec.session;
    if (const char* message = missing_session_value(s)) {
        BIO_printf(rec.sink, "%s", message);
        return false;
    }
    if (!usable_endpoints(rec.sink, s)) return false;
    session_record values;
    values.name = name;
    values.bindaddr = optional_text(s.bindaddr);
    values.port = optional_text(s.port);
    values.server = optional_text(s.server);
    values.serverport = optional_text(s.serverport);
    values.cipherlist = optional_text(s.cipherlist);
    values.cert = optional_text(s.cert);
    values.root = optional_text(s.root);
    values.key = optional_text(s.key);
    values.multicall = s.multicall;
    values.command = optional_text(s.command);
    values.minres = s.minres;
    values.autoclose = s.autoclose;
    values.login = optional_text(s.login);
    values.cache = s.cache;
    values.timeout = s.timeout;
    values.accept_timeout = s.accept_timeout;
    values.nodelay = s.nodelay;
    values.sslmode = s.sslmode;
    values.noclientauth = s.noclientauth;
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
        case object_kind::root:
            rec.changed = true;
            return rec.store->delete_entry(object_section(rec.object), name);
        case object_kind::session:
            rec.changed = true;
            return rec.store->delete_session(name);
        case object_kind::partner:
            if (!rec.partner_name) {
                BIO_printf(rec.sink, "partner delete sub-command requires partner name (-J)\n");
                return false;
            }
            rec.changed = true;
            return rec.store->delete_partner(name, *rec.partner_name);
        default:
            return false;
    }
}

}  // namespace orv
