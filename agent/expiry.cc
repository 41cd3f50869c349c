#include "agent/expiry.h"

#include <memory>

#include <openssl/asn1.h>

#include "agent/connection_data.h"
#include "net/reporter.h"

namespace orv {

namespace {

// Whole days from `now` to `t` (negative once it has passed), false when it cannot be read.
bool days_until(const ASN1_TIME* t, time_t now, int& days, bool& passed) {
    int day = 0, sec = 0;
    std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> from(ASN1_TIME_set(nullptr, now), &ASN1_TIME_free);
    if (!from || !ASN1_TIME_diff(&day, &sec, from.get(), t)) return false;
    passed = day < 0 || sec < 0;
    days = day;
    return true;
}

void report_one(const reporter& r, const char* what, const char* name, X509* cert, time_t now) {
    if (!cert) return;
    const ASN1_TIME* end = X509_get0_notAfter(cert);
    int days = 0;
    bool passed = false;
    if (!days_until(end, now, days, passed)) return;
    std::string date = certificate_time_text(end);
    if (passed) report(r, "%s %s expired on %s\n", what, name ? name : "", date.c_str());
    else if (days < expiry_warning_days)
        report(r, "WAR %s %s expires on %s, in %d days\n", what, name ? name : "", date.c_str(), days);
}

}  // namespace

std::string certificate_time_text(const ASN1_TIME* t) {
    tm when{};
    if (!t || !ASN1_TIME_to_tm(t, &when)) return "unknown";
    char text[32];
    if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &when) == 0) return "unknown";
    return text;
}

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
