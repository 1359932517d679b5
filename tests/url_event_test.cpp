#include "core/url_event.h"

#include <gtest/gtest.h>

using KInstall::parseURLEvent;
using Params = std::map<std::string, std::string>;

namespace {

struct URLCase {
    const char *name;
    const char *text;
    const char *scheme;
    const char *host;
    const char *path;
    Params parameters;
};

const URLCase kURLs[] = {
    {"Example", "tessaron://open?a=1&b=two%20words", "tessaron", "open", "", {{"a", "1"}, {"b", "two words"}}},
    {"LaterKeyWins", "tessaron://x?a=1&a=2", "tessaron", "x", "", {{"a", "2"}}},
    {"FlagWithoutValue", "tessaron://x?flag", "tessaron", "x", "", {{"flag", ""}}},
    {"ThirdPartDropped", "tessaron://x?a=b=c", "tessaron", "x", "", {{"a", "b"}}},
    {"KeysStayEncoded", "tessaron://x?%41=%41", "tessaron", "x", "", {{"%41", "A"}}},
    {"BadEscapeKeptRaw", "tessaron://x?a=%ZZ", "tessaron", "x", "", {{"a", "%ZZ"}}},
    {"PlusStaysPlus", "tessaron://x?a=b+c", "tessaron", "x", "", {{"a", "b+c"}}},
    {"NoQuery", "tessaron://open", "tessaron", "open", "", {{"", ""}}},
    {"EmptyQuery", "tessaron://open?", "tessaron", "open", "", {{"", ""}}},
    {"EmptyPieces", "tessaron://x?&a=1&", "tessaron", "x", "", {{"", ""}, {"a", "1"}}},
    {"PathDecoded", "tessaron-helper://host/some%20dir/file?x=1", "tessaron-helper", "host", "/some dir/file", {{"x", "1"}}},
    {"UserAndPortLeaveTheHost", "tessaron://me:pw@example.com:8080/p", "tessaron", "example.com", "/p", {{"", ""}}},
    {"IPv6Host", "tessaron://[::1]:80/p", "tessaron", "::1", "/p", {{"", ""}}},
    {"FragmentIgnored", "tessaron://x/p?a=1#frag", "tessaron", "x", "/p", {{"a", "1"}}},
    {"NoAuthority", "mailto:support@tessaron.pro", "mailto", "", "support@tessaron.pro", {{"", ""}}},
    {"Relative", "just/a/path?k=v", "", "", "just/a/path", {{"k", "v"}}},
    {"SpaceIsNoURL", "tessaron://open?a=two words", "", "", "", {{"", ""}}},
    {"NonAsciiIsNoURL", "tessaron://\xc3\xa9t\xc3\xa9", "", "", "", {{"", ""}}},
    {"Empty", "", "", "", "", {{"", ""}}},
    {"DecodedUtf8Value", "tessaron://x?name=Tessar%C3%B3n", "tessaron", "x", "", {{"name", "Tessar\xc3\xb3n"}}},
    {"LowerCaseHexAndNul", "tessaron://x?a=%2f%2F%00x", "tessaron", "x", "", {{"a", std::string("//\0x", 4)}}},
    {"TruncatedEscapesKeptRaw", "tessaron://x?a=%4&b=%", "tessaron", "x", "", {{"a", "%4"}, {"b", "%"}}},
    {"BadEscapeLosesTheHost", "tessaron://h%G1/p", "tessaron", "", "/p", {{"", ""}}},
};

class URLEvent : public testing::TestWithParam<URLCase> {};

TEST_P(URLEvent, TakesTheURLApart)
{
    auto parts = parseURLEvent(GetParam().text);
    EXPECT_EQ(parts.scheme, GetParam().scheme);
    EXPECT_EQ(parts.host, GetParam().host);
    EXPECT_EQ(parts.path, GetParam().path);
    EXPECT_EQ(parts.parameters, GetParam().parameters);
}

INSTANTIATE_TEST_SUITE_P(Texts, URLEvent, testing::ValuesIn(kURLs),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
