#include "core/url_event.h"

#include <gtest/gtest.h>

#include <tuple>

using KInstall::parseURLEvent;
using Params = std::map<std::string, std::string>;

namespace {

TEST(URLEvent, TakesTheURLApart)
{
    // name, text, scheme, host, path, parameters
    const std::tuple<const char *, const char *, const char *, const char *, const char *, Params> cases[] = {
        {"Example", "tessaron://open?a=1&b=two%20words", "tessaron", "open", "", {{"a", "1"}, {"b", "two words"}}},
        {"LaterKeyWins", "tessaron://x?a=1&a=2", "tessaron", "x", "", {{"a", "2"}}},
        {"FlagWithoutValue", "tessaron://x?flag", "tessaron", "x", "", {{"flag", ""}}},
        {"ThirdPartDropped", "tessaron://x?a=b=c", "tessaron", "x", "", {{"a", "b"}}},
        {"KeysStayEncoded", "tessaron://x?%41=%41", "tessaron", "x", "", {{"%41", "A"}}},
        {"PlusStaysPlus", "tessaron://x?a=b+c", "tessaron", "x", "", {{"a", "b+c"}}},
        {"NoQuery", "tessaron://open", "tessaron", "open", "", {{"", ""}}},
        {"EmptyPieces", "tessaron://x?&a=1&", "tessaron", "x", "", {{"", ""}, {"a", "1"}}},
        {"PathDecoded", "tessaron-helper://host/some%20dir/file?x=1", "tessaron-helper", "host", "/some dir/file", {{"x", "1"}}},
        {"UserAndPortLeaveTheHost", "tessaron://me:pw@example.com:8080/p", "tessaron", "example.com", "/p", {{"", ""}}},
        {"IPv6Host", "tessaron://[::1]:80/p", "tessaron", "::1", "/p", {{"", ""}}},
        {"FragmentIgnored", "tessaron://x/p?a=1#frag", "tessaron", "x", "/p", {{"a", "1"}}},
        {"NoAuthority", "mailto:support@tessaron.pro", "mailto", "", "support@tessaron.pro", {{"", ""}}},
        {"Relative", "just/a/path?k=v", "", "", "just/a/path", {{"k", "v"}}},
        {"BadSchemeIsPath", "1x:y", "", "", "1x:y", {{"", ""}}},
        {"SpaceIsNoURL", "tessaron://open?a=two words", "", "", "", {{"", ""}}},
        {"NonAsciiIsNoURL", "tessaron://\xc3\xa9t\xc3\xa9", "", "", "", {{"", ""}}},
        {"LowerCaseHexAndNul", "tessaron://x?a=%2f%2F%00x", "tessaron", "x", "", {{"a", std::string("//\0x", 4)}}},
        {"TruncatedEscapesKeptRaw", "tessaron://x?a=%4&b=%", "tessaron", "x", "", {{"a", "%4"}, {"b", "%"}}},
        {"BadEscapeLosesTheHost", "tessaron://h%G1/p", "tessaron", "", "/p", {{"", ""}}},
    };
    for (const auto &[name, text, scheme, host, path, parameters] : cases) {
        const auto parts = parseURLEvent(text);
        EXPECT_EQ(std::tie(parts.scheme, parts.host, parts.path, parts.parameters),
            std::tie(scheme, host, path, parameters)) << name;
    }
}

} // namespace
