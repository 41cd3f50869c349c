#include "store/config_tree.h"

#include <cstdlib>
#include <cstring>

namespace orv {

const std::string* config_section::find(const std::string& name) const {
    auto it = index_.find(name);
    return it == index_.end() ? nullptr : &it->second->value;
}

void config_section::put(const std::string& name, const std::string& value) {
    erase(name);
    entries_.push_back({name, value});
    index_[name] = std::prev(entries_.end());
}

bool config_section::erase(const std::string& name) {
    auto it = index_.find(name);
    if (it == index_.end()) return false;
    entries_.erase(it->second);
    index_.erase(it);
    return true;
}

void config_section::clear() {
    entries_.clear();
    index_.clear();
}

const char* config_tree::get_text(const char* section, const char* name) const {
    if (name == nullptr) return nullptr;
    if (section != nullptr) {
        if (const config_section* s = find_section(section)) {
            if (const std::string* v = s->find(name)) return v->c_str();
        }
        if (std::strcmp(section, "ENV") == 0) {
            if (const char* env = std::getenv(name)) return env;
        }
    }
    if (const config_section* s = find_section(default_section)) {
        if (const std::string* v = s->find(name)) return v->c_str();
    }
    return nullptr;
}

int config_tree::get_number(const char* section, const char* name) const {
    const char* text = get_text(section, name);
    if (text == nullptr) return 0;
    long long value = 0;
    for (const char* p = text; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > 0x7fffffff) return 0x7fffffff;  // saturate instead of overflowing
    }
    return static_cast<int>(value);
}

int config_tree::put_text(const char* section, const char* name, const char* value) {
    if (name == nullptr || value == nullptr) return 1;
    ensure_section(section != nullptr ? section : default_section).put(name, value);
    return 0;
}

int config_tree::remove(const char* section, const char* name) {
    if (section == nullptr || std::strcmp(section, "ENV") == 0) return 1;
    config_section* s = find_mutable(section);
    if (s == nullptr) return 1;
    int result = 0;
    if (name != nullptr) {
        if (!s->erase(name)) result = 1;
    } else {
        s->clear();
    }
    if (s->empty()) drop_section(section);
    return result;
}

std::vector<std::string> config_tree::section_names(const char* section) const {
    std::vector<std::string> names;
    if (section == nullptr) return names;
    if (const config_section* s = find_section(section)) {
        for (const config_entry& e : s->entries()) names.push_back(e.name);
    }
    return names;
}

const config_section* config_tree::find_section(const std::string& name) const {
    auto it = by_name_.find(name);
    return it == by_name_.end() ? nullptr : it->second;
}

config_section* config_tree::find_mutable(const std::string& name) {
    auto it = by_name_.find(name);
    return it == by_name_.end() ? nullptr : it->second;
}

config_section& config_tree::ensure_section(const std::string& name) {
    if (config_section* s = find_mutable(name)) return *s;
    sections_.push_back(std::make_unique<config_section>(name));
    by_name_[name] = sections_.back().get();
    return *sections_.back();
}

void config_tree::drop_section(const std::string& name) {
    by_name_.erase(name);
    std::erase_if(sections_, [&](const auto& s) { return s->name() == name; });
}

std::vector<const config_section*> config_tree::sections() const {
    std::vector<const config_section*> out;
    for (const auto& s : sections_) out.push_back(s.get());
    return out;
}

}  // namespace orv
