// URLs the desktop hands the helper: any bytes as one argument. Parsing
// never fails, and percent-encoding any bytes decodes back to them.
#include "core/url_event.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const KInstall::URLParts parts = KInstall::parseURLEvent(text);
    if (parts.parameters.empty())
        std::abort();

    static const char digits[] = "0123456789ABCDEF";
    std::string encoded, decoded;
    for (unsigned char c : text)
        encoded += {'%', digits[c >> 4], digits[c & 15]};
    if (!KInstall::percentDecode(encoded, &decoded) || decoded != text)
        std::abort();
    return 0;
}
