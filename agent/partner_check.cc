#include "agent/partner_check.h"

namespace orv {

namespace {

std::string field(const std::string& entry, size_t index) {
    size_t start = 0;
    for (size_t i = 0; i < index; ++i) {
        start = entry.find('\t', start);
        if (start == std::string::npos) return {};
        ++start;
    }
    size_t end = entry.find('\t', start);
    return entry.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool has_field(const std::string& entry, size_t index) {
    size_t start = 0;
    for (size_t i = 0; i < index; ++i) {
        start = entry.find('\t', start);
        if (start == std::string::npos) return false;
        ++start;
    }
    return true;
}

}  // namespace

int check_partner(const std::vector<std::string>& partners, const std::string& subject, std::string& mapped) {
    mapped.clear();
    if (partners.empty()) return 0;

    int verdict = -1;
    size_t best_prefix = 0;
    const std::string* chosen = nullptr;
    for (const std::string& entry : partners) {
        std::string pattern = field(entry, 0);
        int entry_verdict = 0;
        if (!pattern.empty() && pattern[0] == '!') {
            entry_verdict = -1;
            pattern.erase(0, 1);
        }
        if (pattern.empty()) continue;
        if (pattern.back() == '*') {
            size_t k = pattern.size() - 1;
            if (k > best_prefix && subject.compare(0, k, pattern, 0, k) == 0 && subject.size() >= k) {
                verdict = entry_verdict;
                chosen = &entry;
                best_prefix = k;
            }
        } else if (subject == pattern) {
            verdict = entry_verdict;
            chosen = &entry;
            break;
        }
    }
    if (chosen && has_field(*chosen, 1)) mapped = field(*chosen, 1);
    return verdict;
}

}  // namespace orv
