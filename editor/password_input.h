// Password entry from the terminal, without echo.
#pragma once

#include <string>

#include "editor/command_record.h"

namespace orv {

// "Enter password for \"<path>\":" and "Enter new password for \"<path>\":".
std::string password_prompt(const std::string& path);
std::string new_password_prompt(const std::string& path);

// Reads one password (no second entry) into `buf`; false when the reader fails or the text is
// empty, and the buffer is then left empty.
bool read_password(password_buffer& buf, const std::string& prompt);

}  // namespace orv
