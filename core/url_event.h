#pragma once

#include <map>
#include <string>

// A URL the desktop opened the helper with, taken apart.
namespace KInstall {

struct URLParts {
    std::string scheme;
    std::string host;
    // Percent-decoded.
    std::string path;
    // One entry per distinct key; a later key replaces an earlier one. Keys
    // stay as written, values are percent-decoded when they decode cleanly.
    std::map<std::string, std::string> parameters;
};

// Never fails: text that is no valid URL gives empty pieces, and a missing
// or empty query gives one entry whose key and value are both empty.
URLParts parseURLEvent(const std::string &text);

// Percent escapes decoded as UTF-8 bytes; false on a malformed escape.
bool percentDecode(const std::string &text, std::string *out);

} // namespace KInstall
