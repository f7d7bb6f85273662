// What happens on the simulated wire, apart from the grippers' answers: how
// long characters take at a line speed, receiving frames once they have been
// on the line, pacing replies out at line speed, spoiling replies on request,
// and the readable form of bytes for the log. No I/O here: the caller passes
// the clock readings in, so that the rules can be reasoned about without a
// terminal.
#pragma once

#include "GripperBus.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <string_view>

namespace tarnell::sim {

using Clock = std::chrono::steady_clock;

// Time one character takes on an asynchronous line: start bit, data bits,
// the parity bit if any, stop bits.
Clock::duration CharacterTime(int baud, int dataBits, bool parity, int stopBits);

// A command frame and the moment its last character had been on the line.
struct HeardFrame {
    std::string text;  // without LF and CR
    Clock::time_point heardAt;
};

// Splits received bytes into frames (a frame ends at LF; CR is dropped) and
// times them: the line carries one character per perChar, starting no earlier
// than the bytes were read, so a frame counts as heard only after the time
// its characters take. A CR right after the LF belongs to the frame's end.
class WireReceiver {
public:
    explicit WireReceiver(Clock::duration perChar) : perChar_(perChar) {}
    void Feed(const char* data, std::size_t count, Clock::time_point readAt, std::deque<HeardFrame>& out);

private:
    Clock::duration perChar_;
    Clock::time_point lineFreeAt_{};
    FrameSplitter splitter_;
    bool frameJustEnded_ = false;
};

// Bytes waiting to go out. A paced block takes perByte per byte on the line
// and a byte is handed over only once its time on the line is complete; an
// unpaced block (the echo, which the far end heard while sending) goes out at
// once. Blocks go in order, a paced one starting when the line is free.
class Transmitter {
public:
    Transmitter(Clock::duration perByte, std::size_t maxChunk) : perByte_(perByte), maxChunk_(maxChunk) {}
    void Queue(std::string bytes, Clock::time_point earliest, bool paced);
    bool Empty() const { return blocks_.empty(); }
    // The bytes due by now that have not been handed over (possibly none).
    std::string_view Due(Clock::time_point now);
    // n bytes of Due() have been written.
    void Sent(std::size_t n);
    // When the next byte falls due; only while not Empty().
    Clock::time_point NextDue();
    // The far end went away: what was waiting is dropped.
    void Clear() { blocks_.clear(); }

private:
    struct Block {
        std::string bytes;
        std::size_t sent = 0;
        Clock::time_point earliest;
        bool paced = false;
        bool started = false;
        Clock::time_point start{};
    };
    Block& Head();

    Clock::duration perByte_;
    std::size_t maxChunk_;
    Clock::time_point lineFreeAt_{};
    std::deque<Block> blocks_;
};

// Ways of spoiling a reply, for testing how the console copes.
enum class Garbage {
    None,
    Noise,       // a burst of random bytes instead of the reply
    NoiseFirst,  // a burst of random bytes, then the reply
    NoEnd,       // the reply without its LF CR
    Huge,        // the reply padded to 64 KiB, LF CR at the very end
    Cut,         // the first part of the reply, then nothing
};

// Parses a mode name as --help lists it; false for an unknown name.
bool ParseGarbage(std::string_view name, Garbage& mode);

constexpr std::size_t kHugeReplySize = 64 * 1024;

// Spoils every nth reply (the nth, 2nth, ...) in the set way. Random choices
// come from a generator seeded with the given seed, so a run can be repeated
// byte for byte.
class Garbler {
public:
    Garbler(Garbage mode, std::uint32_t seed, int every) : mode_(mode), every_(every < 1 ? 1 : every), random_(seed) {}
    std::string Apply(const std::string& reply);

private:
    std::string Noise();
    std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(random_() % n); }

    Garbage mode_;
    int every_;
    long count_ = 0;
    std::mt19937 random_;  // its sequence is fixed by the standard, unlike the distributions
};

// Bytes in a readable one-line form: printable ASCII as itself, backslash as
// \\, LF as \n, CR as \r, anything else as \xNN.
std::string Escape(std::string_view bytes);

}  // namespace tarnell::sim
