// The network dispatcher: a serial port on a device server or ser2net,
// reached over TCP, behind the dispatcher's device slots (device layer
// dlWinsock).
//
// Two modes, chosen by the address:
//  - "rfc2217://HOST:PORT": telnet with COM-PORT-OPTION. Line settings,
//    DTR/RTS and purges go to the server as COM-PORT-OPTION commands, its
//    line-state and modem-state notifications come back as line errors and
//    modem status. Serial data is IAC-escaped both ways.
//  - "tcp://HOST:PORT": raw TCP, bytes only; the line settings are the
//    server's.
// A port name "\\.\COMn" is looked up in the port folder: entry COMn of
// $SIO_PORT_DIR may be a symbolic link whose target is such an address.
//
// Three threads serve the connection as the Linux dispatcher's serve a tty:
//  - the reader polls the socket, splits what arrives into serial data
//    (queued in 256-byte records) and telnet commands, which it answers;
//  - the writer alone writes to the socket: first the telnet commands that
//    others queued, then the output ring, escaped, in one block per pass;
//  - the status thread writes the server's answers to the dispatch log and
//    notes requests it never acknowledged (a server may ignore SET-CONTROL
//    for lines its port lacks): a log entry, never an error.
// A connection that ends, or fails, is the device going away: the threads
// end and the loss is handed on as for a local device; the next opening
// connects again.
//
// Purges and the frame after them (RFC 2217). A server may carry a purge
// out after it has passed on the data that follows it (ser2net's transmit
// purge empties both directions), and it may pass on bytes it had sent
// before it emptied its buffer after we have emptied ours. So:
//  - every purge goes out before the frame that follows it: SendPurge puts
//    the purge in the telnet queue, and its wait in force, under
//    controlLock_ before the frame is written to the output ring, and the
//    writer takes the telnet queue, looks at the waits and takes the output
//    ring in one step under the output lock and controlLock_ (WritePass);
//  - the frame waits until the server has answered every purge before it,
//    at most PurgeWaitMs from the last purge;
//  - while a receive purge waits for its answer, what arrives is what the
//    server sent before it emptied its buffer, and is dropped; so is what
//    was read before a DiscardInput and comes to be queued after it;
//  - answers and misses are counted per kind of purge: a server that leaves
//    one kind unanswered PurgeMissesToGiveUp times in a row is no longer
//    waited for on that kind, whatever it does with the other.
//
// Whatever a server sends, what it can make us hold is bounded: the data
// that comes while the options are negotiated (the input buffer's size),
// the telnet answers waiting for a server that does not read (the reader
// stops reading while more than ControlBacklogLimit bytes wait), and its
// line-state and modem-state notifications (folded into the status record
// still waiting in the input queue).
//
// The connect, name look-up and option negotiation together take at most
// ConnectLimitMs, so that an unreachable server never holds the window. A
// name with several addresses has them tried in turn, the next one starting
// NextAddressMs after the last (or at once when it failed), all within that
// limit; the opening fails only when all have failed, and says why for each.
// A server that accepts and closes the connection at once (ser2net does so
// while its device is still held by the connection just closed) is tried
// again within the limit.
//
// Threading: the device slots run on the main thread; the reader, writer
// and status threads as above. SetNameResolver: before any port opens.
#pragma once

#include "devices/DescriptorDispatcher.h"
#include "devices/network/TelnetCodec.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sio {

inline constexpr std::uint32_t ConnectLimitMs = 3000;
// The next address of a name is tried this long after the last one began.
inline constexpr std::uint32_t NextAddressMs = 300;
// A SET-CONTROL or line setting the server has not answered after this long
// is written to the log as unacknowledged, and forgotten.
inline constexpr std::uint32_t AckLimitMs = 1500;
// The output after a purge waits at most this long for the server's answer,
// well inside a reply's time limit (1.4 s).
inline constexpr std::uint32_t PurgeWaitMs = 250;
inline constexpr int PurgeMissesToGiveUp = 3;
// Telnet answers queued for the server beyond which the reader stops
// reading until the writer has sent them.
inline constexpr std::size_t ControlBacklogLimit = 8192;
// The most the reader takes from the socket in one read: what the server
// sends in it is all handled before the reader looks at its bounds again.
inline constexpr std::size_t NetworkReadChunk = 4096;

