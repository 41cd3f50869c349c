// The partner pattern matcher, on a certificate subject (the input's first line) and partner
// entries (the following lines, fields separated by tabs as stored). The verdict and the mapped
// name are compared with a separately written reading of the same rules.
#include <vector>

#include "agent/partner_check.h"
#include "fuzz/fuzz_support.h"

namespace {

std::vector<std::string> fields_of(const std::string& entry) {
    std::vector<std::string> fields(1);
    for (char c : entry) {
        if (c == '\t') fields.emplace_back();
        else fields.back() += c;
    }
    return fields;
}

// The rules: the first exact match decides; else the longest prefix pattern ("x*", at least one
// character before the star), the first among equals; a leading '!' refuses; nothing named is
// refused, and an empty list accepts.
int expected_verdict(const std::vector<std::string>& partners, const std::string& subject, std::string& mapped) {
    mapped.clear();
    if (partners.empty()) return 0;
    const std::vector<std::string>* chosen = nullptr;
    std::vector<std::vector<std::string>> parsed;
    parsed.reserve(partners.size());
    for (const std::string& entry : partners) parsed.push_back(fields_of(entry));
    size_t best = 0;
    for (const auto& fields : parsed) {
        std::string pattern = fields[0];
        if (!pattern.empty() && pattern[0] == '!') pattern.erase(0, 1);
        if (pattern.empty()) continue;
        if (pattern.back() != '*') {
            if (pattern == subject) {
                chosen = &fields;
                best = SIZE_MAX;
                break;
            }
            continue;
        }
        std::string prefix = pattern.substr(0, pattern.size() - 1);
        if (prefix.size() > best && subject.starts_with(prefix)) {
            chosen = &fields;
            best = prefix.size();
        }
    }
    if (chosen == nullptr) return -1;
    if (chosen->size() > 1) mapped = (*chosen)[1];
    return (*chosen)[0][0] == '!' ? -1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    orv::fuzz::input_reader in(data, size);
    std::string subject = in.until('\n');
    std::vector<std::string> partners;
    while (!in.empty()) partners.push_back(in.until('\n'));
    std::string mapped = "left over";
    int verdict = orv::check_partner(partners, subject, mapped);
    std::string expected_mapped;
    int expected = expected_verdict(partners, subject, expected_mapped);
    FUZZ_CHECK(verdict == expected);
    FUZZ_CHECK(mapped == expected_mapped);
    return 0;
}
