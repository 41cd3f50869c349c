// The configuration text: the writer's INI-like form and its reading through OpenSSL's loader.
#pragma once

#include <memory>
#include <string>

#include "store/config_tree.h"

namespace orv {

// "[ name ]" headers, "name=value" lines with values escaped, an empty line after each section.
std::string write_config_text(const config_tree& tree);
std::string escape_config_value(const std::string& value);

// Reads the text with the library's configuration loader and copies every section and its
// ordered entries into a new tree. Null when the text does not parse (the reason stays on the
// library's error queue).
std::unique_ptr<config_tree> parse_config_text(const std::string& text);

}  // namespace orv
