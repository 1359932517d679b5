#include "accessibility/permission_rules.h"

namespace KSystem {

bool probeFailureIsLimitation(std::int64_t major, std::int64_t minor)
{
    return !(major > 10 || (major == 10 && minor >= 10));
}

PermissionStep nextPermissionStep(PermissionState state, bool missing, bool limited, bool windowOpen)
{
    PermissionStep step;
    step.state = state;
    if (!missing) {
        if (state != PermissionState::Granted) {
            step.state = PermissionState::Granted;
            step.pollInterval = kGrantedPollInterval;
            step.postGranted = true;
        }
        return step;
    }
    // The limitation message has been shown and the quit requested; an open
    // window already says all there is to say.
    if (limited || windowOpen)
        return step;
    step.openWindow = true;
    if (state != PermissionState::Missing) {
        step.state = PermissionState::Missing;
        step.pollInterval = kMissingPollInterval;
        step.callDenied = true;
    }
    return step;
}

} // namespace KSystem

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
