// Drives a ProtocolLayer with arbitrary chunks, sends, clock steps, restarts
// and resets while its callbacks reset, restart, re-enter, drop or replace
// it, and checks what holds whatever happens: sent frames are well formed
// and stamped now, and before the handshake only its value goes out; data
// and successful sends come only while verified; error texts are the two
// known ones; after a reset or drop the running call raises nothing more.
//
// Input: one flag byte, then operations:
//   0x00-0xEF  feed that many following bytes      0xF0 startHandshake
//   0xF1 reset       0xF2 send the next n bytes     0xF3 step the clock (int8)
//   0xF4 feed the peer's handshake                  0xF5 feed a data frame of the next n bytes
//   others: rebuild a dropped layer
// Flags: bit 0 initiator, 1 error callback, 2-3 secret, 4 sends fail and
// loop the frame back, 5-6 the callback that acts (send, handshake, error),
// 7 it drops rather than resets. A data payload's first byte picks what the
// data callback does with the layer: Reset, Drop, Handshake, Send or Nest
// the rest, Change the callback.
#include "network/protocol_layer.h"
#include "tests/support/frames.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace TestSupport;

const std::string kSecrets[] = {"", "s3cret", "ABCDEF01-2345-6789-ABCD-EF0123456789pro.tessaron", "\xff\x80\x7f"};

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "protocol_layer_fuzz: %s\n", what);
        std::abort();
    }
}

struct Run : Platform::Clock {
    explicit Run(std::uint8_t flags) : flags(flags), secret(kSecrets[flags >> 2 & 3]) { build(); }
    std::int64_t unixTime() override { return clock; }
    std::uint32_t now() const { return static_cast<std::uint32_t>(clock); }

    void build()
    {
        layer = std::make_shared<KNetwork::ProtocolLayer>(flags & 1, *this);
        layer->setSecret(secret);
        verified = false;
        layer->setOnSend([this](const Bytes &f) {
            const std::uint32_t n = f.size() >= 12 ? get32(f, 0) : 0;
            check(f.size() >= 12 && n + 12u == f.size() && get32(f, 4) == now()
                    && get32(f, 8 + n) == sumOf(slice(f, 8, 8 + n)),
                "sent frame");
            check(verified || f == handshake(secret, now()), "only the handshake goes out before it completes");
            raised(1);
            if (flags & 16)
                act('N', f);
            return !(flags & 16);
        });
        layer->setOnData([this](const Bytes &p) { onData(p); });
        if (flags & 2) {
            layer->setOnError([this](const std::string &e) {
                check(e == "Frame expired or timestamp invalid" || e == "Handshake failed: secret mismatch", "error text");
                raised(3);
            });
        }
        layer->setOnHandshake([this] {
            verified = true;
            raised(2);
        });
    }

    // Only a call started on the layer as it is now may raise a callback.
    void raised(int callback)
    {
        check(!calls.empty() && calls.back() == generation, "raised after a reset or drop");
        if (callback && (flags >> 5 & 3) == callback)
            act(flags & 128 ? 'D' : 'R');
    }

    void onData(const Bytes &p)
    {
        check(verified, "data before the handshake");
        raised(0);
        if (!p.empty())
            act(static_cast<char>(p[0]), slice(p, 1, p.size()));
    }

    void act(char what, const Bytes &bytes = {})
    {
        // Callbacks may feed and send forever; this bounds what they do.
        if (!layer || (!calls.empty() && budget-- <= 0))
            return;
        const bool sends = verified && !(flags & 16);
        calls.push_back(generation);
        if (what == 'R' || what == 'D') {
            ++generation;
            verified = false;
            what == 'R' ? layer->reset() : layer.reset();
        } else if (what == 'H') {
            verified = false;
            layer->startHandshake();
        } else if (what == 'S') {
            check(layer->send(bytes.data(), bytes.size()) == sends, "send result");
        } else if (what == 'N') {
            layer->processIncoming(bytes);
        } else if (what == 'C') {
            layer->setOnData([this](const Bytes &p) { onData(p); });
        }
        calls.pop_back();
    }

    std::uint8_t flags;
    std::string secret;
    std::int64_t clock = 1'700'000'000;
    std::shared_ptr<KNetwork::ProtocolLayer> layer;
    bool verified = false;
    int generation = 0;     // counts resets and drops
    std::vector<int> calls; // the generation each running call started in
    int budget = 64;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::uint8_t *in = data, *const end = data + size;
    Run run(*in++);
    auto take = [&](std::size_t n) {
        const auto *from = reinterpret_cast<const std::byte *>(in);
        in += std::min<std::size_t>(n, end - in);
        return Bytes(from, reinterpret_cast<const std::byte *>(in));
    };
    auto next = [&] { return in < end ? *in++ : std::uint8_t{0}; };
    while (in < end) {
        const std::uint8_t op = *in++;
        switch (op) {
        case 0xF0: run.act('H'); break;
        case 0xF1: run.act('R'); break;
        case 0xF2: run.act('S', take(next())); break;
        case 0xF3: run.clock += static_cast<std::int8_t>(next()); break;
        case 0xF4: run.act('N', handshake(run.secret, run.now())); break;
        case 0xF5: run.act('N', frame(take(next()), run.now())); break;
        default:
            if (op < 0xF0)
                run.act('N', take(op));
            else if (!run.layer)
                run.build();
        }
    }
    return 0;
}
