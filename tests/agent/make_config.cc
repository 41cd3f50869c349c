// Writes test configuration files through the store, standing in for the editor:
//   make_config FILE PASSWORD < commands
// Commands, one a line, fields separated by blanks (the file is loaded first when it exists):
//   key NAME PEMFILE            encrypt an RSA private key with the password and store it
//   cert NAME PEMFILE           store a user certificate
//   root NAME PEMFILE           store a root certificate
//   session NAME KEY=VALUE...   insert a session (flags and numbers as decimal text)
//   partner SESSION NAME [MAPPED]
//   set SECTION KEY VALUE       put one raw entry
//   del SECTION KEY             delete one entry
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

#include <openssl/pem.h>

#include "store/config_store.h"
#include "store/secure_file.h"

using namespace orv;

namespace {

x509_ptr read_cert(const std::string& path) {
    bio_ptr in(BIO_new_file(path.c_str(), "r"));
    return x509_ptr(in ? PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr) : nullptr);
}

evp_pkey_ptr read_key(const std::string& path) {
    bio_ptr in(BIO_new_file(path.c_str(), "r"));
    return evp_pkey_ptr(in ? PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr) : nullptr);
}

bool insert_session(config_store& store, const std::string& name, std::istringstream& rest) {
    std::map<std::string, std::string> v;
    std::string item;
    while (rest >> item) {
        size_t eq = item.find('=');
        if (eq == std::string::npos) return false;
        v[item.substr(0, eq)] = item.substr(eq + 1);
    }
    session_record r;
    r.name = name.c_str();
    for (const session_field& f : session_fields) {
        if (!v.count(f.key)) continue;
        if (f.kind == field_kind::text) r.*f.text = v[f.key].c_str();
        else r.*f.number = std::stoi(v[f.key]);
    }
    // TLS without the old-version warning unless a test asks for another mode.
    if (!v.count("sslmode")) r.sslmode = 1;
    return store.insert_session(r);
}

bool run(config_store& store, const std::string& line, const char* password) {
    std::istringstream in(line);
    std::string command, a, b, c;
    in >> command;
    if (command.empty() || command[0] == '#') return true;
    if (command == "session") {
        in >> a;
        return insert_session(store, a, in);
    }
    in >> a >> b;
    std::getline(in >> std::ws, c);
    if (command == "key") {
        evp_pkey_ptr key = read_key(b);
        auto hex = key ? config_store::encrypt_key(key.get(), password, "des3") : std::nullopt;
        return hex && store.tree().put_text("keys", a.c_str(), hex->c_str()) == 0;
    }
    if (command == "cert" || command == "root") {
        x509_ptr cert = read_cert(b);
        return cert && (command == "cert" ? store.put_certificate(a.c_str(), cert.get())
                                          : store.put_root(a.c_str(), cert.get()));
    }
    if (command == "partner") {
        partner_fields fields;
        if (!c.empty()) fields.mapped_name = c;
        return store.insert_partner(a.c_str(), b, fields);
    }
    if (command == "set") return store.tree().put_text(a.c_str(), b.c_str(), c.c_str()) == 0;
    if (command == "del") return store.tree().remove(a.c_str(), b.c_str()) == 0;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_config FILE PASSWORD < commands\n");
        return 2;
    }
    bio_ptr sink(BIO_new_fp(stderr, BIO_NOCLOSE));
    std::unique_ptr<config_tree> tree;
    if (access(argv[1], F_OK) == 0) {
        tree = load_secure_config(argv[1], argv[2], file_cipher_name, file_digest_name, sink.get());
        if (!tree) return 1;
    } else {
        tree = std::make_unique<config_tree>();
    }
    config_store store(*tree);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!run(store, line, argv[2])) {
            std::fprintf(stderr, "make_config: failed: %s\n", line.c_str());
            return 1;
        }
    }
    return save_secure_config(*tree, argv[1], argv[2], file_cipher_name, file_digest_name, sink.get()) ? 0 : 1;
}
