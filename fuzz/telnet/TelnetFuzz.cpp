// Fuzzes the telnet decoder of network ports two ways.
//  1. The input as a server's byte stream, arbitrary: decoded whole and in
//     the pieces the input's first bytes choose, the results are the same;
//     no data byte comes from nowhere (at most one per input byte, a 255
//     only for an IAC IAC pair), no subnegotiation grows past its bound,
//     and every command's place in the data is where the data stood.
//  2. The input as serial data: escaped as the dispatcher sends it, with
//     telnet commands (negotiations, COM-PORT-OPTION subnegotiations whose
//     values hold 255s, NOP) put between its pieces where the input says,
//     then decoded in pieces: exactly the data comes out, every byte once,
//     and exactly the commands, in order, each at its place in the data.
#include "devices/network/TelnetCodec.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

using namespace sio::telnet;
using Bytes = std::vector<std::uint8_t>;

namespace {

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

bool Same(const TTelnetEvent& a, const TTelnetEvent& b)
{
    return a.kind == b.kind && a.verb == b.verb && a.option == b.option && a.payload == b.payload &&
           a.dataAt == b.dataAt;
}

// Decodes in pieces of 1..16 bytes, the sizes taken from seed in turn.
void DecodePieces(const Bytes& stream, const std::uint8_t* seed, std::size_t seedSize, bool crNul, Bytes& data,
                  std::vector<TTelnetEvent>& events)
{
    TTelnetDecoder d;
    d.SetCrNul(crNul);
    std::size_t at = 0, k = 0;
    while (at < stream.size()) {
        std::size_t n = seedSize ? seed[k++ % seedSize] % 16 + 1 : 1;
        if (n > stream.size() - at)
            n = stream.size() - at;
        d.Feed(stream.data() + at, n, data, events);
        at += n;
    }
}

void ArbitraryStream(const std::uint8_t* in, std::size_t size)
{
    const bool crNul = size > 0 && (in[0] & 1);
    const Bytes stream(in, in + size);
    Bytes whole, pieces;
    std::vector<TTelnetEvent> wholeEvents, pieceEvents;
    TTelnetDecoder d;
    d.SetCrNul(crNul);
    d.Feed(stream.data(), stream.size(), whole, wholeEvents);
    DecodePieces(stream, in, size < 8 ? size : 8, crNul, pieces, pieceEvents);
    Check(whole == pieces);
    Check(wholeEvents.size() == pieceEvents.size());
    for (std::size_t i = 0; i < wholeEvents.size(); ++i) {
        Check(Same(wholeEvents[i], pieceEvents[i]));
        Check(wholeEvents[i].payload.size() <= MaxSubnegotiation);
    }
    std::size_t pairs = 0;
    for (std::size_t i = 0; i + 1 < size; ++i)
        if (in[i] == IAC && in[i + 1] == IAC) {
            ++pairs;
            ++i;
        }
    std::size_t ffs = 0;
    for (std::uint8_t b : whole)
        ffs += b == IAC;
    Check(whole.size() <= size);
    Check(ffs <= pairs);
    // Each command's place in the data is where the data stood then.
    for (std::size_t i = 0; i < wholeEvents.size(); ++i)
        Check(wholeEvents[i].dataAt <= whole.size() && (i == 0 || wholeEvents[i - 1].dataAt <= wholeEvents[i].dataAt));
}

void RoundTrip(const std::uint8_t* in, std::size_t size)
{
    // The first half is data; the second half says where commands go and
    // which, and how the stream is cut when decoded.
    const std::size_t half = size / 2;
    const Bytes data(in, in + half);
    const std::uint8_t* plan = in + half;
    const std::size_t planSize = size - half;
    Bytes stream;
    std::vector<TTelnetEvent> expected;
    std::size_t at = 0, k = 0;
    while (at < data.size()) {
        const std::uint8_t p = planSize ? plan[k++ % planSize] : 0;
        std::size_t n = (p >> 3) % 9 + 1;
        if (n > data.size() - at)
            n = data.size() - at;
        EscapeInto(data.data() + at, n, stream);
        at += n;
        TTelnetEvent e;
        e.dataAt = at;  // every data byte so far came before it
        switch (p & 7) {
        case 0:
            e.kind = TTelnetEvent::Negotiation;
            e.verb = static_cast<std::uint8_t>(WILL + (p >> 6));
            e.option = data[at - 1];
            NegotiationInto(e.verb, e.option, stream);
            expected.push_back(e);
            break;
        case 1: {
            e.kind = TTelnetEvent::Subnegotiation;
            e.option = OptComPort;
            const std::uint8_t command = static_cast<std::uint8_t>(ServerOffset + (p >> 4));
            // The value: the data just sent, 255s and all.
            const std::size_t len = n < 4 ? n : 4;
            e.payload.push_back(command);
            e.payload.insert(e.payload.end(), data.begin() + static_cast<std::ptrdiff_t>(at - len),
                             data.begin() + static_cast<std::ptrdiff_t>(at));
            ComPortInto(command, data.data() + at - len, len, stream);
            expected.push_back(e);
            break;
        }
        case 2:
            e.kind = TTelnetEvent::Command;
            e.verb = NOP;
            stream.push_back(IAC);
            stream.push_back(NOP);
            expected.push_back(e);
            break;
        default:
            break;
        }
    }
    Bytes got;
    std::vector<TTelnetEvent> events;
    DecodePieces(stream, plan, planSize, false, got, events);
    Check(got == data);
    Check(events.size() == expected.size());
    for (std::size_t i = 0; i < events.size(); ++i)
        Check(Same(events[i], expected[i]));

    // Cut anywhere, an escaped block is completed to a whole pair at most
    // one byte on: decoding the cut stream loses no byte before the cut.
    Bytes escaped;
    EscapeInto(data.data(), data.size(), escaped, false);
    const std::size_t cut = planSize ? plan[0] % (escaped.size() + 1) : 0;
    const std::size_t tail = BytesToCompletePair(escaped.data(), cut, escaped.size(), false);
    Check(tail <= 1 && cut + tail <= escaped.size());
    Bytes prefix(escaped.begin(), escaped.begin() + static_cast<std::ptrdiff_t>(cut + tail));
    Bytes decoded;
    std::vector<TTelnetEvent> none;
    TTelnetDecoder d;
    d.Feed(prefix.data(), prefix.size(), decoded, none);
    Check(none.empty());
    Check(decoded.size() <= data.size());
    Check(Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(decoded.size())) == decoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ArbitraryStream(data, size);
    RoundTrip(data, size);
    return 0;
}
