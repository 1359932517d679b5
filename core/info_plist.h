#pragma once

#include <map>
#include <string>
#include <string_view>

namespace KCore {

// The string values of an XML property list's top-level dictionary. A text
// or file that is missing, malformed or not a dictionary gives an empty map;
// values of other types (numbers, arrays, nested dictionaries) are left out.
std::map<std::string, std::string> parseInfoPlist(std::string_view text);
std::map<std::string, std::string> readInfoPlist(const std::string &path);

} // namespace KCore