// The most a port has held since its opening of each thing a server can
// make it hold, so that a test can see each bound at work.
struct TNetworkHoldings {
    std::size_t telnetAnswers = 0;  // bytes of telnet answers queued for the server
    std::size_t earlyData = 0;      // data kept while the options were negotiated
    std::uint32_t inputData = 0;    // data bytes in the input queue
    std::size_t inputRecords = 0;   // records (data and status) in the input queue
};

struct TNetworkAddress {
    enum TMode : std::uint8_t { Rfc2217, RawTcp };
    TMode mode = Rfc2217;
    std::string host;  // without the brackets of an IPv6 address
    std::uint16_t port = 0;
    // "rfc2217://host:port" or "tcp://host:port", as the operator wrote it.
    std::string Text() const;
};

// "rfc2217://HOST:PORT" or "tcp://HOST:PORT" (HOST a name, an IPv4 address
// or an IPv6 address in brackets; PORT 1..65535); nothing otherwise.
std::optional<TNetworkAddress> ParseNetworkAddress(const std::string& text);

// True when text starts like a network address ("rfc2217://", "tcp://"),
// well-formed or not.
bool LooksLikeNetworkAddress(const std::string& text);

// The look-up of a host name: its addresses in the order to try them, as
// numbers ("127.0.0.1", "::1"); none when the name is unknown. Set, it
// replaces the system's look-up (tests give a name addresses of their own);
// an empty function brings the system's back.
using TNameResolver = std::function<std::vector<std::string>(const std::string& host)>;
void SetNameResolver(TNameResolver resolver);

// A new raw TCP connection is watched for a server that closes it at once
// for a round trip or two: at least this long (50 ms unless set), at most
// 300 ms or this. Tests on a loaded machine lengthen it.
void SetCloseAtOnceWatchMs(std::uint32_t ms);

class TSioNetworkDispatcher : public TSioDescriptorDispatcher {
public:
    explicit TSioNetworkDispatcher(TSioBaseComponent* owner);
    ~TSioNetworkDispatcher() override;

    std::int32_t DeviceEscape(std::uint32_t function) override;
    std::int32_t DevicePurge(int which) override;
    std::uint32_t DeviceReadErrors(TSioComStat& status) override;
    std::int32_t DeviceSetSettings(const TSioDcb& settings) override;
    std::int32_t DeviceWrite(const void* data, std::int32_t count) override;
    void StartThreads() override;
    std::int32_t DeviceOpen(const std::string& name, std::uint32_t inSize, std::uint32_t outSize) override;
    std::int32_t DeviceClose() override;

    std::string OpenFailureText() const override;

