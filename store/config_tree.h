// The configuration tree: named sections, each an ordered sequence of unique (name, value) texts.
//
// Entries keep insertion order inside their section; replacing an entry moves it to the end.
// Sections are enumerated in the order they were created. The tree owns every text; pointers
// handed out stay valid until the entry is replaced or deleted, or the tree is destroyed.
#pragma once

#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace orv {

class strong_keys;

struct config_entry {
    std::string name;
    std::string value;
};

class config_section {
public:
    explicit config_section(std::string name) : name_(std::move(name)) {}

    const std::string& name() const { return name_; }
    const std::list<config_entry>& entries() const { return entries_; }
    bool empty() const { return entries_.empty(); }

    const std::string* find(const std::string& name) const;
    void put(const std::string& name, const std::string& value);  // replaces and moves to the end
    bool erase(const std::string& name);
    void clear();

private:
    std::string name_;
    std::list<config_entry> entries_;
    std::unordered_map<std::string, std::list<config_entry>::iterator> index_;
};

class config_tree {
public:
    static constexpr const char* default_section = "default";

    // Looks up (section, name), then the process environment when the section is "ENV",
    // then ("default", name). A null section means "default".
    const char* get_text(const char* section, const char* name) const;
    // Leading decimal digits of get_text; 0 when missing or not starting with a digit.
    int get_number(const char* section, const char* name) const;
    // Copies name and value; creates the section if missing. 0 on success.
    int put_text(const char* section, const char* name, const char* value);
    // With a name removes that entry, without one every entry; an emptied section goes too.
    // "ENV" and missing sections or entries fail. 0 on success.
    int remove(const char* section, const char* name);
    // Entry names of a section in order (empty when the section is missing).
    std::vector<std::string> section_names(const char* section) const;

    const config_section* find_section(const std::string& name) const;
    config_section& ensure_section(const std::string& name);
    // Sections in creation order.
    std::vector<const config_section*> sections() const;

    // The keys of the strong format when the tree's file is in it (or is to be written in it);
    // null for the classic format. Saving writes the format this names, so a file keeps its
    // format unless a caller changes it here.
    const std::shared_ptr<const strong_keys>& protection() const { return protection_; }
    void set_protection(std::shared_ptr<const strong_keys> keys) { protection_ = std::move(keys); }

private:
    std::shared_ptr<const strong_keys> protection_;
    std::vector<std::unique_ptr<config_section>> sections_;
    std::unordered_map<std::string, config_section*> by_name_;

    config_section* find_mutable(const std::string& name);
    void drop_section(const std::string& name);
};

}  // namespace orv
