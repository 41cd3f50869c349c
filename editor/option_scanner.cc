#include "editor/option_scanner.h"

#include <cstring>

namespace orv {

option_scanner::option_scanner(int argc, char** argv, const char* optstring)
    : argc_(argc), argv_(argv), optstring_(optstring) {}

const char* option_scanner::program() const { return argc_ > 0 && argv_[0] != nullptr ? argv_[0] : "orvconf"; }

int option_scanner::next() {
    argument_ = nullptr;
    if (offset_ == 0) {
        if (index_ >= argc_) return -1;
        const char* element = argv_[index_];
        if (element[0] != '-' || element[1] == '\0') return -1;
        if (std::strcmp(element, "--") == 0) {
            ++index_;
            return -1;
        }
        offset_ = 1;
    }
    char* element = argv_[index_];
    unsigned char letter = static_cast<unsigned char>(element[offset_++]);
    bool element_done = element[offset_] == '\0';
    const char* at = letter != ':' ? std::strchr(optstring_, letter) : nullptr;
    if (at == nullptr) {
        diagnostic_ = std::string(program()) + ": invalid option -- '" + static_cast<char>(letter) + "'\n";
        if (element_done) {
            ++index_;
            offset_ = 0;
        }
        return '?';
    }
    if (at[1] != ':') {
        if (element_done) {
            ++index_;
            offset_ = 0;
        }
        return letter;
    }
    // The argument is the rest of this element, or else the whole next element.
    if (!element_done) {
        argument_ = element + offset_;
        ++index_;
    } else if (index_ + 1 < argc_) {
        argument_ = argv_[index_ + 1];
        index_ += 2;
    } else {
        diagnostic_ = std::string(program()) + ": option requires an argument -- '" + static_cast<char>(letter) + "'\n";
        ++index_;
        offset_ = 0;
        return '?';
    }
    offset_ = 0;
    return letter;
}

}  // namespace orv
