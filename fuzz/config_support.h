// Shared by the fuzz targets of the configuration store.
#pragma once

#include <cstdio>
#include <string_view>

#include "store/config_tree.h"

namespace orv::fuzz {

// The library's loader honours ".include FILE", which would read files of the machine running
// the fuzzer; no text the store writes has one, so such inputs are skipped.
inline bool reads_other_files(std::string_view text) { return text.find("include") != std::string_view::npos; }

// True for a non-empty name of letters, digits and '_': the store makes no other section or entry
// names (object names are checked, partner entries are "partner" and hex digits).
inline bool store_name(const std::string& name) {
    if (name.empty()) return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return false;
    }
    return true;
}

// The loader accepts names the store never makes (empty ones, spaces, quotes, punctuation); the
// writer has no faithful form for them, so only trees of store names are held to a round trip.
inline bool has_foreign_name(const config_tree& tree) {
    for (const config_section* s : tree.sections()) {
        if (!store_name(s->name())) return true;
        for (const config_entry& e : s->entries()) {
            if (!store_name(e.name)) return true;
        }
    }
    return false;
}

// Same sections (by name) holding the same entries in the same order.
inline bool same_tree(const config_tree& a, const config_tree& b) {
    auto sections_a = a.sections();
    if (sections_a.size() != b.sections().size()) return false;
    for (const config_section* s : sections_a) {
        const config_section* t = b.find_section(s->name());
        if (t == nullptr || s->entries().size() != t->entries().size()) return false;
        auto it = t->entries().begin();
        for (const config_entry& e : s->entries()) {
            if (e.name != it->name || e.value != it->value) return false;
            ++it;
        }
    }
    return true;
}

// Prints both trees, for the report of a failed round trip.
inline void print_trees(const config_tree& a, const config_tree& b) {
    for (const config_tree* t : {&a, &b}) {
        std::fprintf(stderr, "%s:\n", t == &a ? "before" : "after");
        for (const config_section* s : t->sections()) {
            std::fprintf(stderr, "  [%s]\n", s->name().c_str());
            for (const config_entry& e : s->entries()) {
                std::fprintf(stderr, "    \"%s\" = \"", e.name.c_str());
                for (unsigned char c : e.value) std::fprintf(stderr, c >= 32 && c < 127 ? "%c" : "\\x%02x", c);
                std::fprintf(stderr, "\"\n");
            }
        }
    }
}

}  // namespace orv::fuzz
