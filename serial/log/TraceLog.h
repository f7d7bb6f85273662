// The two diagnostic recorders a dispatcher keeps for its port: the trace
// (every byte sent or received, in a ring of fixed size) and the dispatch
// log (timed entries about what the dispatcher and the packet collectors
// do). The dispatcher owns one of each; both are written to text files with
// CR LF line ends on request.
//
// Threading:
//  - TSioTrace: every call may come from any thread; recording and writing
//    share one lock, so recording waits while a file is written.
//  - TSioLog: AddLogEntry from any thread (dispatcher, reader, writer,
//    status and main thread); it costs one atomic load while logging is off.
//    Start/Stop/Pause/Resume/Clear and the configuration setters belong to
//    the main thread; DumpLog/AppendLog may run on any one thread at a time
//    (they serialise among themselves) while entries are being added.
#pragma once

#include "base/IOQueue.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace sio {

// Entry types of the dispatch log (named by code 15001 + type).
inline constexpr std::uint8_t ltDispatch = 1;
inline constexpr std::uint8_t ltTrigger = 2;
inline constexpr std::uint8_t ltTrigAllc = 5;
inline constexpr std::uint8_t ltTrigDisp = 6;
inline constexpr std::uint8_t ltTrgHdAlc = 7;
inline constexpr std::uint8_t ltTrgHdDsp = 8;
inline constexpr std::uint8_t ltTrDatChg = 9;
inline constexpr std::uint8_t ltPacket = 18;

// Entry subtypes (named by code 15100 + subtype).
inline constexpr std::uint16_t lsReadCom = 1;
inline constexpr std::uint16_t lsWriteCom = 2;
inline constexpr std::uint16_t lsAvail = 5;
inline constexpr std::uint16_t lsTimer = 6;
inline constexpr std::uint16_t lsData = 7;
inline constexpr std::uint16_t lsStatus = 8;
inline constexpr std::uint16_t lsTimerTrigger = 14;
inline constexpr std::uint16_t lsStatusTrigger = 15;  // attached byte: the status trigger's kind
inline constexpr std::uint16_t lsAvailTrigger = 16;
inline constexpr std::uint16_t lsWindow = 17;
inline constexpr std::uint16_t lsMethod = 19;
inline constexpr std::uint16_t lsEnable = 242;
inline constexpr std::uint16_t lsDisable = 243;
inline constexpr std::uint16_t lsStringPacket = 244;
inline constexpr std::uint16_t lsSizePacket = 245;
inline constexpr std::uint16_t lsPcktTimeout = 246;
inline constexpr std::uint16_t lsStartStr = 247;
inline constexpr std::uint16_t lsEndStr = 248;
inline constexpr std::uint16_t lsIdle = 249;
inline constexpr std::uint16_t lsWaiting = 250;
inline constexpr std::uint16_t lsCollecting = 251;

// Trace kind letters.
inline constexpr char tkTransmit = 'T';
inline constexpr char tkReceive = 'R';

inline constexpr std::int32_t MaxTraceCapacity = 4000000;

// Renders one byte as both files do: all hex "[hh]"; otherwise printable
// characters as themselves (the blank only without hex), others as "[hh]"
// with hex or "[ddd]" in decimal without it.
std::string RenderTraceByte(std::uint8_t byte, bool hex, bool allHex);

class TSioTrace {
public:
    TSioTrace() = default;
    ~TSioTrace() = default;
    TSioTrace(const TSioTrace&) = delete;
    TSioTrace& operator=(const TSioTrace&) = delete;

    // One entry: kind letter ('T' or 'R') and the byte; nothing unless on.
    void RecordTraceByte(char kind, std::uint8_t byte);
    // The same for count bytes under one lock.
    void RecordTraceBytes(char kind, const void* data, std::size_t count);

    // If a ring exists: empties it. Otherwise creates one of capacity
    // zero-filled slots (-1002 and no change for a capacity outside
    // 0 .. 4000000). Then tracing is on. Returns 0 or -1002.
    std::int32_t StartTrace(std::int32_t capacity);
    void StopTrace();    // off, ring freed
    void ResumeTrace();  // on, if a ring exists
    void PauseTrace();   // off, ring kept
    std::int32_t ClearTrace();  // index 0, not wrapped; returns 0

