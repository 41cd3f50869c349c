#include "editor/object_name.h"

namespace orv {

bool valid_object_name(const std::string& name) {
    static const char allowed[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_";
    if (name.find_first_not_of(allowed) != std::string::npos) return false;
    for (const char* reserved : {"default", "keys", "certs", "roots"}) {
        if (name == reserved) return false;
    }
    return true;
}

}  // namespace orv
