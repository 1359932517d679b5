// Hands a service each payload cut from the input (one length byte each),
// as the link does, and checks what holds for any bytes: decoding and
// encoding agree with the header, a double is read only where eight bytes
// are, and every answer decodes to a Features or status message.
#include "platform/pointer.h"
#include "service/service.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<std::byte>;

void check(bool ok)
{
    if (!ok)
        std::abort();
}

struct Sink : Platform::Pointer {
    void postPointerMove(double, double) override {}
    bool isAccessibilityTrusted() override { return true; }
    bool canCreateEventTap() override { return true; }
    Platform::Desktop desktop() override { return Platform::Desktop::X11; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Sink sink;
    auto service = std::make_shared<Helper::Service>(sink);
    std::size_t answers = 0;
    service->setSender([&](const Bytes &message) {
        const auto decoded = Helper::decodeServiceMessage(message);
        check(decoded && (decoded->type == 2 || decoded->type == 4));
        ++answers;
    });
    service->start();
    check(answers == 1);
    for (std::size_t at = 0; at < size;) {
        const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
        const auto *from = reinterpret_cast<const std::byte *>(data + at + 1);
        const Bytes payload(from, from + length);
        at += 1 + length;
        if (const auto decoded = Helper::decodeServiceMessage(payload))
            check(Helper::encodeServiceMessage(*decoded) == Bytes(from, from + 5 + decoded->payload.size()));
        for (std::size_t cursor = 0; Helper::readDoubleBE(payload, cursor);)
            check(cursor <= payload.size());
        service->handleMessage(payload);
    }
    return 0;
}