    // RFC 2217 mode and the server took COM-PORT-OPTION.
    bool ComPortAccepted() const { return comPort_.load(std::memory_order_acquire) == kOn; }
    // The largest of the last few round trips measured from a purge to its
    // answer, the first one at the connection; 0 until one is measured (raw
    // TCP, or a server that does not answer purges).
    std::uint32_t LinkRoundTripMs() const override { return roundTripMs_.load(std::memory_order_acquire); }
    // What the server last reported for a COM-PORT-OPTION command
    // (cpSetBaudRate .. cpSetControl), or nothing; SET-CONTROL by group:
    // pass ctlDtrOn for DTR, ctlRtsOn for RTS, ctlFlowNone for flow.
    std::optional<std::uint32_t> ServerValue(std::uint8_t command, std::uint8_t controlGroup = 0) const;
    // Requests the server has not acknowledged in time, oldest first, by
    // name ("SET-CONTROL DTR off").
    std::vector<std::string> Unacknowledged() const;
    // Purges of one kind (telnet::purgeReceive or purgeTransmit) whose
    // answer the output waited for in vain, in a row (PurgeMissesToGiveUp:
    // no longer waited for), and bytes dropped since the opening because
    // they came before a receive purge's answer.
    int PurgeMisses(std::uint8_t which) const;
    std::uint64_t BytesDroppedByPurges() const { return purgeDropped_.load(std::memory_order_acquire); }
    // The peaks since the opening (any thread).
    TNetworkHoldings PeakHoldings() const;

protected:
    // The device server switches the RS-485 direction itself: RTS cannot be
    // timed to the last bit across a network.
    bool DriverDirection() const override { return true; }
    bool OutputDraining() override { return writerHolds_.load(); }
    std::uint16_t Rs485Setup(bool on) override;
    std::uint32_t DeviceModemStatus() override { return modemLines_.load(std::memory_order_acquire); }

private:
    // The device threads' work (TDeviceThread): each returns its thread's
    // return value.
    std::int32_t ReaderLoop();
    std::int32_t WriterLoop();
    std::int32_t StatusLoop();

    static constexpr int kOff = 0, kAsked = 1, kOn = 2;

    // Queues telnet bytes for the writer (any thread).
    void QueueControl(const std::vector<std::uint8_t>& bytes);
    std::size_t ControlBacklog() const;
    // Queues a COM-PORT-OPTION command whose answer is awaited.
    void SendComPort(std::uint8_t command, const std::vector<std::uint8_t>& value, std::uint32_t shown);
    void SendPurge(std::uint8_t which);
    // Under controlLock_: ends the waits whose time is over (their misses
    // counted, notes for the log added to notes); true while a wait is
    // still in force, until the tick its nearest one ends.
    bool PurgeWaitInForce(std::uint32_t& until, std::vector<std::string>& notes);
    // Under controlLock_: a receive purge's answer is awaited (data is
    // dropped meanwhile).
    bool ReceivePurgeAwaited() const;
    // Under controlLock_: one round trip measured.
    void RecordRoundTrip(std::uint32_t ms);
    // Reader: the serial data and telnet commands of one read, in the order
    // they came; discardsSeen is InputDiscards() from before the read.
    bool TakeReceived(const std::vector<std::uint8_t>& data, std::vector<telnet::TTelnetEvent>& events,
                      std::uint32_t discardsSeen);
    bool QueueData(const std::uint8_t* data, std::size_t count, std::uint32_t discardsSeen);
    // A note for the dispatch log: written at once while the log is on,
    // kept (the last kMaxNotes) until it is switched on otherwise, so that
    // what the opening learnt is not lost.
    void Note(const std::string& text);
    void FlushNotes();
    void LogSwitchedOn() override { FlushNotes(); }
    void CheckAcks();
    // Reader: the telnet commands of one read.
    void HandleEvents(std::vector<telnet::TTelnetEvent>& events);
    void HandleNegotiation(std::uint8_t verb, std::uint8_t option);
    void HandleComPort(const std::vector<std::uint8_t>& payload);
    // Writer: writes bytes whole (0), abandons them on the writer wake
    // (1, after completing an escape pair), or fails (ecDeviceWrite). With
    // blockAbandoned, bytes that go out whole before a block the writer
    // holds: the writer wake abandons that block at once (set true).
    std::int32_t SendAll(const std::vector<std::uint8_t>& bytes, bool abandonable, bool crNul,
                         bool* blockAbandoned = nullptr);
    // Writer: sends what is queued; waiting tells whether output is held
    // for a purge's answer, and until which tick at most.
    std::int32_t WritePass(bool& waiting, std::uint32_t& waitEnd);
    // Opening: connects within the deadline; 0 or a negated error number.
    std::int32_t Connect(const TNetworkAddress& address, std::uint32_t deadline);
    // Opening, RFC 2217: offers the options and waits for COM-PORT-OPTION's
    // answer until the deadline. False when the server closed the
    // connection meanwhile.
    bool Negotiate(std::uint32_t deadline);
    // Opening, raw TCP: waits a moment (twice the connect's round trip and
    // a little) for a server that closes at once. False when it did.
    bool Settle(std::uint32_t deadline);
    // Opening: data that came before the threads run, kept up to the input
    // buffer's size.
    void KeepEarly(const std::uint8_t* data, std::size_t count);
    // What a server that closed at once said first, for the message.
    std::string EarlyText() const;
    std::int32_t Fail(int err, const std::string& text);

