#include "ui/guidance_text.h"

namespace KUI {

std::string replaceAll(std::string text, const std::string &from, const std::string &to)
{
    if (from.empty())
        return text;
    std::size_t at = 0;
    while ((at = text.find(from, at)) != std::string::npos) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}

std::string replacePlaceholders(std::string text, const PlaceholderPairs &pairs)
{
    for (const auto &[placeholder, value] : pairs) {
        if (placeholder.empty() || text.find(placeholder) == std::string::npos)
            continue;
        bool holdsValue = !value.empty() && text.find(value) != std::string::npos;
        if (!holdsValue)
            text = replaceAll(std::move(text), placeholder, value);
    }
    return text;
}

std::string makeUtmQuery(const std::string &osVersion, const std::string &shortVersion,
    const std::string &identifier)
{
    return "?utm_source=mas&utm_medium=" + osVersion + "&utm_campaign=" + shortVersion
        + "&utm_content=" + identifier;
}

const std::string &siteBaseURL()
{
    static const std::string base = "https://tessaron.pro/";
    return base;
}

} // namespace KUI
