#include "editor/command_record.h"

namespace orv {

session_record session_options::record(const char* name) const {
    session_record r;
    r.name = name;
    for (size_t i = 0; i < session_field_count; ++i) {
        const session_field& f = session_fields[i];
        if (f.kind == field_kind::text) r.*f.text = texts[i] ? texts[i]->c_str() : nullptr;
        else r.*f.number = numbers[i];
    }
    return r;
}

}  // namespace orv
