#include "core/url_event.h"

#include <cctype>
#include <vector>

namespace KInstall {

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// What a URL may hold as it is: unreserved, reserved and "%". Spaces,
// quotes, angle brackets, control and non-ASCII bytes make it no URL.
bool allowedInURL(unsigned char c)
{
    if (std::isalnum(c))
        return true;
    switch (c) {
    case '-': case '.': case '_': case '~': case ':': case '/': case '?': case '#': case '[': case ']':
    case '@': case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',':
    case ';': case '=': case '%':
        return true;
    default:
        return false;
    }
}

bool validScheme(const std::string &scheme)
{
    if (scheme.empty() || !std::isalpha(static_cast<unsigned char>(scheme[0])))
        return false;
    for (unsigned char c : scheme)
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.')
            return false;
    return true;
}

// Splitting as the platform does: no separator gives the text itself, an
// empty text one empty part.
std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t at = text.find(separator, start);
        if (at == std::string::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

std::string hostOf(const std::string &authority)
{
    std::string host = authority;
    std::size_t at = host.rfind('@');
    if (at != std::string::npos)
        host.erase(0, at + 1);
    if (!host.empty() && host[0] == '[') {
        std::size_t close = host.find(']');
        return close == std::string::npos ? std::string() : host.substr(1, close - 1);
    }
    std::size_t colon = host.find(':');
    if (colon != std::string::npos)
        host.erase(colon);
    std::string decoded;
    return percentDecode(host, &decoded) ? decoded : std::string();
}

} // namespace

bool percentDecode(const std::string &text, std::string *out)
{
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded.push_back(text[i]);
            continue;
        }
        int high = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
        int low = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
        if (high < 0 || low < 0)
            return false;
        decoded.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    *out = std::move(decoded);
    return true;
}

URLParts parseURLEvent(const std::string &text)
{
    URLParts parts;
    std::string query;
    bool valid = !text.empty();
    for (unsigned char c : text)
        valid = valid && allowedInURL(c);

    if (valid) {
        std::string rest = text;
        std::size_t hash = rest.find('#');
        if (hash != std::string::npos)
            rest.erase(hash);
        std::size_t colon = rest.find(':');
        std::size_t firstDelimiter = rest.find_first_of("/?");
        if (colon != std::string::npos && (firstDelimiter == std::string::npos || colon < firstDelimiter)) {
            std::string scheme = rest.substr(0, colon);
            if (validScheme(scheme)) {
                parts.scheme = scheme;
                rest.erase(0, colon + 1);
            }
        }
        std::size_t question = rest.find('?');
        if (question != std::string::npos) {
            query = rest.substr(question + 1);
            rest.erase(question);
        }
        if (rest.compare(0, 2, "//") == 0) {
            std::size_t end = rest.find('/', 2);
            parts.host = hostOf(rest.substr(2, end == std::string::npos ? std::string::npos : end - 2));
            rest = end == std::string::npos ? std::string() : rest.substr(end);
        }
        std::string path;
        if (percentDecode(rest, &path))
            parts.path = path;
    }

    for (const std::string &piece : split(query, '&')) {
        std::vector<std::string> pair = split(piece, '=');
        std::string raw = pair.size() >= 2 ? pair[1] : std::string();
        std::string value;
        parts.parameters[pair[0]] = percentDecode(raw, &value) ? value : raw;
    }
    return parts;
}

} // namespace KInstall
