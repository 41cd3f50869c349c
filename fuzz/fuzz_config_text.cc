// The configuration text: what the library's loader makes of any text, and whether the writer's
// text of a tree reads back as the same tree. Mode 0 takes the input as a text; mode 1 builds a
// tree directly from (section, name, value) triples separated by NUL bytes, with the names the
// store can make (letters, digits, '_') and any value an orvconf option can carry.
#include <openssl/err.h>

#include "fuzz/config_support.h"
#include "fuzz/fuzz_support.h"
#include "store/config_text.h"

namespace {

using namespace orv;

// The input's name with every character dropped that an object name may not have.
std::string store_name_of(const std::string& raw) {
    std::string name;
    for (char c : raw) {
        if (fuzz::store_name(std::string(1, c))) name += c;
    }
    return name;
}

std::unique_ptr<config_tree> tree_from_triples(fuzz::input_reader& in) {
    auto tree = std::make_unique<config_tree>();
    tree->ensure_section(config_tree::default_section);
    while (!in.empty()) {
        std::string section = store_name_of(in.until('\0'));
        std::string name = store_name_of(in.until('\0'));
        std::string value = in.until('\0');
        if (section.empty()) section = config_tree::default_section;
        if (name.empty()) continue;  // the writer has no form for an empty name
        tree->put_text(section.c_str(), name.c_str(), value.c_str());
    }
    return tree;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::input_reader in(data, size);
    std::unique_ptr<config_tree> tree;
    if (in.byte() % 2 == 0) {
        std::string text = in.rest();
        if (fuzz::reads_other_files(text)) return 0;
        tree = parse_config_text(text);
        ERR_clear_error();
        if (!tree) return 0;
        FUZZ_CHECK(!tree->sections().empty() && tree->sections().front()->name() == config_tree::default_section);
        if (fuzz::has_foreign_name(*tree)) return 0;
    } else {
        tree = tree_from_triples(in);
    }
    std::string written = write_config_text(*tree);
    std::unique_ptr<config_tree> again = parse_config_text(written);
    ERR_clear_error();
    if (!again) std::fprintf(stderr, "the written text does not load:\n%s\n", written.c_str());
    FUZZ_CHECK(again != nullptr);
    if (!fuzz::same_tree(*tree, *again))
        std::fprintf(stderr, "the written text loads differently:\n%s\n", written.c_str());
    FUZZ_CHECK(fuzz::same_tree(*tree, *again));
    return 0;
}
