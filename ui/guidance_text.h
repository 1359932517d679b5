#pragma once

#include "platform/pointer.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

// The guidance window's text substitution and its web links. Standard
// library only.
namespace KUI {

// Placeholder and value, applied in order.
using PlaceholderPairs = std::vector<std::pair<std::string, std::string>>;

// Every occurrence of from replaced by to; an empty from changes nothing.
std::string replaceAll(std::string text, const std::string &from, const std::string &to);

// For each pair in order: when the text holds the placeholder and not yet
// the value, every placeholder becomes the value. A text that already names
// the value keeps its placeholders. An empty value is never "held".
std::string replacePlaceholders(std::string text, const PlaceholderPairs &pairs);

// "?utm_source=mas&utm_medium=<os>&utm_campaign=<short version>&utm_content=<identifier>",
// the values inserted as they are.
std::string makeUtmQuery(const std::string &osVersion, const std::string &shortVersion,
    const std::string &identifier);

// What the window explains and the steps it gives on a desktop other than
// X11, where the window's own texts hold. "{{APPNAME}}" as in the window.
struct DesktopGuidance {
    const char *explanation;
    const char *steps;
};
std::optional<DesktopGuidance> desktopGuidance(Platform::Desktop desktop);

// The product site, ending in "/".
const std::string &siteBaseURL();

} // namespace KUI
