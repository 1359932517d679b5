// The bundle's Info.plist as any bytes: the reader gives a map or nothing,
// under the sanitizers, and the same bytes always give the same map.
#include "core/info_plist.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const auto values = KCore::parseInfoPlist(text);
    if (KCore::parseInfoPlist(text) != values)
        std::abort();
    return 0;
}
