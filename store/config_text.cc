#include "store/config_text.h"

#include <openssl/conf.h>

#include "store/openssl_ptr.h"

namespace orv {

std::string escape_config_value(const std::string& value) {
    std::string out;
    out.reserve(value.size() + 8);
    // Leading and trailing spaces would be eaten by the reader: a backslash keeps a leading one,
    // a quoted run keeps trailing ones (the reader trims before it unescapes).
    size_t end = value.find_last_not_of(' ');
    size_t body_end = end == std::string::npos ? 0 : end + 1;
    for (size_t i = 0; i < body_end; ++i) {
        char c = value[i];
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '$':
            case '"':
            case '\'':
            case '`':
            case '#':  // would start a comment
                out += '\\';
                out += c;
                break;
            case ' ':
                if (i == 0) out += '\\';
                out += c;
                break;
            default: out += c;
        }
    }
    if (body_end < value.size()) {
        out += '"';
        out.append(value, body_end, std::string::npos);
        out += '"';
    }
    return out;
}

std::string write_config_text(const config_tree& tree) {
    std::string text;
    for (const config_section* section : tree.sections()) {
        text += "[ " + section->name() + " ]\n";
        for (const config_entry& e : section->entries()) {
            text += e.name.empty() ? std::string("None") : e.name;
            text += '=';
            text += escape_config_value(e.value);
            text += '\n';
        }
        text += '\n';
    }
    return text;
}

std::unique_ptr<config_tree> parse_config_text(const std::string& text) {
    conf_ptr conf(NCONF_new(nullptr));
    bio_ptr in(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    if (!conf || !in) return nullptr;
    long error_line = 0;
    if (NCONF_load_bio(conf.get(), in.get(), &error_line) <= 0) return nullptr;

    auto tree = std::make_unique<config_tree>();
    tree->ensure_section(config_tree::default_section);  // the loader always has it; keep it first
    STACK_OF(OPENSSL_CSTRING)* names = NCONF_get_section_names(conf.get());
    if (names == nullptr) return nullptr;
    for (int i = 0; i < sk_OPENSSL_CSTRING_num(names); ++i) {
        const char* name = sk_OPENSSL_CSTRING_value(names, i);
        config_section& section = tree->ensure_section(name);
        STACK_OF(CONF_VALUE)* values = NCONF_get_section(conf.get(), name);
        for (int j = 0; j < sk_CONF_VALUE_num(values); ++j) {
            const CONF_VALUE* v = sk_CONF_VALUE_value(values, j);
            section.put(v->name, v->value);
        }
    }
    sk_OPENSSL_CSTRING_free(names);
    return tree;
}

}  // namespace orv
