// The operations of orvconf that insert and delete user certificates, root certificates,
// sessions and partner entries, and delete keys.
#pragma once

#include <optional>
#include <string>

#include <openssl/bio.h>

#include "editor/command_record.h"
#include "store/openssl_ptr.h"

namespace orv {

bool insert_object(command_record& rec);
bool delete_object(command_record& rec);

// Reads a PEM certificate, or failing that a DER one; reports to `sink` and returns null when
// the path is missing, the file cannot be opened, or it holds neither.
x509_ptr load_certificate_file(BIO* sink, const std::optional<std::string>& path);

}  // namespace orv