    TNetworkAddress address_;
    std::string failureText_;  // main lock
    std::atomic<bool> rfc2217_{false};

    // Negotiation state of our side (local) and the server's (remote),
    // indexed by option; only BINARY, SGA and COM-PORT-OPTION are wanted.
    std::atomic<int> comPort_{kOff};
    TRankedLock negLock_{this, TLockRank::Negotiation};
    int local_[256]{};
    int remote_[256]{};
    std::atomic<bool> sendCrNul_{false};  // the server does not take binary from us

    telnet::TTelnetDecoder decoder_;  // reader (the opening before it)
    std::vector<std::uint8_t> early_;  // data that came during the opening
    std::size_t earlyLimit_ = 0;       // the input buffer's size
    std::size_t earlyLost_ = 0;        // what did not fit
    std::uint32_t connectMs_ = 0;      // how long the connect took

    // The telnet queue and the purges' waits (see the ordering rule above).
    // Taken after the output lock or the dispatch lock, never before them.
    mutable TRankedLock controlLock_{this, TLockRank::Control};
    std::vector<std::uint8_t> controlOut_;
    struct TPurgeKind {
        int owed = 0;            // sent, not answered, still waited for
        std::uint32_t until = 0; // the tick the wait ends (with owed > 0)
        int misses = 0;          // waits in a row that ran out
        std::deque<std::uint32_t> sentAt;  // when each owed one was sent
    };
    TPurgeKind purges_[2];  // receive, transmit
    // The link's round trip: the latest samples (time from a purge to its
    // answer), and the largest of them, which is what a reply's wait adds.
    static constexpr std::size_t kRoundTripSamples = 8;
    std::deque<std::uint32_t> roundTrips_;  // controlLock_
    std::atomic<std::uint32_t> roundTripMs_{0};

    // Line settings as last sent (sent again only on a change).
    struct TSent {
        std::uint32_t baud = 0;
        std::uint8_t dataSize = 0, parity = 0, stopSize = 0, flow = 0, inFlow = 0, dtr = 0, rts = 0;
    } sent_;  // main lock
    struct TPending {
        std::uint8_t command;
        std::uint8_t value;  // SET-CONTROL: the value; others 0
        std::uint32_t shown;
        std::uint32_t tick;
    };
    mutable TRankedLock ackLock_{this, TLockRank::Ack};
    std::vector<TPending> pending_;
    std::vector<std::string> unacknowledged_;
    std::uint32_t serverValues_[8]{};  // by command, 0: none
    bool haveServerValue_[8]{};
    std::uint8_t serverControl_[4]{};  // flow, DTR, RTS, inbound flow; 0: none
    std::vector<std::string> notes_;  // ackLock_

    std::atomic<std::uint32_t> lineErrors_{0};  // CE_* from NOTIFY-LINESTATE, until read
    std::atomic<std::uint32_t> modemLines_{0};  // MS_* from NOTIFY-MODEMSTATE
    std::atomic<std::uint64_t> purgeDropped_{0};
    // PeakHoldings: raised where each grows.
    std::atomic<std::size_t> peakAnswers_{0}, peakEarly_{0}, peakRecords_{0};
    std::atomic<std::uint32_t> peakInput_{0};
    void NoteInputHeld();
};

}  // namespace sio
