#include "Wire.h"

#include <algorithm>
#include <cstdio>

namespace tarnell::sim {

Clock::duration CharacterTime(int baud, int dataBits, bool parity, int stopBits)
{
    if (baud <= 0)
        return Clock::duration::zero();
    const long long bits = 1 + dataBits + (parity ? 1 : 0) + stopBits;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(bits * 1000000000LL / baud));
}

void WireReceiver::Feed(const char* data, std::size_t count, Clock::time_point readAt, std::deque<HeardFrame>& out)
{
    for (std::size_t i = 0; i < count; ++i) {
        lineFreeAt_ = std::max(lineFreeAt_, readAt) + perChar_;
        const char c = data[i];
        // The CR after the LF: the frame is complete once it is through too.
        if (c == '\r' && frameJustEnded_ && !out.empty())
            out.back().heardAt = lineFreeAt_;
        for (std::string& frame : splitter_.Feed(&c, 1))
            out.push_back({std::move(frame), lineFreeAt_});
        frameJustEnded_ = c == '\n';
    }
}

Transmitter::Block& Transmitter::Head()
{
    Block& b = blocks_.front();
    if (!b.started) {
        b.start = b.paced ? std::max(b.earliest, lineFreeAt_) : b.earliest;
        b.started = true;
    }
    return b;
}

void Transmitter::Queue(std::string bytes, Clock::time_point earliest, bool paced)
{
    if (bytes.empty())
        return;
    Block b;
    b.bytes = std::move(bytes);
    b.earliest = earliest;
    b.paced = paced && perByte_ > Clock::duration::zero();
    blocks_.push_back(std::move(b));
}

std::string_view Transmitter::Due(Clock::time_point now)
{
    if (blocks_.empty())
        return {};
    Block& b = Head();
    if (now < b.start)
        return {};
    std::size_t due = b.bytes.size();
    if (b.paced)
        due = std::min<std::size_t>(due, static_cast<std::size_t>((now - b.start) / perByte_));
    if (due <= b.sent)
        return {};
    const std::size_t n = b.paced ? std::min(due - b.sent, maxChunk_) : due - b.sent;
    return std::string_view(b.bytes).substr(b.sent, n);
}

void Transmitter::Sent(std::size_t n)
{
    Block& b = Head();
    b.sent += n;
    if (b.sent < b.bytes.size())
        return;
    if (b.paced)
        lineFreeAt_ = b.start + perByte_ * static_cast<long>(b.bytes.size());
    blocks_.pop_front();
}

Clock::time_point Transmitter::NextDue()
{
    Block& b = Head();
    return b.paced ? b.start + perByte_ * static_cast<long>(b.sent + 1) : b.start;
}

bool ParseGarbage(std::string_view name, Garbage& mode)
{
    static const struct {
        std::string_view name;
        Garbage mode;
    } kModes[] = {{"noise", Garbage::Noise}, {"noise-first", Garbage::NoiseFirst}, {"no-end", Garbage::NoEnd},
                  {"huge", Garbage::Huge},   {"cut", Garbage::Cut}};
    for (const auto& m : kModes)
        if (m.name == name) {
            mode = m.mode;
            return true;
        }
    return false;
}

std::string Garbler::Noise()
{
    std::string noise(8 + Below(57), '\0');  // 8 to 64 bytes
    for (char& c : noise)
        c = static_cast<char>(random_() & 0xFF);
    return noise;
}

std::string Garbler::Apply(const std::string& reply)
{
    if (mode_ == Garbage::None || reply.empty() || ++count_ % every_ != 0)
        return reply;
    std::string body = reply;
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r'))
        body.pop_back();
    switch (mode_) {
    case Garbage::Noise:
        return Noise();
    case Garbage::NoiseFirst:
        return Noise() + reply;
    case Garbage::NoEnd:
        return body;
    case Garbage::Huge:
        if (body.size() + 2 < kHugeReplySize)
            body.resize(kHugeReplySize - 2, '.');
        return body + "\n\r";
    case Garbage::Cut:
        return body.substr(0, body.size() > 1 ? 1 + Below(static_cast<std::uint32_t>(body.size() - 1)) : body.size());
    case Garbage::None:
        break;
    }
    return reply;
}

std::string Escape(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c >= 0x20 && c < 0x7F)
            out += static_cast<char>(c);
        else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

}  // namespace tarnell::sim
