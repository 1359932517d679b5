// Drives the command service the way the link does: the input is cut into
// payloads (one length byte each), every payload is decoded and handed to a
// service whose pointer sink and sender only record.
#include "platform/pointer.h"
#include "service/service.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

struct Sink : Platform::Pointer {
    std::size_t moves = 0;
    bool isAccessibilityTrusted() override { return true; }
    bool canCreateEventTap() override { return true; }
    void postPointerMove(double x, double y) override
    {
        // Touch the values so a bad read shows up under the sanitizers.
        if (std::isnan(x) && std::isnan(y))
            ++moves;
        ++moves;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Sink sink;
    auto service = std::make_shared<Helper::Service>(sink);
    std::size_t answers = 0;
    service->setSender([&](const std::vector<std::byte> &message) {
        // Every answer must itself decode to a Features or status message.
        auto decoded = Helper::decodeServiceMessage(message);
        if (!decoded || (decoded->type != 2 && decoded->type != 4))
            std::abort();
        ++answers;
    });
    service->start();

    std::size_t at = 0;
    while (at < size) {
        std::size_t length = data[at++];
        if (length > size - at)
            length = size - at;
        std::vector<std::byte> payload(reinterpret_cast<const std::byte *>(data + at),
                                       reinterpret_cast<const std::byte *>(data + at + length));
        at += length;
        auto decoded = Helper::decodeServiceMessage(payload);
        if (decoded && Helper::encodeServiceMessage(*decoded).size() != decoded->payload.size() + 5)
            std::abort();
        std::size_t cursor = 0;
        while (Helper::readDoubleBE(payload, cursor))
            if (cursor > payload.size())
                std::abort();
        service->handleMessage(payload);
    }
    // The status message goes out whatever came in.
    if (answers == 0)
        std::abort();
    return 0;
}
