// Drives a whole ProtocolLayer from arbitrary bytes: either role, any
// chunking, restarts, resets, sends and clock steps. In a plain run a slow,
// obvious model of the stream rules must see exactly the events the layer
// raises; in a wild run the callbacks reset, restart, re-enter or drop the
// layer and only memory safety is checked.
//
// Input: one flag byte, then operations:
//   0x00-0xEF  feed that many following bytes as one chunk
//   0xF0 startHandshake      0xF1 reset            0xF2 send next n bytes
//   0xF3 step clock (int8)   0xF4 feed all the rest
//   0xF5 feed the peer's handshake frame           0xF6 feed a data frame of next n bytes
//   0xF7 rebuild a dropped layer, others feed an empty chunk
// Flags: bit 0 initiator, 1 error callback, 2 wild, 3 send fails (wild: loop
// frames back), 4-5 secret, 6 wild error drops the layer, 7 wild error resets.
#include "network/protocol_layer.h"
#include "tests/support/frames.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<std::byte>;

constexpr std::int64_t kFuzzClock = 1'700'000'000;
const std::string kExpired = "Frame expired or timestamp invalid";
const std::string kMismatch = "Handshake failed: secret mismatch";
const std::string kSecrets[] = {"", "s3cret", "ABCDEF01-2345-6789-ABCD-EF0123456789pro.tessaron", "\xff\x80\x7f"};

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "protocol_layer_fuzz: %s\n", what);
        std::abort();
    }
}

struct Clock : Platform::Clock {
    std::int64_t now = kFuzzClock;
    std::int64_t unixTime() override { return now; }
};

Bytes frameOf(const Bytes &payload, std::uint32_t ts)
{
    return TestSupport::frame(payload, ts);
}

Bytes handshakeFrame(const std::string &secret, std::uint32_t ts)
{
    return TestSupport::handshake(secret, ts);
}

struct Event {
    char kind; // 'D' data, 'E' error, 'S' sent, 'H' handshake
    Bytes bytes;
    bool operator==(const Event &) const = default;
};

struct Model {
    bool initiator = true;
    bool hasError = true;
    bool sendResult = true;
    std::string secret;
    bool complete = false;
    Bytes buffer;
    std::vector<Event> events;

    bool feed(const Bytes &bytes, std::uint32_t now)
    {
        buffer.insert(buffer.end(), bytes.begin(), bytes.end());
        while (buffer.size() >= 12) {
            const std::uint32_t n = TestSupport::get32(buffer, 0);
            if (n > 16'777'216) {
                buffer.clear();
                return false;
            }
            if (buffer.size() < n + 12u)
                break;
            const std::uint32_t ts = TestSupport::get32(buffer, 4);
            const Bytes payload(buffer.begin() + 8, buffer.begin() + 8 + n);
            const bool goodSum = TestSupport::sumOf(payload) == TestSupport::get32(buffer, 8 + n);
            auto drop = [&] { buffer.erase(buffer.begin(), buffer.begin() + 12 + n); };
            if (!(static_cast<std::uint32_t>(ts + 30) >= now && ts <= static_cast<std::uint32_t>(now + 5))) {
                drop();
                if (hasError)
                    events.push_back({'E', TestSupport::text(kExpired)});
                continue;
            }
            if (!goodSum) {
                drop();
                return false;
            }
            if (complete) {
                drop();
                events.push_back({'D', payload});
                continue;
            }
            if (n != 4) {
                drop();
                continue;
            }
            if (TestSupport::get32(payload, 0) != TestSupport::sumOf(TestSupport::text(secret))) {
                if (hasError) {
                    events.push_back({'E', TestSupport::text(kMismatch)});
                    return false;
                }
                drop();
                continue;
            }
            drop();
            complete = true;
            if (!initiator && !secret.empty())
                events.push_back({'S', handshakeFrame(secret, now)});
            events.push_back({'H', {}});
        }
        return true;
    }

    void start(std::uint32_t now)
    {
        complete = false;
        if (initiator && !secret.empty())
            events.push_back({'S', handshakeFrame(secret, now)});
    }

    bool send(const Bytes &payload, std::uint32_t now)
    {
        if (!complete)
            return false;
        events.push_back({'S', frameOf(payload, now)});
        return sendResult;
    }
};

class Run {
public:
    explicit Run(std::uint8_t flags)
        : flags(flags)
    {
        model.initiator = flags & 1;
        model.hasError = flags & 2;
        model.sendResult = !(flags & 8);
        model.secret = kSecrets[(flags >> 4) & 3];
        build();
    }

    bool wild() const { return flags & 4; }
    std::uint32_t now() const { return static_cast<std::uint32_t>(clock.now); }

