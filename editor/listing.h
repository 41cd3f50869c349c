// The read-only operations of orvconf: list one object kind, list all, view one certificate or
// session, view all. Output goes to the record's list result or view buffer; the run prints it.
#pragma once

#include <openssl/bio.h>
#include <openssl/x509.h>

#include "editor/command_record.h"
#include "store/config_store.h"

namespace orv {

bool list_objects(command_record& rec);
bool list_all(command_record& rec);
bool view_object(command_record& rec);
bool view_all(command_record& rec);

// "MD5 Fingerprint=" and "SHA1 Fingerprint=" lines, colon-separated upper-case hex.
bool print_fingerprints(BIO* out, X509* cert);
// The full view of one session with its validation status and partners; false (and nothing
// printed) when the session does not exist.
bool print_session_view(BIO* out, const config_store& store, const char* name, const char* password,
                        const char* key_cipher);

// The section that holds one object kind's entries ("keys", "certs", "roots"), else null.
const char* object_section(object_kind kind);

}  // namespace orv
