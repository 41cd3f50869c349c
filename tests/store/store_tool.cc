// Command-line front to the store for format cross-checks:
//   store_tool dump FILE PASSWORD   prints the tree, one line per section ("S\t<hex>") and per
//                                   entry ("E\t<hex name>\t<hex value>")
//   store_tool write FILE PASSWORD  reads that form from standard input and saves it
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "store/config_store.h"
#include "store/secure_file.h"

using namespace orv;

static std::string hex(const std::string& s) {
    return hex_encode(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: store_tool dump|write FILE PASSWORD\n");
        return 2;
    }
    bio_ptr sink(BIO_new_fp(stderr, BIO_NOCLOSE));
    if (std::strcmp(argv[1], "dump") == 0) {
        auto tree = load_secure_config(argv[2], argv[3], file_cipher_name, file_digest_name, sink.get());
        if (!tree) return 1;
        for (const config_section* s : tree->sections()) {
            std::cout << "S\t" << hex(s->name()) << "\n";
            for (const config_entry& e : s->entries())
                std::cout << "E\t" << hex(e.name) << "\t" << hex(e.value) << "\n";
        }
        return 0;
    }
    config_tree tree;
    std::string line, section;
    while (std::getline(std::cin, line)) {
        std::istringstream fields(line);
        std::string kind, a, b;
        std::getline(fields, kind, '\t');
        std::getline(fields, a, '\t');
        std::getline(fields, b, '\t');
        if (kind == "S") {
            section = *hex_decode(a);
            tree.ensure_section(section);
        } else if (kind == "E") {
            tree.put_text(section.c_str(), hex_decode(a)->c_str(), hex_decode(b)->c_str());
        }
    }
    return save_secure_config(tree, argv[2], argv[3], file_cipher_name, file_digest_name, sink.get()) ? 0 : 1;
}
