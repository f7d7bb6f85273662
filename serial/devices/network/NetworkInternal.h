// What the parts of the network dispatcher share (NetworkDispatcher.cpp,
// NetworkConnect.cpp, TelnetSession.cpp, NetworkThreads.cpp): the clock,
// deadlines and the texts that the log and messages show.
#pragma once

#include "devices/network/NetworkDispatcher.h"

#include "base/BaseComponent.h"
#include "base/SystemCalls.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include <sys/socket.h>

namespace sio {
namespace {

constexpr int kStopPollMs = 100;  // a blocked send sees the stop flag this often
constexpr std::size_t kMaxNotes = 64;
constexpr char kSignature[] = "Tarnell Console";

template <typename T>
inline void RaiseTo(std::atomic<T>& peak, T value)
{
    T seen = peak.load(std::memory_order_relaxed);
    while (value > seen && !peak.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

using namespace telnet;

inline std::uint32_t Now() { return MillisecondClock(); }

// The system's own text for an errno ("Connection refused").
inline std::string SystemText(int err)
{
    char buffer[256];
    return ::strerror_r(err, buffer, sizeof buffer);
}

// Milliseconds left until deadline (a MillisecondClock value), 0 when past.
inline int MsLeft(std::uint32_t deadline)
{
    const std::int32_t left = static_cast<std::int32_t>(deadline - Now());
    return left > 0 ? left : 0;
}

// The groups of SET-CONTROL values: flow, break, DTR, RTS, inbound flow.
inline int ControlGroup(std::uint8_t v)
{
    if (v <= 3 || v >= 17)
        return 0;
    if (v <= 6)
        return 4;
    if (v <= 9)
        return 1;
    if (v <= 12)
        return 2;
    return 3;
}

inline std::string ParityName(std::uint32_t v)
{
    static const char* const names[] = {"?", "none", "odd", "even", "mark", "space"};
    return v < 6 ? names[v] : std::to_string(v);
}

inline std::string ShownValue(std::uint8_t command, std::uint32_t value)
{
    switch (command) {
    case cpSetParity: return ParityName(value);
    case cpSetStopSize: return value == cpStop15 ? "1.5" : std::to_string(value);
    case cpSetControl: return ControlName(static_cast<std::uint8_t>(value));
    default: return std::to_string(value);
    }
}

inline std::int32_t SendNoSignal(int fd, const void* data, std::size_t count)
{
    // MSG_NOSIGNAL: a server that went away is a failed write, not SIGPIPE.
    return static_cast<std::int32_t>(sys::RetryEintr([&] { return ::send(fd, data, count, MSG_NOSIGNAL); }));
}

}  // namespace
}  // namespace sio
