// The name check for object names (sessions, keys, certificates).
#pragma once

#include <string>

namespace orv {

// Letters, digits and '_' only (the empty name passes), and none of the names of the store's
// own sections: such a name would collide with them in the file.
bool valid_object_name(const std::string& name);

}  // namespace orv
