// The orvconf command line: option string, word options and their conditions, value options
// and the usage text.
#pragma once

#include <string>

#include "editor/command_record.h"

namespace orv {

inline constexpr const char* editor_option_string =
    "f:k:c:r:s:l:d:i:g:R:N:I:O:S:K:D:L:H:P:C:A:B:X:v:E:J:p:Myz:maU:o:b:q:eu:T:jxZ:G:F:W:Y:t:V:";

// Fills `rec` from argv. False when the command line is rejected: the caller prints the usage
// (after `diagnostic`, the option scanner's own message, when that is not empty) and exits 1.
// A -z password is copied into rec.password and overwritten in argv.
bool parse_command_line(int argc, char** argv, command_record& rec, std::string& diagnostic);

// The decimal value of an option argument as atoi reads it, clamped to the int range.
int decimal_value(const char* text);

std::string usage_text();

}  // namespace orv