    // Write the trace oldest first: DumpTrace replaces the file, AppendTrace
    // appends to it when it exists. 0, or the negated I/O code of the open,
    // a write or the close. Nothing is written (0) while the trace is empty.
    // Afterwards the trace is empty and on; if the file cannot be opened the
    // trace is stopped instead.
    std::int32_t DumpTrace(const std::string& fileName, bool hex, bool allHex);
    std::int32_t AppendTrace(const std::string& fileName, bool hex, bool allHex);

    bool TraceOn() const { return on_.load(std::memory_order_acquire); }
    bool HasRing() const;
    std::int32_t TraceCapacity() const;
    std::int32_t TraceIndex() const;
    bool TraceWrapped() const;

private:
    std::int32_t Write(const std::string& fileName, bool hex, bool allHex, bool append);

    mutable std::mutex lock_;
    std::atomic<bool> on_{false};
    std::unique_ptr<std::uint8_t[]> ring_;  // 2 bytes per slot: kind, byte
    std::int32_t capacity_ = 0;
    std::int32_t index_ = 0;
    bool wrapped_ = false;
};

class TSioLog {
public:
    // The time base starts as the millisecond clock at construction.
    TSioLog();
    ~TSioLog() = default;
    TSioLog(const TSioLog&) = delete;
    TSioLog& operator=(const TSioLog&) = delete;

    // Header line 4: the device name the port was opened with ("\\.\COM3").
    void SetDeviceName(const std::string& name);
    std::string DeviceName() const;
    // The millisecond clock's value when the port was opened; entry times
    // count from it. Call it at open with MillisecondClock().
    void SetTimeBase(std::uint32_t ms) { timeBase_.store(ms, std::memory_order_release); }
    std::uint32_t TimeBase() const { return timeBase_.load(std::memory_order_acquire); }

    // One entry of type, subtype, data and a copy of count bytes (none when
    // count is 0), timed now; the oldest entries go first until the new one
    // fits within the limit, each entry counting its whole memory
    // (LogEntryCost), so that ByteTotal never exceeds the limit. Nothing
    // while logging is off. An entry of
    // subtype lsStatusTrigger (types 5, 6) carries the status kind (0 .. 5)
    // as its one byte; the log names the kind itself when written.
    void AddLogEntry(std::uint8_t type, std::uint16_t subtype, std::uint32_t data,
                     const void* bytes = nullptr, std::uint32_t count = 0);

    void StartLog(std::uint32_t limit);  // empty, limit set (0 = none), on
    void StopLog();                      // off, emptied
    void ResumeLog();                    // on
    void PauseLog();                     // off, entries kept
    void ClearLog();                     // emptied

    // Write the log (seven header lines, then the entries oldest first,
    // consuming them): DumpLog replaces the file, AppendLog appends to it.
    // 0, or the negated I/O code; nothing is written (0) while the log is
    // empty. If the file cannot be opened the entries stay. LogOn keeps its
    // value.
    std::int32_t DumpLog(const std::string& fileName, bool hex, bool allHex);
    std::int32_t AppendLog(const std::string& fileName, bool hex, bool allHex);

    bool LogOn() const { return on_.load(std::memory_order_acquire); }
    std::uint32_t LogLimit() const { return limit_.load(std::memory_order_acquire); }
    std::size_t EntryCount() const { return queue_.Count(); }
    // The memory the entries take, as LogEntryCost counts it.
    std::uint32_t ByteTotal() const { return queue_.ByteTotal(); }

    // The texts of header lines 2 and 3 (without their labels).
    static std::string CompilerText();
    static std::string OperatingSystemText();
    // The time text of an entry: 1234 ms gives "0001.234".
    static std::string TimeText(std::uint32_t ms);
    // The name of a status trigger's kind: 1 gives "(Modem status)"; empty
    // for a kind without a name.
    static std::string StatusKindName(std::uint8_t kind);

private:
    std::int32_t Write(const std::string& fileName, bool hex, bool allHex, bool append);

    TIOQueue queue_;
    std::atomic<bool> on_{false};
    std::atomic<std::uint32_t> limit_{0};
    std::atomic<std::uint32_t> timeBase_;
    mutable std::mutex nameLock_;
    std::string deviceName_;
    std::mutex writeLock_;  // one writer at a time
};

}  // namespace sio