    void build()
    {
        layer = std::make_shared<KNetwork::ProtocolLayer>(model.initiator, clock);
        layer->setSecret(model.secret);
        layer->setOnSend([this](const Bytes &frame) {
            if (!wild()) {
                events.push_back({'S', frame});
                return model.sendResult;
            }
            check(frame.size() >= 12 && TestSupport::get32(frame, 0) + 12u == frame.size(), "sent frame length");
            if ((flags & 8) && spend() && layer)
                layer->processIncoming(frame);
            return true;
        });
        layer->setOnData([this](const Bytes &payload) { onData(payload); });
        if (model.hasError) {
            layer->setOnError([this](const std::string &text) {
                check(text == kExpired || text == kMismatch, "error text");
                if (!wild())
                    events.push_back({'E', TestSupport::text(text)});
                else if ((flags & 64) && spend())
                    layer.reset();
                else if ((flags & 128) && spend() && layer)
                    layer->reset();
            });
        }
        layer->setOnHandshake([this] {
            if (!wild()) {
                events.push_back({'H', {}});
            } else if (spend() && layer) {
                const std::byte hello[] = {std::byte{'h'}, std::byte{'i'}};
                check(layer->send(hello, sizeof hello), "send right after the handshake");
            }
        });
    }

    void onData(const Bytes &payload)
    {
        if (!wild()) {
            events.push_back({'D', payload});
            return;
        }
        if (payload.empty() || !layer || !spend())
            return;
        switch (static_cast<char>(payload[0])) {
        case 'R': layer->reset(); break;
        case 'D': layer.reset(); break;
        case 'H': layer->startHandshake(); break;
        case 'S': layer->send(payload.data(), payload.size()); break;
        case 'N': layer->processIncoming(Bytes(payload.begin() + 1, payload.end())); break;
        case 'C': layer->setOnData([this](const Bytes &p) { onData(p); }); break;
        default: break;
        }
    }

    void feed(const Bytes &chunk)
    {
        if (!layer)
            return;
        const bool result = layer->processIncoming(chunk);
        if (!wild())
            check(result == model.feed(chunk, now()), "processIncoming result");
    }

    void compare() const
    {
        if (wild() || events == model.events)
            return;
        dump("layer", events);
        dump("model", model.events);
        check(false, "events differ from the model");
    }

    static void dump(const char *who, const std::vector<Event> &list)
    {
        std::fprintf(stderr, "%s:\n", who);
        for (const Event &e : list) {
            std::fprintf(stderr, "  %c", e.kind);
            for (std::byte b : e.bytes)
                std::fprintf(stderr, " %02x", std::to_integer<unsigned>(b));
            std::fprintf(stderr, "\n");
        }
    }

    // Wild callbacks can feed themselves forever; this bounds each input.
    bool spend() { return budget-- > 0; }

    Clock clock;
    Model model;
    std::shared_ptr<KNetwork::ProtocolLayer> layer;

private:
    std::uint8_t flags;
    std::vector<Event> events;
    int budget = 64;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const auto *in = reinterpret_cast<const std::byte *>(data);
    const std::byte *const end = in + size;
    Run run(std::to_integer<std::uint8_t>(*in++));
    auto take = [&](std::size_t n) {
        n = std::min(n, static_cast<std::size_t>(end - in));
        Bytes out(in, in + n);
        in += n;
        return out;
    };
    while (in < end) {
        const auto op = std::to_integer<std::uint8_t>(*in++);
        if (op < 0xF0) {
            run.feed(take(op));
        } else if (op == 0xF0) {
            if (run.layer) {
                run.layer->startHandshake();
                run.model.start(run.now());
            }
        } else if (op == 0xF1) {
            if (run.layer) {
                run.layer->reset();
                run.model.buffer.clear();
                run.model.complete = false;
            }
        } else if (op == 0xF2) {
            const Bytes payload = take(in < end ? std::to_integer<std::size_t>(*in++) : 0);
            if (run.layer) {
                const bool sent = run.layer->send(payload.data(), payload.size());
                check(run.wild() || sent == run.model.send(payload, run.now()), "send result");
            }
        } else if (op == 0xF3) {
            if (in < end)
                run.clock.now += static_cast<std::int8_t>(std::to_integer<std::uint8_t>(*in++));
        } else if (op == 0xF4) {
            run.feed(take(static_cast<std::size_t>(end - in)));
        } else if (op == 0xF5) {
            run.feed(handshakeFrame(run.model.secret, run.now()));
        } else if (op == 0xF6) {
            run.feed(frameOf(take(in < end ? std::to_integer<std::size_t>(*in++) : 0), run.now()));
        } else if (op == 0xF7) {
            if (!run.layer) {
                run.build();
                run.model.buffer.clear();
                run.model.complete = false;
            }
        } else {
            run.feed({});
        }
        run.compare();
    }
    return 0;
}
