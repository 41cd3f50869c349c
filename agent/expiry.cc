#include "agent/expiry.h"

#include <optional>

#include "agent/connection_data.h"
#include "net/reporter.h"
#include "store/cert_time.h"

namespace orv {

namespace {

void report_one(const reporter& r, const char* what, const char* name, X509* cert, time_t now) {
    if (!cert) return;
    const ASN1_TIME* end = X509_get0_notAfter(cert);
    std::optional<days_left> left = days_until(end, now);
    if (!left) return;
    std::string date = certificate_time_text(end);
    if (left->passed) report(r, "%s %s expired on %s\n", what, name ? name : "", date.c_str());
    else if (left->days < expiry_warning_days)
        report(r, "WAR %s %s expires on %s, in %d days\n", what, name ? name : "", date.c_str(), left->days);
}

}  // namespace

void report_expiry(const reporter& r, const connection_data& data, time_t now) {
    if (!data.has_session()) return;
    const session_record& s = data.session();
    report_one(r, "user certificate", s.cert, data.user_certificate(), now);
    report_one(r, "root certificate", s.root, data.root_certificate(), now);
}

std::string expired_certificate_note(const connection_data& data, time_t now) {
    X509* cert = data.user_certificate();
    if (!cert || !data.has_session() || X509_cmp_time(X509_get0_notAfter(cert), &now) > 0) return {};
    return " (our user certificate " + std::string(data.session().cert ? data.session().cert : "") + " expired on " +
           certificate_time_text(X509_get0_notAfter(cert)) + ")";
}

}  // namespace orv
